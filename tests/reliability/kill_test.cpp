// A process killed with SIGKILL in the middle of a block transfer, holding the
// lock and with half an MPSSE command sent, must not block the processes that
// share the adapter with it, and their traffic must stay correct: the next
// holder is told the owner died and brings the link back before its own work.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "adapter/backend.h"
#include "adapter/mpsse_jtag_engine.h"
#include "frame/adapter_lock.h"
#include "support.h"
#include "usb/sim_socket_driver.h"

namespace cm3rel {
namespace {

using cm3probe::adapter::UsbDriver;
using cm3probe::adapter::UsbHandle;
using cm3probe::adapter::UsbStatus;

inline constexpr uint32_t kSurvivors = 2;
inline constexpr uint32_t kRegion = 1024;
inline constexpr uint32_t kOperationsPerRound = 100;
inline constexpr uint32_t kVictimBlock = 1024;
inline constexpr uint32_t kVictimRegion = 0x8000;  // offset of the victim's region in SRAM
inline constexpr int kStallNoticeLimitMs = 20000;
inline constexpr uint32_t kHeldCheckMs = 200;
inline constexpr uint32_t kLockFreeLimitMs = 5000;
inline constexpr int kExitConnectFailed = 3;
inline constexpr int kExitPipe = 4;
inline constexpr uint32_t kRandomKills = 5;
inline constexpr uint32_t kMinKillDelayMs = 5;
inline constexpr uint32_t kKillDelaySpreadMs = 40;
inline constexpr uint32_t kSurvivorSeeds = 3000;
inline constexpr uint32_t kSeedsPerSurvivor = 17;
inline constexpr uint32_t kKillMomentsSeed = 42;
inline constexpr uint8_t kVictimFill = 0xA5;
inline constexpr uint32_t kMicrosecondsPerMs = 1000;

// The victim's driver: after `stallAfter` writes inside its block transfers,
// it sends half of the next write, tells the test, and waits to be killed.
struct Stall {
    int notifyFd = -1;
    uint32_t stallAfter = 0;
    bool armed = false;
    uint32_t writes = 0;
};
Stall g_stall;

UsbStatus StallingWrite(UsbHandle handle, const uint8_t* data, uint32_t count, uint32_t* written) {
    const UsbDriver& real = cm3sim::SimSocketUsbDriver();
    if (g_stall.armed && g_stall.writes++ == g_stall.stallAfter) {
        uint32_t moved = 0;
        if (count / 2 > 0) (void)real.write(handle, data, count / 2, &moved);
        const char notice = 1;
        (void)write(g_stall.notifyFd, &notice, 1);
        for (;;) pause();
    }
    return real.write(handle, data, count, written);
}

const UsbDriver& StallingDriver() {
    static const UsbDriver driver = [] {
        UsbDriver copy = cm3sim::SimSocketUsbDriver();
        copy.name = "stalling";
        copy.write = &StallingWrite;
        return copy;
    }();
    return driver;
}

struct KillCase {
    bool swd;
    bool batched;
    uint32_t stallAfter;  // writes into the block transfers before the cut
};

std::string Describe(const KillCase& c) {
    return std::string(c.swd ? "Swd" : "Jtag") + (c.batched ? "Batched" : "Direct") + "CutAtWrite" +
           std::to_string(c.stallAfter);
}

std::string KillCaseName(const ::testing::TestParamInfo<KillCase>& info) { return Describe(info.param); }

void PrintTo(const KillCase& c, std::ostream* out) { *out << Describe(c); }

class KillTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server_.ready());
        lock_ = UniqueName("lock");
        ASSERT_EQ(pipe(stop_), 0);
    }
    void TearDown() override {
        EXPECT_TRUE(server_.running()) << "the server must survive a client killed mid-request";
        cm3probe::connection::CloseLockForTesting(cm3probe::connection::OpenLock(lock_.c_str()), true);
    }

    // Survivors run rounds of mixed transfers until the stop pipe closes, then
    // one whole round more: at least one complete round follows every kill.
    void StartSurvivors(const LinkChoice& link) {
        int ready[2];
        ASSERT_EQ(pipe(ready), 0);
        for (uint32_t i = 0; i < kSurvivors; ++i) {
            int result[2];
            ASSERT_EQ(pipe(result), 0);
            survivors_.push_back(StartChild([&, i] {
                close(stop_[1]);
                close(ready[0]);
                close(result[0]);
                UsePrivateLock(lock_);
                UseServer(server_.socketPath());
                const bool connected = Connect(LinkChoice{link.swd, i % 2 == 1}) == DBG_OK;
                const char mark = connected ? 1 : 0;
                if (write(ready[1], &mark, 1) != 1 || !connected) return kExitConnectFailed;
                WorkloadResult total;
                uint32_t round = 0;
                const auto runRound = [&] {
                    const WorkloadResult r =
                        RunWorkload(kSramBase + i * kRegion, kRegion, kOperationsPerRound,
                                    kSurvivorSeeds + kSeedsPerSurvivor * i + round++);
                    total.operations += r.operations;
                    if (total.failures == 0 && r.failures != 0) {
                        total.firstFailure = r.firstFailure;
                        total.firstFailureAt = total.operations - r.operations + r.firstFailureAt;
                    }
                    total.failures += r.failures;
                    total.mismatches += r.mismatches;
                    total.bytesChecked += r.bytesChecked;
                };
                pollfd stop{stop_[0], POLLIN, 0};
                while (poll(&stop, 1, 0) == 0) runRound();
                runRound();
                (void)DebugClose();
                return write(result[1], &total, sizeof total) == sizeof total ? 0 : kExitPipe;
            }));
            close(result[1]);
            results_.push_back(result[0]);
        }
        close(ready[1]);
        for (uint32_t i = 0; i < kSurvivors; ++i) {
            char mark = 0;
            EXPECT_EQ(read(ready[0], &mark, 1), 1);
            EXPECT_EQ(mark, 1) << "a survivor could not connect";
        }
        close(ready[0]);
    }

    WorkloadResult StopSurvivors() {
        close(stop_[1]);
        close(stop_[0]);
        WorkloadResult sum;
        for (uint32_t i = 0; i < kSurvivors; ++i) {
            WorkloadResult r;
            // A survivor that never reports is blocked: say so and end it,
            // rather than wait for ever.
            pollfd report{results_[i], POLLIN, 0};
            if (poll(&report, 1, static_cast<int>(kChildDeadlineMs / kSurvivors)) != 1) {
                ADD_FAILURE() << "survivor " << i << " sent no result within " << kChildDeadlineMs / kSurvivors << " ms";
                kill(survivors_[i], SIGKILL);
            }
            EXPECT_EQ(read(results_[i], &r, sizeof r), static_cast<ssize_t>(sizeof r));
            close(results_[i]);
            EXPECT_EQ(WaitChild(survivors_[i]), 0) << "a survivor was blocked or failed";
            if (r.failures != 0) {
                std::printf("survivor %u: first failure %d at call %u\n", i, r.firstFailure, r.firstFailureAt);
            }
            sum.operations += r.operations;
            sum.failures += r.failures;
            sum.mismatches += r.mismatches;
            sum.bytesChecked += r.bytesChecked;
        }
        return sum;
    }

    ServerProcess server_;
    std::string lock_;
    int stop_[2] = {-1, -1};
    std::vector<pid_t> survivors_;
    std::vector<int> results_;
};

