#include "support.h"

#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>
#include <vector>

#include "adapter/backend.h"
#include "frame/adapter_lock.h"
#include "frame/connection.h"
#include "transport/swd_batch.h"
#include "usb/sim_socket_driver.h"

namespace cm3rel {
namespace {

using namespace std::chrono_literals;

inline constexpr auto kServerStartLimit = 10s;
inline constexpr auto kServerStopLimitMs = 5000;
inline constexpr auto kPollInterval = 1ms;
inline constexpr int kExitThrew = 99;
inline constexpr int kExitExecFailed = 127;

// Workload shape.
inline constexpr uint32_t kMaxBlock = 64;
inline constexpr uint32_t kFillChunk = 4096;
inline constexpr uint32_t kSizeCodes = 3;  // byte, halfword, word
inline constexpr uint32_t kBitsPerByte = 8;

enum Kind : uint32_t { kWriteSingle, kReadSingle, kWriteBlock, kReadBlock, kKinds };

}  // namespace

std::string UniqueName(const std::string& purpose) {
    static std::atomic<uint32_t> counter{0};
    return "cm3rel-" + purpose + "-" + std::to_string(getpid()) + "-" + std::to_string(counter++);
}

ServerProcess::ServerProcess(const std::string& configJson) {
    const std::filesystem::path directory = std::filesystem::temp_directory_path();
    socketPath_ = (directory / (UniqueName("sim") + ".sock")).string();
    if (!configJson.empty()) {
        configPath_ = (directory / (UniqueName("config") + ".json")).string();
        std::ofstream(configPath_) << configJson;
    }
    const pid_t parent = getpid();
    pid_ = fork();
    if (pid_ == 0) {
        // A test that dies must not leave its server behind.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(kExitExecFailed);
        if (configPath_.empty()) {
            execl(CM3PROBE_SIM_SERVER, "cm3probe-sim", "serve", "--socket", socketPath_.c_str(),
                  static_cast<char*>(nullptr));
        } else {
            execl(CM3PROBE_SIM_SERVER, "cm3probe-sim", "serve", "--socket", socketPath_.c_str(), "--config",
                  configPath_.c_str(), static_cast<char*>(nullptr));
        }
        _exit(kExitExecFailed);
    }
    const auto deadline = std::chrono::steady_clock::now() + kServerStartLimit;
    while (pid_ > 0 && std::chrono::steady_clock::now() < deadline && running()) {
        if (cm3sim::QueryServerStats(socketPath_)) {
            ready_ = true;
            break;
        }
        std::this_thread::sleep_for(kPollInterval);
    }
}

ServerProcess::~ServerProcess() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        (void)WaitChild(pid_, kServerStopLimitMs);
    }
    std::error_code ignored;
    std::filesystem::remove(socketPath_, ignored);
    if (!configPath_.empty()) std::filesystem::remove(configPath_, ignored);
}

bool ServerProcess::running() const { return pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == 0; }

std::optional<cm3sim::socket_protocol::ServerStats> ServerProcess::stats() const {
    return cm3sim::QueryServerStats(socketPath_);
}

pid_t StartChild(const std::function<int()>& body) {
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid != 0) return pid;
    int code = kExitThrew;
    try {
        code = body();
    } catch (const std::exception&) {
    }
    std::fflush(nullptr);
    _exit(code);
}

int WaitChild(pid_t pid, uint32_t deadlineMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(deadlineMs);
    int status = 0;
    for (;;) {
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) break;
        if (done < 0) return -SIGKILL;
        if (std::chrono::steady_clock::now() >= deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -SIGKILL;
        }
        std::this_thread::sleep_for(kPollInterval);
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return WIFSIGNALED(status) ? -WTERMSIG(status) : -SIGKILL;
}

void UsePrivateLock(const std::string& lockName) {
    using cm3probe::g_connection;
    cm3probe::BatchRelease();
    if (g_connection.lockHandle != nullptr) cm3probe::connection::CloseLockForTesting(g_connection.lockHandle, false);
    g_connection = cm3probe::DebugConnection{};
    g_connection.lockHandle = cm3probe::connection::OpenLock(lockName.c_str());
    // Back to the environment's choice of driver.
    cm3probe::adapter::InstallBackendForTesting(nullptr, nullptr);
}

bool LockFreeFromAnotherProcess(const std::string& lockName, uint32_t ms) {
    using namespace cm3probe::connection;
    const pid_t child = StartChild([&] {
        LockHandle* lock = OpenLock(lockName.c_str());
        const LockOutcome outcome = AcquireLockWithin(lock, ms);
        const bool taken = outcome == LockOutcome::Acquired || outcome == LockOutcome::AcquiredAfterOwnerDied;
        // Released again, so the next holder is not told of a dead owner.
        if (taken) ReleaseLock(lock);
        return taken ? 0 : 1;
    });
    return WaitChild(child, ms + kServerStopLimitMs) == 0;
}

