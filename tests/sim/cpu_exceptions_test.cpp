// Exceptions on the Unicorn core: faults enter HardFault through the vector
// table or halt on VC_HARDERR, SVCall enters and returns on either stack,
// BKPT halts, a fault in HardFault locks up, and an erased flash locks up
// until a debugger programs it and resets.
#include <gtest/gtest.h>

#include "cpu_test_support.h"

namespace cm3sim::cpu_testing {
namespace {

// Vector table, handlers and thread code in SRAM.
constexpr uint32_t kVectors = arch::kSram;
constexpr uint32_t kHardFaultHandler = arch::kSram + 0x100;
constexpr uint32_t kSvcHandler = arch::kSram + 0x120;
constexpr uint32_t kCode = arch::kSram + 0x200;
constexpr uint32_t kProcessStackTop = arch::kSram + 0x8000;
constexpr uint32_t kHandlerMark = 0x55;  // R5 once the HardFault handler ran
constexpr uint32_t kR0Value = 0x1234;
constexpr uint32_t kR1 = 1;
constexpr uint32_t kR4 = 4;
constexpr uint32_t kR5 = 5;
constexpr uint32_t kLrValue = 0xAAAAAAAA;
constexpr uint32_t kFlashWord = 0x100;
constexpr uint32_t kErasedWord = 0xFFFFFFFF;
constexpr uint32_t kSvcIncrement = 5;  // what the SVC handler adds to R4

class CpuExceptionTest : public CpuTest {
protected:
    void SetUp() override {
        bootWithVectors(kCode);
        halt();
        write(arch::kVtor, kVectors);
        write(kVectors + arch::kHardFaultVector, kHardFaultHandler | arch::kThumbBit);
        write(kVectors + arch::kSvCallVector, kSvcHandler | arch::kThumbBit);
        writeCode(kHardFaultHandler, {op::Movs(kR5, kHandlerMark), op::kBranchToSelf});
        writeCode(kSvcHandler, {op::Adds(kR4, kSvcIncrement), op::Bx(arch::kRegLr)});
        setReg(0, kR0Value);
        setReg(arch::kRegLr, kLrValue);
    }
    void runProgram(const std::vector<uint16_t>& code) {
        writeCode(kCode, code);
        setReg(arch::kRegPc, kCode);
        resume();
        runFor(10);
    }
    std::vector<uint32_t> frameAt(uint32_t sp) {
        std::vector<uint32_t> words;
        for (uint32_t i = 0; i < arch::kFrameWords; ++i) words.push_back(read(sp + i * arch::kWordBytes));
        return words;
    }
};

struct FaultCase {
    const char* name;
    uint32_t r1;
    std::vector<uint16_t> program;
    uint32_t stackedPc;
};

const FaultCase kFaults[] = {
    {"UndefinedInstruction", 0, {op::kNop, op::Udf(0)}, kCode + arch::kHalfwordBytes},
    {"LoadFromNothing", arch::kUnmapped, {op::Ldr(2, kR1)}, kCode},
    {"LoadFromMissingPeripheral", arch::kPeripheral, {op::Ldr(2, kR1)}, kCode},
    {"StoreToFlash", kFlashWord, {op::kNop, op::Str(0, kR1)}, kCode + arch::kHalfwordBytes},
    {"BranchWithoutThumbBit", kCode + 0x40, {op::Bx(kR1)}, kCode + 0x40},
    {"FetchFromPeripheral", arch::kPeripheral | arch::kThumbBit, {op::Bx(kR1)}, arch::kPeripheral},
};

class CpuFaultTest : public CpuExceptionTest, public ::testing::WithParamInterface<FaultCase> {
protected:
    void provoke() {
        setReg(kR1, GetParam().r1);
        runProgram(GetParam().program);
    }
};

TEST_P(CpuFaultTest, WithoutVectorCatchEntersHardFaultFromTheVectorTable) {
    provoke();
    halt();
    EXPECT_EQ(pc(), kHardFaultHandler + arch::kHalfwordBytes) << "the handler ran";
    EXPECT_EQ(reg(kR5), kHandlerMark);
    EXPECT_EQ(reg(arch::kRegXpsr) & arch::kIpsrMask, arch::kHardFault);
    EXPECT_EQ(reg(arch::kRegLr), arch::kExcReturnThreadMsp);
    const uint32_t sp = reg(arch::kRegMsp);
    EXPECT_EQ(sp, arch::kStackTop - arch::kFrameWords * arch::kWordBytes);
    const std::vector<uint32_t> frame = frameAt(sp);
    EXPECT_EQ(frame[0], kR0Value);
    EXPECT_EQ(frame[kR1], GetParam().r1);
    EXPECT_EQ(frame[arch::kFramePc], GetParam().stackedPc);
    EXPECT_EQ(target->peek32(kFlashWord), kErasedWord) << "a refused store changes nothing";
}

TEST_P(CpuFaultTest, WithVectorCatchHaltsOnTheHandlersFirstInstruction) {
    write(arch::kDemcr, arch::kVcHardErr);
    provoke();
    EXPECT_NE(dhcsr() & arch::kSHalt, 0u);
    EXPECT_EQ(pc(), kHardFaultHandler);
    EXPECT_NE(reg(kR5), kHandlerMark) << "nothing of the handler ran";
    EXPECT_EQ(reg(arch::kRegXpsr) & arch::kIpsrMask, arch::kHardFault);
    EXPECT_EQ(frameAt(reg(arch::kRegMsp))[arch::kFramePc], GetParam().stackedPc);
}

INSTANTIATE_TEST_SUITE_P(Kinds, CpuFaultTest, ::testing::ValuesIn(kFaults),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(CpuExceptionTest, VectorCatchNeedsHaltingDebug) {
    write(arch::kDemcr, arch::kVcHardErr);
    writeCode(kCode, {op::Udf(0)});
    setReg(arch::kRegPc, kCode);
    writeDhcsr(0);
    runFor(10);
    halt();
    EXPECT_EQ(reg(kR5), kHandlerMark);
}

class CpuSupervisorCallTest : public CpuExceptionTest, public ::testing::WithParamInterface<bool> {};

TEST_P(CpuSupervisorCallTest, EntersTheHandlerAndReturns) {
    const bool processStack = GetParam();
    if (processStack) {
        setReg(arch::kRegPsp, kProcessStackTop);
        setReg(arch::kRegSpecial, arch::kControlSpSel);
    }
    // The handler stops on a BKPT first, to be looked at.
    writeCode(kSvcHandler, {op::Bkpt(0), op::Adds(kR4, kSvcIncrement), op::Bx(arch::kRegLr)});
    runProgram({op::Movs(0, 1), op::Svc(0), op::Adds(0, 2), op::kBranchToSelf});
    ASSERT_NE(dhcsr() & arch::kSHalt, 0u);
    EXPECT_EQ(pc(), kSvcHandler);
    EXPECT_EQ(reg(arch::kRegXpsr) & arch::kIpsrMask, arch::kSvCall);
    EXPECT_EQ(reg(arch::kRegLr), processStack ? arch::kExcReturnThreadPsp : arch::kExcReturnThreadMsp);
    EXPECT_EQ(reg(arch::kRegSp), reg(arch::kRegMsp)) << "Handler mode runs on MSP";
    const uint32_t frame = (processStack ? kProcessStackTop : arch::kStackTop) - arch::kFrameWords * arch::kWordBytes;
    EXPECT_EQ(reg(processStack ? arch::kRegPsp : arch::kRegMsp), frame);
    EXPECT_EQ(frameAt(frame)[arch::kFramePc], kCode + 2 * arch::kHalfwordBytes);

    setReg(arch::kRegPc, kSvcHandler + arch::kHalfwordBytes);
    resume();
    runFor(10);
    halt();
    EXPECT_EQ(pc(), kCode + 3 * arch::kHalfwordBytes);
    EXPECT_EQ(reg(0), 3u);
    EXPECT_EQ(reg(kR4), kSvcIncrement);
    EXPECT_EQ(reg(arch::kRegLr), kLrValue);
    EXPECT_EQ(reg(arch::kRegXpsr) & arch::kIpsrMask, 0u);
    EXPECT_EQ(reg(arch::kRegMsp), arch::kStackTop);
    EXPECT_EQ(reg(arch::kRegSp), processStack ? kProcessStackTop : arch::kStackTop);
    EXPECT_EQ(reg(arch::kRegSpecial), processStack ? arch::kControlSpSel : 0u);
}

INSTANTIATE_TEST_SUITE_P(Stacks, CpuSupervisorCallTest, ::testing::Bool(),
                         [](const auto& info) { return std::string(info.param ? "Process" : "Main"); });

TEST_F(CpuExceptionTest, SupervisorCallWithPrimaskSetEscalatesToHardFault) {
    setReg(arch::kRegSpecial, arch::kPriMask);
    runProgram({op::Svc(0)});
    halt();
    EXPECT_EQ(reg(arch::kRegXpsr) & arch::kIpsrMask, arch::kHardFault);
    EXPECT_EQ(reg(kR5), kHandlerMark);
}

TEST_F(CpuExceptionTest, BkptHaltsBeforeItselfOrFaultsWithoutADebugger) {
    const std::vector<uint16_t> program = {op::Movs(0, 1), op::Bkpt(0), op::Movs(0, 2), op::kBranchToSelf};
    runProgram(program);
    ASSERT_NE(dhcsr() & arch::kSHalt, 0u);
    EXPECT_EQ(pc(), kCode + arch::kHalfwordBytes);
    EXPECT_NE(read(arch::kDfsr) & arch::kDfsrBkpt, 0u);
    EXPECT_EQ(reg(0), 1u);

    setReg(arch::kRegPc, kCode);
    writeDhcsr(0);
    runFor(10);
    halt();
    EXPECT_EQ(reg(kR5), kHandlerMark);
    EXPECT_EQ(frameAt(reg(arch::kRegMsp))[arch::kFramePc], kCode + arch::kHalfwordBytes);
}

TEST_F(CpuExceptionTest, FaultInHardFaultLocksUpUntilHaltedAndReset) {
    writeCode(kHardFaultHandler, {op::Udf(0)});
    runProgram({op::Udf(0)});
    const uint32_t status = dhcsr();
    EXPECT_NE(status & arch::kSLockup, 0u);
    EXPECT_EQ(status & arch::kSHalt, 0u);
    const uint64_t retired = target->retiredInstructions();
    runFor(10);
    EXPECT_EQ(target->retiredInstructions(), retired) << "a locked-up core retires nothing";

    halt();
    EXPECT_EQ(dhcsr() & (arch::kSLockup | arch::kSHalt), arch::kSHalt);
    EXPECT_EQ(pc(), arch::kLockupPc);
    writeCode(kCode, {op::kBranchToSelf});
    write(arch::kAircr, arch::kVectKey | arch::kSysResetReq);
    runFor(10);
    EXPECT_EQ(dhcsr() & (arch::kSLockup | arch::kSHalt), 0u) << "the reset restarts the core";
    halt();
    EXPECT_EQ(pc(), kCode);
}

TEST_F(CpuTest, ErasedFlashLocksUpAndADebuggerRecoversIt) {
    boot();
    runFor(10);
    EXPECT_NE(dhcsr() & arch::kSLockup, 0u);
    EXPECT_EQ(target->retiredInstructions(), 0u);

    halt();
    EXPECT_EQ(dhcsr() & (arch::kSLockup | arch::kSHalt), arch::kSHalt);
    EXPECT_EQ(pc(), arch::kLockupPc);
    // Program a vector table and a branch-to-self through the flash controller.
    constexpr uint32_t kEntry = 0x40;
    const std::pair<uint32_t, uint32_t> words[] = {
        {0, arch::kStackTop}, {arch::kWordBytes, kEntry | arch::kThumbBit}, {kEntry, op::kBranchToSelf}};
    for (const auto& [address, value] : words) {
        write(arch::kFma, address);
        write(arch::kFmd, value);
        write(arch::kFmc, arch::kFlashWrite);
        runFor(100);
    }
    write(arch::kAircr, arch::kVectKey | arch::kSysResetReq);
    runFor(10);
    EXPECT_EQ(dhcsr() & arch::kSLockup, 0u);
    EXPECT_GT(target->retiredInstructions(), 0u);
    halt();
    EXPECT_EQ(pc(), kEntry);
}

}  // namespace
}  // namespace cm3sim::cpu_testing
