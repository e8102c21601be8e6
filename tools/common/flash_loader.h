// The flash loader: a Thumb routine the host copies to SRAM and runs on the
// target's own core, so each word costs the controller's program time rather
// than four USB round trips. Assembled here by hand, so the tools need no
// ARM compiler.
//
// Two slots in SRAM each hold a run: a header (flash address, word count,
// and room for the outcome) and the words. The routine has one entry per
// slot, so starting a run takes only the PC, and the host fills the other
// slot while this one runs.
// Out, in the slot's header: kDone, or kTimedOut when the controller kept
// WRITE set for the whole poll budget; and the first word not known to be
// programmed. Ends on a BKPT, so the halted core waits for the host.
// Uses r0-r7. All-ones words are skipped: programming them changes nothing.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <stdexcept>

#include "common/flash.h"
#include "common/target_registers.h"
#include "common/transfer.h"

namespace cm3tools::flash::loader {

// 16-bit Thumb encodings (ARMv7-M A7.7), with their operand fields empty.
namespace thumb {
inline constexpr uint16_t kLdrLiteral = 0x4800;    // LDR  Rt, [PC, #imm8*4]
inline constexpr uint16_t kLdrImmediate = 0x6800;  // LDR  Rt, [Rn, #imm5*4]
inline constexpr uint16_t kStrImmediate = 0x6000;  // STR  Rt, [Rn, #imm5*4]
inline constexpr uint16_t kAddsImm3 = 0x1C00;      // ADDS Rd, Rn, #imm3
inline constexpr uint16_t kAddsImm8 = 0x3000;      // ADDS Rdn, #imm8
inline constexpr uint16_t kSubsImm8 = 0x3800;      // SUBS Rdn, #imm8
inline constexpr uint16_t kCmpImm8 = 0x2800;       // CMP  Rn, #imm8
inline constexpr uint16_t kMovsImm8 = 0x2000;      // MOVS Rd, #imm8
inline constexpr uint16_t kNop = 0xBF00;           // NOP
inline constexpr uint16_t kLslsImm5 = 0x0000;      // LSLS Rd, Rm, #imm5
inline constexpr uint16_t kBranchIf = 0xD000;      // B<cond> label (imm8 halfwords)
inline constexpr uint16_t kBranch = 0xE000;        // B label (imm11 halfwords)
inline constexpr uint16_t kBkpt = 0xBE00;          // BKPT #imm8

inline constexpr uint16_t kCondEq = 0x0;
inline constexpr uint16_t kCondNe = 0x1;

inline constexpr unsigned kHighRegisterShift = 8;  // Rd/Rn of the imm8 forms, the condition of B<cond>
inline constexpr unsigned kImm5Shift = 6;
inline constexpr unsigned kRnShift = 3;
inline constexpr uint16_t kLowRegisterLimit = 8;
inline constexpr uint16_t kImm3Limit = 1u << 3;
inline constexpr uint16_t kImm5Limit = 1u << 5;
inline constexpr uint16_t kImm8Limit = 1u << 8;
inline constexpr uint16_t kImm8Mask = kImm8Limit - 1;
inline constexpr int kImm11Half = 1 << 10;
inline constexpr uint16_t kImm11Mask = (1u << 11) - 1;

// PC reads as the instruction's address plus 4 (in halfwords: plus 2).
inline constexpr int kPcAheadHalfwords = 2;
inline constexpr unsigned kHalfwordBytes = 2;
}  // namespace thumb

// Core registers by number.
inline constexpr uint16_t kR0 = 0;
inline constexpr uint16_t kR1 = 1;
inline constexpr uint16_t kR2 = 2;
inline constexpr uint16_t kR3 = 3;
inline constexpr uint16_t kR4 = 4;
inline constexpr uint16_t kR5 = 5;
inline constexpr uint16_t kR6 = 6;
inline constexpr uint16_t kR7 = 7;

// Register roles inside the routine that the host reads or sets.
inline constexpr uint16_t kResultRegister = kR0;
inline constexpr uint16_t kAddressRegister = kR1;
inline constexpr uint16_t kSourceRegister = kR2;
inline constexpr uint16_t kCountRegister = kR3;
inline constexpr uint16_t kSlotRegister = kR7;
inline constexpr uint16_t kRegistersUsed = kR7 + 1;  // r0 up to r7

inline constexpr uint16_t kDone = 0;
inline constexpr uint16_t kTimedOut = 1;
inline constexpr uint32_t kNotRun = 0xFFFFFFFF;  // the host's result word until the routine ends

// A slot's header, in words before the run's words.
namespace header {
inline constexpr uint32_t kAddress = 0;  // flash address of the first word
inline constexpr uint32_t kCount = 4;    // how many words
inline constexpr uint32_t kResult = 8;   // kDone or kTimedOut, written at the end
inline constexpr uint32_t kReached = 12; // the first word not known to be programmed
inline constexpr uint32_t kBytes = 16;
}  // namespace header

// Where the slots lie: the routine and its stack take the first 4 KB of
// SRAM, each slot a header and 4 KB of words after it.
namespace slots {
inline constexpr uint32_t kFirst = memory_map::kSramBase + kBlockSize;
inline constexpr uint32_t kWords = kBlockSize / kWordSize;
inline constexpr uint32_t kBytes = header::kBytes + kBlockSize;
inline constexpr uint32_t kCount = 2;
constexpr uint32_t Address(uint32_t slot) { return kFirst + slot * kBytes; }
}  // namespace slots

// FMC reads per word before the loader gives up: about 25 ms at 50 MHz,
// hundreds of times the controller's program time, so only a controller that
// is stuck runs it out.
inline constexpr uint32_t kPollBudget = 1u << 18;

inline constexpr unsigned kBitsPerByte = 8;
inline constexpr uint32_t kByteMask = 0xFF;

namespace detail {

// Fails the build when a constant expression breaks the check.
constexpr void Require(bool ok, const char* what) {
    if (!ok) throw std::logic_error(what);
}

constexpr uint16_t Low(uint16_t reg) {
    Require(reg < thumb::kLowRegisterLimit, "only r0-r7 fit a 16-bit encoding");
    return reg;
}

// Rt/Rd in bits 10:8 with an 8-bit immediate.
constexpr uint16_t Imm8Form(uint16_t opcode, uint16_t reg, uint16_t imm8) {
    Require(imm8 < thumb::kImm8Limit, "imm8 out of range");
    return static_cast<uint16_t>(opcode | Low(reg) << thumb::kHighRegisterShift | imm8);
}

// Rt/Rd in bits 2:0, Rn/Rm in bits 5:3, a 3- or 5-bit field in bits 10:6.
constexpr uint16_t ThreeFieldForm(uint16_t opcode, uint16_t rd, uint16_t rn, uint16_t field, uint16_t limit) {
    Require(field < limit, "immediate out of range");
    return static_cast<uint16_t>(opcode | field << thumb::kImm5Shift | Low(rn) << thumb::kRnShift | Low(rd));
}

}  // namespace detail

// Halfword positions in the routine; literal words follow the code.
namespace at {
inline constexpr int kEntry0 = 0;
inline constexpr int kEntry1 = 2;
inline constexpr int kCommon = 3;
inline constexpr int kNext = 9;
inline constexpr int kPoll = 18;
inline constexpr int kAdvance = 25;
inline constexpr int kDone = 29;
inline constexpr int kExit = 30;
inline constexpr int kBkpt = 32;
inline constexpr int kLiterals = 34;
}  // namespace at

// The literal pool, in this order after the code.
namespace literal {
inline constexpr uint16_t kSlot0 = 0;
inline constexpr uint16_t kSlot1 = 1;
inline constexpr uint16_t kController = 2;  // FMA; FMD and FMC follow it
inline constexpr uint16_t kProgram = 3;     // the FMC command word
inline constexpr uint16_t kBudget = 4;
inline constexpr uint16_t kCount = 5;
}  // namespace literal

inline constexpr uint32_t kLiteralBytes = sizeof(uint32_t);

constexpr uint16_t LdrLiteral(uint16_t rt, int position, uint16_t literalIndex) {
    // The base is the instruction's PC rounded down to a word.
    const auto pc = static_cast<uint32_t>(position + thumb::kPcAheadHalfwords) * thumb::kHalfwordBytes;
    const uint32_t base = pc & ~(kLiteralBytes - 1);
    const uint32_t target = at::kLiterals * thumb::kHalfwordBytes + literalIndex * kLiteralBytes;
    detail::Require(target >= base && (target - base) % kLiteralBytes == 0, "literal behind the PC");
    return detail::Imm8Form(thumb::kLdrLiteral, rt, static_cast<uint16_t>((target - base) / kLiteralBytes));
}
constexpr uint16_t LdrWord(uint16_t rt, uint16_t rn, uint32_t offset) {
    detail::Require(offset % kWordSize == 0, "word offsets only");
    return detail::ThreeFieldForm(thumb::kLdrImmediate, rt, rn, static_cast<uint16_t>(offset / kWordSize),
                                  thumb::kImm5Limit);
}
constexpr uint16_t StrWord(uint16_t rt, uint16_t rn, uint32_t offset) {
    detail::Require(offset % kWordSize == 0, "word offsets only");
    return detail::ThreeFieldForm(thumb::kStrImmediate, rt, rn, static_cast<uint16_t>(offset / kWordSize),
                                  thumb::kImm5Limit);
}
constexpr uint16_t AddsImm3(uint16_t rd, uint16_t rn, uint16_t imm3) {
    return detail::ThreeFieldForm(thumb::kAddsImm3, rd, rn, imm3, thumb::kImm3Limit);
}
constexpr uint16_t LslsImm(uint16_t rd, uint16_t rm, uint16_t shift) {
    detail::Require(shift != 0, "LSLS #0 is MOVS");
    return detail::ThreeFieldForm(thumb::kLslsImm5, rd, rm, shift, thumb::kImm5Limit);
}
constexpr uint16_t AddsImm8(uint16_t rdn, uint16_t imm8) { return detail::Imm8Form(thumb::kAddsImm8, rdn, imm8); }
constexpr uint16_t SubsImm8(uint16_t rdn, uint16_t imm8) { return detail::Imm8Form(thumb::kSubsImm8, rdn, imm8); }
constexpr uint16_t CmpImm8(uint16_t rn, uint16_t imm8) { return detail::Imm8Form(thumb::kCmpImm8, rn, imm8); }
constexpr uint16_t MovsImm8(uint16_t rd, uint16_t imm8) { return detail::Imm8Form(thumb::kMovsImm8, rd, imm8); }
constexpr uint16_t BranchIf(uint16_t condition, int position, int target) {
    const int offset = target - (position + thumb::kPcAheadHalfwords);
    constexpr int kReach = static_cast<int>(thumb::kImm8Limit) / 2;
    detail::Require(offset >= -kReach && offset < kReach, "conditional branch out of range");
    return static_cast<uint16_t>(thumb::kBranchIf | condition << thumb::kHighRegisterShift |
                                 (static_cast<uint16_t>(offset) & thumb::kImm8Mask));
}
constexpr uint16_t Branch(int position, int target) {
    const int offset = target - (position + thumb::kPcAheadHalfwords);
    detail::Require(offset >= -thumb::kImm11Half && offset < thumb::kImm11Half, "branch out of range");
    return static_cast<uint16_t>(thumb::kBranch | (static_cast<uint16_t>(offset) & thumb::kImm11Mask));
}
constexpr uint16_t Bkpt() { return thumb::kBkpt; }

// Register roles inside the routine.
inline constexpr uint16_t kControllerRegister = kR4;
inline constexpr uint16_t kCommandRegister = kR5;
inline constexpr uint16_t kDataRegister = kR6;     // the word, then FMC as read back
inline constexpr uint16_t kScratchRegister = kR0;  // the erased test, then the poll budget
inline constexpr uint16_t kWriteBitToSign = 31;    // LSLS moving FMC's WRITE (bit 0) to bit 31
inline constexpr uint32_t kFmaOffset = 0;
inline constexpr uint32_t kFmdOffset = fmd::kAddress - fma::kAddress;
inline constexpr uint32_t kFmcOffset = fmc::kAddress - fma::kAddress;
static_assert(fmc::kWrite == 1u << 0, "the poll moves bit 0 into the sign bit");

constexpr std::array<uint16_t, at::kLiterals> Assemble() {
    std::array<uint16_t, at::kLiterals> code{};
    int pc = 0;
    const auto emit = [&](uint16_t halfword) { code[static_cast<size_t>(pc++)] = halfword; };
    const auto label = [&](int expected) { detail::Require(pc == expected, "a label moved"); };
    using namespace thumb;
    label(at::kEntry0);
    emit(LdrLiteral(kSlotRegister, pc, literal::kSlot0));             // entry0: ldr r7, =slot0
    emit(Branch(pc, at::kCommon));                                     //       b    common
    label(at::kEntry1);
    emit(LdrLiteral(kSlotRegister, pc, literal::kSlot1));             // entry1: ldr r7, =slot1
    label(at::kCommon);
    emit(LdrLiteral(kControllerRegister, pc, literal::kController));   // common: ldr r4, =FMA
    emit(LdrLiteral(kCommandRegister, pc, literal::kProgram));         //       ldr  r5, =key|WRITE
    emit(LdrWord(kAddressRegister, kSlotRegister, header::kAddress));  //       ldr  r1, [r7]
    emit(LdrWord(kCountRegister, kSlotRegister, header::kCount));      //       ldr  r3, [r7, #4]
    emit(AddsImm3(kSourceRegister, kSlotRegister, 0));                 //       adds r2, r7, #0
    emit(AddsImm8(kSourceRegister, header::kBytes));                   //       adds r2, #16
    label(at::kNext);
    emit(CmpImm8(kCountRegister, 0));                                  // next: cmp  r3, #0
    emit(BranchIf(kCondEq, pc, at::kDone));                            //       beq  done
    emit(LdrWord(kDataRegister, kSourceRegister, 0));                  //       ldr  r6, [r2]
    emit(AddsImm3(kScratchRegister, kDataRegister, 1));                //       adds r0, r6, #1   ; Z: all ones
    emit(BranchIf(kCondEq, pc, at::kAdvance));                         //       beq  advance
    emit(StrWord(kAddressRegister, kControllerRegister, kFmaOffset));  //       str  r1, [r4]     ; FMA
    emit(StrWord(kDataRegister, kControllerRegister, kFmdOffset));     //       str  r6, [r4, #4] ; FMD
    emit(StrWord(kCommandRegister, kControllerRegister, kFmcOffset));  //       str  r5, [r4, #8] ; FMC: start
    emit(LdrLiteral(kScratchRegister, pc, literal::kBudget));          //       ldr  r0, =budget
    label(at::kPoll);
    emit(LdrWord(kDataRegister, kControllerRegister, kFmcOffset));     // poll: ldr  r6, [r4, #8] ; FMC
    emit(LslsImm(kDataRegister, kDataRegister, kWriteBitToSign));      //       lsls r6, r6, #31  ; Z: WRITE clear
    emit(BranchIf(kCondEq, pc, at::kAdvance));                         //       beq  advance
    emit(SubsImm8(kScratchRegister, 1));                               //       subs r0, #1
    emit(BranchIf(kCondNe, pc, at::kPoll));                            //       bne  poll
    emit(MovsImm8(kResultRegister, kTimedOut));                        //       movs r0, #1
    emit(Branch(pc, at::kExit));                                       //       b    exit
    label(at::kAdvance);
    emit(AddsImm8(kAddressRegister, kWordSize));                       // advance: adds r1, #4
    emit(AddsImm8(kSourceRegister, kWordSize));                        //       adds r2, #4
    emit(SubsImm8(kCountRegister, 1));                                 //       subs r3, #1
    emit(Branch(pc, at::kNext));                                       //       b    next
    label(at::kDone);
    emit(MovsImm8(kResultRegister, kDone));                            // done: movs r0, #0
    label(at::kExit);
    emit(StrWord(kResultRegister, kSlotRegister, header::kResult));    // exit: str  r0, [r7, #8]
    emit(StrWord(kAddressRegister, kSlotRegister, header::kReached));  //       str  r1, [r7, #12]
    label(at::kBkpt);
    emit(Bkpt());                                                      //       bkpt #0
    emit(kNop);                                                        //       nop  ; literals word aligned
    label(at::kLiterals);
    return code;
}
inline constexpr std::array<uint16_t, at::kLiterals> kCode = Assemble();

inline constexpr std::array<uint32_t, literal::kCount> kLiterals = {
    slots::Address(0),
    slots::Address(1),
    fma::kAddress,
    fmc::kWriteKey | fmc::kWrite,
    kPollBudget,
};

inline constexpr uint32_t kCodeBytes = at::kLiterals * thumb::kHalfwordBytes;
inline constexpr uint32_t kImageBytes = kCodeBytes + literal::kCount * kLiteralBytes;
inline constexpr uint32_t kBkptOffset = at::kBkpt * thumb::kHalfwordBytes;
inline constexpr std::array<uint32_t, slots::kCount> kEntryOffsets = {at::kEntry0 * thumb::kHalfwordBytes,
                                                                       at::kEntry1 * thumb::kHalfwordBytes};
static_assert(kCodeBytes % kLiteralBytes == 0, "literals must be word aligned");


// The routine as the bytes to copy to SRAM (little-endian).
constexpr std::array<uint8_t, kImageBytes> MakeImage() {
    std::array<uint8_t, kImageBytes> image{};
    size_t next = 0;
    for (uint16_t halfword : kCode) {
        for (unsigned byte = 0; byte < thumb::kHalfwordBytes; ++byte) {
            image[next++] = static_cast<uint8_t>(halfword >> (kBitsPerByte * byte) & kByteMask);
        }
    }
    for (uint32_t word : kLiterals) {
        for (unsigned byte = 0; byte < kLiteralBytes; ++byte) {
            image[next++] = static_cast<uint8_t>(word >> (kBitsPerByte * byte) & kByteMask);
        }
    }
    return image;
}
inline constexpr std::array<uint8_t, kImageBytes> kImage = MakeImage();

// --- where and how the host runs it ------------------------------------------

constexpr uint32_t AlignUp(uint32_t value, uint32_t alignment) { return (value + alignment - 1) & ~(alignment - 1); }

namespace work_area {
inline constexpr uint32_t kBase = memory_map::kSramBase;
// Room below the stack pointer for the frame of a fault taken in the loader,
// so it lands in the saved area.
inline constexpr uint32_t kStackBytes = 128;
inline constexpr uint32_t kStackAlignment = 8;
inline constexpr uint32_t kCodeAreaBytes = AlignUp(loader::kImageBytes, kStackAlignment) + kStackBytes;
inline constexpr uint32_t kStackTop = kBase + kCodeAreaBytes;
static_assert(kCodeAreaBytes <= slots::kFirst - kBase);
}  // namespace work_area

namespace debug_control {
inline constexpr uint32_t kKey = dhcsr::kDebugKey;
using dhcsr::kCMaskInts;
using dhcsr::kCSnapStall;
using dhcsr::kCStep;
inline constexpr uint32_t kControlBits = dhcsr::kCDebugEn | dhcsr::kCHalt | kCStep | kCMaskInts | kCSnapStall;
}  // namespace debug_control

namespace xpsr {
inline constexpr uint32_t kThumb = 1u << 24;  // EPSR.T; IT bits left clear
inline constexpr uint32_t kExceptionMask = 0x1FF;
}  // namespace xpsr

// Encodings checked against the architecture manual's examples.
static_assert(Branch(0, 0) == 0xE7FE, "b . ");
static_assert(MovsImm8(kR0, 0) == 0x2000 && Bkpt() == 0xBE00);

}  // namespace cm3tools::flash::loader
