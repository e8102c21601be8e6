// Core reset (VECTRESET), system reset (SYSRESETREQ) and the reset line.
#include "cm3probe.h"
#include "frame/connection.h"
#include "frame/export_frame.h"
#include "core/core_access.h"
#include "core/scs_registers.h"
#include "dap/port.h"

namespace cm3probe::core {
namespace {

inline constexpr uint32_t kCatchResetVector = demcr::kTrcEna | demcr::kVcCoreReset;

DebugResult CoreReset() {
    // A request that never reached the target must not pass for a finished
    // reset: S_RESET_ST may still be set by an earlier one.
    DebugResult result = WriteWord(demcr::kAddress, kCatchResetVector);
    if (result == DBG_OK) result = WriteWord(aircr::kAddress, aircr::kVectKey | aircr::kVectReset);
    if (result != DBG_OK) return result;
    if (!PollDhcsr(dhcsr::kSResetSt, Awaited::AnySet)) return DBG_TIMEOUT;
    // The read that saw S_RESET_ST cleared it; it reads clear once out of reset.
    if (!PollDhcsr(dhcsr::kSResetSt, Awaited::Clear)) return DBG_TIMEOUT;
    RefreshCoreState();
    return DBG_OK;
}

DebugResult SystemReset() {
    // Each write checks for a sticky error itself and clears it: a reset
    // request that never took effect must not pass for a finished reset.
    // The halt request and the catch must be in place before the reset, or
    // the core runs out of it; any write that failed ends the call.
    DebugResult result = WriteDhcsr(dhcsr::kCDebugEn | dhcsr::kCHalt);
    if (result == DBG_OK) result = WriteWord(demcr::kAddress, kCatchResetVector);
    if (result == DBG_OK) result = WriteWord(aircr::kAddress, aircr::kVectKey | aircr::kSysResetReq);
    if (StickyAfterRequest() || result == DBG_STICKY_ERROR) return DBG_STICKY_ERROR;
    if (result != DBG_OK) return result;
    if (!PollDhcsr(dhcsr::kSResetSt, Awaited::Clear)) return DBG_TIMEOUT;
    RefreshCoreState();
    return DBG_OK;
}

DebugResult HardwareReset() {
    if (!IsOk(dap::ActivePort().pulseReset())) return DBG_ERROR;
    g_connection.initialised = 0;
    return DBG_OK;
}

}  // namespace
}  // namespace cm3probe::core

using cm3probe::g_connection;
using cm3probe::connection::Locked;

extern "C" CM3PROBE_API DebugResult DebugCoreReset(void) {
    if (!g_connection.initialised) return DBG_NOT_INITIALISED;
    return Locked(cm3probe::core::CoreReset);
}

extern "C" CM3PROBE_API DebugResult DebugSystemReset(void) {
    if (!g_connection.initialised) return DBG_NOT_INITIALISED;
    return Locked(cm3probe::core::SystemReset);
}

extern "C" CM3PROBE_API DebugResult DebugHardwareReset(void) {
    if (!g_connection.initialised) return DBG_NOT_INITIALISED;
    return Locked(cm3probe::core::HardwareReset);
}
