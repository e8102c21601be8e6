// The fault matrix: every export on every transport path, with each driver
// operation failing at each of its calls (once, for good, or moving half the
// bytes) and with each target fault of the simulator. Every case must end with
// a result the export may give, without a crash, a leak (ASan builds), a hang
// (a watchdog per case) or the lock left held (asked of another process).
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "cm3probe.h"
#include "frame/adapter_lock.h"
#include "in_process.h"
#include "support.h"

namespace cm3rel {
namespace {

using cm3sim::DriverFault;
using cm3sim::DriverOp;
using cm3sim::SimConfig;

// Any one case finishes far sooner; past this the case is taken as hung.
inline constexpr unsigned kCaseWatchdogSeconds = 20;
inline constexpr uint32_t kLockCheckMs = 2000;
inline constexpr uint32_t kSingleAddress = kSramBase + 0x100;
// Crosses a 4 KB page with a byte head and tail.
inline constexpr uint32_t kBlockAddress = kSramBase + 0xFF3;
inline constexpr uint32_t kBlockBytes = 40;
inline constexpr uint32_t kBreakpointAddress = 0x100;
inline constexpr uint32_t kRegisterR1 = 1;
inline constexpr uint32_t kHalfwordValue = 0xBEEF;
inline constexpr uint32_t kRegisterValue = 0x1234;
inline constexpr uint32_t kSizeHalfword = 1;
inline constexpr uint32_t kSizeWord = 2;
inline constexpr uint32_t kPpbBase = 0xE0000000;
inline constexpr uint32_t kPpbSize = 0x00100000;
inline constexpr uint32_t kWaitCounts[] = {1, 3, 1000};
// A sticky error is injected at each of the export's first transfers: polling
// exports make a thousand, which add nothing new.
inline constexpr uint64_t kMaxStickySteps = kFullSweeps ? 32 : 8;
// Optimised builds fault every step. The sample takes every sixteenth, and
// always the first and the last: a fault that turns into a timed-out poll
// costs a thousand reads.
inline constexpr uint32_t kStepStride = kFullSweeps ? 1 : 16;
// The library exports twenty functions; the table names each once.
inline constexpr size_t kExportCount = 20;

struct Path {
    bool swd;
    bool batched;
};
// The sample takes the first two: SWD direct and JTAG batched.
inline constexpr Path kPaths[] = {{true, false}, {false, true}, {true, true}, {false, false}};
inline constexpr size_t kPathsSwept = kFullSweeps ? std::size(kPaths) : 2;

Path g_path{};

enum class Stage { None, Opened, Initialised, Halted, BreakpointSet };

struct ExportCase {
    const char* name;
    Stage stage;
    DebugResult (*call)();
    std::set<DebugResult> allowed;
    // Needs firmware to run: the erased flash of the default target locks the
    // core up, and a locked-up core retires nothing.
    bool runs = false;
};

const std::vector<ExportCase>& Exports() {
    static uint8_t block[kBlockBytes];
    static uint32_t value;
    static const std::vector<ExportCase> table = {
        {"DebugOpen", Stage::None, [] { return DebugOpen(kClockHz, kAdapter, g_path.swd ? 1 : 0); },
         {DBG_OK, DBG_ERROR, DBG_OPENED_AFTER_RETRY}},
        {"DebugInit", Stage::Opened, [] { return DebugInit(g_path.batched ? 1 : 0); },
         {DBG_OK, DBG_ERROR, DBG_TIMEOUT, DBG_BAD_IDCODE, DBG_BAD_ROM_TABLE, DBG_STICKY_ERROR}},
        {"DebugClose", Stage::Initialised, [] { return DebugClose(); }, {DBG_OK, DBG_ERROR}},
        {"DebugGetIDCode", Stage::Initialised, [] { return DebugGetIDCode(&value); }, {DBG_OK, DBG_ERROR}},
        {"DebugGetDeviceInformation", Stage::Initialised,
         [] { return DebugGetDeviceInformation(&value, &value, &value); }, {DBG_OK, DBG_ERROR}},
        {"DebugReadMem", Stage::Initialised, [] { return DebugReadMem(kSingleAddress, &value, kSizeWord); },
         {DBG_OK, DBG_ERROR, DBG_STICKY_ERROR}},
        {"DebugWriteMem", Stage::Initialised, [] { return DebugWriteMem(kSingleAddress + 2, kHalfwordValue, kSizeHalfword); },
         {DBG_OK, DBG_ERROR, DBG_STICKY_ERROR}},
        {"DebugReadBlock", Stage::Initialised, [] { return DebugReadBlock(kBlockAddress, block, kBlockBytes); },
         {DBG_OK, DBG_ERROR, DBG_STICKY_ERROR}},
        {"DebugWriteBlock", Stage::Initialised, [] { return DebugWriteBlock(kBlockAddress, block, kBlockBytes); },
         {DBG_OK, DBG_ERROR, DBG_STICKY_ERROR}},
        {"DebugHaltCore", Stage::Initialised, [] { return DebugHaltCore(); },
         {DBG_OK, DBG_ERROR, DBG_TIMEOUT, DBG_STICKY_ERROR}},
        {"DebugStartCore", Stage::Halted, [] { return DebugStartCore(); },
         {DBG_OK, DBG_ERROR, DBG_TIMEOUT, DBG_STICKY_ERROR}, true},
        {"DebugStepCore", Stage::Halted, [] { return DebugStepCore(); },
         {DBG_OK, DBG_ERROR, DBG_TIMEOUT, DBG_STICKY_ERROR, DBG_NOT_HALTED}, true},
        {"DebugGetCoreState", Stage::Initialised, [] { return DebugGetCoreState(&value); },
         {DBG_OK, DBG_ERROR, DBG_STICKY_ERROR}},
        {"DebugCoreReset", Stage::Initialised, [] { return DebugCoreReset(); },
         {DBG_OK, DBG_ERROR, DBG_TIMEOUT, DBG_STICKY_ERROR}},
        {"DebugSystemReset", Stage::Initialised, [] { return DebugSystemReset(); },
         {DBG_OK, DBG_ERROR, DBG_TIMEOUT, DBG_STICKY_ERROR}},
        {"DebugHardwareReset", Stage::Initialised, [] { return DebugHardwareReset(); }, {DBG_OK, DBG_ERROR}},
        {"DebugReadCoreRegister", Stage::Halted, [] { return DebugReadCoreRegister(kRegisterR1, &value); },
         {DBG_OK, DBG_ERROR, DBG_TIMEOUT, DBG_STICKY_ERROR, DBG_NOT_HALTED}},
        {"DebugWriteCoreRegister", Stage::Halted, [] { return DebugWriteCoreRegister(kRegisterR1, kRegisterValue); },
         {DBG_OK, DBG_ERROR, DBG_TIMEOUT, DBG_STICKY_ERROR, DBG_NOT_HALTED}},
        {"DebugSetBreakpoint", Stage::Initialised, [] { return DebugSetBreakpoint(kBreakpointAddress); },
         {DBG_OK, DBG_ERROR, DBG_STICKY_ERROR, DBG_NO_BREAKPOINT_SLOT}},
        {"DebugClearBreakpoint", Stage::BreakpointSet, [] { return DebugClearBreakpoint(kBreakpointAddress); },
         {DBG_OK, DBG_ERROR, DBG_STICKY_ERROR, DBG_NO_BREAKPOINT_SLOT}},
    };
    return table;
}

// What the watchdog prints when a case hangs.
char g_case[256];

void Hung(int) {
    const char prefix[] = "\nfault matrix: case hung: ";
    (void)write(STDERR_FILENO, prefix, sizeof prefix - 1);
    (void)write(STDERR_FILENO, g_case, strnlen(g_case, sizeof g_case));
    (void)write(STDERR_FILENO, "\n", 1);
    _exit(EXIT_FAILURE);
}

struct CaseRun {
    DebugResult result = DBG_OK;
    DriverCallCounts counts;
    uint64_t ahbAccesses = 0;  // AHB transfers the export itself made
    bool closed = true;
    bool lockFree = true;
};

// Injects a fault into the live configuration once the prologue is done;
// `ahbSoFar` is the target's AHB transfer count at that moment.
using Inject = std::function<void(SimConfig&, uint64_t ahbSoFar)>;

std::string PathName(const Path& path) {
    return std::string(path.swd ? "Swd" : "Jtag") + (path.batched ? "Batched" : "Direct");
}

class FaultMatrix : public ::testing::TestWithParam<std::tuple<size_t, size_t>> {
protected:
    void SetUp() override {
        lock_ = UniqueName("lock");
        UsePrivateLock(lock_);
        watcher_ = std::make_unique<LockWatcher>(lock_);
        signal(SIGALRM, Hung);
        export_ = &Exports()[std::get<0>(GetParam())];
        g_path = kPaths[std::get<1>(GetParam())];
    }
    void TearDown() override {
        alarm(0);
        (void)CloseInProcess();
        watcher_.reset();
        cm3probe::connection::CloseLockForTesting(cm3probe::connection::OpenLock(lock_.c_str()), true);
    }

