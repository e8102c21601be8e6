// Load: several processes, and several threads of one process, each moving
// data through one shared virtual adapter (the simulator served over a socket)
// on an SRAM region of its own. With the lock every byte reads back as
// written; without it the interleaved TAR/DRW traffic corrupts data, which
// shows the test catches what the lock guards against.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "frame/adapter_lock.h"
#include "support.h"

namespace cm3rel {
namespace {

inline constexpr uint32_t kProcesses = 4;
inline constexpr uint32_t kThreads = 8;
inline constexpr uint32_t kOperations = kFullSweeps ? 1000 : 250;
// Each worker's own SRAM region.
inline constexpr uint32_t kRegion = 1024;
// Each worker's own sequence of transfers.
inline constexpr uint32_t kProcessSeeds = 1000;
inline constexpr uint32_t kThreadSeeds = 2000;
inline constexpr int kExitConnectFailed = 3;
inline constexpr int kExitPipe = 4;

struct Outcome {
    int exitCode = -1;
    WorkloadResult result;
};

struct Totals {
    uint32_t operations = 0;
    uint32_t failures = 0;
    uint32_t mismatches = 0;
    uint64_t bytesChecked = 0;
};

Totals Sum(const std::vector<WorkloadResult>& results) {
    Totals totals;
    for (const WorkloadResult& r : results) {
        totals.operations += r.operations;
        totals.failures += r.failures;
        totals.mismatches += r.mismatches;
        totals.bytesChecked += r.bytesChecked;
    }
    return totals;
}

void Report(const char* what, uint32_t workers, const Totals& totals) {
    std::printf("[figures] %s: %u workers, %u exports, %llu bytes compared, %u failed calls, %u mismatches\n", what,
                workers, totals.operations, static_cast<unsigned long long>(totals.bytesChecked), totals.failures,
                totals.mismatches);
}

// Process i alternates the link style so direct and batched traffic meet.
LinkChoice ProcessLink(bool swd, uint32_t index) { return LinkChoice{swd, index % 2 == 1}; }

class SharedLoadTest : public ServedProbeTest {
protected:
    // Every process connects first; all start their transfers together.
    std::vector<Outcome> RunProcesses(bool swd, bool bypassLock, bool stopAtFirstFault) {
        int go[2];
        int ready[2];
        EXPECT_EQ(pipe(go), 0);
        EXPECT_EQ(pipe(ready), 0);
        std::vector<int> results;
        std::vector<pid_t> children;
        const uint32_t region = kSramSize / kProcesses;
        static_assert(kRegion <= kSramSize / kProcesses);
        for (uint32_t i = 0; i < kProcesses; ++i) {
            int result[2];
            EXPECT_EQ(pipe(result), 0);
            children.push_back(StartChild([&, i] {
                close(go[1]);
                close(ready[0]);
                close(result[0]);
                UsePrivateLock(lock_);
                UseServer(server_.socketPath());
                const bool connected = Connect(ProcessLink(swd, i)) == DBG_OK;
                const char mark = connected ? 1 : 0;
                if (write(ready[1], &mark, 1) != 1 || !connected) return kExitConnectFailed;
                char ignored;
                (void)read(go[0], &ignored, 1);  // end of file once every process is ready
                if (bypassLock) BypassLockForTesting();
                const WorkloadResult outcome =
                    RunWorkload(kSramBase + i * region, kRegion, kOperations, kProcessSeeds + i, stopAtFirstFault);
                (void)DebugClose();
                return write(result[1], &outcome, sizeof outcome) == sizeof outcome ? 0 : kExitPipe;
            }));
            close(result[1]);
            results.push_back(result[0]);
        }
        close(ready[1]);
        close(go[0]);
        for (uint32_t i = 0; i < kProcesses; ++i) {
            char mark = 0;
            EXPECT_EQ(read(ready[0], &mark, 1), 1);
            EXPECT_EQ(mark, 1) << "a process could not connect";
        }
        close(go[1]);
        close(ready[0]);
        std::vector<Outcome> outcomes(kProcesses);
        for (uint32_t i = 0; i < kProcesses; ++i) {
            EXPECT_EQ(read(results[i], &outcomes[i].result, sizeof(WorkloadResult)),
                      static_cast<ssize_t>(sizeof(WorkloadResult)));
            close(results[i]);
            outcomes[i].exitCode = WaitChild(children[i]);
        }
        return outcomes;
    }

