// The example firmware on the Unicorn core: it runs from reset at the
// configured rate, halts, steps, stops at FPB breakpoints and is caught at the
// reset vector after every kind of reset.
#include <gtest/gtest.h>

#include "cpu_test_support.h"

namespace cm3sim::cpu_testing {
namespace {

#ifdef CM3PROBE_EXAMPLE_FIRMWARE

constexpr uint32_t kMaxStepsPerPass = 64;

class CpuFirmwareTest : public CpuTest {
protected:
    void SetUp() override {
        config.images.push_back({CM3PROBE_EXAMPLE_FIRMWARE, std::nullopt});
        symbols = ReadSymbols(CM3PROBE_EXAMPLE_FIRMWARE);
        for (const char* name : {"tick", "counter", "Reset_Handler", "_stack_top"}) {
            ASSERT_EQ(symbols.count(name), 1u) << name;
        }
        boot();
    }
    uint32_t tick() { return symbols.at("tick"); }
    uint32_t counter() { return read(symbols.at("counter")); }
    // Steps a halted core until PC is at `address`; returns the steps taken.
    uint32_t stepTo(uint32_t address) {
        uint32_t steps = 0;
        while (pc() != address && steps < kMaxStepsPerPass) {
            step();
            ++steps;
        }
        EXPECT_EQ(pc(), address);
        return steps;
    }

