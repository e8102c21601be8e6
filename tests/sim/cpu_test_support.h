// The CPU tests' bench: a target running the Unicorn core, driven only by
// hand-built AHB-AP traffic on the debug registers. Architectural values are
// spelled out here from ARMv7-M, not taken from the simulator.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "cpu/unicorn_core.h"
#include "elf_symbols.h"
#include "target_test_support.h"

namespace cm3sim::cpu_testing {

using cm3sim::testing::ApDriver;
using cm3sim::testing::ReadSymbols;

namespace arch {
inline constexpr uint32_t kDhcsr = 0xE000EDF0;
inline constexpr uint32_t kDcrsr = 0xE000EDF4;
inline constexpr uint32_t kDcrdr = 0xE000EDF8;
inline constexpr uint32_t kDemcr = 0xE000EDFC;
inline constexpr uint32_t kDfsr = 0xE000ED30;
inline constexpr uint32_t kAircr = 0xE000ED0C;
inline constexpr uint32_t kVtor = 0xE000ED08;
inline constexpr uint32_t kCpuid = 0xE000ED00;
inline constexpr uint32_t kFpCtrl = 0xE0002000;
inline constexpr uint32_t kFpComp0 = 0xE0002008;

inline constexpr uint32_t kDbgKey = 0xA05F0000;
inline constexpr uint32_t kCDebugEn = 1u << 0;
inline constexpr uint32_t kCHalt = 1u << 1;
inline constexpr uint32_t kCStep = 1u << 2;
inline constexpr uint32_t kCMaskInts = 1u << 3;
inline constexpr uint32_t kSRegRdy = 1u << 16;
inline constexpr uint32_t kSHalt = 1u << 17;
inline constexpr uint32_t kSSleep = 1u << 18;
inline constexpr uint32_t kSLockup = 1u << 19;
inline constexpr uint32_t kSRetireSt = 1u << 24;
inline constexpr uint32_t kSResetSt = 1u << 25;
inline constexpr uint32_t kRegWnR = 1u << 16;

inline constexpr uint32_t kDfsrHalted = 1u << 0;
inline constexpr uint32_t kDfsrBkpt = 1u << 1;
inline constexpr uint32_t kDfsrVCatch = 1u << 3;
inline constexpr uint32_t kVcCoreReset = 1u << 0;
inline constexpr uint32_t kVcHardErr = 1u << 10;

inline constexpr uint32_t kVectKey = 0x05FA0000;
inline constexpr uint32_t kVectReset = 1u << 0;
inline constexpr uint32_t kSysResetReq = 1u << 2;

inline constexpr uint32_t kFpKeyEnable = 0x3;
inline constexpr uint32_t kReplaceLower = 1u << 30;
inline constexpr uint32_t kReplaceUpper = 2u << 30;
inline constexpr uint32_t kCompEnable = 1;

inline constexpr uint8_t kRegSp = 13;
inline constexpr uint8_t kRegLr = 14;
inline constexpr uint8_t kRegPc = 15;
inline constexpr uint8_t kRegXpsr = 16;
inline constexpr uint8_t kRegMsp = 17;
inline constexpr uint8_t kRegPsp = 18;
inline constexpr uint8_t kRegSpecial = 20;  // CONTROL 31:24, FAULTMASK 23:16, BASEPRI 15:8, PRIMASK 7:0
inline constexpr uint32_t kControlNPriv = 1u << 24;
inline constexpr uint32_t kControlSpSel = 2u << 24;
inline constexpr uint32_t kPriMask = 1;
inline constexpr uint32_t kBasePriGroup2 = 0x40u << 8;  // BASEPRI = 0x40

inline constexpr uint32_t kThumbState = 1u << 24;
inline constexpr uint32_t kIpsrMask = 0x1FF;
inline constexpr uint32_t kHardFault = 3;
inline constexpr uint32_t kSvCall = 11;
inline constexpr uint32_t kExcReturnThreadMsp = 0xFFFFFFF9;
inline constexpr uint32_t kExcReturnThreadPsp = 0xFFFFFFFD;
inline constexpr uint32_t kLockupPc = 0xFFFFFFFE;
inline constexpr uint32_t kFrameWords = 8;
inline constexpr uint32_t kFramePc = 6;
inline constexpr uint32_t kFrameXpsr = 7;
inline constexpr uint32_t kWordBytes = 4;
inline constexpr uint32_t kHalfwordBytes = 2;
inline constexpr uint32_t kHardFaultVector = kHardFault * kWordBytes;
inline constexpr uint32_t kSvCallVector = kSvCall * kWordBytes;

inline constexpr uint32_t kFma = 0x400FD000;
inline constexpr uint32_t kFmd = 0x400FD004;
inline constexpr uint32_t kFmc = 0x400FD008;
inline constexpr uint32_t kFlashWrite = 0xA4420001;  // key and WRITE

inline constexpr uint32_t kSram = 0x20000000;
inline constexpr uint32_t kStackTop = 0x20010000;
inline constexpr uint32_t kThumbBit = 1;
inline constexpr uint32_t kUnmapped = 0x30000000;   // SRAM region, nothing behind it
inline constexpr uint32_t kPeripheral = 0x40000000;  // no device here either
}  // namespace arch

// Thumb encodings for hand-built programs (ARMv7-M A7).
namespace op {
constexpr uint16_t Movs(uint32_t rd, uint32_t imm8) { return uint16_t(0x2000 | rd << 8 | imm8); }
constexpr uint16_t Adds(uint32_t rdn, uint32_t imm8) { return uint16_t(0x3000 | rdn << 8 | imm8); }
constexpr uint16_t Ldr(uint32_t rt, uint32_t rn) { return uint16_t(0x6800 | rn << 3 | rt); }
constexpr uint16_t Str(uint32_t rt, uint32_t rn) { return uint16_t(0x6000 | rn << 3 | rt); }
constexpr uint16_t LdrLiteral(uint32_t rt, uint32_t words) { return uint16_t(0x4800 | rt << 8 | words); }
constexpr uint16_t Bx(uint32_t rm) { return uint16_t(0x4700 | rm << 3); }
constexpr uint16_t Push(uint32_t registers) { return uint16_t(0xB400 | registers); }
constexpr uint16_t Bkpt(uint32_t imm8) { return uint16_t(0xBE00 | imm8); }
constexpr uint16_t Udf(uint32_t imm8) { return uint16_t(0xDE00 | imm8); }
constexpr uint16_t Svc(uint32_t imm8) { return uint16_t(0xDF00 | imm8); }
// IT with firstcond EQ; `mask` as encoded (0x8: one instruction, 0x4: two, Then/Then).
constexpr uint16_t ItEq(uint32_t mask) { return uint16_t(0xBF00 | mask); }
inline constexpr uint32_t kItOne = 0x8;
inline constexpr uint32_t kItThenThen = 0x4;
constexpr uint16_t Cmp(uint32_t rn, uint32_t imm8) { return uint16_t(0x2800 | rn << 8 | imm8); }
// B (T2) at `from` to `to`: the offset counts from the instruction plus 4.
constexpr uint16_t B(uint32_t from, uint32_t to) {
    return uint16_t(0xE000 | ((to - (from + 4)) >> 1 & 0x7FF));
}
inline constexpr uint16_t kBranchToSelf = 0xE7FE;
static_assert(B(0x100, 0x100) == kBranchToSelf);
inline constexpr uint16_t kNop = 0xBF00;
inline constexpr uint16_t kWfi = 0xBF30;
// MOVW Rd, #imm16 (T3): a 32-bit instruction.
constexpr uint16_t MovwFirst(uint32_t imm16) {
    return uint16_t(0xF240 | (imm16 >> 11 & 1) << 10 | (imm16 >> 12));
}
constexpr uint16_t MovwSecond(uint32_t rd, uint32_t imm16) {
    return uint16_t((imm16 >> 8 & 0x7) << 12 | rd << 8 | (imm16 & 0xFF));
}
static_assert(MovwFirst(0x1234) == 0xF241 && MovwSecond(3, 0x1234) == 0x2334);  // movw r3, #0x1234
}  // namespace op

class CpuTest : public ::testing::Test {
protected:
    // A target with the Unicorn core and debug power up, its reset run out.
    void boot() {
        target = std::make_unique<CortexM3Target>(config, MakeUnicornCore);
        target->setDebugPower(true, true);
        ap = std::make_unique<ApDriver>(*target);
        settle();
    }
    // A vector table at 0 (set up as an image would be), then a power-on reset.
    void bootWithVectors(uint32_t entry, uint32_t hardFault = 0) {
        target = std::make_unique<CortexM3Target>(config, MakeUnicornCore);
        target->poke32(0, arch::kStackTop);
        target->poke32(arch::kWordBytes, entry | arch::kThumbBit);
        if (hardFault != 0) target->poke32(arch::kHardFaultVector, hardFault | arch::kThumbBit);
        target->powerOnReset();
        target->setDebugPower(true, true);
        ap = std::make_unique<ApDriver>(*target);
        settle();
    }
    void settle() { target->advance(config.resetDurationNs); }
    void runFor(uint64_t microseconds) { target->advance(microseconds * kNanosecondsPerMicrosecond); }

