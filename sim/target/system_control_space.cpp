#include "target/system_control_space.h"

#include "target/coresight.h"
#include "target/registers.h"

namespace cm3sim {

namespace {
constexpr uint32_t Offset(uint32_t address) { return address - scs::kBase; }
}  // namespace

void SystemControlSpace::reset() {
    vtor_ = 0;
    priGroup_ = 0;
}

BusRead SystemControlSpace::readRegister(uint32_t wordOffset, uint32_t lanes) {
    if (auto id = IdRegister(component_ids::kScs, wordOffset)) return {*id, false};
    switch (wordOffset) {
    case Offset(cpuid::kAddress): return {config_.cpuid, false};
    case Offset(vtor::kAddress): return {vtor_, false};
    case Offset(aircr::kAddress): return {aircr::kVectKeyStat << aircr::kKeyShift | priGroup_, false};
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
    case Offset(dfsr::kAddress): debug_.clearDfsr(value); break;  // write one to clear
    case Offset(dhcsr::kAddress): debug_.writeDhcsr(value); break;
    case Offset(dcrsr::kAddress): debug_.writeDcrsr(value); break;
    case Offset(dcrdr::kAddress): debug_.writeDcrdr(value); break;
    case Offset(demcr::kAddress): debug_.writeDemcr(value); break;
    default: break;
    }
    return true;
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
