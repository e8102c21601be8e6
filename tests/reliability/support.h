// Shared pieces of the reliability tests: a simulator server per test, child
// processes with deadlines, a lock of the test's own, and the mixed-transfer
// workload every sharing test runs.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "cm3probe.h"
#include "frame/adapter_lock.h"
#include "usb/sim_socket_protocol.h"

namespace cm3rel {

// Every test runs well inside this; a child still running then is killed.
inline constexpr uint32_t kChildDeadlineMs = 120000;

// Unoptimised builds (the sanitizer build) run the bit-level simulator some
// twenty times slower. The largest sweeps run their full size in optimised
// builds and a sample in the others, which still check every byte and every
// invariant, only of fewer cases.
#ifdef __OPTIMIZE__
inline constexpr bool kFullSweeps = true;
#else
inline constexpr bool kFullSweeps = false;
#endif

// A unique name for this process and purpose: temporary files, lock objects.
std::string UniqueName(const std::string& purpose);

// `cm3probe-sim serve` on a socket of its own, stopped when this goes away.
class ServerProcess {
public:
    // `configJson` empty: the simulator's defaults.
    explicit ServerProcess(const std::string& configJson = "");
    ~ServerProcess();
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    bool ready() const { return ready_; }
    const std::string& socketPath() const { return socketPath_; }
    pid_t pid() const { return pid_; }
    bool running() const;
    std::optional<cm3sim::socket_protocol::ServerStats> stats() const;

private:
    std::string socketPath_;
    std::string configPath_;
    pid_t pid_ = -1;
    bool ready_ = false;
};

// Runs `body` in a forked child; its return value is the exit code.
pid_t StartChild(const std::function<int()>& body);
// The child's exit code, or -signal when a signal ended it; a child past its
// deadline is killed and reported as -SIGKILL.
int WaitChild(pid_t pid, uint32_t deadlineMs = kChildDeadlineMs);

// Points the process's connection at a fresh state that will use the named
// lock object instead of the system-wide one, so tests never contend with real
// probe users or with each other. Call before DebugOpen.
void UsePrivateLock(const std::string& lockName);
// The lock as a second process sees it: true when it can be taken within `ms`.
bool LockFreeFromAnotherProcess(const std::string& lockName, uint32_t ms);
// A second process that, on each ask, tries to take the named lock and lets it
// go again: cheap enough to ask after every case of a large matrix.
class LockWatcher {
public:
    explicit LockWatcher(const std::string& lockName);
    ~LockWatcher();
    LockWatcher(const LockWatcher&) = delete;
    LockWatcher& operator=(const LockWatcher&) = delete;
    bool lockFree(uint32_t ms);

private:
    pid_t pid_ = -1;
    int ask_ = -1;
    int answer_ = -1;
};

// Test-only: the connection stops taking the lock, as if it had none. Shows
// what the lock guards against; never reachable through the shared object.
void BypassLockForTesting();

// Selects the socket driver through the environment, as a host program would.
void UseServer(const std::string& socketPath);

inline constexpr uint32_t kClockHz = 1000000;
inline constexpr const char* kAdapter = "USB Debug Bridge A";
inline constexpr uint32_t kSramBase = 0x20000000;
inline constexpr uint32_t kSramSize = 0x10000;

struct LinkChoice {
    bool swd = true;
    bool batched = false;
};

// DebugOpen then DebugInit.
DebugResult Connect(const LinkChoice& link);

struct WorkloadResult {
    uint32_t operations = 0;    // exports called
    uint32_t failures = 0;      // calls that did not answer DBG_OK
    uint32_t mismatches = 0;    // reads that did not return what was written
    uint32_t bytesChecked = 0;  // bytes compared against what was written
    int32_t firstFailure = DBG_OK;     // what the first failed call answered
    uint32_t firstFailureAt = 0;       // and its index among the calls
    bool corrupted() const { return failures != 0 || mismatches != 0; }
};

// `operations` mixed single and block writes and reads inside [base, base+size)
// (sizes 1 to 64 bytes, any alignment), each read compared with a copy kept
// here, then the whole region read back and compared. Stops early once
// `stopAtFirstFault` and something went wrong.
WorkloadResult RunWorkload(uint32_t base, uint32_t size, uint32_t operations, uint32_t seed,
                           bool stopAtFirstFault = false);

// One served probe per test and a private lock for its clients; the server
// must outlive whatever they did.
class ServedProbeTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server_.ready());
        lock_ = UniqueName("lock");
    }
    void TearDown() override {
        EXPECT_TRUE(server_.running()) << "the server must survive every client";
        cm3probe::connection::CloseLockForTesting(cm3probe::connection::OpenLock(lock_.c_str()), true);
    }

    ServerProcess server_;
    std::string lock_;
};

}  // namespace cm3rel
