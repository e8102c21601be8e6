// ADIv5 debug port registers, acknowledges and wire encodings.
#pragma once

#include <cstdint>

namespace cm3sim {

// DP register addresses, A[3:2] << 2.
namespace dp_address {
inline constexpr uint8_t kIdcodeAbort = 0x0;  // read DPIDR, write ABORT (SW-DP)
inline constexpr uint8_t kCtrlStat = 0x4;
inline constexpr uint8_t kSelectResend = 0x8;  // write SELECT, read RESEND (SW-DP)
inline constexpr uint8_t kRdbuff = 0xC;
inline constexpr uint8_t kA32Shift = 2;
inline constexpr uint8_t kA32Mask = 0x3;
}  // namespace dp_address

namespace ctrl_stat {
inline constexpr uint32_t kOrunDetect = 1u << 0;
inline constexpr uint32_t kStickyOrun = 1u << 1;
inline constexpr uint32_t kTrnModeShift = 2;
inline constexpr uint32_t kTrnModeMask = 0x3u << kTrnModeShift;
inline constexpr uint32_t kTrnModeNormal = 0;
inline constexpr uint32_t kTrnModePushedVerify = 1;
inline constexpr uint32_t kTrnModePushedCompare = 2;
inline constexpr uint32_t kStickyCmp = 1u << 4;
inline constexpr uint32_t kStickyErr = 1u << 5;
inline constexpr uint32_t kReadOk = 1u << 6;
inline constexpr uint32_t kWDataErr = 1u << 7;
inline constexpr uint32_t kMaskLaneShift = 8;
inline constexpr uint32_t kMaskLaneMask = 0xFu << kMaskLaneShift;
inline constexpr uint32_t kTrnCntMask = 0xFFFu << 12;
inline constexpr uint32_t kCDbgRstReq = 1u << 26;
inline constexpr uint32_t kCDbgRstAck = 1u << 27;
inline constexpr uint32_t kCDbgPwrUpReq = 1u << 28;
inline constexpr uint32_t kCDbgPwrUpAck = 1u << 29;
inline constexpr uint32_t kCSysPwrUpReq = 1u << 30;
inline constexpr uint32_t kCSysPwrUpAck = 1u << 31;
// Bits a CTRL/STAT write stores; the rest are status.
inline constexpr uint32_t kWritable = kOrunDetect | kTrnModeMask | kMaskLaneMask | kTrnCntMask |
                                      kCDbgRstReq | kCDbgPwrUpReq | kCSysPwrUpReq;
inline constexpr uint32_t kStickyFlags = kStickyOrun | kStickyCmp | kStickyErr | kWDataErr;
// The JTAG-DP clears these by writing them as ones.
inline constexpr uint32_t kWriteOneToClear = kStickyOrun | kStickyCmp | kStickyErr;
}  // namespace ctrl_stat

namespace abort_reg {
inline constexpr uint32_t kDapAbort = 1u << 0;
inline constexpr uint32_t kStkCmpClr = 1u << 1;
inline constexpr uint32_t kStkErrClr = 1u << 2;
inline constexpr uint32_t kWdErrClr = 1u << 3;
inline constexpr uint32_t kOrunErrClr = 1u << 4;
}  // namespace abort_reg

namespace select_reg {
inline constexpr uint32_t kApSelShift = 24;
inline constexpr uint32_t kApBankSelMask = 0xF0;
inline constexpr uint32_t kDpBankSelMask = 0x0F;
// DPBANKSEL 1 puts the wire control register at 0x4 (SW-DP).
inline constexpr uint32_t kDpBankWcr = 1;
}  // namespace select_reg

namespace wcr {
inline constexpr uint32_t kResetValue = 0x00000040;  // WIREMODE synchronous, one-cycle turnaround
}

// SWD acknowledges, the value of the three ACK bits taken in wire order LSB first.
namespace swd_ack {
inline constexpr uint8_t kOk = 0x1;
inline constexpr uint8_t kWait = 0x2;
inline constexpr uint8_t kFault = 0x4;
inline constexpr uint8_t kBits = 3;
}  // namespace swd_ack

// JTAG-DP acknowledges, bits 2:0 captured in a DPACC/APACC scan.
namespace jtag_ack {
inline constexpr uint8_t kOkFault = 0x2;
inline constexpr uint8_t kWait = 0x1;
}  // namespace jtag_ack

// The SWD request byte, bits in wire order.
namespace swd_request {
inline constexpr uint8_t kStart = 1u << 0;
inline constexpr uint8_t kApNDp = 1u << 1;
inline constexpr uint8_t kRnW = 1u << 2;
inline constexpr uint8_t kA2 = 1u << 3;
inline constexpr uint8_t kA3 = 1u << 4;
inline constexpr uint8_t kParity = 1u << 5;
inline constexpr uint8_t kStop = 1u << 6;
inline constexpr uint8_t kPark = 1u << 7;
inline constexpr uint8_t kA32Shift = 3;
inline constexpr uint8_t kParityCovers = kApNDp | kRnW | kA2 | kA3;
inline constexpr uint32_t kBits = 8;
}  // namespace swd_request

// SWJ-DP line sequences.
namespace swj {
inline constexpr uint32_t kLineResetCycles = 50;
inline constexpr uint16_t kJtagToSwd = 0xE79E;
inline constexpr uint16_t kSwdToJtag = 0xE73C;
inline constexpr uint32_t kSelectBits = 16;
}  // namespace swj

// JTAG-DP instructions (4-bit IR).
namespace jtag_ir {
inline constexpr uint8_t kAbort = 0x8;
inline constexpr uint8_t kDpAcc = 0xA;
inline constexpr uint8_t kApAcc = 0xB;
inline constexpr uint8_t kIdcode = 0xE;
inline constexpr uint8_t kBypass = 0xF;
inline constexpr uint32_t kLength = 4;
inline constexpr uint8_t kCapture = 0x1;
inline constexpr uint8_t kMask = 0xF;
}  // namespace jtag_ir

namespace jtag_dr {
inline constexpr uint32_t kAccLength = 35;
inline constexpr uint32_t kIdcodeLength = 32;
inline constexpr uint32_t kBypassLength = 1;
inline constexpr uint32_t kAckBits = 3;
inline constexpr uint64_t kRnW = 1u << 0;
inline constexpr uint32_t kA32Shift = 1;
}  // namespace jtag_dr

constexpr bool EvenParityBit(uint32_t value) {
    value ^= value >> 16;
    value ^= value >> 8;
    value ^= value >> 4;
    value ^= value >> 2;
    value ^= value >> 1;
    return (value & 1u) != 0;
}
static_assert(EvenParityBit(0x2BA01477) == false);
static_assert(EvenParityBit(0x1) == true);

}  // namespace cm3sim
