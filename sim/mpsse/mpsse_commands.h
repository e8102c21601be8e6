// The MPSSE command set of the FT2232 family, as the chip decodes it.
#pragma once

#include <cstdint>

namespace cm3sim::mpsse {

// Opcodes 0x10-0x3F and the TMS opcodes are decoded bit by bit.
namespace shift {
inline constexpr uint8_t kWriteOnFalling = 0x01;
inline constexpr uint8_t kBitMode = 0x02;
inline constexpr uint8_t kReadOnFalling = 0x04;
inline constexpr uint8_t kLsbFirst = 0x08;
inline constexpr uint8_t kWriteTdi = 0x10;
inline constexpr uint8_t kReadTdo = 0x20;
inline constexpr uint8_t kWriteTms = 0x40;
inline constexpr uint8_t kFirstOpcode = 0x10;
inline constexpr uint8_t kLastOpcode = 0x3F;
}  // namespace shift

// TMS opcodes: bits 0-6 of the data byte go out on TMS, bit 7 is held on TDI/DO.
namespace tms {
inline constexpr uint8_t kOutRising = 0x4A;
inline constexpr uint8_t kOutFalling = 0x4B;
inline constexpr uint8_t kOutFallingInRising = 0x6B;
inline constexpr uint8_t kOutRisingInRising = 0x6A;
inline constexpr uint8_t kOutRisingInFalling = 0x6E;
inline constexpr uint8_t kOutFallingInFalling = 0x6F;
inline constexpr uint8_t kMaxBits = 7;
inline constexpr uint8_t kHeldTdiBit = 0x80;
// Decoded bit by bit like the shifts: the write edge, the read and its edge
// vary. Without the read bit the read edge means nothing, so 0x4E and 0x4F
// are TMS writes too (OpenOCD sends 0x4F when it samples TDO on falling edges).
inline constexpr uint8_t kVariableBits = shift::kWriteOnFalling | shift::kReadOnFalling | shift::kReadTdo;
inline constexpr bool IsTmsOpcode(uint8_t op) { return (op & ~kVariableBits) == kOutRising; }
static_assert(IsTmsOpcode(0x4E) && IsTmsOpcode(0x4F) && IsTmsOpcode(kOutFallingInFalling));
static_assert(!IsTmsOpcode(0x48) && !IsTmsOpcode(0x5A) && !IsTmsOpcode(0xCA));
}  // namespace tms

namespace opcode {
inline constexpr uint8_t kSetLowBits = 0x80;
inline constexpr uint8_t kReadLowBits = 0x81;
inline constexpr uint8_t kSetHighBits = 0x82;
inline constexpr uint8_t kReadHighBits = 0x83;
inline constexpr uint8_t kLoopbackOn = 0x84;
inline constexpr uint8_t kLoopbackOff = 0x85;
inline constexpr uint8_t kSetDivisor = 0x86;
inline constexpr uint8_t kSendImmediate = 0x87;
inline constexpr uint8_t kWaitOnGpiol1High = 0x88;
inline constexpr uint8_t kWaitOnGpiol1Low = 0x89;
// FT2232H only from here on.
inline constexpr uint8_t kDivideBy5Off = 0x8A;
inline constexpr uint8_t kDivideBy5On = 0x8B;
inline constexpr uint8_t kThreePhaseOn = 0x8C;
inline constexpr uint8_t kThreePhaseOff = 0x8D;
inline constexpr uint8_t kClockBits = 0x8E;
inline constexpr uint8_t kClockBytes = 0x8F;
inline constexpr uint8_t kClockUntilGpiol1High = 0x94;
inline constexpr uint8_t kClockUntilGpiol1Low = 0x95;
inline constexpr uint8_t kAdaptiveOn = 0x96;
inline constexpr uint8_t kAdaptiveOff = 0x97;
inline constexpr uint8_t kClockBytesOrUntilGpiol1High = 0x9C;
inline constexpr uint8_t kClockBytesOrUntilGpiol1Low = 0x9D;
}  // namespace opcode

// The chip's answer to an opcode it does not know: this byte, then the opcode.
inline constexpr uint8_t kBadCommand = 0xFA;

// ADBUS pins of an MPSSE channel.
namespace adbus {
inline constexpr uint8_t kSk = 0x01;      // TCK/SK
inline constexpr uint8_t kDo = 0x02;      // TDI/DO
inline constexpr uint8_t kDi = 0x04;      // TDO/DI
inline constexpr uint8_t kCs = 0x08;      // TMS/CS
inline constexpr uint8_t kGpiol0 = 0x10;  // ADBUS4
inline constexpr uint8_t kGpiol1 = 0x20;  // ADBUS5
inline constexpr uint8_t kGpiol2 = 0x40;  // ADBUS6
inline constexpr uint8_t kGpiol3 = 0x80;  // ADBUS7, RTCK in adaptive clocking
}  // namespace adbus

// Clock: the D part divides 12 MHz by two; the H part runs 60 MHz, optionally
// through its divide-by-5 (on at reset), then by two.
namespace clock {
inline constexpr uint64_t kSlowBaseMhz = 6;
inline constexpr uint64_t kFastBaseMhz = 30;
// Time is counted in units of 1/30 ns so both bases divide it exactly.
inline constexpr uint64_t kTimeUnitsPerNs = 30;
inline constexpr uint64_t kNsPerMicrosecond = 1000;
// Three-phase clocking stretches each bit to 3 half-periods instead of 2.
inline constexpr uint64_t kThreePhaseNumerator = 3;
inline constexpr uint64_t kThreePhaseDenominator = 2;
static_assert(kTimeUnitsPerNs % kSlowBaseMhz == 0 && kTimeUnitsPerNs % kFastBaseMhz == 0);
}  // namespace clock

inline constexpr uint32_t kBitsPerByte = 8;

}  // namespace cm3sim::mpsse
