#include "target/core_debug.h"

#include <algorithm>

#include "target/registers.h"

namespace cm3sim {

bool CoreDebug::haltingDebugEnabled() const { return (control_ & dhcsr::kCDebugEn) != 0; }

uint32_t CoreDebug::peekDhcsr() const {
    uint32_t value = control_;
    if (regReady_ && !config_.regReadyNeverSet) value |= dhcsr::kSRegRdy;
    if (halted_) value |= dhcsr::kSHalt;
    const bool running = !inReset_ && !halted_;
    if (running && core_.lockedUp()) value |= dhcsr::kSLockup;
    if (running && core_.sleeping()) value |= dhcsr::kSSleep;
    if (retireSticky_) value |= dhcsr::kSRetireSt;
    // Held in reset, S_RESET_ST reads 1 however often it is read.
    if (resetSticky_ || inReset_) value |= dhcsr::kSResetSt;
    return value;
}

uint32_t CoreDebug::readDhcsr(uint32_t lanes) {
    ++counters_.dhcsrReads;
    const uint32_t value = peekDhcsr();
    // A read that leaves out the top byte leaves the sticky bits set.
    if (lanes & (1u << dhcsr::kStickyLane)) {
        retireSticky_ = false;
        resetSticky_ = inReset_;
    }
    return value;
}

void CoreDebug::writeDhcsr(uint32_t value) {
    ++counters_.dhcsrWrites;
    if ((value >> dhcsr::kKeyShift) != dhcsr::kDbgKey) {
        ++counters_.dhcsrWritesWithoutKey;
        return;
    }
    const uint32_t requested = value & dhcsr::kControlMask;
    if (!(requested & dhcsr::kCDebugEn)) {
        // Without halting debug the other control bits mean nothing.
        control_ = 0;
        if (halted_) resume();
        return;
    }
    control_ = requested;
    if (inReset_) return;  // looked at when the reset ends
    if ((requested & dhcsr::kCHalt) && !halted_) {
        enterDebugState(dfsr::kHalted);
    } else if (!(requested & dhcsr::kCHalt) && halted_) {
        resume();
    }
}

void CoreDebug::enterDebugState(uint32_t reason) {
    halted_ = true;
    control_ |= dhcsr::kCHalt;
    dfsr_ |= reason;
    core_.halted();
}

void CoreDebug::resume() {
    halted_ = false;
    if (control_ & dhcsr::kCStep) stepOnce();
}

namespace {

// The DFSR bit of a stop that enters Debug state; 0 for one that does not.
uint32_t DebugReason(CoreStop stop) {
    switch (stop) {
    case CoreStop::Breakpoint: return dfsr::kBkpt;
    case CoreStop::VectorCatch: return dfsr::kVCatch;
    case CoreStop::Watchpoint: return dfsr::kDwtTrap;
    case CoreStop::Budget:
    case CoreStop::Lockup: break;
    }
    return 0;
}

}  // namespace

// One processor cycle per retired instruction: CYCCNT moves only as the core
// executes, never in Debug state.
void CoreDebug::retired(const CoreRunResult& result) {
    retired_ += result.retired;
    if (result.retired > 0) retireSticky_ = true;
    if (demcr_ & demcr::kTrcEna) dwt_.countCycles(result.retired);
}

void CoreDebug::stepOnce() {
    const CoreRunResult result = core_.step();
    retired(result);
    if (result.stop == CoreStop::Lockup) return;  // nothing retires; the core stays locked up
    const uint32_t reason = DebugReason(result.stop);
    enterDebugState(reason != 0 ? reason : dfsr::kHalted);
}

void CoreDebug::runCore(uint64_t nanoseconds) {
    if (haltingDebugEnabled() && (control_ & dhcsr::kCStep)) {
        stepOnce();
        return;
    }
    const CoreRunResult result = core_.run(nanoseconds);
    retired(result);
    if (const uint32_t reason = DebugReason(result.stop)) enterDebugState(reason);
}

void CoreDebug::writeDcrsr(uint32_t value) {
    ++counters_.dcrsrWrites;
    regReady_ = false;
    // The register file is only reachable in Debug state: a transfer asked
    // for while the core runs never completes.
    if (!halted_) {
        transfer_.reset();
        return;
    }
    transfer_ = Transfer{uint8_t(value & dcrsr::kRegSelMask), (value & dcrsr::kRegWnR) != 0,
                         config_.registerTransferNs};
    settle();
}

uint32_t CoreDebug::readDcrdr() {
    ++counters_.dcrdrReads;
    return dcrdr_;
}

void CoreDebug::writeDcrdr(uint32_t value) {
    ++counters_.dcrdrWrites;
    dcrdr_ = value;
}

void CoreDebug::writeDemcr(uint32_t value) { demcr_ = value & demcr::kWritableMask; }

void CoreDebug::clearDfsr(uint32_t bits) { dfsr_ &= ~(bits & dfsr::kMask); }

void CoreDebug::reset(ResetKind kind) {
    switch (kind) {
    case ResetKind::PowerOn:
        ++counters_.powerOnResets;
        control_ = 0;
        demcr_ = 0;
        dfsr_ = 0;
        dcrdr_ = 0;
        regReady_ = true;
        retireSticky_ = false;
        break;
    case ResetKind::System: ++counters_.systemResets; break;
    case ResetKind::Core: ++counters_.coreResets; break;
    }
    // Every reset clears C_HALT; a core meant to stop after a reset stops
    // through VC_CORERESET.
    control_ &= ~dhcsr::kCHalt;
    halted_ = false;
    transfer_.reset();
    resetSticky_ = true;
    inReset_ = true;
    resetRemainingNs_ = config_.resetDurationNs;
    settle();
}

void CoreDebug::setResetPin(bool asserted) {
    pinAsserted_ = asserted;
    // The internal reset outlasts the pin by the modeled reset time.
    if (!asserted) resetRemainingNs_ = config_.resetDurationNs;
    settle();
}

void CoreDebug::leaveReset() {
    inReset_ = false;
    core_.reset();
    if (!haltingDebugEnabled()) return;
    if (demcr_ & demcr::kVcCoreReset) {
        enterDebugState(dfsr::kVCatch);
    } else if (control_ & dhcsr::kCHalt) {  // a halt requested while the reset was held
        enterDebugState(dfsr::kHalted);
    }
}

void CoreDebug::settle() {
    if (inReset_ && !pinAsserted_ && resetRemainingNs_ == 0 && !config_.resetNeverEnds) leaveReset();
    if (transfer_ && transfer_->remainingNs == 0 && !config_.regReadyNeverSet) {
        const Transfer transfer = *transfer_;
        transfer_.reset();
        if (!halted_) return;  // resumed before the transfer finished: lost
        if (transfer.write) {
            core_.writeRegister(transfer.regsel, dcrdr_);
        } else {
            dcrdr_ = core_.readRegister(transfer.regsel).value_or(0);
        }
        regReady_ = true;
        ++counters_.registerTransfers;
    }
}

void CoreDebug::advance(uint64_t nanoseconds) {
    settle();
    while (nanoseconds > 0) {
        uint64_t slice = nanoseconds;
        const bool resetCounting = inReset_ && !pinAsserted_ && resetRemainingNs_ > 0;
        if (resetCounting) slice = std::min(slice, resetRemainingNs_);
        if (transfer_ && transfer_->remainingNs > 0) slice = std::min(slice, transfer_->remainingNs);
        if (resetCounting) {
            resetRemainingNs_ -= slice;
        } else if (!inReset_ && !halted_) {
            runCore(slice);
        }
        if (transfer_) transfer_->remainingNs -= std::min(transfer_->remainingNs, slice);
        nanoseconds -= slice;
        settle();
    }
}

}  // namespace cm3sim