    void Prologue() {
        const Stage stage = export_->stage;
        if (stage == Stage::None) return;
        const DebugResult opened = DebugOpen(kClockHz, kAdapter, g_path.swd ? 1 : 0);
        ASSERT_TRUE(opened == DBG_OK || opened == DBG_OPENED_AFTER_RETRY);
        if (stage == Stage::Opened) return;
        ASSERT_EQ(DebugInit(g_path.batched ? 1 : 0), DBG_OK);
        if (stage == Stage::Initialised) return;
        ASSERT_EQ(DebugHaltCore(), DBG_OK);
        if (stage == Stage::Halted) return;
        ASSERT_EQ(DebugSetBreakpoint(kBreakpointAddress), DBG_OK);
    }

    CaseRun Run(const std::string& description, const Inject& inject) {
        std::snprintf(g_case, sizeof g_case, "%s %s %s", export_->name, PathName(g_path).c_str(),
                      description.c_str());
        CaseRun run;
        FreshInProcess(SimConfig{}, lock_);
        if (export_->runs) LoadBranchToSelf();
        Prologue();
        if (::testing::Test::HasFatalFailure()) return run;
        const uint64_t before = Target().counters().ahbAccesses;
        inject(LiveConfig(), before);
        alarm(kCaseWatchdogSeconds);
        StartCounting();
        run.result = export_->call();
        run.counts = StopCounting();
        alarm(0);
        run.ahbAccesses = Target().counters().ahbAccesses - before;
        run.closed = CloseInProcess();
        run.lockFree = watcher_->lockFree(kLockCheckMs);
        ++cases_;
        ++results_[run.result];
        return run;
    }

