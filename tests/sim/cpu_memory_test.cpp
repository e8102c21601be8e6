// One bus for the CPU and the AHB-AP: the core's loads see what the debugger
// and the flash controller wrote, its stores are what the debugger reads, and
// code written through the AP runs, whether the core was halted or running.
#include <gtest/gtest.h>

#include "cpu_test_support.h"

namespace cm3sim::cpu_testing {
namespace {

constexpr uint32_t kCode = arch::kSram + 0x200;
constexpr uint32_t kSource = arch::kSram + 0x1000;
constexpr uint32_t kDestination = arch::kSram + 0x1004;
constexpr uint32_t kFlashWord = 0x400;
constexpr uint32_t kCpuid = 0x412FC230;
constexpr uint32_t kBitBandAlias = 0x22000000;
constexpr uint32_t kBitsPerByte = 8;

class CpuMemoryTest : public CpuTest {
protected:
    void SetUp() override {
        bootWithVectors(kCode);
        halt();
    }
    void run(const std::vector<uint16_t>& code) {
        writeCode(kCode, code);
        setReg(arch::kRegPc, kCode);
        resume();
        runFor(1);
    }
};

TEST_F(CpuMemoryTest, CopyLoopFollowsTheDebuggersWrites) {
    // ldr r2, [r0]; str r2, [r1]; b back
    setReg(0, kSource);
    setReg(1, kDestination);
    run({op::Ldr(2, 0), op::Str(2, 1), op::B(kCode + 2 * arch::kHalfwordBytes, kCode)});
    for (uint32_t value : {0x11111111u, 0x22222222u}) {
        write(kSource, value);
        runFor(1);
        EXPECT_EQ(read(kDestination), value);
    }
}

struct LoadCase {
    const char* name;
    uint32_t address;
    uint32_t expected;
};

class CpuLoadTest : public CpuMemoryTest, public ::testing::WithParamInterface<LoadCase> {};

TEST_P(CpuLoadTest, SeesWhatTheBusHolds) {
    write(kSource, 0x5EED);
    write(arch::kFma, kFlashWord);
    write(arch::kFmd, 0xF1A5);
    write(arch::kFmc, arch::kFlashWrite);
    runFor(100);
    setReg(1, GetParam().address);
    run({op::Ldr(0, 1), op::kBranchToSelf});
    halt();
    EXPECT_EQ(reg(0), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Sources, CpuLoadTest,
                         ::testing::Values(LoadCase{"SramWrittenByTheAp", kSource, 0x5EED},
                                           LoadCase{"FlashProgrammedByTheController", kFlashWord, 0xF1A5},
                                           LoadCase{"SystemControlSpace", arch::kCpuid, kCpuid}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(CpuMemoryTest, BitBandStoreOfTheCpuLandsInSram) {
    constexpr uint32_t kBit = 3;
    write(kSource, 0);
    setReg(0, 1);
    setReg(1, kBitBandAlias + ((kSource - arch::kSram) * kBitsPerByte + kBit) * arch::kWordBytes);
    run({op::Str(0, 1), op::kBranchToSelf});
    EXPECT_EQ(read(kSource), 1u << kBit);
}

TEST_F(CpuMemoryTest, CodeWrittenThroughTheApRunsHaltedOrNot) {
    run({op::Movs(0, 1), op::kBranchToSelf});
    halt();
    ASSERT_EQ(reg(0), 1u);
    run({op::Movs(0, 2), op::kBranchToSelf});
    halt();
    EXPECT_EQ(reg(0), 2u);

    // Patched while running: a loop that keeps setting R0.
    const uint16_t back = op::B(kCode + arch::kHalfwordBytes, kCode);
    run({op::Movs(0, 3), back});
    writeCode(kCode, {op::Movs(0, 4), back});
    runFor(1);
    halt();
    EXPECT_EQ(reg(0), 4u);
}

}  // namespace
}  // namespace cm3sim::cpu_testing
