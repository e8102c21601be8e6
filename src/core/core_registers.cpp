// Core registers through DCRSR/DCRDR, while the core is halted.
#include "cm3probe.h"
#include "frame/connection.h"
#include "frame/export_frame.h"
#include "core/core_access.h"
#include "core/scs_registers.h"

namespace cm3probe::core {
namespace {

DebugResult ReadRegister(uint32_t selector, uint32_t* value) {
    // A read never writes: with REGWnR set, DCRSR would load the register
    // from DCRDR's stale content. Every other bit goes out as given.
    DebugResult result = WriteWord(dcrsr::kAddress, selector & ~dcrsr::kRegWnR);
    if (result != DBG_OK) return result;
    if (!PollDhcsr(dhcsr::kSRegRdy, Awaited::AnySet)) return DBG_TIMEOUT;
    return ReadWord(dcrdr::kAddress, value);
}

DebugResult WriteRegister(uint32_t selector, uint32_t value) {
    // Data first: the transfer starts when DCRSR is written.
    DebugResult result = WriteWord(dcrdr::kAddress, value);
    if (result != DBG_OK) return result;
    result = WriteWord(dcrsr::kAddress, selector | dcrsr::kRegWnR);
    if (result != DBG_OK) return result;
    return PollDhcsr(dhcsr::kSRegRdy, Awaited::AnySet) ? DBG_OK : DBG_TIMEOUT;
}

}  // namespace
}  // namespace cm3probe::core

using cm3probe::g_connection;
using cm3probe::connection::Locked;

extern "C" CM3PROBE_API DebugResult DebugReadCoreRegister(uint32_t selector, uint32_t* value) {
    if (!g_connection.initialised) return DBG_NOT_INITIALISED;
    if (!g_connection.coreHalted) return DBG_NOT_HALTED;
    if (value == nullptr) return DBG_BAD_PARAMETER;
    return Locked([&] { return cm3probe::core::ReadRegister(selector, value); });
}

extern "C" CM3PROBE_API DebugResult DebugWriteCoreRegister(uint32_t selector, uint32_t value) {
    if (!g_connection.initialised) return DBG_NOT_INITIALISED;
    // The state refresh is a hold of its own; the transfer takes a second one.
    cm3probe::core::RefreshCoreState();
    if (!g_connection.coreHalted) return DBG_NOT_HALTED;
    return Locked([&] { return cm3probe::core::WriteRegister(selector, value); });
}