LockWatcher::LockWatcher(const std::string& lockName) {
    int ask[2];
    int answer[2];
    if (pipe(ask) != 0) return;
    if (pipe(answer) != 0) {
        close(ask[0]);
        close(ask[1]);
        return;
    }
    pid_ = StartChild([&] {
        using namespace cm3probe::connection;
        close(ask[1]);
        close(answer[0]);
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        LockHandle* lock = OpenLock(lockName.c_str());
        uint32_t ms = 0;
        while (read(ask[0], &ms, sizeof ms) == sizeof ms) {
            const LockOutcome outcome = AcquireLockWithin(lock, ms);
            const char taken = outcome == LockOutcome::Acquired || outcome == LockOutcome::AcquiredAfterOwnerDied;
            if (taken) ReleaseLock(lock);
            if (write(answer[1], &taken, 1) != 1) break;
        }
        return 0;
    });
    close(ask[0]);
    close(answer[1]);
    ask_ = ask[1];
    answer_ = answer[0];
}

LockWatcher::~LockWatcher() {
    if (ask_ >= 0) close(ask_);
    if (answer_ >= 0) close(answer_);
    if (pid_ > 0) (void)WaitChild(pid_, kServerStopLimitMs);
}

bool LockWatcher::lockFree(uint32_t ms) {
    char taken = 0;
    return ask_ >= 0 && write(ask_, &ms, sizeof ms) == sizeof ms && read(answer_, &taken, 1) == 1 && taken != 0;
}

void BypassLockForTesting() { cm3probe::g_connection.lockHandle = nullptr; }

void UseServer(const std::string& socketPath) {
    setenv(cm3probe::adapter::kDriverEnvironmentVariable, cm3probe::adapter::kDriverSim, 1);
    setenv(cm3sim::kSimSocketEnvironmentVariable, socketPath.c_str(), 1);
}

DebugResult Connect(const LinkChoice& link) {
    const DebugResult opened = DebugOpen(kClockHz, kAdapter, link.swd ? 1 : 0);
    if (opened != DBG_OK && opened != DBG_OPENED_AFTER_RETRY) return opened;
    return DebugInit(link.batched ? 1 : 0);
}

WorkloadResult RunWorkload(uint32_t base, uint32_t size, uint32_t operations, uint32_t seed,
                           bool stopAtFirstFault) {
    WorkloadResult result;
    std::mt19937 random(seed);
    std::vector<uint8_t> expected(size);
    for (auto& byte : expected) byte = static_cast<uint8_t>(random());
    const auto note = [&](DebugResult answer) {
        if (answer != DBG_OK && result.failures++ == 0) {
            result.firstFailure = answer;
            result.firstFailureAt = result.operations;
        }
        ++result.operations;
    };
    for (uint32_t offset = 0; offset < size; offset += kFillChunk) {
        note(DebugWriteBlock(base + offset, &expected[offset], std::min(kFillChunk, size - offset)));
    }
    const auto compare = [&](uint32_t offset, const uint8_t* got, uint32_t count) {
        result.bytesChecked += count;
        if (!std::equal(got, got + count, &expected[offset])) ++result.mismatches;
    };
    std::vector<uint8_t> buffer(std::max(kMaxBlock, kFillChunk));
    for (uint32_t i = 0; i < operations && !(stopAtFirstFault && result.corrupted()); ++i) {
        const uint32_t kind = random() % kKinds;
        if (kind == kWriteSingle || kind == kReadSingle) {
            const uint32_t sizeCode = random() % kSizeCodes;
            const uint32_t width = 1u << sizeCode;
            const uint32_t offset = (random() % size) & ~(width - 1);
            if (kind == kWriteSingle) {
                const uint32_t value = static_cast<uint32_t>(random());
                note(DebugWriteMem(base + offset, value, sizeCode));
                for (uint32_t b = 0; b < width; ++b) {
                    expected[offset + b] = static_cast<uint8_t>(value >> (kBitsPerByte * b));
                }
            } else {
                uint32_t value = 0;
                note(DebugReadMem(base + offset, &value, sizeCode));
                uint8_t got[sizeof value];
                for (uint32_t b = 0; b < width; ++b) got[b] = static_cast<uint8_t>(value >> (kBitsPerByte * b));
                compare(offset, got, width);
            }
            continue;
        }
        const uint32_t count = 1 + random() % kMaxBlock;
        const uint32_t offset = random() % (size - count + 1);
        if (kind == kWriteBlock) {
            for (uint32_t b = 0; b < count; ++b) expected[offset + b] = static_cast<uint8_t>(random());
            note(DebugWriteBlock(base + offset, &expected[offset], count));
        } else {
            std::fill(buffer.begin(), buffer.end(), 0);
            note(DebugReadBlock(base + offset, buffer.data(), count));
            compare(offset, buffer.data(), count);
        }
    }
    for (uint32_t offset = 0; offset < size; offset += kFillChunk) {
        const uint32_t count = std::min(kFillChunk, size - offset);
        note(DebugReadBlock(base + offset, buffer.data(), count));
        compare(offset, buffer.data(), count);
    }
    return result;
}

}  // namespace cm3rel
