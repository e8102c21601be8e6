// Run control on the Unicorn core through DHCSR: a step moves PC by one
// instruction of either width, S_RETIRE_ST and S_RESET_ST behave as ARMv7-M
// says, a reset the core asks for stops it at once, FPB comparators see only
// the Code region, and WFI sleeps until a halt.
#include <gtest/gtest.h>

#include "cpu_test_support.h"

namespace cm3sim::cpu_testing {
namespace {

constexpr uint32_t kIdle = arch::kSram + 0x100;
constexpr uint32_t kCode = arch::kSram + 0x200;
constexpr uint32_t kMarkAddress = arch::kSram + 0x1000;
constexpr uint32_t kMark = 0x600D;
constexpr uint32_t kR3 = 3;

class CpuRunControlTest : public CpuTest {
protected:
    void SetUp() override {
        bootWithVectors(kIdle);
        halt();
        writeCode(kIdle, {op::kBranchToSelf});
    }
    void load(const std::vector<uint16_t>& code) {
        writeCode(kCode, code);
        setReg(arch::kRegPc, kCode);
    }
};

TEST_F(CpuRunControlTest, StepMovesPcByOneInstructionOfEitherWidth) {
    constexpr uint32_t kImmediate = 0x1234;
    load({op::Movs(0, 1), op::MovwFirst(kImmediate), op::MovwSecond(kR3, kImmediate), op::Movs(0, 2)});
    const uint32_t expected[] = {kCode + 2, kCode + 6, kCode + 8};
    for (uint32_t next : expected) {
        const uint64_t retired = target->retiredInstructions();
        step();
        EXPECT_EQ(pc(), next);
        EXPECT_EQ(target->retiredInstructions(), retired + 1);
        EXPECT_NE(dhcsr() & arch::kSHalt, 0u);
    }
    EXPECT_EQ(reg(kR3), kImmediate);
    EXPECT_EQ(reg(0), 2u);
}

TEST_F(CpuRunControlTest, RetireStatusIsSetByRetiringAndClearedByReading) {
    load({op::Movs(0, 1), op::kBranchToSelf});
    dhcsr();
    runFor(10);
    EXPECT_EQ(dhcsr() & arch::kSRetireSt, 0u) << "a halted core retires nothing";
    step();
    EXPECT_NE(dhcsr() & arch::kSRetireSt, 0u);
    EXPECT_EQ(dhcsr() & arch::kSRetireSt, 0u);
    resume();
    runFor(1);
    EXPECT_NE(dhcsr() & arch::kSRetireSt, 0u);

    // A locked-up core retires nothing either.
    halt();
    load({op::Udf(0)});
    resume();
    runFor(1);
    ASSERT_NE(dhcsr() & arch::kSLockup, 0u);
    runFor(10);
    EXPECT_EQ(dhcsr() & arch::kSRetireSt, 0u);
}

TEST_F(CpuRunControlTest, ResetRequestedByTheCoreStopsItAtTheStore) {
    // STR to AIRCR, then a store that must not happen.
    load({op::Str(0, 1), op::Str(2, kR3), op::kBranchToSelf});
    setReg(0, arch::kVectKey | arch::kSysResetReq);
    setReg(1, arch::kAircr);
    setReg(2, kMark);
    setReg(kR3, kMarkAddress);
    write(arch::kDemcr, arch::kVcCoreReset);
    dhcsr();
    resume();
    runFor(10);
    runFor(10);  // the reset counts down from the next slice of time
    EXPECT_NE(dhcsr() & arch::kSResetSt, 0u);
    EXPECT_EQ(dhcsr() & arch::kSResetSt, 0u) << "cleared by the read";
    EXPECT_NE(dhcsr() & arch::kSHalt, 0u) << "VC_CORERESET caught it";
    EXPECT_EQ(pc(), kIdle);
    EXPECT_NE(read(kMarkAddress), kMark);
}

TEST_F(CpuRunControlTest, FpbComparatorsMatchOnlyTheCodeRegion) {
    // COMP holds address bits 28:2: code at 0x20000200 shares them with 0x200.
    load({op::Movs(0, 1), op::kBranchToSelf});
    write(arch::kFpCtrl, arch::kFpKeyEnable);
    write(arch::kFpComp0, arch::kReplaceLower | (kCode - arch::kSram) | arch::kCompEnable);
    resume();
    runFor(1);
    EXPECT_EQ(dhcsr() & arch::kSHalt, 0u);
    EXPECT_EQ(read(arch::kDfsr) & arch::kDfsrBkpt, 0u);
}

TEST_F(CpuRunControlTest, WfiSleepsUntilAHaltWakesTheCore) {
    constexpr uint32_t kAfter = 7;
    load({op::kWfi, op::Movs(0, kAfter), op::kBranchToSelf});
    resume();
    runFor(1);
    EXPECT_NE(dhcsr() & arch::kSSleep, 0u);
    const uint64_t retired = target->retiredInstructions();
    runFor(10);
    EXPECT_EQ(target->retiredInstructions(), retired);
    halt();
    EXPECT_EQ(dhcsr() & arch::kSSleep, 0u);
    EXPECT_EQ(pc(), kCode + arch::kHalfwordBytes);
    resume();
    runFor(1);
    EXPECT_EQ(dhcsr() & arch::kSSleep, 0u);
    halt();
    EXPECT_EQ(reg(0), kAfter);
}

}  // namespace
}  // namespace cm3sim::cpu_testing
