#include "target/fpb.h"

#include "target/coresight.h"

namespace cm3sim {

namespace {

constexpr uint32_t kCtrlFixedFields = (fpb::kNumCode & fpb::kNibble) << fpb::kCtrlNumCodeShift |
                                      (fpb::kNumLit & fpb::kNibble) << fpb::kCtrlNumLitShift |
                                      (fpb::kNumCode >> fpb::kNibbleBits) << fpb::kCtrlNumCode2Shift;
static_assert(kCtrlFixedFields == 0x260);

constexpr uint32_t kCompEnd = fpb::kComp0Offset + fpb::kNumComparators * sizeof(uint32_t);

}  // namespace

FpbMatch Fpb::matchInstruction(uint32_t address) const {
    if (!enabled_ || address >= memory_map::kCodeRegionEnd) return FpbMatch::None;
    for (uint32_t i = 0; i < fpb::kNumCode; ++i) {
        const uint32_t comp = comparators_[i];
        if (!(comp & fpb::kCompEnable) || (comp & fpb::kCompAddressMask) != (address & fpb::kCompAddressMask)) {
            continue;
        }
        const bool upper = (address & fpb::kUpperHalfword) != 0;
        switch (comp >> fpb::kReplaceShift) {
        case fpb::kReplaceRemap: return FpbMatch::Remap;
        case fpb::kReplaceLowerHalfword:
            if (!upper) return FpbMatch::Breakpoint;
            break;
        case fpb::kReplaceUpperHalfword:
            if (upper) return FpbMatch::Breakpoint;
            break;
        default: return FpbMatch::Breakpoint;
        }
    }
    return FpbMatch::None;
}

void Fpb::reset() {
    enabled_ = false;
    remap_ = 0;
    comparators_ = {};
}

BusRead Fpb::readRegister(uint32_t wordOffset, uint32_t) {
    if (auto id = IdRegister(component_ids::kFpb, wordOffset)) return {*id, false};
    if (wordOffset == fpb::kCtrlOffset) return {kCtrlFixedFields | (enabled_ ? fpb::kCtrlEnable : 0u), false};
    if (wordOffset == fpb::kRemapOffset) return {fpb::kRemapSupported | remap_, false};
    if (wordOffset >= fpb::kComp0Offset && wordOffset < kCompEnd) {
        return {comparators_[(wordOffset - fpb::kComp0Offset) / sizeof(uint32_t)], false};
    }
    return {0, false};
}

bool Fpb::writeRegister(uint32_t wordOffset, uint32_t value) {
    if (wordOffset == fpb::kCtrlOffset) {
        // ENABLE only changes when the write carries KEY.
        if (value & fpb::kCtrlKey) enabled_ = (value & fpb::kCtrlEnable) != 0;
    } else if (wordOffset == fpb::kRemapOffset) {
        remap_ = value & fpb::kRemapMask;
    } else if (wordOffset >= fpb::kComp0Offset && wordOffset < kCompEnd) {
        comparators_[(wordOffset - fpb::kComp0Offset) / sizeof(uint32_t)] = value & fpb::kCompWritableMask;
    }
    return true;
}

}  // namespace cm3sim
