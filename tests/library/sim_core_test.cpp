// Run control, core registers, breakpoints and resets, end to end on the
// simulator over every transport path.
#include <optional>
#include <vector>

#include "core/scs_registers.h"
#include "sim_fixture.h"

namespace cm3test {
namespace {

inline constexpr uint32_t kStackTop = 0x20010000;
inline constexpr uint32_t kResetHandler = 0x00000100;
inline constexpr uint32_t kBranchToSelfTwice = 0xE7FEE7FE;  // b . ; b .
inline constexpr uint32_t kDhcsr = 0xE000EDF0;
inline constexpr uint32_t kRegselPc = 15;
inline constexpr uint32_t kRegselR0 = 0;
inline constexpr uint32_t kWordSize = 2;

class CorePathTest : public SimTest, public ::testing::WithParamInterface<Path> {
protected:
    void SetUp() override {
        SimTest::SetUp();
        StartWithVectorTable(cm3sim::SimConfig{});
    }
    // A valid vector table, so the core leaves reset and runs.
    void StartWithVectorTable(const cm3sim::SimConfig& config) {
        Boot(config);
        Target().poke32(0x0, kStackTop);
        Target().poke32(0x4, kResetHandler | 1);
        // The reset handler is a branch to itself: the core runs and retires
        // instructions without going anywhere.
        Target().poke32(kResetHandler, kBranchToSelfTwice);
        Target().powerOnReset();
        Connect(GetParam());
        uint32_t state = 0;
        ASSERT_EQ(DebugGetCoreState(&state), DBG_OK);
    }
    bool CachedHalted() const { return cm3probe::g_connection.coreHalted != 0; }
};

TEST_P(CorePathTest, HaltStepResume) {
    ASSERT_FALSE(Target().halted());
    ASSERT_EQ(DebugHaltCore(), DBG_OK);
    EXPECT_TRUE(Target().halted());
    EXPECT_TRUE(CachedHalted());
    uint32_t state = 0;
    ASSERT_EQ(DebugGetCoreState(&state), DBG_OK);
    EXPECT_NE(state & cm3probe::dhcsr::kSHalt, 0u);

    uint64_t retired = Target().retiredInstructions();
    ASSERT_EQ(DebugStepCore(), DBG_OK);
    EXPECT_EQ(Target().retiredInstructions(), retired + 1);
    EXPECT_TRUE(Target().halted());

    ASSERT_EQ(DebugStartCore(), DBG_OK);
    EXPECT_FALSE(Target().halted());
    EXPECT_FALSE(CachedHalted());
    EXPECT_EQ(Target().demcr(), 0x01000001u);
    EXPECT_EQ(Sleeps(), std::vector<uint32_t>{100});
}

TEST_P(CorePathTest, CachedStateDecidesBeforeAnyTraffic) {
    // Running per the cache: stepping and reading registers are refused.
    EXPECT_EQ(DebugStepCore(), DBG_NOT_HALTED);
    uint32_t value = 0;
    EXPECT_EQ(DebugReadCoreRegister(kRegselR0, &value), DBG_NOT_HALTED);
    EXPECT_EQ(DebugStartCore(), DBG_OK);
    // The core halts behind the cache's back; a register write reads the
    // state first and goes ahead, a register read does not.
    ASSERT_EQ(DebugWriteMem(kDhcsr, 0xA05F0003, 2), DBG_OK);
    EXPECT_EQ(DebugReadCoreRegister(kRegselR0, &value), DBG_NOT_HALTED);
    EXPECT_EQ(DebugWriteCoreRegister(kRegselR0, 0x1234), DBG_OK);
    EXPECT_EQ(Target().coreRegister(kRegselR0), 0x1234u);
    // Halted per the cache: a halt sends nothing.
    uint64_t dhcsrReads = Target().counters().dhcsrReads;
    EXPECT_EQ(DebugHaltCore(), DBG_OK);
    EXPECT_EQ(Target().counters().dhcsrReads, dhcsrReads);
}

TEST_P(CorePathTest, RegisterRoundTripForEveryRegsel) {
    ASSERT_EQ(DebugHaltCore(), DBG_OK);
    const uint32_t selectors[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 20};
    for (uint32_t selector : selectors) {
        uint32_t value = 0x10000000u | (selector << 4) | 0x8;
        if (selector == 16) value = 0x01000000;             // xPSR: Thumb bit set
        if (selector == 20) value = 0x00000001;             // PRIMASK
        if (selector == 13 || selector == 17 || selector == 18) value = 0x20008000 + 16 * selector;
        ASSERT_EQ(DebugWriteCoreRegister(selector, value), DBG_OK) << selector;
        uint32_t back = 0;
        ASSERT_EQ(DebugReadCoreRegister(selector, &back), DBG_OK) << selector;
        EXPECT_EQ(back, value) << selector;
        // A read selector with REGWnR set still reads, and leaves the register
        // be (DCRDR holds something else, which a write would load).
        ASSERT_EQ(DebugWriteMem(cm3probe::dcrdr::kAddress, ~value, kWordSize), DBG_OK);
        back = 0;
        ASSERT_EQ(DebugReadCoreRegister(selector | cm3probe::dcrsr::kRegWnR, &back), DBG_OK) << selector;
        EXPECT_EQ(back, value) << selector;
        EXPECT_EQ(Target().coreRegister(selector).value_or(0), value) << selector;
    }
}

TEST_P(CorePathTest, RegisterTransferThatNeverCompletesTimesOutAfter1001Reads) {
    ASSERT_EQ(DebugHaltCore(), DBG_OK);
    Config().regReadyNeverSet = true;
    uint64_t before = Target().counters().dhcsrReads;
    uint32_t value = 0xDEADBEEF;
    EXPECT_EQ(DebugReadCoreRegister(kRegselPc, &value), DBG_TIMEOUT);
    EXPECT_EQ(value, 0xDEADBEEFu);
    // An SWD read of a word is two posted AP reads: the target sees each twice.
    const uint64_t busReadsPerRead = GetParam().swd ? 2 : 1;
    EXPECT_EQ(Target().counters().dhcsrReads - before, 1001 * busReadsPerRead);
    before = Target().counters().dhcsrReads;
    EXPECT_EQ(DebugWriteCoreRegister(kRegselPc, 0x200), DBG_TIMEOUT);
    // The state refresh, then the poll.
    EXPECT_EQ(Target().counters().dhcsrReads - before, 1002 * busReadsPerRead);
}

TEST_P(CorePathTest, FailingDcrdrAccessIsReported) {
    ASSERT_EQ(DebugHaltCore(), DBG_OK);
    Config().ahbErrorRegions.push_back({0xE000EDF8, 4});
    uint32_t value = 0;
    EXPECT_EQ(DebugReadCoreRegister(kRegselR0, &value), DBG_STICKY_ERROR);
    EXPECT_EQ(DebugWriteCoreRegister(kRegselR0, 1), DBG_STICKY_ERROR);
}

// Where, counted from `base`, the AHB access that writes `value` to `address` falls.
std::optional<uint64_t> AccessIndex(const std::vector<cm3sim::AhbAccess>& log, uint32_t address, uint32_t value) {
    for (size_t i = 0; i < log.size(); ++i) {
        if (log[i].write && log[i].address == address && log[i].value == value) return i;
    }
    return std::nullopt;
}

TEST_P(CorePathTest, StickyErrorRightAfterTheHaltRequest) {
    // Halting debug on, as it will be for the faulted halt.
    ASSERT_EQ(DebugHaltCore(), DBG_OK);
    ASSERT_EQ(DebugStartCore(), DBG_OK);
    // A dry run finds the halt request among the halt's accesses.
    Config().logAhbAccesses = true;
    Target().clearAhbLog();
    ASSERT_EQ(DebugHaltCore(), DBG_OK);
    std::optional<uint64_t> offset = AccessIndex(Target().ahbLog(), kDhcsr, 0xA05F0003);
    ASSERT_TRUE(offset.has_value());
    ASSERT_EQ(DebugStartCore(), DBG_OK);

    Config().stickyErrorAtAhbAccess = Target().counters().ahbAccesses + *offset;
    EXPECT_EQ(DebugHaltCore(), DBG_STICKY_ERROR);
    Config().stickyErrorAtAhbAccess.reset();
    EXPECT_EQ(Probe().dpState().ctrlStat() & 0x20, 0u);
    uint32_t state = 0;
    EXPECT_EQ(DebugGetCoreState(&state), DBG_OK);
}

// A halt whose first DHCSR read fails at the driver fails as a whole and
// sends nothing after the failed read (the adapter may be inside a command);
// the next halt finds the link back and halts.
TEST_P(CorePathTest, HaltWhoseFirstStateReadFailsFailsAndTheNextHalts) {
    ASSERT_EQ(DebugHaltCore(), DBG_OK);
    ASSERT_EQ(DebugStartCore(), DBG_OK);
    const auto dhcsrWrites = [this] {
        size_t writes = 0;
        for (const cm3sim::AhbAccess& access : Target().ahbLog()) writes += access.write && access.address == kDhcsr;
        return writes;
    };
    Config().logAhbAccesses = true;
    Config().driverFaults.push_back({cm3sim::DriverOp::Read});
    EXPECT_NE(DebugHaltCore(), DBG_OK);
    EXPECT_EQ(dhcsrWrites(), 0u);
    EXPECT_FALSE(Target().halted());
    ASSERT_EQ(DebugHaltCore(), DBG_OK);
    EXPECT_TRUE(Target().halted());
    // With C_DEBUGEN seen set: the disable, then the request.
    EXPECT_EQ(dhcsrWrites(), 2u);
}

TEST_P(CorePathTest, StickyErrorRightAfterTheSystemResetRequest) {
    Config().logAhbAccesses = true;
    Target().clearAhbLog();
    ASSERT_EQ(DebugSystemReset(), DBG_OK);
    std::optional<uint64_t> offset = AccessIndex(Target().ahbLog(), 0xE000ED0C, 0x05FA0004);
    ASSERT_TRUE(offset.has_value());

    Config().stickyErrorAtAhbAccess = Target().counters().ahbAccesses + *offset;
    uint64_t dhcsrReads = Target().counters().dhcsrReads;
    EXPECT_EQ(DebugSystemReset(), DBG_STICKY_ERROR);
    EXPECT_EQ(Target().counters().dhcsrReads, dhcsrReads);  // no wait after the error
    Config().stickyErrorAtAhbAccess.reset();
    EXPECT_EQ(Probe().dpState().ctrlStat() & 0x20, 0u);
}

TEST_P(CorePathTest, BreakpointSlots) {
    const uint32_t addresses[] = {0x124, 0x126, 0x200, 0x302, 0x400, 0xE0000500};
    for (uint32_t i = 0; i < 6; ++i) {
        ASSERT_EQ(DebugSetBreakpoint(addresses[i]), DBG_OK) << i;
        EXPECT_EQ(Target().fpb().comparator(i) & 1, 1u) << i;
    }
    EXPECT_EQ(Target().fpb().comparator(0), 0x40000125u);
    EXPECT_EQ(Target().fpb().comparator(1), 0x80000125u);
    EXPECT_EQ(Target().fpb().comparator(5), 0x40000501u);  // bits 31:29 do not reach the comparator
    EXPECT_EQ(DebugSetBreakpoint(0x600), DBG_NO_BREAKPOINT_SLOT);
    ASSERT_EQ(DebugClearBreakpoint(0x200), DBG_OK);
    EXPECT_EQ(Target().fpb().comparator(2), 0u);
    ASSERT_EQ(DebugSetBreakpoint(0x700), DBG_OK);  // lowest free slot again
    EXPECT_EQ(Target().fpb().comparator(2), 0x40000701u);
    EXPECT_EQ(DebugClearBreakpoint(0x500), DBG_NO_BREAKPOINT_SLOT);  // the full address was set
    EXPECT_EQ(DebugClearBreakpoint(0xE0000500), DBG_OK);
    EXPECT_EQ(DebugClearBreakpoint(0), DBG_NO_BREAKPOINT_SLOT);
    for (uint32_t address : {0x124u, 0x126u, 0x700u, 0x302u, 0x400u}) EXPECT_EQ(DebugClearBreakpoint(address), DBG_OK);
}

TEST_P(CorePathTest, SameAddressTwiceTakesTwoSlots) {
    ASSERT_EQ(DebugSetBreakpoint(0x200), DBG_OK);
    ASSERT_EQ(DebugSetBreakpoint(0x200), DBG_OK);
    ASSERT_EQ(DebugClearBreakpoint(0x200), DBG_OK);
    EXPECT_EQ(Target().fpb().comparator(0), 0u);
    EXPECT_NE(Target().fpb().comparator(1), 0u);
    ASSERT_EQ(DebugClearBreakpoint(0x200), DBG_OK);
}

TEST_P(CorePathTest, CoreResetAndSystemResetStopAtTheResetVector) {
    // Halting debug must be on for the vector catch to stop the core.
    ASSERT_EQ(DebugHaltCore(), DBG_OK);
    for (DebugResult (*reset)() : {&DebugCoreReset, &DebugSystemReset}) {
        ASSERT_EQ(DebugStartCore(), DBG_OK);
        ASSERT_EQ(reset(), DBG_OK);
        EXPECT_TRUE(Target().halted());
        EXPECT_TRUE(CachedHalted());
        uint32_t pc = 0;
        ASSERT_EQ(DebugReadCoreRegister(kRegselPc, &pc), DBG_OK);
        EXPECT_EQ(pc, kResetHandler);
    }
}

TEST_P(CorePathTest, ResetThatNeverEndsTimesOut) {
    Config().resetNeverEnds = true;
    EXPECT_EQ(DebugSystemReset(), DBG_TIMEOUT);
}

TEST_P(CorePathTest, HardwareResetDropsToOpenedAndInitBringsItBack) {
    ASSERT_EQ(DebugHardwareReset(), DBG_OK);
    EXPECT_EQ(Sleeps(), std::vector<uint32_t>{10});
    EXPECT_GE(Target().counters().systemResets, 1u);
    EXPECT_EQ(DebugHaltCore(), DBG_NOT_INITIALISED);
    ASSERT_EQ(DebugInit(GetParam().batched ? 1 : 0), DBG_OK);
    EXPECT_EQ(DebugHaltCore(), DBG_OK);
    EXPECT_TRUE(Target().halted());
}

INSTANTIATE_TEST_SUITE_P(AllPaths, CorePathTest, ::testing::ValuesIn(kAllPaths), PathName);

}  // namespace
}  // namespace cm3test