    // The threads share this process's one connection.
    std::vector<WorkloadResult> RunThreads(bool swd, bool batched, bool bypassLock, bool stopAtFirstFault) {
        UsePrivateLock(lock_);
        UseServer(server_.socketPath());
        EXPECT_EQ(Connect(LinkChoice{swd, batched}), DBG_OK);
        if (bypassLock) BypassLockForTesting();
        std::vector<WorkloadResult> results(kThreads);
        std::vector<std::thread> threads;
        const uint32_t region = kSramSize / kThreads;
        static_assert(kRegion <= kSramSize / kThreads);
        for (uint32_t i = 0; i < kThreads; ++i) {
            threads.emplace_back([&, i] {
                results[i] = RunWorkload(kSramBase + i * region, kRegion, kOperations, kThreadSeeds + i, stopAtFirstFault);
            });
        }
        for (std::thread& thread : threads) thread.join();
        (void)DebugClose();
        return results;
    }
};

std::vector<WorkloadResult> Results(const std::vector<Outcome>& outcomes) {
    std::vector<WorkloadResult> results;
    for (const Outcome& outcome : outcomes) {
        EXPECT_EQ(outcome.exitCode, 0);
        results.push_back(outcome.result);
    }
    return results;
}

TEST_F(SharedLoadTest, FourSwdProcessesKeepEveryByte) {
    const Totals totals = Sum(Results(RunProcesses(true, false, false)));
    Report("4 SWD processes, locked", kProcesses, totals);
    EXPECT_EQ(totals.failures, 0u);
    EXPECT_EQ(totals.mismatches, 0u);
    EXPECT_GE(totals.operations, kProcesses * kOperations);
    const auto stats = server_.stats();
    ASSERT_TRUE(stats);
    EXPECT_EQ(stats->badRequests, 0u);
    EXPECT_EQ(stats->clientsLostMidRequest, 0u);
}

TEST_F(SharedLoadTest, FourJtagProcessesKeepEveryByte) {
    const Totals totals = Sum(Results(RunProcesses(false, false, false)));
    Report("4 JTAG processes, locked", kProcesses, totals);
    EXPECT_EQ(totals.failures, 0u);
    EXPECT_EQ(totals.mismatches, 0u);
}

TEST_F(SharedLoadTest, WithoutTheLockProcessesCorruptEachOther) {
    const Totals totals = Sum(Results(RunProcesses(true, true, true)));
    Report("4 SWD processes, lock bypassed", kProcesses, totals);
    EXPECT_GT(totals.failures + totals.mismatches, 0u) << "unlocked traffic went through intact: the test is blind";
}

TEST_F(SharedLoadTest, EightThreadsOfOneProcessKeepEveryByte) {
    const Totals totals = Sum(RunThreads(true, true, false, false));
    Report("8 threads, SWD batched, locked", kThreads, totals);
    EXPECT_EQ(totals.failures, 0u);
    EXPECT_EQ(totals.mismatches, 0u);
    EXPECT_GE(totals.operations, kThreads * kOperations);
}

TEST_F(SharedLoadTest, WithoutTheLockThreadsCorruptEachOther) {
    // Run apart: unlocked threads race on the connection's state as well as
    // on the wire, and whatever that does must not take the test runner down.
    const pid_t child = StartChild([&] {
        const Totals totals = Sum(RunThreads(true, false, true, true));
        Report("8 threads, SWD direct, lock bypassed", kThreads, totals);
        return totals.failures + totals.mismatches > 0 ? 0 : 1;
    });
    EXPECT_EQ(WaitChild(child), 0) << "unlocked traffic went through intact: the test is blind";
}

}  // namespace
}  // namespace cm3rel
