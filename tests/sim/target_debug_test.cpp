// Halting debug through the AHB-AP: DHCSR, DCRSR/DCRDR, DEMCR, AIRCR resets,
// lockup and FPB breakpoints.
#include <gtest/gtest.h>

#include <functional>

#include "target_test_support.h"

namespace cm3sim::testing {
namespace {

constexpr uint32_t kKey = 0xA05F0000;
constexpr uint32_t kDebugEn = 0x1;
constexpr uint32_t kHalt = 0x2;
constexpr uint32_t kStep = 0x4;
constexpr uint32_t kMaskInts = 0x8;
constexpr uint32_t kSRegRdy = 1u << 16;
constexpr uint32_t kSHalt = 1u << 17;
constexpr uint32_t kSLockup = 1u << 19;
constexpr uint32_t kSRetireSt = 1u << 24;
constexpr uint32_t kSResetSt = 1u << 25;
constexpr uint32_t kRegWnR = 1u << 16;
constexpr uint32_t kVcCoreReset = 0x1;
constexpr uint32_t kAircrKey = 0x05FA0000;
constexpr uint32_t kVectReset = 0x1;
constexpr uint32_t kSysResetReq = 0x4;
constexpr uint32_t kDfsrHalted = 0x1;
constexpr uint32_t kDfsrBkpt = 0x2;
constexpr uint32_t kDfsrVCatch = 0x8;
constexpr uint64_t kMicrosecond = 1'000;

class DebugTest : public TargetFixture {
protected:
    void SetUp() override { build(); }