    uint32_t read(uint32_t address) { return ap->peek(address); }
    void write(uint32_t address, uint32_t value) { ap->poke(address, value); }
    // Halfwords of Thumb code, written as words through the AP.
    void writeCode(uint32_t address, std::vector<uint16_t> code) {
        if (code.size() % 2 != 0) code.push_back(op::kNop);
        for (size_t i = 0; i < code.size(); i += 2) {
            write(address + uint32_t(i) * arch::kHalfwordBytes, uint32_t(code[i + 1]) << 16 | code[i]);
        }
    }

    uint32_t dhcsr() { return read(arch::kDhcsr); }
    void writeDhcsr(uint32_t bits) { write(arch::kDhcsr, arch::kDbgKey | bits); }
    void halt() { writeDhcsr(arch::kCDebugEn | arch::kCHalt); }
    void resume() { writeDhcsr(arch::kCDebugEn); }
    void step() { writeDhcsr(arch::kCDebugEn | arch::kCStep | arch::kCMaskInts); }
    uint32_t reg(uint8_t regsel) {
        write(arch::kDcrsr, regsel);
        EXPECT_NE(dhcsr() & arch::kSRegRdy, 0u) << "REGSEL " << int(regsel);
        return read(arch::kDcrdr);
    }
    void setReg(uint8_t regsel, uint32_t value) {
        write(arch::kDcrdr, value);
        write(arch::kDcrsr, arch::kRegWnR | regsel);
        EXPECT_NE(dhcsr() & arch::kSRegRdy, 0u) << "REGSEL " << int(regsel);
    }
    uint32_t pc() { return reg(arch::kRegPc); }
    // Halted, at `address`, in Thread mode.
    void startAt(uint32_t address) {
        halt();
        setReg(arch::kRegPc, address);
        setReg(arch::kRegXpsr, arch::kThumbState);
    }

    static constexpr uint64_t kNanosecondsPerMicrosecond = 1000;
    SimConfig config;
    std::unique_ptr<CortexM3Target> target;
    std::unique_ptr<ApDriver> ap;
};

}  // namespace cm3sim::cpu_testing
