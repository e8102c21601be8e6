// One JTAG scan as MPSSE commands: from Run-Test/Idle into Shift-IR or
// Shift-DR, the bits, and back to Run-Test/Idle, with the reply it produces.
// TDI and TMS change on the falling TCK edge and TDO is sampled on the rising
// one, least significant bit first, as the TAP expects.
#pragma once

#include <cstdint>

#include "adapter/mpsse.h"

namespace cm3probe::adapter::jtag_mpsse {

// TMS paths, first clock in bit 0.
namespace tap {
// Run-Test/Idle, Select-DR-Scan, Capture-DR, Shift-DR.
inline constexpr uint8_t kIdleToShiftDr = 0b001;
inline constexpr uint32_t kIdleToShiftDrClocks = 3;
// Run-Test/Idle, Select-DR-Scan, Select-IR-Scan, Capture-IR, Shift-IR.
inline constexpr uint8_t kIdleToShiftIr = 0b0011;
inline constexpr uint32_t kIdleToShiftIrClocks = 4;
// The last shifted bit leaves for Exit1; then Update and Run-Test/Idle.
inline constexpr uint8_t kLastBitToIdle = 0b011;
inline constexpr uint32_t kLastBitToIdleClocks = 3;
// Five clocks with TMS high reach Test-Logic-Reset from any state; one low
// clock then settles in Run-Test/Idle.
inline constexpr uint8_t kResetToIdle = 0b011111;
inline constexpr uint32_t kResetToIdleClocks = 6;
static_assert(kResetToIdleClocks <= mpsse::tms::kMaxBits);
}  // namespace tap

// Longest scan the engine takes, in bits; far beyond the 35 a DAP scan needs.
inline constexpr uint32_t kMaxBits = 2048;

// An MPSSE command header: opcode and one or two length bytes.
inline constexpr uint32_t kBitCommandSize = 3;
inline constexpr uint32_t kByteCommandHeader = 3;

constexpr uint32_t ByteCount(uint32_t bits) { return (bits + mpsse::kBitsPerByte - 1) / mpsse::kBitsPerByte; }

// All bits but the last go through the data-shifting commands; the last one
// rides on the TMS command that leaves the shift state.
constexpr uint32_t BodyBytes(uint32_t bits) { return (bits - 1) / mpsse::kBitsPerByte; }
constexpr uint32_t BodyBits(uint32_t bits) { return (bits - 1) % mpsse::kBitsPerByte; }

constexpr uint32_t CommandSize(uint32_t bits) {
    return kBitCommandSize + (BodyBytes(bits) != 0 ? kByteCommandHeader + BodyBytes(bits) : 0) +
           (BodyBits(bits) != 0 ? kBitCommandSize : 0) + kBitCommandSize;
}

// Bytes a reading scan gets back: one per whole body byte, one for the body's
// odd bits, one for the TMS command.
constexpr uint32_t ReplySize(uint32_t bits) { return BodyBytes(bits) + (BodyBits(bits) != 0 ? 1 : 0) + 1; }

static_assert(BodyBytes(kMaxBits) <= mpsse::kMaxBytesPerCommand);
static_assert(CommandSize(35) == 16 && ReplySize(35) == 6);
static_assert(CommandSize(4) == 9 && ReplySize(4) == 2);
static_assert(CommandSize(1) == 6 && ReplySize(1) == 1);

enum class Register : uint8_t { Data, Instruction };

// Writes the commands of one scan of `bits` bits (1..kMaxBits) shifting in
// `tdi` (ByteCount(bits) bytes, bit 0 of byte 0 first) to `out`, which has room
// for CommandSize(bits). With `read`, TDO is captured too. Returns the number
// of bytes written.
uint32_t BuildScan(uint8_t* out, Register reg, uint32_t bits, const uint8_t* tdi, bool read);

// The TDI level the scan leaves on the pin: its last bit.
bool LastTdiBit(uint32_t bits, const uint8_t* tdi);

// Turns the ReplySize(bits) reply bytes of one reading scan into
// ByteCount(bits) capture bytes, bit 0 of byte 0 the first bit out of TDO and
// the unused top bits of the last byte zero.
void UnpackCapture(const uint8_t* reply, uint32_t bits, uint8_t* capture);

// What a read-only scan shifts in (ByteCount(bits) bytes to `out`). A DPACC
// or APACC scan makes a transaction at Update-DR with whatever came in, so a
// data scan sends RnW = 1 with A[3:2] = 0 and data 0: a read of a reserved DP
// register or of CSW, never a write. An instruction scan sends all ones,
// BYPASS.
void ReadOnlyPattern(Register reg, uint32_t bits, uint8_t* out);

}  // namespace cm3probe::adapter::jtag_mpsse
