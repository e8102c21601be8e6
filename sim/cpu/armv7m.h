// ARMv7-M facts the executing core needs beyond the debug registers of
// target/registers.h: exception numbers and priorities, the exception frame,
// EXC_RETURN, the fault enables, IT state and the Thumb encodings the core
// decodes itself.
#pragma once

#include <cstdint>

#include "target/registers.h"

namespace cm3sim {

namespace exception_number {
inline constexpr uint32_t kThreadMode = 0;
inline constexpr uint32_t kNmi = 2;
inline constexpr uint32_t kHardFault = xpsr::kHardFault;
inline constexpr uint32_t kMemManage = 4;
inline constexpr uint32_t kBusFault = 5;
inline constexpr uint32_t kUsageFault = 6;
inline constexpr uint32_t kSvCall = 11;
inline constexpr uint32_t kDebugMonitor = 12;
static_assert(kHardFault == 3);
}  // namespace exception_number

namespace exception_priority {
inline constexpr int32_t kNmi = -2;
inline constexpr int32_t kHardFault = -1;
inline constexpr int32_t kNone = 256;  // Thread mode with nothing active or boosted
inline constexpr int32_t kPriMaskBoost = 0;
inline constexpr uint32_t kImplementedMask = special_regs::kBasePriMask;  // three bits, as BASEPRI
inline constexpr uint32_t kByteMask = 0xFF;
}  // namespace exception_priority

static_assert(shpr::kFirstException == exception_number::kMemManage);
static_assert(shpr::ByteAddress(exception_number::kSvCall) == 0xE000ED1F);

namespace aircr_fields {
inline constexpr uint32_t kPriGroupShift = 8;
inline constexpr uint32_t kPriGroupBits = 0x7;
static_assert((kPriGroupBits << kPriGroupShift) == aircr::kPriGroupMask);
// PRIGROUP n leaves priority bits n:0 to the subpriority, which never preempts.
inline constexpr uint32_t SubpriorityMask(uint32_t priGroup) { return (2u << priGroup) - 1; }
static_assert(SubpriorityMask(0) == 0x1 && SubpriorityMask(7) == 0xFF);
}  // namespace aircr_fields

namespace control_reg {
inline constexpr uint32_t kNPriv = 1u << 0;
inline constexpr uint32_t kSpSel = special_regs::kControlSpSel;
}  // namespace control_reg

// The eight words pushed on exception entry, lowest address first.
namespace exception_frame {
inline constexpr uint32_t kR0 = 0;
inline constexpr uint32_t kR12 = 4;
inline constexpr uint32_t kLr = 5;
inline constexpr uint32_t kReturnAddress = 6;
inline constexpr uint32_t kXpsr = 7;
inline constexpr uint32_t kWords = 8;
inline constexpr uint32_t kArgumentRegisters = 4;  // R0-R3 lead the frame
inline constexpr uint32_t kWordBytes = 4;
inline constexpr uint32_t kBytes = kWords * kWordBytes;
// CCR.STKALIGN resets to 1 on r2p0: frames are 8-byte aligned, and stacked
// xPSR bit 9 records the padding word.
inline constexpr uint32_t kAlignMask = ~0x7u;
inline constexpr uint32_t kPaddingBit = 1u << 9;
inline constexpr uint32_t kPadding = 4;
}  // namespace exception_frame

namespace exc_return {
inline constexpr uint32_t kHandlerMsp = 0xFFFFFFF1;
inline constexpr uint32_t kThreadMsp = 0xFFFFFFF9;
inline constexpr uint32_t kThreadPsp = 0xFFFFFFFD;
// A PC load of this or above in Handler mode is an exception return.
inline constexpr uint32_t kMinimum = 0xF0000000;
inline constexpr uint32_t kToThread = 1u << 3;
inline constexpr uint32_t kProcessStack = 1u << 2;
}  // namespace exc_return

// EPSR.IT: IT[1:0] in xPSR bits 26:25, IT[7:2] in bits 15:10.
namespace it_state {
inline constexpr uint32_t kLowShift = 25;
inline constexpr uint32_t kLowBits = 0x3;
inline constexpr uint32_t kHighShift = 10;
inline constexpr uint32_t kHighBits = 0x3F;
inline constexpr uint32_t kHighFieldShift = 2;  // where IT[7:2] sits in IT
inline constexpr uint32_t kMaskBits = 0xF;      // IT[3:0]: zero outside an IT block
inline constexpr uint32_t kMaxBlock = 4;
inline constexpr uint32_t kFieldMask = kLowBits << kLowShift | kHighBits << kHighShift;
static_assert(kFieldMask == 0x0600FC00);
}  // namespace it_state

// Thumb encodings the core recognises before Unicorn executes them.
namespace thumb {
inline constexpr uint32_t kHalfwordBits = 16;
inline constexpr uint16_t kBkptMask = 0xFF00;
inline constexpr uint16_t kBkpt = 0xBE00;
// IT and the 16-bit hints share 0xBFxx: a nonzero mask makes it IT.
inline constexpr uint16_t kItOrHintMask = 0xFF00;
inline constexpr uint16_t kItOrHint = 0xBF00;
inline constexpr uint16_t kItMask = 0x000F;
inline constexpr uint16_t kHintMask = 0x00F0;
inline constexpr uint16_t kHintShift = 4;
// The 32-bit hints: F3AF 80xx.
inline constexpr uint16_t kHint32First = 0xF3AF;
inline constexpr uint16_t kHint32SecondMask = 0xFF00;
inline constexpr uint16_t kHint32Second = 0x8000;
inline constexpr uint16_t kHint32Field = 0x00FF;
inline constexpr uint32_t kHintYield = 1;
inline constexpr uint32_t kHintWfe = 2;
inline constexpr uint32_t kHintWfi = 3;
inline constexpr uint32_t kWideBytes = 4;
// Accesses ARMv7-M always checks for alignment, whatever CCR.UNALIGN_TRP:
// LDM, STM, PUSH, POP and the 32-bit load/store multiple, dual and exclusive
// group (first halfword 1110 100x).
inline constexpr uint16_t kMultipleMask = 0xF000;
inline constexpr uint16_t kMultiple = 0xC000;
inline constexpr uint16_t kPushPopMask = 0xF600;
inline constexpr uint16_t kPushPop = 0xB400;
inline constexpr uint16_t kWideMultipleMask = 0xFE00;
inline constexpr uint16_t kWideMultiple = 0xE800;
inline constexpr uint32_t kWordBytes = 4;
constexpr bool ChecksAlignment(uint16_t first) {
    return (first & kMultipleMask) == kMultiple || (first & kPushPopMask) == kPushPop ||
           (first & kWideMultipleMask) == kWideMultiple;
}
static_assert(ChecksAlignment(0xB500) && ChecksAlignment(0xBD00) && ChecksAlignment(0xC90C) &&
              ChecksAlignment(0xE891) && ChecksAlignment(0xE9D0) && !ChecksAlignment(0xB080) &&
              !ChecksAlignment(0x6841));
}  // namespace thumb

// QEMU's exception numbers, which Unicorn hands to its interrupt hook.
namespace unicorn_exception {
inline constexpr uint32_t kUndefined = 1;
inline constexpr uint32_t kSupervisorCall = 2;
inline constexpr uint32_t kPrefetchAbort = 3;
inline constexpr uint32_t kDataAbort = 4;
inline constexpr uint32_t kBreakpoint = 7;
inline constexpr uint32_t kExceptionExit = 8;
inline constexpr uint32_t kNoCoprocessor = 17;
inline constexpr uint32_t kInvalidState = 18;
inline constexpr uint32_t kUnaligned = 22;
}  // namespace unicorn_exception

// Regions of the ARMv7-M default memory map that never execute.
namespace default_map {
inline constexpr uint32_t kPeripheralBase = 0x40000000;
inline constexpr uint32_t kPeripheralEnd = 0x60000000;
inline constexpr uint32_t kDeviceBase = 0xA0000000;  // device and system regions up to the top
}  // namespace default_map

namespace address_space {
inline constexpr uint64_t kEnd = uint64_t{1} << 32;
}

}  // namespace cm3sim