    uint32_t readCoreRegister(uint32_t regsel) {
        ap->poke(dcrsr::kAddress, regsel);
        EXPECT_TRUE(dhcsr() & kSRegRdy) << "REGSEL " << regsel;
        return ap->peek(dcrdr::kAddress);
    }
    void writeCoreRegister(uint32_t regsel, uint32_t value) {
        ap->poke(dcrdr::kAddress, value);
        ap->poke(dcrsr::kAddress, kRegWnR | regsel);
        EXPECT_TRUE(dhcsr() & kSRegRdy) << "REGSEL " << regsel;
    }
    uint64_t retiredOver(uint64_t ns) {
        const uint64_t before = target->retiredInstructions();
        target->advance(ns);
        return target->retiredInstructions() - before;
    }
};

TEST_F(DebugTest, DhcsrWritesNeedTheKey) {
    ap->poke(dhcsr::kAddress, kDebugEn | kHalt);
    ap->poke(dhcsr::kAddress, 0xA05E0000 | kDebugEn | kHalt);
    EXPECT_FALSE(target->halted());
    EXPECT_EQ(dhcsr() & 0xFFFF, 0u);
    EXPECT_EQ(target->counters().dhcsrWritesWithoutKey, 2u);
}

TEST_F(DebugTest, HaltNeedsDebugEnable) {
    ap->poke(dhcsr::kAddress, kKey | kHalt);
    EXPECT_FALSE(target->halted());
    EXPECT_FALSE(dhcsr() & kSHalt);
    ap->poke(dhcsr::kAddress, kKey | kDebugEn | kHalt);  // both in one write is enough
    EXPECT_TRUE(dhcsr() & kSHalt);
}

TEST_F(DebugTest, HaltStopsRetiringAndResumeRestarts) {
    EXPECT_GT(retiredOver(kMicrosecond), 0u) << "a core out of reset runs";
    halt();
    const uint32_t halted = dhcsr();
    EXPECT_EQ(halted & (kSHalt | kHalt | kDebugEn), kSHalt | kHalt | kDebugEn);
    EXPECT_EQ(ap->peek(dfsr::kAddress) & kDfsrHalted, kDfsrHalted);
    EXPECT_EQ(retiredOver(10 * kMicrosecond), 0u);

    writeDhcsr(kDebugEn);
    EXPECT_FALSE(dhcsr() & kSHalt);
    EXPECT_EQ(retiredOver(kMicrosecond), config.instructionsPerMicrosecond);
}

TEST_F(DebugTest, ClearingDebugEnableReleasesAHaltedCore) {
    halt();
    writeDhcsr(0);
    EXPECT_FALSE(target->halted());
    EXPECT_EQ(dhcsr() & 0xFFFF, 0u);
}

TEST_F(DebugTest, StepRetiresExactlyOneInstruction) {
    halt();
    for (int i = 0; i < 3; ++i) {
        const uint64_t before = target->retiredInstructions();
        dhcsr();  // clear S_RETIRE_ST
        writeDhcsr(kDebugEn | kStep | kMaskInts);
        EXPECT_EQ(target->retiredInstructions(), before + 1);
        const uint32_t status = dhcsr();
        EXPECT_TRUE(status & kSHalt);
        EXPECT_TRUE(status & kHalt) << "entering Debug state sets C_HALT";
        EXPECT_TRUE(status & kSRetireSt);
        EXPECT_EQ(retiredOver(kMicrosecond), 0u);
    }
}

TEST_F(DebugTest, RetireStatusIsStickyUntilRead) {
    target->advance(kMicrosecond);
    EXPECT_TRUE(dhcsr() & kSRetireSt);
    EXPECT_FALSE(dhcsr() & kSRetireSt) << "a read clears it";
    target->advance(kMicrosecond);
    halt();
    EXPECT_TRUE(dhcsr() & kSRetireSt) << "retired before the halt, not yet read";
    target->advance(kMicrosecond);
    EXPECT_FALSE(dhcsr() & kSRetireSt);
}

TEST_F(DebugTest, ByteReadsThatMissTheTopByteKeepStickyBits) {
    target->advance(kMicrosecond);
    ap->setCsw(csw::kSize8);
    ap->setTar(dhcsr::kAddress);
    ap->read(ap_reg::kDrw);  // lane 0 only
    EXPECT_TRUE(dhcsr() & kSRetireSt);
    target->advance(kMicrosecond);
    ap->setCsw(csw::kSize8);
    ap->setTar(dhcsr::kAddress + 3);
    EXPECT_TRUE(ap->read(ap_reg::kDrw).value & kSRetireSt);
    EXPECT_FALSE(dhcsr() & kSRetireSt);
}

struct ResetCase {
    const char* name;
    std::function<void(DebugTest&)> trigger;
};

void PrintTo(const ResetCase& c, std::ostream* os) { *os << c.name; }

class DebugResetTest : public DebugTest, public ::testing::WithParamInterface<ResetCase> {
public:
    void trigger() { GetParam().trigger(*this); }
    void pulsePin() {
        target->setResetPin(true);
        target->advance(kMicrosecond);
        target->setResetPin(false);
    }
};

TEST_P(DebugResetTest, SetsResetStatusUntilRead) {
    dhcsr();
    trigger();
    settle();
    EXPECT_TRUE(dhcsr() & kSResetSt);
    EXPECT_FALSE(dhcsr() & kSResetSt) << "a read clears it once the reset is over";
}

TEST_P(DebugResetTest, VectorCatchHaltsAtTheResetVector) {
    halt();
    writeCoreRegister(regsel::kDebugReturnAddress, 0x1000);
    ap->poke(demcr::kAddress, kVcCoreReset);
    ap->poke(dfsr::kAddress, 0x1F);
    trigger();
    settle();
    const uint32_t status = dhcsr();
    EXPECT_TRUE(status & kSHalt);
    EXPECT_TRUE(status & kSResetSt);
    EXPECT_EQ(ap->peek(dfsr::kAddress), kDfsrVCatch);
    EXPECT_EQ(readCoreRegister(regsel::kDebugReturnAddress), kEntryPoint);
    EXPECT_EQ(readCoreRegister(regsel::kMsp), kInitialSp);
    EXPECT_EQ(retiredOver(kMicrosecond), 0u);
}

TEST_P(DebugResetTest, WithoutVectorCatchTheCoreRunsAfterReset) {
    halt();
    trigger();
    settle();
    EXPECT_FALSE(dhcsr() & (kSHalt | kHalt)) << "every reset clears C_HALT";
    EXPECT_GT(retiredOver(kMicrosecond), 0u);
    EXPECT_TRUE(dhcsr() & kDebugEn) << "C_DEBUGEN survives all but power-on";
}

TEST_P(DebugResetTest, DebugStateSurvives) {
    ap->poke(demcr::kAddress, 0x010007F1);
    ap->poke(fpb::kBase + fpb::kComp0Offset, 0x40000101);
    trigger();
    settle();
    EXPECT_EQ(ap->peek(demcr::kAddress), 0x010007F1u);
    EXPECT_EQ(ap->peek(fpb::kBase + fpb::kComp0Offset), 0x40000101u);
}

INSTANTIATE_TEST_SUITE_P(
    Resets, DebugResetTest,
    ::testing::Values(ResetCase{"VectReset", [](DebugTest& t) { t.ap->poke(aircr::kAddress, kAircrKey | kVectReset); }},
                      ResetCase{"SysResetReq",
                                [](DebugTest& t) { t.ap->poke(aircr::kAddress, kAircrKey | kSysResetReq); }},
                      ResetCase{"ResetPin", [](DebugTest& t) { static_cast<DebugResetTest&>(t).pulsePin(); }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(DebugTest, AircrNeedsTheVectorKey) {
    EXPECT_EQ(ap->peek(aircr::kAddress) >> 16, 0xFA05u);
    const uint64_t resets = target->counters().systemResets + target->counters().coreResets;
    ap->poke(aircr::kAddress, kSysResetReq);
    ap->poke(aircr::kAddress, 0xFA050000 | kVectReset);
    EXPECT_EQ(target->counters().systemResets + target->counters().coreResets, resets);
}

TEST_F(DebugTest, SystemResetResetsPeripheralsButKeepsSram) {
    constexpr uint32_t kFma = 0x400FD000;
    ap->poke(kFma, 0x400);
    ap->poke(kSramBase, 0x5A5A5A5A);
    ap->poke(aircr::kAddress, kAircrKey | kVectReset);
    EXPECT_EQ(ap->peek(kFma), 0x400u) << "VECTRESET resets the core only";
    ap->poke(aircr::kAddress, kAircrKey | kSysResetReq);
    EXPECT_EQ(ap->peek(kFma), 0u);
    EXPECT_EQ(ap->peek(kSramBase), 0x5A5A5A5Au);
}

TEST_F(DebugTest, PowerOnResetClearsDebugState) {
    writeDhcsr(kDebugEn);
    ap->poke(demcr::kAddress, kVcCoreReset);
    ap->poke(fpb::kBase + fpb::kComp0Offset, 0x40000101);
    target->powerOnReset();
    settle();
    EXPECT_EQ(dhcsr() & 0xFFFF, 0u);
    EXPECT_EQ(ap->peek(demcr::kAddress), 0u);
    EXPECT_EQ(ap->peek(fpb::kBase + fpb::kComp0Offset), 0u);
    EXPECT_FALSE(target->halted());
}

TEST_F(DebugTest, ResetThatNeverEndsKeepsTheCoreInReset) {
    config.resetNeverEnds = true;
    ap->poke(aircr::kAddress, kAircrKey | kSysResetReq);
    target->advance(100 * kMicrosecond);
    EXPECT_TRUE(dhcsr() & kSResetSt);
    EXPECT_TRUE(dhcsr() & kSResetSt) << "still held in reset";
    EXPECT_FALSE(dhcsr() & kSHalt);
    EXPECT_EQ(retiredOver(kMicrosecond), 0u);

    config.resetNeverEnds = false;
    target->advance(0);
    EXPECT_GT(retiredOver(kMicrosecond), 0u);
}

TEST_F(DebugTest, ResetPinHoldsTheSystemWhileAsserted) {
    target->setResetPin(true);
    target->advance(100 * kMicrosecond);
    EXPECT_TRUE(target->inReset());
    dhcsr();
    EXPECT_TRUE(dhcsr() & kSResetSt);
    target->setResetPin(false);
    EXPECT_TRUE(target->inReset()) << "reset outlasts the pin by the modeled time";
    settle();
    EXPECT_FALSE(target->inReset());
}

struct RegisterCase {
    uint8_t regsel;
    uint32_t written;
    uint32_t readBack;
};

void PrintTo(const RegisterCase& c, std::ostream* os) { *os << "REGSEL " << int(c.regsel); }

class DebugRegisterTest : public DebugTest, public ::testing::WithParamInterface<RegisterCase> {};

TEST_P(DebugRegisterTest, DcrsrDcrdrRoundTrip) {
    const RegisterCase c = GetParam();
    halt();
    writeCoreRegister(c.regsel, c.written);
    EXPECT_EQ(target->coreRegister(c.regsel), c.readBack) << "the write reached the register file";
    ap->poke(dcrdr::kAddress, 0);
    EXPECT_EQ(readCoreRegister(c.regsel), c.readBack);
}

std::vector<RegisterCase> RegisterCases() {
    std::vector<RegisterCase> cases;
    for (uint8_t r = 0; r <= 12; ++r) cases.push_back({r, 0xC0DE0000u | r, 0xC0DE0000u | r});
    cases.push_back({regsel::kSp, 0x20008003, 0x20008000});
    cases.push_back({regsel::kLr, 0xFFFFFFF9, 0xFFFFFFF9});
    cases.push_back({regsel::kDebugReturnAddress, 0x00000201, 0x00000200});
    cases.push_back({regsel::kXpsr, 0xFFFFFFFF, 0xFF00FDFF});
    cases.push_back({regsel::kMsp, 0x20004007, 0x20004004});
    cases.push_back({regsel::kPsp, 0x20002002, 0x20002000});
    cases.push_back({regsel::kSpecial, 0xFFFFFFFF, 0x0301E001});
    return cases;
}

INSTANTIATE_TEST_SUITE_P(EveryRegsel, DebugRegisterTest, ::testing::ValuesIn(RegisterCases()));

TEST_F(DebugTest, SpFollowsTheSelectedStack) {
    halt();
    writeCoreRegister(regsel::kMsp, 0x20001000);
    writeCoreRegister(regsel::kPsp, 0x20002000);
    EXPECT_EQ(readCoreRegister(regsel::kSp), 0x20001000u);
    writeCoreRegister(regsel::kSpecial, 0x02000000);  // CONTROL.SPSEL in Thread mode
    EXPECT_EQ(readCoreRegister(regsel::kSp), 0x20002000u);
}

TEST_F(DebugTest, RegisterReadyFollowsTheTransferTime) {
    config.registerTransferNs = 500;
    halt();
    ap->poke(dcrsr::kAddress, regsel::kMsp);
    EXPECT_FALSE(dhcsr() & kSRegRdy);
    target->advance(499);
    EXPECT_FALSE(dhcsr() & kSRegRdy);
    target->advance(1);
    EXPECT_TRUE(dhcsr() & kSRegRdy);
    EXPECT_EQ(ap->peek(dcrdr::kAddress), kInitialSp);
}

TEST_F(DebugTest, RegisterReadyNeverSetsUnderTheFault) {
    config.regReadyNeverSet = true;
    halt();
    EXPECT_FALSE(dhcsr() & kSRegRdy);
    ap->poke(dcrdr::kAddress, 0x1234);
    ap->poke(dcrsr::kAddress, regsel::kMsp);
    target->advance(100 * kMicrosecond);
    EXPECT_FALSE(dhcsr() & kSRegRdy);
    EXPECT_EQ(ap->peek(dcrdr::kAddress), 0x1234u) << "the transfer did not happen";
    config.regReadyNeverSet = false;
    target->advance(0);
    EXPECT_TRUE(dhcsr() & kSRegRdy);
}

TEST_F(DebugTest, TransfersNeedDebugState) {
    ap->poke(dcrsr::kAddress, regsel::kMsp);
    target->advance(kMicrosecond);
    EXPECT_FALSE(dhcsr() & kSRegRdy);
    EXPECT_EQ(target->counters().registerTransfers, 0u);
}

TEST_F(DebugTest, DemcrKeepsItsDefinedBits) {
    ap->poke(demcr::kAddress, 0xFFFFFFFF);
    EXPECT_EQ(ap->peek(demcr::kAddress), 0x010F07F1u);
}

TEST_F(DebugTest, CpuidReadsAsConfigured) {
    EXPECT_EQ(ap->peek(cpuid::kAddress), 0x412FC230u);
    config.cpuid = 0x411FC231;
    EXPECT_EQ(ap->peek(cpuid::kAddress), 0x411FC231u);
}

TEST_F(DebugTest, ErasedFlashLocksTheCoreUp) {
    build(false);
    EXPECT_TRUE(dhcsr() & kSLockup);
    EXPECT_EQ(retiredOver(kMicrosecond), 0u);
    halt();
    EXPECT_EQ(dhcsr() & (kSLockup | kSHalt), kSHalt) << "Debug state ends the lockup";
    EXPECT_EQ(readCoreRegister(regsel::kDebugReturnAddress), 0xFFFFFFFEu);
    writeDhcsr(kDebugEn);
    target->advance(kMicrosecond);
    EXPECT_TRUE(dhcsr() & kSLockup) << "resuming at the lockup address locks up again";

    halt();
    writeCoreRegister(regsel::kDebugReturnAddress, 0x20000000);
    writeDhcsr(kDebugEn);
    EXPECT_GT(retiredOver(kMicrosecond), 0u) << "a debugger can move PC out of lockup";
}

TEST_F(DebugTest, ThumbBitlessResetVectorLocksUp) {
    target->poke32(core_reset::kResetVectorAddress, kEntryPoint);
    target->powerOnReset();
    settle();
    EXPECT_TRUE(target->lockedUp());
}

class FpbTest : public DebugTest {
protected:
    void enable() { ap->poke(fpb::kBase + fpb::kCtrlOffset, 0x3); }
    void setComparator(uint32_t index, uint32_t value) {
        ap->poke(fpb::kBase + fpb::kComp0Offset + 4 * index, value);
    }
};

TEST_F(FpbTest, ControlDescribesTheComparators) {
    const uint32_t ctrl = ap->peek(fpb::kBase + fpb::kCtrlOffset);
    EXPECT_EQ((ctrl >> 4) & 0xF, 6u) << "NUM_CODE";
    EXPECT_EQ((ctrl >> 8) & 0xF, 2u) << "NUM_LIT";
    EXPECT_EQ(ctrl & 0x1, 0u);
    ap->poke(fpb::kBase + fpb::kCtrlOffset, 0x1);
    EXPECT_EQ(ap->peek(fpb::kBase + fpb::kCtrlOffset) & 0x1, 0u) << "ENABLE without KEY";
    enable();
    EXPECT_EQ(ap->peek(fpb::kBase + fpb::kCtrlOffset) & 0x1, 1u);
    EXPECT_EQ(ap->peek(fpb::kBase + fpb::kRemapOffset) >> 29, 1u) << "remap supported";
}

TEST_F(FpbTest, BreakpointOnTheCurrentInstructionHalts) {
    writeDhcsr(kDebugEn);
    enable();
    setComparator(2, 0x40000000 | kEntryPoint | 0x1);  // REPLACE=01: lower halfword
    target->advance(kMicrosecond);
    EXPECT_TRUE(dhcsr() & kSHalt);
    EXPECT_EQ(ap->peek(dfsr::kAddress) & kDfsrBkpt, kDfsrBkpt);
    EXPECT_EQ(readCoreRegister(regsel::kDebugReturnAddress), kEntryPoint);

    writeDhcsr(kDebugEn | kStep);
    EXPECT_TRUE(dhcsr() & kSHalt) << "stepping onto a breakpoint halts before it";
}

TEST_F(FpbTest, ComparatorsThatDoNotMatchLeaveTheCoreRunning) {
    writeDhcsr(kDebugEn);
    enable();
    setComparator(0, 0x80000000 | kEntryPoint | 0x1);  // upper halfword only
    setComparator(1, 0x40000000 | (kEntryPoint + 4) | 0x1);
    setComparator(6, 0xC0000000 | kEntryPoint | 0x1);  // a literal comparator
    EXPECT_GT(retiredOver(kMicrosecond), 0u);
}

TEST_F(FpbTest, OnlyTheCodeRegionIsCompared) {
    halt();
    writeCoreRegister(regsel::kDebugReturnAddress, kSramBase);
    enable();
    setComparator(0, 0xC0000000 | kSramBase | 0x1);
    writeDhcsr(kDebugEn);
    EXPECT_GT(retiredOver(kMicrosecond), 0u);
}

TEST_F(FpbTest, BreakpointsNeedHaltingDebug) {
    enable();
    setComparator(0, 0xC0000000 | kEntryPoint | 0x1);
    EXPECT_GT(retiredOver(kMicrosecond), 0u);
}

}  // namespace
}  // namespace cm3sim::testing