class KillMidTransferTest : public KillTest, public ::testing::WithParamInterface<KillCase> {};

TEST_P(KillMidTransferTest, OthersGoOnWithIntactData) {
    const KillCase& c = GetParam();
    StartSurvivors(LinkChoice{c.swd, c.batched});
    int notice[2];
    ASSERT_EQ(pipe(notice), 0);
    const pid_t victim = StartChild([&] {
        close(notice[0]);
        UsePrivateLock(lock_);
        UseServer(server_.socketPath());
        cm3probe::adapter::InstallBackendForTesting(&StallingDriver(), &cm3probe::adapter::MpsseJtagEngine());
        if (Connect(LinkChoice{c.swd, c.batched}) != DBG_OK) return kExitConnectFailed;
        g_stall = Stall{notice[1], c.stallAfter, true, 0};
        std::vector<uint8_t> data(kVictimBlock, kVictimFill);
        for (;;) (void)DebugWriteBlock(kSramBase + kVictimRegion, data.data(), kVictimBlock);
    });
    close(notice[1]);
    pollfd stalled{notice[0], POLLIN, 0};
    ASSERT_EQ(poll(&stalled, 1, kStallNoticeLimitMs), 1) << "the victim never reached its cut";
    close(notice[0]);
    EXPECT_FALSE(LockFreeFromAnotherProcess(lock_, kHeldCheckMs)) << "the victim must die holding the lock";
    kill(victim, SIGKILL);
    EXPECT_EQ(WaitChild(victim), -SIGKILL);

    const WorkloadResult survivors = StopSurvivors();
    std::printf("[figures] killed mid-transfer (%s): %u survivor exports, %u bytes compared, %u failed, %u mismatches\n",
                Describe(c).c_str(), survivors.operations, survivors.bytesChecked, survivors.failures,
                survivors.mismatches);
    EXPECT_EQ(survivors.failures, 0u);
    EXPECT_EQ(survivors.mismatches, 0u);
    EXPECT_TRUE(LockFreeFromAnotherProcess(lock_, kLockFreeLimitMs));
    const auto stats = server_.stats();
    ASSERT_TRUE(stats);
    EXPECT_GE(stats->handlesReclaimed, 1u) << "the victim's handle must be released for it";
}

