#include "dp/jtag_dp.h"

#include "dp/dp_registers.h"

namespace cm3sim {

TapState NextTapState(TapState state, bool tms) {
    using S = TapState;
    switch (state) {
    case S::TestLogicReset: return tms ? S::TestLogicReset : S::RunTestIdle;
    case S::RunTestIdle: return tms ? S::SelectDrScan : S::RunTestIdle;
    case S::SelectDrScan: return tms ? S::SelectIrScan : S::CaptureDr;
    case S::CaptureDr: return tms ? S::Exit1Dr : S::ShiftDr;
    case S::ShiftDr: return tms ? S::Exit1Dr : S::ShiftDr;
    case S::Exit1Dr: return tms ? S::UpdateDr : S::PauseDr;
    case S::PauseDr: return tms ? S::Exit2Dr : S::PauseDr;
    case S::Exit2Dr: return tms ? S::UpdateDr : S::ShiftDr;
    case S::UpdateDr: return tms ? S::SelectDrScan : S::RunTestIdle;
    case S::SelectIrScan: return tms ? S::TestLogicReset : S::CaptureIr;
    case S::CaptureIr: return tms ? S::Exit1Ir : S::ShiftIr;
    case S::ShiftIr: return tms ? S::Exit1Ir : S::ShiftIr;
    case S::Exit1Ir: return tms ? S::UpdateIr : S::PauseIr;
    case S::PauseIr: return tms ? S::Exit2Ir : S::PauseIr;
    case S::Exit2Ir: return tms ? S::UpdateIr : S::ShiftIr;
    case S::UpdateIr: return tms ? S::SelectDrScan : S::RunTestIdle;
    }
    return S::TestLogicReset;
}

uint32_t JtagDp::drLength() const {
    switch (ir_) {
    case jtag_ir::kIdcode: return jtag_dr::kIdcodeLength;
    case jtag_ir::kDpAcc:
    case jtag_ir::kApAcc:
    case jtag_ir::kAbort: return jtag_dr::kAccLength;
    default: return jtag_dr::kBypassLength;  // BYPASS, and every unknown instruction
    }
}

void JtagDp::risingEdge(bool tms, bool tdi) {
    switch (state_) {
    case TapState::CaptureDr:
        captureDr();
        break;
    case TapState::ShiftDr:
        drShift_ = (drShift_ >> 1) | (static_cast<uint64_t>(tdi) << (drLength() - 1));
        break;
    case TapState::CaptureIr:
        irShift_ = jtag_ir::kCapture;
        break;
    case TapState::ShiftIr:
        irShift_ = static_cast<uint8_t>((irShift_ >> 1) | (static_cast<uint8_t>(tdi) << (jtag_ir::kLength - 1)));
        break;
    default:
        break;
    }
    state_ = NextTapState(state_, tms);
}

void JtagDp::fallingEdge() {
    switch (state_) {
    case TapState::TestLogicReset:
        ir_ = jtag_ir::kIdcode;
        break;
    case TapState::UpdateIr:
        ir_ = irShift_ & jtag_ir::kMask;
        break;
    case TapState::UpdateDr:
        updateDr();
        break;
    default:
        break;
    }
    if (state_ == TapState::ShiftDr) {
        tdo_ = (drShift_ & 1u) != 0;
    } else if (state_ == TapState::ShiftIr) {
        tdo_ = (irShift_ & 1u) != 0;
    } else {
        tdo_.reset();
    }
}

void JtagDp::captureDr() {
    switch (ir_) {
    case jtag_ir::kIdcode:
        drShift_ = config_.jtagIdcode;
        return;
    case jtag_ir::kDpAcc:
    case jtag_ir::kApAcc: {
        // The ACK says whether the previous transaction has finished; if not,
        // the one shifted in by this scan is dropped at Update-DR.
        uint8_t ack = jtag_ack::kOkFault;
        if (apInProgress_ && dp_.takeApWait()) {
            ack = jtag_ack::kWait;
            if (dp_.overrunDetect()) dp_.raise(ctrl_stat::kStickyOrun);
        } else {
            apInProgress_ = false;
        }
        dropUpdate_ = ack == jtag_ack::kWait;
        drShift_ = ack | (static_cast<uint64_t>(readResult_) << jtag_dr::kAckBits);
        return;
    }
    default:
        drShift_ = 0;
        return;
    }
}

void JtagDp::updateDr() {
    const bool read = (drShift_ & jtag_dr::kRnW) != 0;
    const uint8_t a32 = static_cast<uint8_t>((drShift_ >> jtag_dr::kA32Shift) & dp_address::kA32Mask);
    const uint32_t data = static_cast<uint32_t>(drShift_ >> jtag_dr::kAckBits);
    WireTransaction t;
    t.protocol = WireProtocol::Jtag;
    t.ap = ir_ == jtag_ir::kApAcc;
    t.read = read;
    t.address = static_cast<uint8_t>(a32 << dp_address::kA32Shift);
    t.ack = dropUpdate_ ? jtag_ack::kWait : jtag_ack::kOkFault;
    switch (ir_) {
    case jtag_ir::kAbort:
        dp_.writeAbort(data, WireProtocol::Jtag);
        return;
    case jtag_ir::kDpAcc:
        if (dropUpdate_) break;
        if (read) {
            readResult_ = readDpRegister(t.address);
        } else {
            readResult_ = 0;
            if (t.address == dp_address::kCtrlStat) dp_.writeCtrlStat(data, WireProtocol::Jtag);
            if (t.address == dp_address::kSelectResend) dp_.writeSelect(data);
        }
        break;
    case jtag_ir::kApAcc:
        if (dropUpdate_) break;
        readResult_ = 0;
        // With a sticky flag set the DP discards AP transactions.
        if (dp_.stickyFlags() != 0) break;
        if (read) {
            readResult_ = dp_.apRead(a32).value;
        } else {
            dp_.apWrite(a32, data);
        }
        apInProgress_ = config_.waitNextApTransactions != 0;
        break;
    default:
        return;
    }
    t.data = read ? readResult_ : data;
    dp_.log(t);
    dropUpdate_ = false;
}

uint32_t JtagDp::readDpRegister(uint8_t address) {
    switch (address) {
    case dp_address::kIdcodeAbort: return config_.swdpIdcode;
    case dp_address::kCtrlStat: return dp_.ctrlStat();
    case dp_address::kSelectResend: return dp_.select();
    default: return 0;  // RDBUFF reads as zero on the JTAG-DP; the scan itself returns the result
    }
}

}  // namespace cm3sim
