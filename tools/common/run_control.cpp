#include "run_control.h"

#include "target_registers.h"

namespace cm3tools::run_control {
namespace {
inline constexpr uint32_t kWordSizeCode = 2;  // DebugWriteMem's size for a word
}  // namespace

DebugResult Release(uint32_t bits, uint32_t* state) {
    const uint32_t value = dhcsr::kDebugKey | dhcsr::kCDebugEn | (bits & ~dhcsr::kCHalt);
    const DebugResult write = DebugWriteMem(dhcsr::kAddress, value, kWordSizeCode);
    const DebugResult read = DebugGetCoreState(state);
    return write != DBG_OK ? write : read;
}

bool HaltedOrLockedUp(uint32_t state) { return (state & (dhcsr::kSHalt | dhcsr::kSLockup)) != 0; }

DebugResult AwaitHaltOrLockup(uint64_t polls, uint32_t* state) {
    for (uint64_t poll = 0; poll < polls; ++poll) {
        const DebugResult read = DebugGetCoreState(state);
        if (read != DBG_OK) return read;
        if (HaltedOrLockedUp(*state)) break;
    }
    return DBG_OK;
}

}  // namespace cm3tools::run_control