    std::map<std::string, uint32_t> symbols;
};

TEST_F(CpuFirmwareTest, CountsAtTheConfiguredRate) {
    runFor(100);
    EXPECT_GT(counter(), 0u) << "the firmware runs from reset";
    halt();
    stepTo(tick());
    step();
    const uint32_t instructionsPerPass = 1 + stepTo(tick());
    const uint32_t before = counter();
    constexpr uint64_t kMicroseconds = 1000;
    resume();
    runFor(kMicroseconds);
    halt();
    const uint64_t instructions = kMicroseconds * config.instructionsPerMicrosecond;
    EXPECT_NEAR(counter() - before, double(instructions / instructionsPerPass), 1.0);
}

TEST_F(CpuFirmwareTest, HaltedCoreHoldsStillAndStepsOneInstruction) {
    runFor(100);
    halt();
    EXPECT_EQ(dhcsr() & (arch::kSHalt | arch::kCHalt | arch::kCDebugEn),
              arch::kSHalt | arch::kCHalt | arch::kCDebugEn);
    EXPECT_NE(read(arch::kDfsr) & arch::kDfsrHalted, 0u);
    const uint32_t count = counter();
    const uint32_t at = pc();
    runFor(1000);
    EXPECT_EQ(counter(), count);
    EXPECT_EQ(pc(), at);

    stepTo(tick());
    const uint64_t retired = target->retiredInstructions();
    step();
    EXPECT_EQ(target->retiredInstructions(), retired + 1);
    const uint32_t next = pc();
    EXPECT_TRUE(next == tick() + arch::kHalfwordBytes || next == tick() + arch::kWordBytes) << std::hex << next;
    EXPECT_NE(dhcsr() & arch::kSHalt, 0u) << "a step ends halted";
}

struct BreakpointCase {
    const char* name;
    uint32_t replace;
    uint32_t offset;  // of the halfword that halts, from tick
};

class CpuFirmwareBreakpointTest : public CpuFirmwareTest, public ::testing::WithParamInterface<BreakpointCase> {};

TEST_P(CpuFirmwareBreakpointTest, FpbComparatorHaltsBeforeTheInstruction) {
    const BreakpointCase& c = GetParam();
    writeDhcsr(arch::kCDebugEn);
    write(arch::kFpCtrl, arch::kFpKeyEnable);
    write(arch::kFpComp0, c.replace | (tick() & ~(arch::kWordBytes - 1)) | arch::kCompEnable);
    runFor(100);
    ASSERT_NE(dhcsr() & arch::kSHalt, 0u);
    EXPECT_EQ(pc(), tick() + c.offset);
    EXPECT_NE(read(arch::kDfsr) & arch::kDfsrBkpt, 0u);
    const uint32_t count = counter();
    write(arch::kFpComp0, 0);
    resume();
    runFor(100);
    EXPECT_GT(counter(), count);
}

INSTANTIATE_TEST_SUITE_P(Replace, CpuFirmwareBreakpointTest,
                         ::testing::Values(BreakpointCase{"LowerHalfword", arch::kReplaceLower, 0},
                                           BreakpointCase{"UpperHalfword", arch::kReplaceUpper, arch::kHalfwordBytes}),
                         [](const auto& info) { return std::string(info.param.name); });

enum class ResetKind { VectReset, SysResetReq, Pin };

class CpuFirmwareResetTest : public CpuFirmwareTest, public ::testing::WithParamInterface<ResetKind> {
protected:
    void reset(ResetKind kind) {
        switch (kind) {
        case ResetKind::VectReset: write(arch::kAircr, arch::kVectKey | arch::kVectReset); break;
        case ResetKind::SysResetReq: write(arch::kAircr, arch::kVectKey | arch::kSysResetReq); break;
        case ResetKind::Pin:
            target->setResetPin(true);
            runFor(1);
            target->setResetPin(false);
            break;
        }
        runFor(10);
    }
};

TEST_P(CpuFirmwareResetTest, VectorCatchHaltsAtTheResetVector) {
    writeDhcsr(arch::kCDebugEn);
    write(arch::kDemcr, arch::kVcCoreReset);
    runFor(100);
    const uint32_t before = counter();
    dhcsr();
    reset(GetParam());
    const uint32_t status = dhcsr();
    EXPECT_NE(status & arch::kSHalt, 0u);
    EXPECT_NE(status & arch::kSResetSt, 0u);
    EXPECT_EQ(dhcsr() & arch::kSResetSt, 0u) << "S_RESET_ST clears once read";
    EXPECT_NE(read(arch::kDfsr) & arch::kDfsrVCatch, 0u);
    EXPECT_EQ(pc(), symbols.at("Reset_Handler"));
    EXPECT_EQ(reg(arch::kRegMsp), symbols.at("_stack_top"));
    EXPECT_EQ(reg(arch::kRegXpsr), arch::kThumbState);
    EXPECT_EQ(counter(), before) << "SRAM keeps its contents";

    // Released, the C runtime clears the counter and counting starts over.
    resume();
    runFor(10);
    EXPECT_LT(counter(), before);
}

INSTANTIATE_TEST_SUITE_P(EachKind, CpuFirmwareResetTest,
                         ::testing::Values(ResetKind::VectReset, ResetKind::SysResetReq, ResetKind::Pin),
                         [](const auto& info) {
                             switch (info.param) {
                             case ResetKind::VectReset: return std::string("VectReset");
                             case ResetKind::SysResetReq: return std::string("SysResetReq");
                             case ResetKind::Pin: break;
                             }
                             return std::string("Pin");
                         });

TEST_F(CpuFirmwareTest, SameTrafficSameState) {
    // A second target fed the same time in other slices ends in the same state.
    CortexM3Target other(config, MakeUnicornCore);
    other.setDebugPower(true, true);
    other.advance(config.resetDurationNs);
    constexpr uint64_t kSlices = 1000;
    constexpr uint64_t kSliceNs = 1337;
    runFor(0);
    target->advance(kSlices * kSliceNs);
    for (uint64_t i = 0; i < kSlices; ++i) other.advance(kSliceNs);
    EXPECT_EQ(other.retiredInstructions(), target->retiredInstructions());
    EXPECT_EQ(other.peek32(symbols.at("counter")), counter());
    halt();
    ApDriver otherAp(other);
    otherAp.poke(arch::kDhcsr, arch::kDbgKey | arch::kCDebugEn | arch::kCHalt);
    for (uint8_t regsel = 0; regsel <= arch::kRegPsp; ++regsel) {
        EXPECT_EQ(other.coreRegister(regsel), reg(regsel)) << int(regsel);
    }
}

#else

TEST(CpuFirmwareTest, NeedsTheExampleFirmware) {
    GTEST_SKIP() << "the example firmware was not built (no arm-none-eabi-gcc)";
}

#endif

}  // namespace
}  // namespace cm3sim::cpu_testing
