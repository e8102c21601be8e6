// SWD transactions as MPSSE command streams. A single transaction and a batched
// one send exactly the same bytes, built here.
#pragma once

#include <cstddef>
#include <cstdint>

#include "adapter/mpsse.h"
#include "transport/wire_status.h"

namespace cm3probe::swd {

// Request byte fields, sent least significant bit first.
namespace request {
inline constexpr uint8_t kStart = 1u << 0;
inline constexpr uint8_t kApnDp = 1u << 1;
inline constexpr uint8_t kRead = 1u << 2;
inline constexpr uint8_t kParity = 1u << 5;
inline constexpr uint8_t kPark = 1u << 7;
inline constexpr unsigned kAddressShift = 1;  // A[3:2] land in bits 3 and 4
inline constexpr uint8_t kAddressA2 = 0x4;
inline constexpr uint8_t kAddressA3 = 0x8;
}  // namespace request

// apSelect values: the APnDP bit already in place.
inline constexpr uint8_t kDebugPort = 0;
inline constexpr uint8_t kAccessPort = request::kApnDp;

// Acknowledge values as read (first bit lowest).
namespace ack {
inline constexpr uint32_t kOk = 1;
inline constexpr uint32_t kWait = 2;
inline constexpr uint32_t kFault = 4;
inline constexpr uint32_t kNoAnswer = 7;  // line stayed high
}  // namespace ack

// Pin settings of the low byte while in SWD.
namespace pins {
inline constexpr uint8_t kDriveValue = mpsse::pin::kTms;  // 0x08
inline constexpr uint8_t kDriveDirection =
    mpsse::pin::kTck | mpsse::pin::kTdi | mpsse::pin::kTms | mpsse::pin::kGpioL2 | mpsse::pin::kGpioL3;
inline constexpr uint8_t kReleaseValue = 0x00;
inline constexpr uint8_t kReleaseDirection = kDriveDirection & ~mpsse::pin::kTdi;
// ADBUS5 (GPIOL1) is the target's active-low reset: made an output, driven low.
inline constexpr uint8_t kResetAssertDirection = kDriveDirection | mpsse::pin::kGpioL1;
// The line-mode switch: ADBUS7 low selects SWD wiring on the adapter.
inline constexpr uint8_t kLineModeValue = 0x68;
inline constexpr uint8_t kLineModeDirection = kResetAssertDirection;
static_assert(kDriveDirection == 0xCB && kReleaseDirection == 0xC9 && kResetAssertDirection == 0xEB);
}  // namespace pins

// JTAG-to-SWD and SWD-to-JTAG select sequences, least significant bit first.
inline constexpr uint16_t kJtagToSwd = 0xE79E;
inline constexpr uint16_t kSwdToJtag = 0xE73C;
inline constexpr uint32_t kLineResetBytes = 7;  // 56 cycles high
inline constexpr uint8_t kLineHigh = 0xFF;
inline constexpr uint8_t kLineLow = 0x00;

inline constexpr size_t kWriteStreamSize = 22;
inline constexpr size_t kReadStreamSize = 16;
inline constexpr size_t kResponseSize = 6;
// Cycles clocked during the write's turnaround, acknowledge and turnaround.
inline constexpr uint32_t kWriteAckCycles = 5;
inline constexpr uint32_t kAckBits = 3;
inline constexpr uint32_t kDataBytes = 4;
// Data parity, then two idle cycles.
inline constexpr uint32_t kParityAndIdleBits = 3;
inline constexpr unsigned kAckShift = 5;  // acknowledge lands in bits 5..7 of byte 0

constexpr uint8_t Parity(uint32_t value) { return static_cast<uint8_t>(__builtin_parity(value)); }

constexpr uint8_t RequestByte(uint8_t registerAddress, uint8_t apSelect, bool read) {
    uint32_t ones = (apSelect != 0 ? 1u : 0u) + ((registerAddress & request::kAddressA3) ? 1u : 0u) +
                    ((registerAddress & request::kAddressA2) ? 1u : 0u) + (read ? 1u : 0u);
    uint8_t byte = static_cast<uint8_t>(request::kStart | request::kPark | (read ? request::kRead : 0) | apSelect |
                                        (registerAddress << request::kAddressShift));
    if (ones % 2 != 0) byte |= request::kParity;
    return byte;
}

static_assert(RequestByte(0x0, kDebugPort, true) == 0xA5);
static_assert(RequestByte(0x8, kDebugPort, false) == 0xB1);
static_assert(RequestByte(0x0, kAccessPort, false) == 0xA3);
static_assert(RequestByte(0xC, kAccessPort, true) == 0x9F);

// Append the fixed streams at `out`; return the bytes written.
size_t BuildWriteStream(uint8_t* out, uint8_t registerAddress, uint8_t apSelect, uint32_t value);
size_t BuildReadStream(uint8_t* out, uint8_t registerAddress, uint8_t apSelect);

// The acknowledge of a 6-byte response; on OK the data goes to `value`.
[[nodiscard]] uint32_t DecodeResponse(const uint8_t* response, uint32_t* value);
// An acknowledge as a wire status (000 is no answer of any port: never OK).
[[nodiscard]] WireStatus AckStatus(uint32_t acknowledge);

}  // namespace cm3probe::swd