INSTANTIATE_TEST_SUITE_P(Cuts, KillMidTransferTest,
                         ::testing::Values(KillCase{true, false, 0}, KillCase{true, false, 7},
                                           KillCase{true, true, 0}, KillCase{true, true, 1},
                                           KillCase{false, false, 0}, KillCase{false, false, 9},
                                           KillCase{false, true, 0}, KillCase{false, true, 1}),
                         KillCaseName);

// Victims killed at moments nobody chose, one after another, while the
// survivors keep working.
TEST_F(KillTest, RepeatedKillsAtRandomMomentsLoseNothing) {
    StartSurvivors(LinkChoice{true, false});
    std::mt19937 random(kKillMomentsSeed);
    for (uint32_t k = 0; k < kRandomKills; ++k) {
        const pid_t victim = StartChild([&] {
            UsePrivateLock(lock_);
            UseServer(server_.socketPath());
            if (Connect(LinkChoice{true, k % 2 == 0}) != DBG_OK) return kExitConnectFailed;
            for (uint32_t round = 0;; ++round) {
                (void)RunWorkload(kSramBase + kVictimRegion, kRegion, kOperationsPerRound, round);
            }
        });
        usleep(kMicrosecondsPerMs * (kMinKillDelayMs + random() % kKillDelaySpreadMs));
        kill(victim, SIGKILL);
        EXPECT_EQ(WaitChild(victim), -SIGKILL);
    }
    const WorkloadResult survivors = StopSurvivors();
    std::printf("[figures] %u random kills: %u survivor exports, %u bytes compared, %u failed, %u mismatches\n",
                kRandomKills, survivors.operations, survivors.bytesChecked, survivors.failures, survivors.mismatches);
    EXPECT_EQ(survivors.failures, 0u);
    EXPECT_EQ(survivors.mismatches, 0u);
    EXPECT_TRUE(LockFreeFromAnotherProcess(lock_, kLockFreeLimitMs));
}

}  // namespace
}  // namespace cm3rel
