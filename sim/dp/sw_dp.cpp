#include "dp/sw_dp.h"

#include "dp/dp_registers.h"

namespace cm3sim {

// Wire timing of one SWD transaction, cycles numbered from its start bit. The
// target samples the host on rising edges and launches its own bits on rising
// edges too; at every edge the samples are taken before anything changes, so a
// host sampling on the falling edge of a cycle reads what the target launched
// on that cycle's rising edge.
//   1-8    request, sampled
//   9-11   ACK bits 0-2 launched (the target takes the line in 9)
//   read:  12-43 data, 44 parity, 45 line released, 46 turnaround
//   write: 12 line released, 13 turnaround, 14-45 data and 46 parity sampled
//   WAIT or FAULT: released in 12; without ORUNDETECT the port looks for a
//   start bit again from 14, with it the data phase is kept (to 46).
namespace swd_cycle {
inline constexpr uint32_t kRequestEnd = 8;
inline constexpr uint32_t kAckFirst = 9;
inline constexpr uint32_t kAckLast = 11;
inline constexpr uint32_t kReadDataFirst = 12;
inline constexpr uint32_t kReadDataLast = 43;
inline constexpr uint32_t kReadParity = 44;
inline constexpr uint32_t kReadRelease = 45;
inline constexpr uint32_t kAfterAckRelease = 12;
inline constexpr uint32_t kNoDataPhaseEnd = 13;
inline constexpr uint32_t kWriteDataFirst = 14;
inline constexpr uint32_t kWriteDataLast = 45;
inline constexpr uint32_t kLast = 46;
}  // namespace swd_cycle

void SwDp::lockOut() {
    phase_ = Phase::LockedOut;
    drive_.reset();
    ones_ = 0;
}

void SwDp::protocolError() {
    // ADIv5: no answer, and the port ignores the line until a line reset.
    phase_ = Phase::LockedOut;
    drive_.reset();
    WireTransaction t = transaction(0);
    t.ack = kNotAnswered;
    dp_.log(t);
}

WireTransaction SwDp::transaction(uint32_t data) const {
    WireTransaction t;
    t.protocol = WireProtocol::Swd;
    t.ap = (request_ & swd_request::kApNDp) != 0;
    t.read = (request_ & swd_request::kRnW) != 0;
    t.address = static_cast<uint8_t>(((request_ >> swd_request::kA32Shift) & dp_address::kA32Mask)
                                     << dp_address::kA32Shift);
    t.ack = ack_;
    t.data = data;
    return t;
}

void SwDp::risingEdge(bool line) {
    ones_ = line ? ones_ + 1 : 0;
    if (ones_ >= swj::kLineResetCycles) {
        // A line reset wins over anything in progress; it ends with the first low bit.
        phase_ = Phase::LineReset;
        drive_.reset();
        return;
    }
    switch (phase_) {
    case Phase::LockedOut:
        return;
    case Phase::LineReset:
        phase_ = Phase::Idle;
        needIdcodeRead_ = true;
        return;
    case Phase::Idle:
        if (line) {
            phase_ = Phase::Request;
            cycle_ = 1;
            request_ = swd_request::kStart;
        }
        return;
    case Phase::Request:
        ++cycle_;
        if (line) request_ |= static_cast<uint8_t>(1u << (cycle_ - 1));
        if (cycle_ == swd_cycle::kRequestEnd) decodeRequest();
        return;
    case Phase::Response:
        ++cycle_;
        respond(line);
        return;
    }
}

void SwDp::decodeRequest() {
    const bool parity = (request_ & swd_request::kParity) != 0;
    const bool valid = parity == EvenParityBit(request_ & swd_request::kParityCovers) &&
                       (request_ & swd_request::kStop) == 0 && (request_ & swd_request::kPark) != 0;
    const bool ap = (request_ & swd_request::kApNDp) != 0;
    const bool read = (request_ & swd_request::kRnW) != 0;
    const uint8_t address = static_cast<uint8_t>(
        ((request_ >> swd_request::kA32Shift) & dp_address::kA32Mask) << dp_address::kA32Shift);
    ack_ = kNotAnswered;
    if (!valid) return protocolError();
    // After a line reset only a DPIDR read is answered.
    if (needIdcodeRead_ && (ap || !read || address != dp_address::kIdcodeAbort)) return protocolError();
    needIdcodeRead_ = false;

    ack_ = swd_ack::kOk;
    if (ap && dp_.stickyFlags() != 0) {
        ack_ = swd_ack::kFault;
    } else if (ap && dp_.takeApWait()) {
        ack_ = swd_ack::kWait;
    }
    dataPhase_ = ack_ == swd_ack::kOk || dp_.overrunDetect();
    if (ack_ != swd_ack::kOk && dp_.overrunDetect()) dp_.raise(ctrl_stat::kStickyOrun);

    data_ = 0;
    if (read && ack_ == swd_ack::kOk) {
        if (ap) {
            // Posted: this read returns the previous AP read's result.
            data_ = dp_.readBuffer();
            dp_.setReadBuffer(dp_.apRead(static_cast<uint8_t>(address >> dp_address::kA32Shift)).value);
            dp_.setReadOk(true);
            lastRead_ = data_;
        } else {
            data_ = readDpRegister(address);
        }
    } else if (read && ap) {
        dp_.setReadOk(false);
    }
    if (read || ack_ != swd_ack::kOk) dp_.log(transaction(data_));
    phase_ = Phase::Response;
}

void SwDp::respond(bool line) {
    using namespace swd_cycle;
    const bool read = (request_ & swd_request::kRnW) != 0;
    if (cycle_ >= kAckFirst && cycle_ <= kAckLast) {
        drive_ = ((ack_ >> (cycle_ - kAckFirst)) & 1u) != 0;
        return;
    }
    if (ack_ == swd_ack::kOk && read) {
        if (cycle_ <= kReadDataLast) {
            drive_ = ((data_ >> (cycle_ - kReadDataFirst)) & 1u) != 0;
        } else if (cycle_ == kReadParity) {
            drive_ = EvenParityBit(data_);
        } else if (cycle_ == kReadRelease) {
            drive_.reset();
        } else {
            phase_ = Phase::Idle;
        }
        return;
    }
    if (cycle_ == kAfterAckRelease) {
        drive_.reset();
        if (ack_ == swd_ack::kOk) data_ = 0;
        return;
    }
    if (!dataPhase_) {
        if (cycle_ == kNoDataPhaseEnd) phase_ = Phase::Idle;
        return;
    }
    if (ack_ == swd_ack::kOk && cycle_ >= kWriteDataFirst && cycle_ <= kWriteDataLast) {
        if (line) data_ |= 1u << (cycle_ - kWriteDataFirst);
    }
    if (cycle_ == kLast) {
        if (ack_ == swd_ack::kOk) finishWrite(line);
        phase_ = Phase::Idle;
    }
}

void SwDp::finishWrite(bool parity) {
    const uint8_t address = static_cast<uint8_t>(
        ((request_ >> swd_request::kA32Shift) & dp_address::kA32Mask) << dp_address::kA32Shift);
    dp_.log(transaction(data_));
    if (parity != EvenParityBit(data_)) {
        // The write is dropped.
        dp_.raise(ctrl_stat::kWDataErr);
        return;
    }
    if ((request_ & swd_request::kApNDp) != 0) {
        dp_.apWrite(static_cast<uint8_t>(address >> dp_address::kA32Shift), data_);
    } else {
        writeDpRegister(address, data_);
    }
}

uint32_t SwDp::readDpRegister(uint8_t address) {
    switch (address) {
    case dp_address::kIdcodeAbort:
        return config_.swdpIdcode;
    case dp_address::kCtrlStat: {
        const uint32_t bank = dp_.select() & select_reg::kDpBankSelMask;
        if (bank == 0) return dp_.ctrlStat();
        return bank == select_reg::kDpBankWcr ? dp_.wcr() : 0;
    }
    case dp_address::kSelectResend:
        return lastRead_;
    default: {
        // RDBUFF: the last AP read's result, without a new AP access.
        const uint32_t value = dp_.readBuffer();
        dp_.setReadOk(true);
        lastRead_ = value;
        return value;
    }
    }
}

void SwDp::writeDpRegister(uint8_t address, uint32_t value) {
    switch (address) {
    case dp_address::kIdcodeAbort:
        dp_.writeAbort(value, WireProtocol::Swd);
        return;
    case dp_address::kCtrlStat: {
        const uint32_t bank = dp_.select() & select_reg::kDpBankSelMask;
        if (bank == 0) dp_.writeCtrlStat(value, WireProtocol::Swd);
        if (bank == select_reg::kDpBankWcr) dp_.writeWcr(value);
        return;
    }
    case dp_address::kSelectResend:
        dp_.writeSelect(value);
        return;
    default:
        return;  // RDBUFF is read-only
    }
}

}  // namespace cm3sim
