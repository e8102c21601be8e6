// The example firmware (main calls tick(), tick counts in SRAM) on the
// simulator's Thumb-2 core, driven only through the exports over every
// transport path: what a debugger does with a real program.
#include <map>
#include <string>

#include "core/scs_registers.h"
#include "sim/elf_symbols.h"
#include "sim_fixture.h"

namespace cm3test {
namespace {

#ifdef CM3PROBE_EXAMPLE_FIRMWARE

inline constexpr uint32_t kRegselPc = 15;
inline constexpr uint32_t kWordSize = 2;
inline constexpr uint32_t kDfsr = 0xE000ED30;
inline constexpr uint32_t kDfsrBkpt = 1u << 1;
// Reads of the counter while the core runs before it must have moved: each
// read is hundreds of wire cycles, and a pass of the loop a dozen instructions.
inline constexpr int kReadsToSeeItMove = 100;
// DHCSR polls before a running core must have reached tick().
inline constexpr int kPollsToReachTick = 1000;

class FirmwarePathTest : public SimTest, public ::testing::WithParamInterface<Path> {
protected:
    void SetUp() override {
        symbols_ = cm3sim::testing::ReadSymbols(CM3PROBE_EXAMPLE_FIRMWARE);
        for (const char* name : {"tick", "counter", "main", "Reset_Handler"}) {
            ASSERT_EQ(symbols_.count(name), 1u) << name;
        }
        cm3sim::SimConfig config;
        config.images.push_back({CM3PROBE_EXAMPLE_FIRMWARE, std::nullopt});
        Boot(config);
        Connect(GetParam());
    }

    uint32_t Symbol(const char* name) const { return symbols_.at(name); }
    uint32_t Counter() {
        uint32_t value = 0;
        EXPECT_EQ(DebugReadMem(Symbol("counter"), &value, kWordSize), DBG_OK);
        return value;
    }
    uint32_t Pc() {
        uint32_t value = 0;
        EXPECT_EQ(DebugReadCoreRegister(kRegselPc, &value), DBG_OK);
        return value;
    }
    // Whether the counter moves while the core runs.
    bool CounterMoves() {
        const uint32_t before = Counter();
        for (int i = 0; i < kReadsToSeeItMove; ++i) {
            if (Counter() != before) return true;
        }
        return false;
    }
    // Polls DHCSR as a debugger waits for a breakpoint.
    bool WaitForHalt() {
        for (int i = 0; i < kPollsToReachTick; ++i) {
            uint32_t state = 0;
            if (DebugGetCoreState(&state) != DBG_OK) return false;
            if (state & cm3probe::dhcsr::kSHalt) return true;
        }
        return false;
    }

