// The system-wide recursive lock: nesting, serialisation between processes,
// and holders that die.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <numeric>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "cm3probe.h"
#include "frame/adapter_lock.h"
#include "dap/dp_registers.h"
#include "expected_traffic.h"
#include "fixture.h"

namespace cm3test {
namespace {

using cm3probe::connection::AcquireLock;
using cm3probe::connection::AcquireLockWithin;
using cm3probe::connection::LockHandle;
using cm3probe::connection::LockOutcome;
using cm3probe::connection::OpenLock;
using cm3probe::connection::ReleaseLock;

// A private name so tests never contend with a real probe user.
std::string TestLockName() { return "cm3probe-test-lock-" + std::to_string(getpid()); }

// Runs `body` in a child process; returns its exit code.
template <typename Body>
int InChild(Body body) {
    pid_t child = fork();
    if (child == 0) _exit(body());
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// 0 when another process got the lock within `ms`, 1 when it timed out.
int OtherProcessAcquires(const std::string& name, uint32_t ms) {
    return InChild([&] {
        LockHandle* lock = OpenLock(name.c_str());
        LockOutcome outcome = AcquireLockWithin(lock, ms);
        return outcome == LockOutcome::Acquired || outcome == LockOutcome::AcquiredAfterOwnerDied ? 0 : 1;
    });
}

class AdapterLockTest : public ::testing::Test {
protected:
    void SetUp() override {
        name_ = TestLockName();
        lock_ = OpenLock(name_.c_str());
        ASSERT_NE(lock_, nullptr);
    }
    void TearDown() override { cm3probe::connection::CloseLockForTesting(lock_, true); }
    std::string name_;
    LockHandle* lock_ = nullptr;
};

TEST_F(AdapterLockTest, NestsOnOneThreadAndFreesAfterAsManyReleases) {
    for (int i = 0; i < 3; ++i) ASSERT_EQ(AcquireLock(lock_), LockOutcome::Acquired);
    ReleaseLock(lock_);
    ReleaseLock(lock_);
    EXPECT_EQ(OtherProcessAcquires(name_, 100), 1);
    ReleaseLock(lock_);
    EXPECT_EQ(OtherProcessAcquires(name_, 2000), 0);
}

TEST_F(AdapterLockTest, SecondProcessBlocksUntilTheFirstReleases) {
    int ready[2];
    int go[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(go), 0);
    pid_t holder = fork();
    if (holder == 0) {
        LockHandle* lock = OpenLock(name_.c_str());
        AcquireLock(lock);
        char byte = 1;
        (void)!write(ready[1], &byte, 1);
        (void)!read(go[0], &byte, 1);
        ReleaseLock(lock);
        _exit(0);
    }
    char byte = 0;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    EXPECT_EQ(AcquireLockWithin(lock_, 200), LockOutcome::TimedOut);
    ASSERT_EQ(write(go[1], &byte, 1), 1);
    EXPECT_EQ(AcquireLockWithin(lock_, 5000), LockOutcome::Acquired);
    ReleaseLock(lock_);
    waitpid(holder, nullptr, 0);
    for (int fd : {ready[0], ready[1], go[0], go[1]}) close(fd);
}

TEST_F(AdapterLockTest, HolderKilledWithSigkillDoesNotBlockTheNextWaiter) {
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t holder = fork();
    if (holder == 0) {
        LockHandle* lock = OpenLock(name_.c_str());
        AcquireLock(lock);
        AcquireLock(lock);  // nested: death must free every level
        char byte = 1;
        (void)!write(ready[1], &byte, 1);
        pause();
        _exit(0);
    }
    char byte = 0;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
    EXPECT_EQ(AcquireLockWithin(lock_, 5000), LockOutcome::AcquiredAfterOwnerDied);
    ReleaseLock(lock_);
    // Consistent again: the next holder is told nothing unusual.
    EXPECT_EQ(AcquireLockWithin(lock_, 5000), LockOutcome::Acquired);
    ReleaseLock(lock_);
    close(ready[0]);
    close(ready[1]);
}

TEST_F(AdapterLockTest, ThreadEndingWhileHoldingDoesNotBlockTheNextWaiter) {
    std::thread([this] { AcquireLock(lock_); }).join();
    EXPECT_EQ(AcquireLockWithin(lock_, 5000), LockOutcome::AcquiredAfterOwnerDied);
    ReleaseLock(lock_);
    EXPECT_EQ(OtherProcessAcquires(name_, 2000), 0);
}

inline constexpr uint32_t kContenders = 4;
inline constexpr uint32_t kRounds = 40;
inline constexpr uint32_t kKillMomentsSeed = 7;
inline constexpr uint32_t kKillSpreadUs = 2000;
inline constexpr uint32_t kAloneAcquisitions = 100;
// Fails the round rather than hanging it; nothing here is timed.
inline constexpr auto kAloneDeadline = std::chrono::seconds(20);
inline constexpr auto kAloneCheckInterval = std::chrono::milliseconds(1);

// Shared by the contenders of one round.
struct Ledger {
    std::atomic<int32_t> inside;        // pid of the process between acquire and release
    std::atomic<uint32_t> unannounced;  // holders that found `inside` set and were not told
    std::atomic<uint32_t> acquisitions[kContenders];
};

[[noreturn]] void Contend(const std::string& name, Ledger* ledger, uint32_t slot) {
    LockHandle* lock = OpenLock(name.c_str());
    for (;;) {
        const LockOutcome outcome = AcquireLock(lock);
        if (ledger->inside.load() != 0 && outcome != LockOutcome::AcquiredAfterOwnerDied) ++ledger->unannounced;
        ledger->inside.store(getpid());
        ledger->acquisitions[slot].fetch_add(1);
        ledger->inside.store(0);
        ReleaseLock(lock);
    }
}

// Processes contend; all but one are killed at random moments, holding or
// waiting; the one left must go on alone. A waiter killed after its wake-up
// must not leave the lock free with the others asleep.
TEST_F(AdapterLockTest, TheLastContenderGoesOnAfterRandomKills) {
    void* mapping = mmap(nullptr, sizeof(Ledger), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(mapping, MAP_FAILED);
    auto* ledger = new (mapping) Ledger{};
    std::mt19937 random(kKillMomentsSeed);
    for (uint32_t round = 0; round < kRounds && !HasFailure(); ++round) {
        std::vector<pid_t> alive;
        for (uint32_t slot = 0; slot < kContenders; ++slot) {
            ledger->acquisitions[slot].store(0);
            const pid_t child = fork();
            if (child == 0) Contend(name_, ledger, slot);
            alive.push_back(child);
        }
        std::vector<uint32_t> slots(kContenders);
        std::iota(slots.begin(), slots.end(), 0u);
        while (alive.size() > 1) {
            usleep(random() % kKillSpreadUs);
            const uint32_t pick = random() % alive.size();
            kill(alive[pick], SIGKILL);
            waitpid(alive[pick], nullptr, 0);
            alive.erase(alive.begin() + pick);
            slots.erase(slots.begin() + pick);
        }
        const uint32_t before = ledger->acquisitions[slots[0]].load();
        const auto deadline = std::chrono::steady_clock::now() + kAloneDeadline;
        while (ledger->acquisitions[slots[0]].load() < before + kAloneAcquisitions &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(kAloneCheckInterval);
        }
        EXPECT_GE(ledger->acquisitions[slots[0]].load(), before + kAloneAcquisitions)
            << "round " << round << ": the last contender stalled";
        kill(alive[0], SIGKILL);
        waitpid(alive[0], nullptr, 0);
    }
    EXPECT_EQ(ledger->unannounced.load(), 0u) << "a holder found another inside, or a death it was not told of";
    const LockOutcome outcome = AcquireLockWithin(lock_, 5000);
    EXPECT_TRUE(outcome == LockOutcome::Acquired || outcome == LockOutcome::AcquiredAfterOwnerDied);
    ReleaseLock(lock_);
    munmap(mapping, sizeof(Ledger));
}

TEST(AdapterLockAbsent, AcquireWithoutALockProceeds) {
    EXPECT_EQ(AcquireLock(nullptr), LockOutcome::NoLock);
    ReleaseLock(nullptr);
}

// A new owner after a dead holder brings its own link back before its traffic.
class DeadHolderRecoveryTest : public FakeBackendTest {
protected:
    void TearDown() override {
        cm3probe::connection::CloseLockForTesting(cm3probe::g_connection.lockHandle, true);
        cm3probe::g_connection.lockHandle = saved_;
        FakeBackendTest::TearDown();
    }
    void KillAHolder() {
        saved_ = cm3probe::g_connection.lockHandle;
        name_ = TestLockName() + "-recovery";
        cm3probe::g_connection.lockHandle = OpenLock(name_.c_str());
        std::thread([] { AcquireLock(cm3probe::g_connection.lockHandle); }).join();
    }
    LockHandle* saved_ = nullptr;
    std::string name_;
};

TEST_F(DeadHolderRecoveryTest, SwdLinkIsResynchronisedAndIdentified) {
    ASSERT_EQ(DebugOpen(1000000, "USB Debug Bridge A", 1), DBG_OK);
    KillAHolder();
    Usb().calls.clear();
    Usb().replies = {0xFA, 0xAA};  // the bad opcode's echo: the engine is in step
    Usb().queueResponse(0x20, 0x2BA01477);
    EXPECT_EQ(DebugClose(), DBG_OK);
    using enum UsbOp;
    std::vector<UsbOp> ops;
    for (const UsbCall& call : Usb().calls) ops.push_back(call.op);
    EXPECT_EQ(ops, (std::vector<UsbOp>{Purge, BitMode, BitMode, Purge, Write, Read, Write, Write, Write, Read,
                                       Write, Close}));
    // Only leaving MPSSE mode ends a command the holder left half sent.
    EXPECT_EQ(Usb().callsOf(BitMode)[0].argument, 0xCB00u);
    EXPECT_EQ(Usb().callsOf(BitMode)[1].argument, 0xCB02u);
    EXPECT_EQ(Usb().callsOf(Read)[0].argument, 2u);
    std::vector<std::vector<uint8_t>> writes = Usb().writes();
    // Clock, 40 cycles with SWDIO released to end a cut transaction, drive
    // setting, and the bad opcode whose echo proves the engine in step.
    EXPECT_EQ(writes[0], (std::vector<uint8_t>{0x86, 0x05, 0x00, 0x80, 0x00, 0xC9, 0x19, 0x04, 0x00, 0xFF, 0xFF,
                                               0xFF, 0xFF, 0xFF, 0x80, 0x08, 0xCB, 0xAA, 0x87}));
    EXPECT_EQ(writes[1], (std::vector<uint8_t>{0x19, 0x06, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(writes[2], (std::vector<uint8_t>{0x1B, 0x07, 0x00}));
    EXPECT_EQ(writes[3][2], 0xA5);  // the IDCODE read the port requires
    // Whatever the dead holder left sticky is cleared before the next caller.
    namespace dp = cm3probe::dp;
    EXPECT_EQ(writes[4], SwdWrite(dp::kAbort, 0,
                                  dp::abort::kDapAbort | dp::abort::kStkCmpClr | dp::abort::kStkErrClr |
                                      dp::abort::kWdErrClr | dp::abort::kOrunErrClr));
}

TEST_F(DeadHolderRecoveryTest, JtagTapReturnsToRunTestIdle) {
    ASSERT_EQ(DebugOpen(100000, "USB Debug Bridge A", 0), DBG_OK);
    KillAHolder();
    Jtag().calls.clear();
    EXPECT_EQ(DebugClose(), DBG_OK);
    std::vector<JtagOp> ops;
    for (const JtagCall& call : Jtag().calls) ops.push_back(call.op);
    using enum JtagOp;
    ASSERT_EQ(ops, (std::vector<JtagOp>{Init, ScanWrite, ScanWriteRead, Close}));
    EXPECT_EQ(Jtag().calls[0].argument, 59u);
    // Sticky flags left behind are written back as ones, the power-up requests kept.
    namespace dp = cm3probe::dp;
    EXPECT_EQ(Jtag().calls[1].bytes, (std::vector<uint8_t>{cm3probe::jtag_ir::kDpacc}));
    EXPECT_EQ(Jtag().calls[2].bytes,
              DapScan(dp::ctrlstat::kCSysPwrUpReq | dp::ctrlstat::kCDbgPwrUpReq | dp::ctrlstat::kStickyErr |
                          dp::ctrlstat::kStickyCmp | dp::ctrlstat::kStickyOrun,
                      dp::kCtrlStat, 0));
}

}  // namespace
}  // namespace cm3test
