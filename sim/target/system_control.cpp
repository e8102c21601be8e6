#include "target/system_control.h"

#include <algorithm>

#include "target/registers.h"

namespace cm3sim {

namespace {

using namespace system_control;

constexpr uint32_t kBankBytes = kProtectionBlock * kBlocksPerRegister;

NonVolatileRegisters FromConfig(const SimConfig& config) {
    return {config.flashReadEnable, config.flashProgramEnable, config.userDbg, config.userReg};
}

// A size field of DC0: whole units, less one.
uint32_t SizeField(uint32_t bytes, uint32_t unit) {
    return (std::max(bytes / unit, 1u) - 1) & kSizeFieldMask;
}

constexpr std::array<uint32_t, 3> kGatingBases = {kRcgc0Offset, kScgc0Offset, kDcgc0Offset};

}  // namespace

SystemControlBlock::SystemControlBlock(const SimConfig& config)
    : config_(config), committed_(FromConfig(config)), live_(committed_) {
    reset();
}

void SystemControlBlock::reset() {
    live_ = committed_;
    rcc_ = kRccReset;
    rcc2_ = kRcc2Reset;
    usecrl_ = kUsecrlReset;
    dslpClkCfg_ = kDslpClkCfgReset;
    gating_.fill(0);
    for (uint32_t group = 0; group < kGatingBases.size(); ++group) gating_[group * kGatingRegisters] = kRcgc0Reset;
}

uint32_t SystemControlBlock::protectionRegisters() const {
    const uint32_t banks = (config_.flash.size + kBankBytes - 1) / kBankBytes;
    return std::clamp(banks, 1u, kMaxProtectionRegisters);
}

uint32_t* SystemControlBlock::nonVolatile(NonVolatileRegisters& set, uint32_t wordOffset) {
    switch (wordOffset) {
    case kFmpreOffset: return &set.readEnable[0];
    case kFmppeOffset: return &set.programEnable[0];
    case kUserDbgOffset: return &set.userDbg;
    case kUserReg0Offset: return &set.userReg[0];
    case kUserReg1Offset: return &set.userReg[1];
    default: break;
    }
    for (uint32_t n = 0; n < protectionRegisters(); ++n) {
        if (wordOffset == kFmpre0Offset + n * kRegisterStride) return &set.readEnable[n];
        if (wordOffset == kFmppe0Offset + n * kRegisterStride) return &set.programEnable[n];
    }
    return nullptr;
}

uint32_t* SystemControlBlock::clockRegister(uint32_t wordOffset) {
    switch (wordOffset) {
    case kRccOffset: return &rcc_;
    case kRcc2Offset: return &rcc2_;
    case kUsecrlOffset: return &usecrl_;
    case kDslpClkCfgOffset: return &dslpClkCfg_;
    default: break;
    }
    for (uint32_t group = 0; group < kGatingBases.size(); ++group) {
        for (uint32_t i = 0; i < kGatingRegisters; ++i) {
            if (wordOffset == kGatingBases[group] + i * kRegisterStride) return &gating_[group * kGatingRegisters + i];
        }
    }
    return nullptr;
}

BusRead SystemControlBlock::readRegister(uint32_t wordOffset, uint32_t) {
    switch (wordOffset) {
    case kDid0Offset: return {config_.deviceId0, false};
    case kDid1Offset: return {config_.deviceId1, false};
    case kDc0Offset:
        return {SizeField(config_.sram.size, kSramUnit) << kSramSizeShift | SizeField(config_.flash.size, kFlashUnit),
                false};
    case kDc1Offset:
    case kDc2Offset:
    case kDc3Offset:
    case kDc4Offset: return {config_.deviceCapabilities[(wordOffset - kDc1Offset) / kRegisterStride], false};
    case kPllCfgOffset: return {config_.pllCfg, false};
    default: break;
    }
    if (const uint32_t* value = clockRegister(wordOffset)) return {*value, false};
    if (const uint32_t* value = nonVolatile(live_, wordOffset)) return {*value, false};
    return {0, true};
}

bool SystemControlBlock::writeRegister(uint32_t wordOffset, uint32_t value) {
    switch (wordOffset) {
    case kDid0Offset:
    case kDid1Offset:
    case kDc0Offset:
    case kDc1Offset:
    case kDc2Offset:
    case kDc3Offset:
    case kDc4Offset:
    case kPllCfgOffset: return true;  // read-only: writes are ignored
    default: break;
    }
    if (uint32_t* reg = clockRegister(wordOffset)) {
        const uint32_t writable = wordOffset == kRccOffset          ? kRccWritable
                                  : wordOffset == kRcc2Offset       ? kRcc2Writable
                                  : wordOffset == kUsecrlOffset     ? kUsecrlWritable
                                  : wordOffset == kDslpClkCfgOffset ? kDslpClkCfgWritable
                                                                    : kAllBits;
        *reg = (*reg & ~writable) | (value & writable);
        return true;
    }
    if (uint32_t* reg = nonVolatile(live_, wordOffset)) {
        *reg &= value;  // non-volatile bits only go from 1 to 0
        return true;
    }
    return false;
}

bool SystemControlBlock::programEnabled(uint32_t address) const {
    const uint32_t block = (address - config_.flash.base) / kProtectionBlock;
    const uint32_t n = block / kBlocksPerRegister;
    if (n >= kMaxProtectionRegisters) return true;
    return (live_.programEnable[n] >> (block % kBlocksPerRegister) & 1u) != 0;
}

bool SystemControlBlock::allProgramEnabled() const {
    for (uint32_t offset = 0; offset < config_.flash.size; offset += kProtectionBlock) {
        if (!programEnabled(config_.flash.base + offset)) return false;
    }
    return true;
}

bool SystemControlBlock::commit(uint32_t selector) {
    uint32_t* live = nullptr;
    uint32_t* stored = nullptr;
    uint32_t written = 0;
    if (selector == kCommitUserDbg) {
        live = &live_.userDbg;
        stored = &committed_.userDbg;
        written = kNotWritten;
    } else if (selector == kCommitUserReg0 || selector == kCommitUserReg1) {
        live = &live_.userReg[selector - kCommitUserReg0];
        stored = &committed_.userReg[selector - kCommitUserReg0];
        written = kNotWritten;
    } else if (selector < 2 * protectionRegisters()) {
        const bool program = (selector & 1u) != 0;
        live = program ? &live_.programEnable[selector / 2] : &live_.readEnable[selector / 2];
        stored = program ? &committed_.programEnable[selector / 2] : &committed_.readEnable[selector / 2];
    } else {
        return false;
    }
    *stored &= *live & ~written;
    *live = *stored;
    return true;
}

}  // namespace cm3sim