    std::map<std::string, uint32_t> symbols_;
};

TEST_P(FirmwarePathTest, HaltReadStepAndResume) {
    ASSERT_FALSE(Target().halted());
    EXPECT_TRUE(CounterMoves());
    ASSERT_EQ(DebugHaltCore(), DBG_OK);

    // What the library reads is what the core holds.
    const uint32_t pc = Pc();
    EXPECT_EQ(pc, Target().coreRegister(kRegselPc).value_or(0));
    const uint32_t count = Counter();
    EXPECT_EQ(count, Target().peek32(Symbol("counter")));
    EXPECT_GT(count, 0u);
    EXPECT_FALSE(CounterMoves()) << "a halted core counted";

    // The loop has no branch to itself: every step moves PC.
    uint32_t previous = pc;
    for (int i = 0; i < 4; ++i) {
        ASSERT_EQ(DebugStepCore(), DBG_OK);
        const uint32_t now = Pc();
        EXPECT_NE(now, previous) << "step " << i;
        EXPECT_EQ(now, Target().coreRegister(kRegselPc).value_or(0)) << "step " << i;
        previous = now;
    }

    ASSERT_EQ(DebugStartCore(), DBG_OK);
    EXPECT_FALSE(Target().halted());
    EXPECT_TRUE(CounterMoves());
}

TEST_P(FirmwarePathTest, BreakpointOnTickStopsThereUntilCleared) {
    // A breakpoint halts only with halting debug on, which the first halt turns on.
    ASSERT_EQ(DebugHaltCore(), DBG_OK);
    // Halted on the breakpoint's own instruction it would stop at once: step off first.
    if (Pc() == Symbol("tick")) {
        ASSERT_EQ(DebugStepCore(), DBG_OK);
    }
    ASSERT_EQ(DebugSetBreakpoint(Symbol("tick")), DBG_OK);
    ASSERT_EQ(DebugStartCore(), DBG_OK);
    ASSERT_TRUE(WaitForHalt());
    EXPECT_TRUE(Target().halted());
    EXPECT_EQ(Pc(), Symbol("tick"));
    uint32_t dfsr = 0;
    ASSERT_EQ(DebugReadMem(kDfsr, &dfsr, kWordSize), DBG_OK);
    EXPECT_NE(dfsr & kDfsrBkpt, 0u);
    // Stopped before tick's increment: memory agrees with the core's view.
    const uint32_t count = Counter();
    EXPECT_EQ(count, Target().peek32(Symbol("counter")));

    ASSERT_EQ(DebugClearBreakpoint(Symbol("tick")), DBG_OK);
    EXPECT_EQ(Target().fpb().comparator(0), 0u);
    EXPECT_EQ(DebugClearBreakpoint(Symbol("tick")), DBG_NO_BREAKPOINT_SLOT);
    ASSERT_EQ(DebugStartCore(), DBG_OK);
    EXPECT_TRUE(CounterMoves());
    uint32_t state = 0;
    ASSERT_EQ(DebugGetCoreState(&state), DBG_OK);
    EXPECT_EQ(state & cm3probe::dhcsr::kSHalt, 0u) << "stopped again with the breakpoint cleared";
    EXPECT_GT(Counter(), count);
}

// A core resumed or stepped on a breakpointed instruction stops again before
// it retires anything; a debugger steps off with the breakpoint cleared, and
// the program then makes exactly one more pass.
TEST_P(FirmwarePathTest, ResumeOnTheBreakpointNeedsAStepOff) {
    ASSERT_EQ(DebugHaltCore(), DBG_OK);
    for (int i = 0; i < kPollsToReachTick && Pc() != Symbol("tick"); ++i) {
        ASSERT_EQ(DebugStepCore(), DBG_OK);
    }
    ASSERT_EQ(Pc(), Symbol("tick"));
    ASSERT_EQ(DebugSetBreakpoint(Symbol("tick")), DBG_OK);
    const uint32_t count = Counter();

    const uint64_t polls = Target().counters().dhcsrReads;
    EXPECT_EQ(DebugStartCore(), DBG_TIMEOUT);
    EXPECT_TRUE(Target().halted());
    EXPECT_NE(cm3probe::g_connection.coreHalted, 0u);
    // The read before the write, then the polls; SWD's posted read reaches DHCSR twice.
    const uint64_t busReadsPerRead = GetParam().swd ? 2 : 1;
    EXPECT_EQ(Target().counters().dhcsrReads - polls, (1u + 1001u) * busReadsPerRead);
    EXPECT_EQ(Counter(), count);

    const uint64_t retired = Target().retiredInstructions();
    ASSERT_EQ(DebugStepCore(), DBG_OK);
    EXPECT_EQ(Pc(), Symbol("tick"));
    EXPECT_EQ(Target().retiredInstructions(), retired);

    ASSERT_EQ(DebugClearBreakpoint(Symbol("tick")), DBG_OK);
    ASSERT_EQ(DebugStepCore(), DBG_OK);
    EXPECT_NE(Pc(), Symbol("tick"));
    ASSERT_EQ(DebugSetBreakpoint(Symbol("tick")), DBG_OK);
    ASSERT_EQ(DebugStartCore(), DBG_OK);
    ASSERT_TRUE(WaitForHalt());
    EXPECT_EQ(Pc(), Symbol("tick"));
    EXPECT_EQ(Counter(), count + 1);
}

TEST_P(FirmwarePathTest, ResetsStopAtTheResetHandler) {
    // Halting debug must be on for the vector catch to stop the core.
    ASSERT_EQ(DebugHaltCore(), DBG_OK);
    for (DebugResult (*reset)() : {&DebugCoreReset, &DebugSystemReset}) {
        ASSERT_EQ(DebugStartCore(), DBG_OK);
        ASSERT_EQ(reset(), DBG_OK);
        EXPECT_TRUE(Target().halted());
        EXPECT_EQ(Pc(), Symbol("Reset_Handler"));
    }
    // From the reset handler the program starts over and counts again.
    ASSERT_EQ(DebugStartCore(), DBG_OK);
    EXPECT_TRUE(CounterMoves());
}

INSTANTIATE_TEST_SUITE_P(AllPaths, FirmwarePathTest, ::testing::ValuesIn(kAllPaths), PathName);

#endif

}  // namespace
}  // namespace cm3test