    void Check(const CaseRun& run, const std::string& description) {
        EXPECT_TRUE(export_->allowed.count(run.result) == 1)
            << export_->name << " " << PathName(g_path) << " " << description << " answered " << run.result;
        EXPECT_TRUE(run.closed) << description << ": a handle stayed open";
        EXPECT_TRUE(run.lockFree) << description << ": the lock stayed held";
    }

    void Report(const char* matrix) const {
        std::string spread;
        for (const auto& [result, count] : results_) {
            spread += " " + std::to_string(result) + ":" + std::to_string(count);
        }
        std::printf("[figures] %s %s %s: %u cases, results%s\n", matrix, export_->name, PathName(g_path).c_str(),
                    cases_, spread.c_str());
    }

    const ExportCase* export_ = nullptr;
    std::string lock_;
    std::unique_ptr<LockWatcher> watcher_;
    uint32_t cases_ = 0;
    std::map<DebugResult, uint32_t> results_;
};

const char* OpName(DriverOp op) {
    static const char* const names[] = {"open", "bit_mode", "write", "read", "purge", "latency_timer", "close", "list"};
    return names[static_cast<size_t>(op)];
}

inline constexpr DriverOp kAllOps[] = {DriverOp::List,  DriverOp::Open,  DriverOp::BitMode,      DriverOp::Write,
                                       DriverOp::Read,  DriverOp::Purge, DriverOp::LatencyTimer, DriverOp::Close};

enum class Mode { Once, Always, Short };

class DriverFaultMatrix : public FaultMatrix {};

TEST_P(DriverFaultMatrix, EveryOperationFailingAtEveryStep) {
    const CaseRun clean = Run("no fault", [](SimConfig&, uint64_t) {});
    EXPECT_EQ(clean.result, DBG_OK) << export_->name << " must work without faults";
    Check(clean, "no fault");
    for (const DriverOp op : kAllOps) {
        const uint32_t calls = clean.counts.calls[static_cast<size_t>(op)];
        for (const Mode mode : {Mode::Once, Mode::Always, Mode::Short}) {
            const bool moves = op == DriverOp::Write || op == DriverOp::Read;
            if (mode == Mode::Short && !moves) continue;
            for (uint32_t step = 0; step < calls; ++step) {
                if (step % kStepStride != 0 && step + 1 != calls) continue;
                const DriverFault fault{op, mode == Mode::Always, step, mode == Mode::Short};
                const std::string description = std::string(OpName(op)) +
                                                (mode == Mode::Once ? " fails once" : mode == Mode::Always ? " fails for good" : " moves half") +
                                                " at call " + std::to_string(step);
                const CaseRun run = Run(description, [&](SimConfig& config, uint64_t) { config.driverFaults = {fault}; });
                Check(run, description);
                if (::testing::Test::HasFailure()) return;
            }
        }
    }
    Report("driver faults");
}

class TargetFaultMatrix : public FaultMatrix {};

TEST_P(TargetFaultMatrix, EveryTargetFault) {
    const CaseRun clean = Run("no fault", [](SimConfig&, uint64_t) {});
    std::vector<std::pair<std::string, Inject>> faults = {
        {"no target", [](SimConfig& c, uint64_t) { c.noTarget = true; }},
        {"power-up never acknowledged", [](SimConfig& c, uint64_t) { c.powerUpNeverAcknowledged = true; }},
        {"S_REGRDY never set", [](SimConfig& c, uint64_t) { c.regReadyNeverSet = true; }},
        {"reset never ends", [](SimConfig& c, uint64_t) { c.resetNeverEnds = true; }},
        {"AHB errors in SRAM", [](SimConfig& c, uint64_t) { c.ahbErrorRegions = {{kSramBase, kSramSize}}; }},
        {"AHB errors in the PPB", [](SimConfig& c, uint64_t) { c.ahbErrorRegions = {{kPpbBase, kPpbSize}}; }},
    };
    for (const uint32_t waits : kWaitCounts) {
        faults.emplace_back("WAIT for " + std::to_string(waits) + " AP transactions",
                            [waits](SimConfig& c, uint64_t) { c.waitNextApTransactions = waits; });
    }
    for (uint64_t k = 0; k < std::min(clean.ahbAccesses, kMaxStickySteps); ++k) {
        faults.emplace_back("sticky error at AHB access " + std::to_string(k),
                            [k](SimConfig& c, uint64_t before) { c.stickyErrorAtAhbAccess = before + k; });
    }
    for (const auto& [description, inject] : faults) {
        const CaseRun run = Run(description, inject);
        Check(run, description);
        if (::testing::Test::HasFailure()) return;
    }
    Report("target faults");
}

std::string MatrixName(const ::testing::TestParamInfo<std::tuple<size_t, size_t>>& info) {
    return std::string(Exports()[std::get<0>(info.param)].name) + "_" + PathName(kPaths[std::get<1>(info.param)]);
}

INSTANTIATE_TEST_SUITE_P(All, DriverFaultMatrix,
                         ::testing::Combine(::testing::Range<size_t>(0, kExportCount), ::testing::Range<size_t>(0, kPathsSwept)),
                         MatrixName);
INSTANTIATE_TEST_SUITE_P(All, TargetFaultMatrix,
                         ::testing::Combine(::testing::Range<size_t>(0, kExportCount), ::testing::Range<size_t>(0, kPathsSwept)),
                         MatrixName);

TEST(FaultMatrixTable, CoversEveryExport) { EXPECT_EQ(Exports().size(), kExportCount); }

}  // namespace
}  // namespace cm3rel
