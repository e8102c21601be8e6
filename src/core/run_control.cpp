// Run control through DHCSR: state, halt, resume, single step.
#include "cm3probe.h"
#include "frame/connection.h"
#include "frame/export_frame.h"
#include "core/core_access.h"
#include "core/scs_registers.h"
#include "transport/timing.h"

namespace cm3probe::core {
namespace {

// Control bits carried over in read-modify-write writes.
inline constexpr uint32_t kKeepOnDisable =
    dhcsr::kCHalt | dhcsr::kCStep | dhcsr::kCMaskInts | dhcsr::kReserved4 | dhcsr::kCSnapStall;
inline constexpr uint32_t kKeepOnResume = dhcsr::kCDebugEn | dhcsr::kCMaskInts | dhcsr::kReserved4 | dhcsr::kCSnapStall;
inline constexpr uint32_t kKeepOnStep = kKeepOnResume;
static_assert(kKeepOnDisable == 0x3E && kKeepOnResume == 0x39);

DebugResult GetCoreState(uint32_t* state) {
    uint32_t value = 0;
    DebugResult result = ReadWord(dhcsr::kAddress, &value);
    if (result != DBG_OK) return result;
    g_connection.coreHalted = (value & dhcsr::kCHalt) ? 1 : 0;
    *state = value;
    return DBG_OK;
}

DebugResult Halt() {
    uint32_t state = CoreStateOrZero();
    if (state & dhcsr::kCDebugEn) {
        uint32_t value = 0;
        if (ReadWord(dhcsr::kAddress, &value) != DBG_OK) value = state;
        DebugResult disable = WriteDhcsr(value & kKeepOnDisable);
        if (disable != DBG_OK) return disable;
    }
    RefreshCoreState();
    // The write checks for a sticky error itself and clears it: a request
    // that never took effect must not be reported as a halt or a timeout.
    DebugResult request = WriteDhcsr(dhcsr::kCDebugEn | dhcsr::kCHalt);
    if (StickyAfterRequest() || request == DBG_STICKY_ERROR) return DBG_STICKY_ERROR;
    // C_DEBUGEN alone, set on a running core, would pass the poll below.
    if (request != DBG_OK) return request;
    if (!PollDhcsr(dhcsr::kSHalt | dhcsr::kCHalt | dhcsr::kCDebugEn, Awaited::AnySet)) return DBG_TIMEOUT;
    RefreshCoreState();
    return DBG_OK;
}

DebugResult Start() {
    // Keep the reset vector catch armed while the core runs.
    DebugResult result = WriteWord(demcr::kAddress, demcr::kTrcEna | demcr::kVcCoreReset);
    if (result != DBG_OK) return result;
    uint32_t value = 0;
    result = ReadWord(dhcsr::kAddress, &value);
    if (result != DBG_OK) return result;
    result = WriteDhcsr(value & kKeepOnResume);
    if (result != DBG_OK) return result;
    timing::SleepMilliseconds(timing::kResumeSettleMs);
    if (!PollDhcsr(dhcsr::kSRetireSt | dhcsr::kSResetSt, Awaited::AnySet)) return DBG_TIMEOUT;
    RefreshCoreState();
    return DBG_OK;
}

DebugResult Step() {
    uint32_t value = 0;
    DebugResult result = ReadWord(dhcsr::kAddress, &value);
    if (result != DBG_OK) return result;
    result = WriteDhcsr((value & kKeepOnStep) | dhcsr::kCStep);
    if (result != DBG_OK) return result;
    if (!PollDhcsr(dhcsr::kSHalt, Awaited::AnySet)) return DBG_TIMEOUT;
    return (CoreStateOrZero() & dhcsr::kCHalt) ? DBG_OK : DBG_NOT_HALTED;
}

}  // namespace
}  // namespace cm3probe::core

using cm3probe::g_connection;
using cm3probe::connection::Locked;

extern "C" CM3PROBE_API DebugResult DebugGetCoreState(uint32_t* state) {
    if (!g_connection.initialised) return DBG_NOT_INITIALISED;
    if (state == nullptr) return DBG_BAD_PARAMETER;
    return Locked([&] { return cm3probe::core::GetCoreState(state); });
}

extern "C" CM3PROBE_API DebugResult DebugHaltCore(void) {
    if (!g_connection.initialised) return DBG_NOT_INITIALISED;
    if (g_connection.coreHalted) return DBG_OK;
    return Locked(cm3probe::core::Halt);
}

extern "C" CM3PROBE_API DebugResult DebugStartCore(void) {
    if (!g_connection.initialised) return DBG_NOT_INITIALISED;
    if (!g_connection.coreHalted) return DBG_OK;
    return Locked(cm3probe::core::Start);
}

extern "C" CM3PROBE_API DebugResult DebugStepCore(void) {
    if (!g_connection.initialised) return DBG_NOT_INITIALISED;
    if (!g_connection.coreHalted) return DBG_NOT_HALTED;
    return Locked(cm3probe::core::Step);
}
