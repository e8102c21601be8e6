// ADIv5 debug-port registers as the library addresses them (A[3:2] only).
#pragma once

#include <cstdint>

namespace cm3probe::dp {

inline constexpr uint8_t kIdcode = 0x0;    // read
inline constexpr uint8_t kAbort = 0x0;     // write, SW-DP
inline constexpr uint8_t kCtrlStat = 0x4;  // rw
inline constexpr uint8_t kSelect = 0x8;    // rw (SW-DP: write only)
inline constexpr uint8_t kRdBuff = 0xC;    // read

namespace abort {
inline constexpr uint32_t kDapAbort = 1u << 0;
inline constexpr uint32_t kStkCmpClr = 1u << 1;
inline constexpr uint32_t kStkErrClr = 1u << 2;
inline constexpr uint32_t kWdErrClr = 1u << 3;
inline constexpr uint32_t kOrunErrClr = 1u << 4;
}  // namespace abort

namespace ctrlstat {
inline constexpr uint32_t kOrunDetect = 1u << 0;
inline constexpr uint32_t kStickyOrun = 1u << 1;
inline constexpr uint32_t kStickyCmp = 1u << 4;
inline constexpr uint32_t kStickyErr = 1u << 5;
inline constexpr uint32_t kReadOk = 1u << 6;
inline constexpr uint32_t kWDataErr = 1u << 7;
inline constexpr uint32_t kCDbgPwrUpReq = 1u << 28;
inline constexpr uint32_t kCDbgPwrUpAck = 1u << 29;
inline constexpr uint32_t kCSysPwrUpReq = 1u << 30;
inline constexpr uint32_t kCSysPwrUpAck = 1u << 31;
// The power-up requests and every flag a JTAG-DP clears when written as one:
// a CTRL/STAT value of our own for clearing flags never read.
inline constexpr uint32_t kRequestsAndClears = kCSysPwrUpReq | kCDbgPwrUpReq | kStickyErr | kStickyCmp | kStickyOrun;
}  // namespace ctrlstat

namespace select {
inline constexpr uint32_t kApBankMask = 0xF0;
}  // namespace select

}  // namespace cm3probe::dp
