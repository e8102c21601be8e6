// Six instruction breakpoints in the FPB's comparators, one per slot.
#include "cm3probe.h"
#include "frame/connection.h"
#include "frame/export_frame.h"
#include "core/core_access.h"
#include "core/fpb_registers.h"

namespace cm3probe::core {
namespace {

inline constexpr uint32_t kHalfwordSelect = 0x2;

constexpr uint32_t ComparatorValue(uint32_t address) {
    uint32_t replace = (address & kHalfwordSelect) ? fp_comp::kReplaceUpper : fp_comp::kReplaceLower;
    return replace | (address & fp_comp::kCompareMask) | fp_comp::kEnable;
}
static_assert(ComparatorValue(0x124) == 0x40000125 && ComparatorValue(0x126) == 0x80000125);

constexpr uint32_t ComparatorAddress(uint32_t slot) { return fp_comp::kAddress0 + 4 * slot; }

DebugResult Set(uint32_t address) {
    for (uint32_t slot = 0; slot < kBreakpointSlots; ++slot) {
        BreakpointSlot& entry = g_connection.breakpoints[slot];
        if (entry.inUse) continue;
        DebugResult result = WriteWord(ComparatorAddress(slot), ComparatorValue(address));
        if (result != DBG_OK) return result;
        entry = BreakpointSlot{1, address};
        return DBG_OK;
    }
    return DBG_NO_BREAKPOINT_SLOT;
}

DebugResult Clear(uint32_t address) {
    for (uint32_t slot = 0; slot < kBreakpointSlots; ++slot) {
        BreakpointSlot& entry = g_connection.breakpoints[slot];
        if (!entry.inUse || entry.address != address) continue;
        DebugResult result = WriteWord(ComparatorAddress(slot), 0);
        if (result != DBG_OK) return result;
        entry = BreakpointSlot{0, 0};
        return DBG_OK;
    }
    return DBG_NO_BREAKPOINT_SLOT;
}

}  // namespace
}  // namespace cm3probe::core

using cm3probe::g_connection;
using cm3probe::connection::Locked;

extern "C" CM3PROBE_API DebugResult DebugSetBreakpoint(uint32_t address) {
    if (!g_connection.initialised) return DBG_NOT_INITIALISED;
    return Locked([&] { return cm3probe::core::Set(address); });
}

extern "C" CM3PROBE_API DebugResult DebugClearBreakpoint(uint32_t address) {
    if (!g_connection.initialised) return DBG_NOT_INITIALISED;
    return Locked([&] { return cm3probe::core::Clear(address); });
}
