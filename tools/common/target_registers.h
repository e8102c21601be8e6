// Cortex-M3 registers and identification values the tools read to describe a
// target (ARMv7-M, ADIv5). The library drives the target; these only decode.
#pragma once

#include <cstdint>

namespace cm3tools {

namespace dhcsr {
inline constexpr uint32_t kAddress = 0xE000EDF0;
inline constexpr uint32_t kCDebugEn = 1u << 0;
inline constexpr uint32_t kCHalt = 1u << 1;
inline constexpr uint32_t kCStep = 1u << 2;
inline constexpr uint32_t kCMaskInts = 1u << 3;
inline constexpr uint32_t kCSnapStall = 1u << 5;
inline constexpr uint32_t kDebugKey = 0xA05Fu << 16;  // writes without it are ignored
inline constexpr uint32_t kSRegRdy = 1u << 16;
inline constexpr uint32_t kSHalt = 1u << 17;
inline constexpr uint32_t kSSleep = 1u << 18;
inline constexpr uint32_t kSLockup = 1u << 19;
inline constexpr uint32_t kSRetireSt = 1u << 24;
inline constexpr uint32_t kSResetSt = 1u << 25;
}  // namespace dhcsr

// What the PC reads while the core is locked up (a fault it could not take).
inline constexpr uint32_t kLockupPc = 0xFFFFFFFE;

namespace dfsr {
inline constexpr uint32_t kAddress = 0xE000ED30;
inline constexpr uint32_t kHalted = 1u << 0;
inline constexpr uint32_t kBkpt = 1u << 1;
inline constexpr uint32_t kDwtTrap = 1u << 2;
inline constexpr uint32_t kVCatch = 1u << 3;
inline constexpr uint32_t kExternal = 1u << 4;
inline constexpr uint32_t kAll = kHalted | kBkpt | kDwtTrap | kVCatch | kExternal;  // write ones to clear
}  // namespace dfsr

namespace demcr {
inline constexpr uint32_t kAddress = 0xE000EDFC;
inline constexpr uint32_t kVcCoreReset = 1u << 0;  // halt as the core leaves reset
// Halt instead of taking a fault: MemManage, coprocessor, checking (alignment,
// divide by zero), state, bus error, exception entry/return, HardFault.
inline constexpr uint32_t kVcMmErr = 1u << 4;
inline constexpr uint32_t kVcNoCpErr = 1u << 5;
inline constexpr uint32_t kVcChkErr = 1u << 6;
inline constexpr uint32_t kVcStatErr = 1u << 7;
inline constexpr uint32_t kVcBusErr = 1u << 8;
inline constexpr uint32_t kVcIntErr = 1u << 9;
inline constexpr uint32_t kVcHardErr = 1u << 10;
inline constexpr uint32_t kTrcEna = 1u << 24;
}  // namespace demcr

namespace cpuid {
inline constexpr uint32_t kAddress = 0xE000ED00;
inline constexpr uint32_t kImplementerShift = 24;
inline constexpr uint32_t kVariantShift = 20;
inline constexpr uint32_t kPartNoShift = 4;
inline constexpr uint32_t kByteMask = 0xFF;
inline constexpr uint32_t kNibbleMask = 0xF;
inline constexpr uint32_t kPartNoMask = 0xFFF;
inline constexpr uint32_t kImplementerArm = 0x41;
inline constexpr uint32_t kPartNoCortexM3 = 0xC23;
}  // namespace cpuid

namespace idcode {
inline constexpr uint32_t kVersionShift = 28;
inline constexpr uint32_t kPartNoShift = 12;
inline constexpr uint32_t kPartNoMask = 0xFFFF;
inline constexpr uint32_t kDesignerShift = 1;
inline constexpr uint32_t kDesignerMask = 0x7FF;
inline constexpr uint32_t kDesignerArm = 0x23B;
}  // namespace idcode

// The Cortex-M3 ROM table: where DebugInit checked it, and its entries.
namespace rom_table {
inline constexpr uint32_t kAddress = 0xE00FF000;
inline constexpr uint32_t kEntryPresent = 1u << 0;
inline constexpr uint32_t kEntryFormat32 = 1u << 1;
inline constexpr uint32_t kOffsetMask = 0xFFFFF000;
inline constexpr uint32_t kMaxEntries = 8;  // the Cortex-M3 table holds six and the end marker
inline constexpr uint32_t kMemTypeOffset = 0xFCC;
inline constexpr uint32_t kMemTypeSystemMemory = 1u << 0;
inline constexpr uint32_t kCidr0Offset = 0xFF0;
inline constexpr uint32_t kComponentIdBytes = 4;
inline constexpr uint32_t kRomTableComponentId = 0xB105100D;
}  // namespace rom_table

// DCRSR REGSEL values (ARMv7-M C1.6.3).
namespace regsel {
inline constexpr uint32_t kR0 = 0;
inline constexpr uint32_t kR12 = 12;
inline constexpr uint32_t kSp = 13;
inline constexpr uint32_t kLr = 14;
inline constexpr uint32_t kPc = 15;  // DebugReturnAddress
inline constexpr uint32_t kXpsr = 16;
inline constexpr uint32_t kMsp = 17;
inline constexpr uint32_t kPsp = 18;
inline constexpr uint32_t kSpecial = 20;  // CONTROL, FAULTMASK, BASEPRI, PRIMASK packed
}  // namespace regsel

// Fields of the packed REGSEL 20 word: one byte each.
namespace special {
inline constexpr uint32_t kPrimaskShift = 0;
inline constexpr uint32_t kBasepriShift = 8;
inline constexpr uint32_t kFaultmaskShift = 16;
inline constexpr uint32_t kControlShift = 24;
inline constexpr uint32_t kFieldMask = 0xFF;
}  // namespace special

// Device identification words (DebugGetDeviceInformation reads fields of them).
namespace device_id {
inline constexpr uint32_t kAddress0 = 0x400FE000;
inline constexpr uint32_t kAddress1 = 0x400FE004;
}  // namespace device_id

namespace memory_map {
inline constexpr uint32_t kFlashBase = 0x00000000;
inline constexpr uint32_t kSramBase = 0x20000000;  // also where the Code region ends
inline constexpr uint32_t kSramSize = 64 * 1024;    // the default part's; its top is where stacks start
inline constexpr uint32_t kPeripheralBase = 0x40000000;  // where the Code and SRAM regions end
inline constexpr uint32_t kPpbBase = 0xE0000000;         // the core's own registers from here
}  // namespace memory_map

// Thumb: the low bit of a code address says Thumb state, not an address bit.
inline constexpr uint32_t kThumbBit = 1u;

}  // namespace cm3tools
