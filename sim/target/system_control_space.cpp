#include "target/system_control_space.h"

#include "target/coresight.h"
#include "target/registers.h"

namespace cm3sim {

namespace {
constexpr uint32_t Offset(uint32_t address) { return address - scs::kBase; }
constexpr uint32_t kByteMask = 0xFF;
constexpr uint32_t kBitsPerByte = 8;
}  // namespace

void SystemControlSpace::reset() {
    vtor_ = 0;
    priGroup_ = 0;
    shpr_ = {};
    shcsrEnables_ = 0;
    cfsr_ = 0;
    hfsr_ = 0;
    mmfar_ = 0;
    bfar_ = 0;
}

void SystemControlSpace::recordFault(const FaultRecord& record) {
    cfsr_ |= record.cfsr & cfsr::kMask;
    hfsr_ |= record.hfsr & hfsr::kMask;
    if (record.bfar) {
        bfar_ = *record.bfar;
        cfsr_ |= cfsr::kBfarValid;
    }
}

uint32_t SystemControlSpace::shcsrRead() const {
    uint32_t value = shcsrEnables_;
    for (const shcsr::ActiveBit& active : shcsr::kActiveBits) {
        if (core_.exceptionActive(active.exception)) value |= active.bit;
    }
    return value;
}

BusRead SystemControlSpace::readRegister(uint32_t wordOffset, uint32_t lanes) {
    if (auto id = IdRegister(component_ids::kScs, wordOffset)) return {*id, false};
    switch (wordOffset) {
    case Offset(cpuid::kAddress): return {config_.cpuid, false};
    case Offset(vtor::kAddress): return {vtor_, false};
    case Offset(aircr::kAddress): return {aircr::kVectKeyStat << aircr::kKeyShift | priGroup_, false};
    case Offset(shpr::kAddress):
    case Offset(shpr::kAddress) + shpr::kWordBytes:
    case Offset(shpr::kAddress) + 2 * shpr::kWordBytes:
        return {shpr_[(wordOffset - Offset(shpr::kAddress)) / shpr::kWordBytes], false};
    case Offset(shcsr::kAddress): return {shcsrRead(), false};
    case Offset(cfsr::kAddress): return {cfsr_, false};
    case Offset(hfsr::kAddress): return {hfsr_, false};
    case Offset(mmfar::kAddress): return {mmfar_, false};
    case Offset(bfar::kAddress): return {bfar_, false};
    case Offset(dfsr::kAddress): return {debug_.dfsr(), false};
    case Offset(dhcsr::kAddress): return {debug_.readDhcsr(lanes), false};
    case Offset(dcrdr::kAddress): return {debug_.readDcrdr(), false};
    case Offset(demcr::kAddress): return {debug_.demcr(), false};
    default: return {0, false};  // DCRSR is write-only
    }
}

bool SystemControlSpace::writeRegister(uint32_t wordOffset, uint32_t value) {
    switch (wordOffset) {
    case Offset(vtor::kAddress): vtor_ = value & vtor::kMask; break;
    case Offset(aircr::kAddress): writeAircr(value); break;
    case Offset(shpr::kAddress):
    case Offset(shpr::kAddress) + shpr::kWordBytes:
    case Offset(shpr::kAddress) + 2 * shpr::kWordBytes: {
        const uint32_t index = (wordOffset - Offset(shpr::kAddress)) / shpr::kWordBytes;
        shpr_[index] = value & shpr::kImplemented[index];
        break;
    }
    // The active bits are the core's; this model does not let software change them.
    case Offset(shcsr::kAddress): shcsrEnables_ = value & shcsr::kEnableMask; break;
    case Offset(cfsr::kAddress): cfsr_ &= ~value; break;  // write one to clear
    case Offset(hfsr::kAddress): hfsr_ &= ~value; break;
    case Offset(mmfar::kAddress): mmfar_ = value; break;
    case Offset(bfar::kAddress): bfar_ = value; break;
    case Offset(dfsr::kAddress): debug_.clearDfsr(value); break;  // write one to clear
    case Offset(dhcsr::kAddress): debug_.writeDhcsr(value); break;
    case Offset(dcrsr::kAddress): debug_.writeDcrsr(value); break;
    case Offset(dcrdr::kAddress): debug_.writeDcrdr(value); break;
    case Offset(demcr::kAddress): debug_.writeDemcr(value); break;
    default: break;
    }
    return true;
}

// SHPR and the fault status registers take byte and halfword writes
// (CMSIS writes one handler's priority, or one of MMFSR, BFSR, UFSR).
bool SystemControlSpace::writeLanes(uint32_t wordOffset, uint32_t lanes, uint32_t value) {
    const bool shprWord = wordOffset >= Offset(shpr::kAddress) &&
                          wordOffset < Offset(shpr::kAddress) + shpr::kRegisters * shpr::kWordBytes;
    if (wordOffset == Offset(cfsr::kAddress)) return writeRegister(wordOffset, value);  // zero lanes clear nothing
    if (!shprWord) return false;
    uint32_t laneMask = 0;
    for (uint32_t lane = 0; lane < shpr::kWordBytes; ++lane) {
        if (lanes & (1u << lane)) laneMask |= kByteMask << (kBitsPerByte * lane);
    }
    const uint32_t old = shpr_[(wordOffset - Offset(shpr::kAddress)) / shpr::kWordBytes];
    return writeRegister(wordOffset, (old & ~laneMask) | (value & laneMask));
}

void SystemControlSpace::writeAircr(uint32_t value) {
    if ((value >> aircr::kKeyShift) != aircr::kVectKey) return;
    priGroup_ = value & aircr::kPriGroupMask;
    if (value & aircr::kVectClrActive) core_.clearActiveExceptions();
    // Asking for both resets at once is UNPREDICTABLE; the wider one wins here.
    if (value & aircr::kSysResetReq) {
        requestReset_(ResetKind::System);
    } else if (value & aircr::kVectReset) {
        requestReset_(ResetKind::Core);
    }
}

}  // namespace cm3sim
