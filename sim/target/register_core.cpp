#include "target/register_core.h"

#include "target/registers.h"

namespace cm3sim {

namespace {
constexpr uint64_t kNanosecondsPerMicrosecond = 1000;
}

void RegisterCore::reset() {
    r_.fill(0);
    psp_ = 0;
    lr_ = core_reset::kLrResetValue;
    special_ = 0;
    lockedUp_ = false;
    carry_ = 0;
    const std::optional<uint32_t> sp = hooks_.readVector(core_reset::kInitialSpAddress);
    const std::optional<uint32_t> entry = hooks_.readVector(core_reset::kResetVectorAddress);
    msp_ = sp.value_or(0) & core_reset::kStackAlignMask;
    pc_ = entry.value_or(0) & ~core_reset::kThumbBit;
    xpsr_ = xpsr::kThumb;
    // A reset vector without the Thumb bit faults, and so does a fetch from
    // nowhere; with the fault vectors as unusable as the reset one (erased
    // flash), the core ends in lockup.
    if (!sp || !entry || !(*entry & core_reset::kThumbBit) || !hooks_.executable(pc_)) lockUp();
}

void RegisterCore::lockUp() {
    lockedUp_ = true;
    pc_ = core_reset::kLockupAddress;
    xpsr_ = xpsr::kThumb | xpsr::kHardFault;
}

CoreRunResult RegisterCore::run(uint64_t nanoseconds) {
    const uint64_t rate = config_.instructionsPerMicrosecond;
    const uint64_t partial = carry_ + (nanoseconds % kNanosecondsPerMicrosecond) * rate;
    carry_ = partial % kNanosecondsPerMicrosecond;
    return execute(nanoseconds / kNanosecondsPerMicrosecond * rate + partial / kNanosecondsPerMicrosecond);
}

CoreRunResult RegisterCore::step() { return execute(1); }

CoreRunResult RegisterCore::execute(uint64_t instructions) {
    if (lockedUp_) return {0, CoreStop::Lockup};
    if (instructions == 0) return {};
    if (!hooks_.executable(pc_)) {
        lockUp();
        return {0, CoreStop::Lockup};
    }
    // Breakpoints halt before the instruction executes.
    if (hooks_.breakpointAt(pc_)) return {0, CoreStop::Breakpoint};
    return {instructions, CoreStop::Budget};
}

void RegisterCore::clearActiveExceptions() { xpsr_ &= ~xpsr::kExceptionMask; }

bool RegisterCore::usingProcessStack() const {
    const bool threadMode = (xpsr_ & xpsr::kExceptionMask) == 0;
    return threadMode && (special_ >> special_regs::kControlShift & special_regs::kControlSpSel);
}

std::optional<uint32_t> RegisterCore::readRegister(uint8_t regsel) const {
    if (regsel <= regsel::kR12) return r_[regsel];
    switch (regsel) {
    case regsel::kSp: return usingProcessStack() ? psp_ : msp_;
    case regsel::kLr: return lr_;
    case regsel::kDebugReturnAddress: return pc_;
    case regsel::kXpsr: return xpsr_;
    case regsel::kMsp: return msp_;
    case regsel::kPsp: return psp_;
    case regsel::kSpecial: return special_;
    default: return std::nullopt;
    }
}

bool RegisterCore::writeRegister(uint8_t regsel, uint32_t value) {
    if (regsel <= regsel::kR12) {
        r_[regsel] = value;
        return true;
    }
    switch (regsel) {
    case regsel::kSp: (usingProcessStack() ? psp_ : msp_) = value & core_reset::kStackAlignMask; return true;
    case regsel::kLr: lr_ = value; return true;
    case regsel::kDebugReturnAddress: pc_ = value & ~core_reset::kThumbBit; return true;
    case regsel::kXpsr: xpsr_ = value & xpsr::kImplementedMask; return true;
    case regsel::kMsp: msp_ = value & core_reset::kStackAlignMask; return true;
    case regsel::kPsp: psp_ = value & core_reset::kStackAlignMask; return true;
    case regsel::kSpecial: special_ = value & special_regs::kImplementedMask; return true;
    default: return false;
    }
}

}  // namespace cm3sim
