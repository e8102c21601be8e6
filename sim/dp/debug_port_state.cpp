#include "dp/debug_port_state.h"

#include "dp/dp_registers.h"

namespace cm3sim {

namespace {
inline constexpr uint32_t kLaneBits = 8;
inline constexpr uint32_t kLaneCount = 4;
inline constexpr uint32_t kLaneMask = 0xFF;

uint32_t LaneMask(uint32_t maskLane) {
    uint32_t mask = 0;
    for (uint32_t lane = 0; lane < kLaneCount; ++lane) {
        if ((maskLane >> lane) & 1u) mask |= kLaneMask << (lane * kLaneBits);
    }
    return mask;
}
}  // namespace

DebugPortState::DebugPortState(SimConfig& config, AccessPortBus& bus, VirtualTime& time)
    : config_(config), bus_(bus), time_(time) {}

void DebugPortState::powerOnReset() {
    control_ = 0;
    status_ = 0;
    select_ = 0;
    wcr_ = wcr::kResetValue;
    readBuffer_ = 0;
    updatePower();
}

uint32_t DebugPortState::ctrlStat() {
    updatePower();
    uint32_t value = control_ | status_;
    if (debugPowered_) value |= ctrl_stat::kCDbgPwrUpAck;
    if (systemPowered_) value |= ctrl_stat::kCSysPwrUpAck;
    if (control_ & ctrl_stat::kCDbgRstReq) value |= ctrl_stat::kCDbgRstAck;
    return value;
}

void DebugPortState::writeCtrlStat(uint32_t value, WireProtocol face) {
    control_ = value & ctrl_stat::kWritable;
    if (face == WireProtocol::Jtag) status_ &= ~(value & ctrl_stat::kWriteOneToClear);
    updatePower();
}

void DebugPortState::writeAbort(uint32_t value, WireProtocol face) {
    if (value & abort_reg::kDapAbort) {
        // Ends the stalled AP transaction the WAIT fault stands for.
        config_.waitNextApTransactions = 0;
    }
    // The JTAG-DP's ABORT has only DAPABORT; the other bits are reserved there.
    if (face == WireProtocol::Jtag) return;
    if (value & abort_reg::kStkCmpClr) status_ &= ~ctrl_stat::kStickyCmp;
    if (value & abort_reg::kStkErrClr) status_ &= ~ctrl_stat::kStickyErr;
    if (value & abort_reg::kWdErrClr) status_ &= ~ctrl_stat::kWDataErr;
    if (value & abort_reg::kOrunErrClr) status_ &= ~ctrl_stat::kStickyOrun;
}

void DebugPortState::setReadOk(bool ok) {
    if (ok) {
        status_ |= ctrl_stat::kReadOk;
    } else {
        status_ &= ~ctrl_stat::kReadOk;
    }
}

bool DebugPortState::takeApWait() {
    if (config_.waitNextApTransactions == 0) return false;
    --config_.waitNextApTransactions;
    return true;
}

uint8_t DebugPortState::apAddress(uint8_t a32) const {
    return static_cast<uint8_t>((select_ & select_reg::kApBankSelMask) |
                                ((a32 & dp_address::kA32Mask) << dp_address::kA32Shift));
}

bool DebugPortState::takeApFailure() {
    if (apFailures_ == 0) return false;
    --apFailures_;
    status_ |= ctrl_stat::kStickyErr;
    return true;
}

ApResponse DebugPortState::apRead(uint8_t a32) {
    if (takeApFailure()) return {0, true};
    updatePower();
    time_.flush();
    const ApResponse response =
        bus_.apRead(static_cast<uint8_t>(select_ >> select_reg::kApSelShift), apAddress(a32));
    if (response.error) status_ |= ctrl_stat::kStickyErr;
    return response;
}

void DebugPortState::apWrite(uint8_t a32, uint32_t value) {
    if (takeApFailure()) return;
    const uint32_t mode = (control_ & ctrl_stat::kTrnModeMask) >> ctrl_stat::kTrnModeShift;
    if (mode == ctrl_stat::kTrnModePushedVerify || mode == ctrl_stat::kTrnModePushedCompare) {
        // A pushed operation reads the AP and compares instead of writing.
        const ApResponse response = apRead(a32);
        if (response.error) return;
        const uint32_t mask =
            LaneMask((control_ & ctrl_stat::kMaskLaneMask) >> ctrl_stat::kMaskLaneShift);
        const bool match = ((response.value ^ value) & mask) == 0;
        if (match == (mode == ctrl_stat::kTrnModePushedCompare)) status_ |= ctrl_stat::kStickyCmp;
        return;
    }
    updatePower();
    time_.flush();
    const ApResponse response =
        bus_.apWrite(static_cast<uint8_t>(select_ >> select_reg::kApSelShift), apAddress(a32), value);
    if (response.error) status_ |= ctrl_stat::kStickyErr;
}

void DebugPortState::log(const WireTransaction& transaction) {
    if (config_.logWireTransactions) log_.push_back(transaction);
}

void DebugPortState::updatePower() {
    const bool never = config_.powerUpNeverAcknowledged;
    const bool debug = (control_ & ctrl_stat::kCDbgPwrUpReq) != 0 && !never;
    const bool system = (control_ & ctrl_stat::kCSysPwrUpReq) != 0 && !never;
    if (debug == debugPowered_ && system == systemPowered_) return;
    debugPowered_ = debug;
    systemPowered_ = system;
    bus_.setDebugPower(debug, system);
}

}  // namespace cm3sim
