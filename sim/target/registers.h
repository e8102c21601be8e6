// Addresses, fields and magic values of the virtual Cortex-M3 and its board,
// each named once.
#pragma once

#include <cstdint>

namespace cm3sim {

// Fixed parts of the ARMv7-M memory map.
namespace memory_map {
inline constexpr uint32_t kCodeRegionEnd = 0x20000000;  // FPB comparators only see below this
inline constexpr uint32_t kBitBandRegionBase = 0x20000000;
inline constexpr uint32_t kBitBandRegionSize = 0x00100000;
inline constexpr uint32_t kBitBandAliasBase = 0x22000000;
inline constexpr uint32_t kBitsPerByte = 8;
inline constexpr uint32_t kAliasBytesPerBit = 4;
inline constexpr uint32_t kBitBandAliasSize = kBitBandRegionSize * kBitsPerByte * kAliasBytesPerBit;
inline constexpr uint32_t kComponentSize = 0x1000;  // every debug component spans 4 KB
inline constexpr uint32_t kErasedWord = 0xFFFFFFFF;
inline constexpr uint8_t kErasedByte = 0xFF;
static_assert(kBitBandAliasBase + kBitBandAliasSize == 0x24000000);
}  // namespace memory_map

// Device identification words of the board.
namespace device_id {
inline constexpr uint32_t kBase = 0x400FE000;
inline constexpr uint32_t kDid0Offset = 0x0;
inline constexpr uint32_t kDid1Offset = 0x4;
inline constexpr uint32_t kBlockSize = 0x8;
}  // namespace device_id

// The board's flash controller.
namespace flash_ctrl {
inline constexpr uint32_t kBase = 0x400FD000;
inline constexpr uint32_t kFmaOffset = 0x0;
inline constexpr uint32_t kFmdOffset = 0x4;
inline constexpr uint32_t kFmcOffset = 0x8;
inline constexpr uint32_t kBlockSize = 0xC;
inline constexpr uint32_t kKeyShift = 16;
inline constexpr uint32_t kWriteKey = 0xA442;
inline constexpr uint32_t kWrite = 1u << 0;
inline constexpr uint32_t kErase = 1u << 1;
inline constexpr uint32_t kMassErase = 1u << 2;
inline constexpr uint32_t kCommandMask = kWrite | kErase | kMassErase;
inline constexpr uint32_t kPageSize = 1024;
inline constexpr uint32_t Command(uint32_t bits) { return kWriteKey << kKeyShift | bits; }
}  // namespace flash_ctrl

// System control space.
namespace scs {
inline constexpr uint32_t kBase = 0xE000E000;
}

namespace cpuid {
inline constexpr uint32_t kAddress = 0xE000ED00;
}

namespace vtor {
inline constexpr uint32_t kAddress = 0xE000ED08;
inline constexpr uint32_t kMask = 0x3FFFFF80;
}  // namespace vtor

namespace aircr {
inline constexpr uint32_t kAddress = 0xE000ED0C;
inline constexpr uint32_t kKeyShift = 16;
inline constexpr uint32_t kVectKey = 0x05FA;      // written
inline constexpr uint32_t kVectKeyStat = 0xFA05;  // read back
inline constexpr uint32_t kVectReset = 1u << 0;
inline constexpr uint32_t kVectClrActive = 1u << 1;
inline constexpr uint32_t kSysResetReq = 1u << 2;
inline constexpr uint32_t kPriGroupMask = 0x7u << 8;
inline constexpr uint32_t Write(uint32_t bits) { return kVectKey << kKeyShift | bits; }
}  // namespace aircr

// System handler priority registers: one byte per exception from MemManage
// on, three priority bits each; bytes of reserved exceptions read zero.
namespace shpr {
inline constexpr uint32_t kAddress = 0xE000ED18;
inline constexpr uint32_t kFirstException = 4;  // MemManage
inline constexpr uint32_t kRegisters = 3;
inline constexpr uint32_t kWordBytes = 4;
// SHPR1: MemManage, BusFault, UsageFault; SHPR2: SVCall; SHPR3: DebugMonitor, PendSV, SysTick.
inline constexpr uint32_t kImplemented[kRegisters] = {0x00E0E0E0, 0xE0000000, 0xE0E000E0};
inline constexpr uint32_t ByteAddress(uint32_t exception) { return kAddress + (exception - kFirstException); }
static_assert(ByteAddress(11) == 0xE000ED1F);
}  // namespace shpr

// System handler control and state: the active bits of the system handlers
// (read from the core) and the enables of the configurable faults.
namespace shcsr {
inline constexpr uint32_t kAddress = 0xE000ED24;
inline constexpr uint32_t kMemFaultEna = 1u << 16;
inline constexpr uint32_t kBusFaultEna = 1u << 17;
inline constexpr uint32_t kUsgFaultEna = 1u << 18;
inline constexpr uint32_t kEnableMask = kMemFaultEna | kBusFaultEna | kUsgFaultEna;
// Exception number and the SHCSR bit that reads 1 while it is active.
struct ActiveBit {
    uint32_t exception;
    uint32_t bit;
};
inline constexpr ActiveBit kActiveBits[] = {{4, 1u << 0}, {5, 1u << 1}, {6, 1u << 3},   {11, 1u << 7},
                                            {12, 1u << 8}, {14, 1u << 10}, {15, 1u << 11}};
}  // namespace shcsr

// Configurable fault status: MMFSR (byte 0), BFSR (byte 1), UFSR (halfword 1).
namespace cfsr {
inline constexpr uint32_t kAddress = 0xE000ED28;
inline constexpr uint32_t kIaccViol = 1u << 0;
inline constexpr uint32_t kMmarValid = 1u << 7;
inline constexpr uint32_t kIbusErr = 1u << 8;
inline constexpr uint32_t kPreciseErr = 1u << 9;
inline constexpr uint32_t kUnstkErr = 1u << 11;
inline constexpr uint32_t kStkErr = 1u << 12;
inline constexpr uint32_t kBfarValid = 1u << 15;
inline constexpr uint32_t kUndefInstr = 1u << 16;
inline constexpr uint32_t kInvState = 1u << 17;
inline constexpr uint32_t kInvPc = 1u << 18;
inline constexpr uint32_t kNoCp = 1u << 19;
inline constexpr uint32_t kUnaligned = 1u << 24;
inline constexpr uint32_t kDivByZero = 1u << 25;
inline constexpr uint32_t kMask = 0x030F9F9B;
}  // namespace cfsr

namespace hfsr {
inline constexpr uint32_t kAddress = 0xE000ED2C;
inline constexpr uint32_t kVectTbl = 1u << 1;
inline constexpr uint32_t kForced = 1u << 30;
inline constexpr uint32_t kDebugEvt = 1u << 31;
inline constexpr uint32_t kMask = kVectTbl | kForced | kDebugEvt;
}  // namespace hfsr

namespace mmfar {
inline constexpr uint32_t kAddress = 0xE000ED34;
}
namespace bfar {
inline constexpr uint32_t kAddress = 0xE000ED38;
}

namespace dfsr {
inline constexpr uint32_t kAddress = 0xE000ED30;
inline constexpr uint32_t kHalted = 1u << 0;
inline constexpr uint32_t kBkpt = 1u << 1;
inline constexpr uint32_t kDwtTrap = 1u << 2;
inline constexpr uint32_t kVCatch = 1u << 3;
inline constexpr uint32_t kExternal = 1u << 4;
inline constexpr uint32_t kMask = kHalted | kBkpt | kDwtTrap | kVCatch | kExternal;
}  // namespace dfsr

namespace dhcsr {
inline constexpr uint32_t kAddress = 0xE000EDF0;
inline constexpr uint32_t kKeyShift = 16;
inline constexpr uint32_t kDbgKey = 0xA05F;
inline constexpr uint32_t kCDebugEn = 1u << 0;
inline constexpr uint32_t kCHalt = 1u << 1;
inline constexpr uint32_t kCStep = 1u << 2;
inline constexpr uint32_t kCMaskInts = 1u << 3;
inline constexpr uint32_t kCSnapStall = 1u << 5;
inline constexpr uint32_t kControlMask = kCDebugEn | kCHalt | kCStep | kCMaskInts | kCSnapStall;
inline constexpr uint32_t kSRegRdy = 1u << 16;
inline constexpr uint32_t kSHalt = 1u << 17;
inline constexpr uint32_t kSSleep = 1u << 18;
inline constexpr uint32_t kSLockup = 1u << 19;
inline constexpr uint32_t kSRetireSt = 1u << 24;
inline constexpr uint32_t kSResetSt = 1u << 25;
// Reading the byte lane that holds the sticky bits is what clears them.
inline constexpr uint32_t kStickyLane = 3;
inline constexpr uint32_t Write(uint32_t controlBits) { return kDbgKey << kKeyShift | controlBits; }
}  // namespace dhcsr

namespace dcrsr {
inline constexpr uint32_t kAddress = 0xE000EDF4;
inline constexpr uint32_t kRegSelMask = 0x7F;
inline constexpr uint32_t kRegWnR = 1u << 16;
}  // namespace dcrsr

namespace dcrdr {
inline constexpr uint32_t kAddress = 0xE000EDF8;
}

namespace demcr {
inline constexpr uint32_t kAddress = 0xE000EDFC;
inline constexpr uint32_t kVcCoreReset = 1u << 0;
inline constexpr uint32_t kVcMmErr = 1u << 4;
inline constexpr uint32_t kVcNoCpErr = 1u << 5;
inline constexpr uint32_t kVcChkErr = 1u << 6;
inline constexpr uint32_t kVcStatErr = 1u << 7;
inline constexpr uint32_t kVcBusErr = 1u << 8;
inline constexpr uint32_t kVcIntErr = 1u << 9;
inline constexpr uint32_t kVcHardErr = 1u << 10;
inline constexpr uint32_t kMonEn = 1u << 16;
inline constexpr uint32_t kMonPend = 1u << 17;
inline constexpr uint32_t kMonStep = 1u << 18;
inline constexpr uint32_t kMonReq = 1u << 19;
inline constexpr uint32_t kTrcEna = 1u << 24;
inline constexpr uint32_t kWritableMask = kVcCoreReset | kVcMmErr | kVcNoCpErr | kVcChkErr | kVcStatErr |
                                          kVcBusErr | kVcIntErr | kVcHardErr | kMonEn | kMonPend |
                                          kMonStep | kMonReq | kTrcEna;
}  // namespace demcr

// DCRSR.REGSEL values of ARMv7-M (no floating point).
namespace regsel {
inline constexpr uint8_t kR0 = 0;
inline constexpr uint8_t kR12 = 12;
inline constexpr uint8_t kSp = 13;
inline constexpr uint8_t kLr = 14;
inline constexpr uint8_t kDebugReturnAddress = 15;
inline constexpr uint8_t kXpsr = 16;
inline constexpr uint8_t kMsp = 17;
inline constexpr uint8_t kPsp = 18;
inline constexpr uint8_t kSpecial = 20;  // CONTROL, FAULTMASK, BASEPRI, PRIMASK packed
}  // namespace regsel

namespace xpsr {
inline constexpr uint32_t kThumb = 1u << 24;
inline constexpr uint32_t kExceptionMask = 0x1FF;
// N Z C V Q, ICI/IT, T and the exception number; the rest is reserved.
inline constexpr uint32_t kImplementedMask = 0xFF00FC00 | kExceptionMask;
inline constexpr uint32_t kHardFault = 3;
}  // namespace xpsr

// The packed word of REGSEL 20.
namespace special_regs {
inline constexpr uint32_t kControlShift = 24;
inline constexpr uint32_t kFaultMaskShift = 16;
inline constexpr uint32_t kBasePriShift = 8;
inline constexpr uint32_t kPriMaskShift = 0;
inline constexpr uint32_t kControlMask = 0x3;  // nPRIV, SPSEL
inline constexpr uint32_t kControlSpSel = 1u << 1;
inline constexpr uint32_t kFaultMaskMask = 0x1;
inline constexpr uint32_t kBasePriMask = 0xE0;  // three priority bits implemented
inline constexpr uint32_t kPriMaskMask = 0x1;
inline constexpr uint32_t kImplementedMask = kControlMask << kControlShift | kFaultMaskMask << kFaultMaskShift |
                                             kBasePriMask << kBasePriShift | kPriMaskMask << kPriMaskShift;
}  // namespace special_regs

namespace core_reset {
inline constexpr uint32_t kInitialSpAddress = 0x0;
inline constexpr uint32_t kResetVectorAddress = 0x4;
inline constexpr uint32_t kLrResetValue = 0xFFFFFFFF;
inline constexpr uint32_t kLockupAddress = 0xFFFFFFFE;  // what PC reads while locked up
inline constexpr uint32_t kThumbBit = 1u;
inline constexpr uint32_t kStackAlignMask = ~0x3u;
}  // namespace core_reset

// CoreSight identification registers at the top of every component.
namespace coresight_id {
inline constexpr uint32_t kPidr4Offset = 0xFD0;
inline constexpr uint32_t kPidr0Offset = 0xFE0;
inline constexpr uint32_t kCidr0Offset = 0xFF0;
inline constexpr uint32_t kEndOffset = 0x1000;
inline constexpr uint8_t kPreamble0 = 0x0D;
inline constexpr uint8_t kPreamble2 = 0x05;
inline constexpr uint8_t kPreamble3 = 0xB1;
inline constexpr uint32_t kClassShift = 4;
inline constexpr uint8_t kClassRomTable = 0x1;
inline constexpr uint8_t kClassCoreSight = 0x9;
inline constexpr uint8_t kClassGenericIp = 0xE;
inline constexpr uint32_t kRegisterStride = 4;
inline constexpr uint32_t kBitsPerIdRegister = 8;
inline constexpr uint32_t kIdByteMask = 0xFF;
// The four CIDR bytes seen as one word.
inline constexpr uint32_t Cidr(uint8_t componentClass) {
    return uint32_t{kPreamble3} << (3 * kBitsPerIdRegister) | uint32_t{kPreamble2} << (2 * kBitsPerIdRegister) |
           uint32_t(componentClass) << (kBitsPerIdRegister + kClassShift) | kPreamble0;
}
static_assert(Cidr(kClassRomTable) == 0xB105100D);
static_assert(Cidr(kClassGenericIp) == 0xB105E00D);
}  // namespace coresight_id

namespace fpb {
inline constexpr uint32_t kBase = 0xE0002000;
inline constexpr uint32_t kCtrlOffset = 0x000;
inline constexpr uint32_t kRemapOffset = 0x004;
inline constexpr uint32_t kComp0Offset = 0x008;
inline constexpr uint32_t kNumCode = 6;
inline constexpr uint32_t kNumLit = 2;
inline constexpr uint32_t kNumComparators = kNumCode + kNumLit;
inline constexpr uint32_t kCtrlEnable = 1u << 0;
inline constexpr uint32_t kCtrlKey = 1u << 1;
inline constexpr uint32_t kCtrlNumCodeShift = 4;   // NUM_CODE[3:0]
inline constexpr uint32_t kCtrlNumLitShift = 8;
inline constexpr uint32_t kCtrlNumCode2Shift = 12;  // NUM_CODE[6:4]
inline constexpr uint32_t kNibble = 0xF;
inline constexpr uint32_t kNibbleBits = 4;
inline constexpr uint32_t kRemapMask = 0x1FFFFFE0;
inline constexpr uint32_t kRemapSupported = 1u << 29;  // RMPSPT
inline constexpr uint32_t kCompEnable = 1u << 0;
inline constexpr uint32_t kCompAddressMask = 0x1FFFFFFC;  // COMP, bits 28:2
inline constexpr uint32_t kReplaceShift = 30;
inline constexpr uint32_t kReplaceRemap = 0;
inline constexpr uint32_t kReplaceLowerHalfword = 1;
inline constexpr uint32_t kReplaceUpperHalfword = 2;
inline constexpr uint32_t kReplaceBoth = 3;
inline constexpr uint32_t kCompWritableMask = 0xC0000000 | kCompAddressMask | kCompEnable;
inline constexpr uint32_t kUpperHalfword = 0x2;
inline constexpr uint32_t Comparator(uint32_t replace, uint32_t address) {
    return replace << kReplaceShift | (address & kCompAddressMask) | kCompEnable;
}
}  // namespace fpb

namespace dwt {
inline constexpr uint32_t kBase = 0xE0001000;
inline constexpr uint32_t kCtrlOffset = 0x000;
inline constexpr uint32_t kCycCntOffset = 0x004;
inline constexpr uint32_t kComp0Offset = 0x020;
inline constexpr uint32_t kComparatorStride = 0x10;
inline constexpr uint32_t kNumComparators = 4;
inline constexpr uint32_t kNumCompShift = 28;
inline constexpr uint32_t kCtrlWritableMask = 0x0FFFFFFF;
inline constexpr uint32_t kMaskOffset = 0x4;
inline constexpr uint32_t kFunctionOffset = 0x8;
inline constexpr uint32_t kMaskWritableMask = 0x1F;  // MASK: how many low address bits to ignore
// FUNCTION, DATAVSIZE, DATAVADDR0/1, DATAVMATCH, CYCMATCH, EMITRANGE; MATCHED is read-only.
inline constexpr uint32_t kFunctionWritableMask = 0x000FFDAF;
inline constexpr uint32_t kCtrlCycCntEna = 1u << 0;
inline constexpr uint32_t kFunctionMask = 0xF;
inline constexpr uint32_t kFunctionPc = 0b0100;
inline constexpr uint32_t kFunctionRead = 0b0101;
inline constexpr uint32_t kFunctionWrite = 0b0110;
inline constexpr uint32_t kFunctionReadWrite = 0b0111;
inline constexpr uint32_t kFunctionCycMatch = 1u << 7;
inline constexpr uint32_t kFunctionDataVMatch = 1u << 8;
inline constexpr uint32_t kFunctionMatched = 1u << 24;
inline constexpr uint32_t kMatchedLane = 3;
}  // namespace dwt

namespace itm {
inline constexpr uint32_t kBase = 0xE0000000;
}
namespace tpiu {
inline constexpr uint32_t kBase = 0xE0040000;
}
namespace etm {
inline constexpr uint32_t kBase = 0xE0041000;  // listed in the ROM table, not implemented
}

namespace rom_table {
inline constexpr uint32_t kBase = 0xE00FF000;
inline constexpr uint32_t kEntryPresent = 1u << 0;
inline constexpr uint32_t kEntryFormat32 = 1u << 1;
inline constexpr uint32_t kEndMarker = 0;
inline constexpr uint32_t kMemTypeOffset = 0xFCC;
inline constexpr uint32_t kMemTypeSystemMemory = 1;
inline constexpr uint32_t kOffsetMask = 0xFFFFF000;
inline constexpr uint32_t Entry(uint32_t componentBase, bool present) {
    return ((componentBase - kBase) & kOffsetMask) | kEntryFormat32 | (present ? kEntryPresent : 0);
}
static_assert(Entry(scs::kBase, true) == 0xFFF0F003);
static_assert(Entry(dwt::kBase, true) == 0xFFF02003);
static_assert(Entry(fpb::kBase, true) == 0xFFF03003);
static_assert(Entry(itm::kBase, true) == 0xFFF01003);
static_assert(Entry(tpiu::kBase, true) == 0xFFF41003);
static_assert(Entry(etm::kBase, false) == 0xFFF42002);
}  // namespace rom_table

}  // namespace cm3sim
