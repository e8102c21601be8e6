// MPSSE command set (FTDI AN_108), as the library composes it.
#pragma once

#include <cstdint>

namespace cm3probe::mpsse {

// Data-shifting opcode bits, OR-ed together.
inline constexpr uint8_t kWriteNegEdge = 0x01;
inline constexpr uint8_t kBitMode = 0x02;
inline constexpr uint8_t kReadNegEdge = 0x04;
inline constexpr uint8_t kLsbFirst = 0x08;
inline constexpr uint8_t kDoWrite = 0x10;
inline constexpr uint8_t kDoRead = 0x20;
inline constexpr uint8_t kWriteTms = 0x40;

inline constexpr uint8_t kSetLowBits = 0x80;
inline constexpr uint8_t kReadLowBits = 0x81;
inline constexpr uint8_t kSetHighBits = 0x82;
inline constexpr uint8_t kReadHighBits = 0x83;
inline constexpr uint8_t kLoopbackOn = 0x84;
inline constexpr uint8_t kLoopbackOff = 0x85;
inline constexpr uint8_t kSetDivisor = 0x86;
inline constexpr uint8_t kSendImmediate = 0x87;
inline constexpr uint8_t kBadCommand = 0xFA;
// An opcode no chip generation decodes: an engine in step answers it with
// kBadCommand and the opcode, one that is inside a command takes it as data.
inline constexpr uint8_t kSyncProbe = 0xAA;
inline constexpr uint8_t kSyncEcho[] = {kBadCommand, kSyncProbe};

// Composite opcodes used on the wire.
inline constexpr uint8_t kBytesOutNeg = kDoWrite | kLsbFirst | kWriteNegEdge;                // 0x19
inline constexpr uint8_t kBitsOutNeg = kDoWrite | kLsbFirst | kBitMode | kWriteNegEdge;      // 0x1B
inline constexpr uint8_t kBytesInNeg = kDoRead | kLsbFirst | kReadNegEdge;                   // 0x2C
inline constexpr uint8_t kBitsInNeg = kDoRead | kLsbFirst | kBitMode | kReadNegEdge;         // 0x2E
inline constexpr uint8_t kTmsOutNeg = kWriteTms | kLsbFirst | kBitMode | kWriteNegEdge;      // 0x4B
inline constexpr uint8_t kTmsOutInNeg = kWriteTms | kDoRead | kLsbFirst | kBitMode | kWriteNegEdge;  // 0x6B
inline constexpr uint8_t kBytesOutInNeg = kDoWrite | kDoRead | kLsbFirst | kWriteNegEdge;    // 0x39
inline constexpr uint8_t kBitsOutInNeg = kDoWrite | kDoRead | kLsbFirst | kBitMode | kWriteNegEdge;  // 0x3B

static_assert(kBytesOutNeg == 0x19 && kBitsOutNeg == 0x1B && kBytesInNeg == 0x2C);
static_assert(kBitsInNeg == 0x2E && kTmsOutNeg == 0x4B && kTmsOutInNeg == 0x6B);

// The engine's base clock with divide-by-5 (an FT2232D, or an H part at reset).
inline constexpr uint32_t kBaseClockHz = 6000000;
inline constexpr uint32_t kMaxDivisor = 0xFFFF;

// Low-byte pins (ADBUS).
namespace pin {
inline constexpr uint8_t kTck = 1u << 0;
inline constexpr uint8_t kTdi = 1u << 1;
inline constexpr uint8_t kTdo = 1u << 2;
inline constexpr uint8_t kTms = 1u << 3;
inline constexpr uint8_t kGpioL0 = 1u << 4;
inline constexpr uint8_t kGpioL1 = 1u << 5;
inline constexpr uint8_t kGpioL2 = 1u << 6;
inline constexpr uint8_t kGpioL3 = 1u << 7;

// JTAG wiring of the low byte: TCK, TDI and TMS driven, TDO read.
inline constexpr uint8_t kJtagOutputs = kTck | kTdi | kTms;
// ADBUS4-7 carry the general-purpose pins 1-4 of the low group.
inline constexpr unsigned kLowGpioShift = 4;
inline constexpr uint8_t kLowGpioMask = kGpioL0 | kGpioL1 | kGpioL2 | kGpioL3;
static_assert(kJtagOutputs == 0x0B && kLowGpioMask == 0xF0);
}  // namespace pin

// High-byte pins (ACBUS): ACBUS0-3 carry the general-purpose pins 1-4 of the high group.
namespace high_pin {
inline constexpr unsigned kGpioShift = 0;
inline constexpr uint8_t kGpioMask = 0x0F;
}  // namespace high_pin

// TMS opcodes (0x4B, 0x6B): data bits 0-6 go out on TMS, first bit lowest; bit 7
// is held on TDI for every clock of the command.
namespace tms {
inline constexpr uint32_t kMaxBits = 7;
inline constexpr unsigned kHeldTdiShift = 7;
}  // namespace tms

// Largest count one byte-shifting command takes.
inline constexpr uint32_t kMaxBytesPerCommand = 0x10000;
inline constexpr uint32_t kBitsPerByte = 8;
// A bit-mode read of n bits lands them in bits 8-n..7 of its reply byte, first bit lowest.
constexpr unsigned BitReadShift(uint32_t bits) { return static_cast<unsigned>(kBitsPerByte - bits); }

// Length fields mean count - 1.
constexpr uint8_t LengthLow(uint32_t count) { return static_cast<uint8_t>((count - 1) & 0xFF); }
constexpr uint8_t LengthHigh(uint32_t count) { return static_cast<uint8_t>(((count - 1) >> 8) & 0xFF); }

}  // namespace cm3probe::mpsse
