// Semihosting: the target asks the host for console and file services with
// BKPT 0xAB (operation in r0, parameter block address in r1, result in r0).
// The debugger finds the core halted on that instruction, serves the call and
// resumes after it. Shared by `cm3probe run` and the GDB server.
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <span>
#include <string>

#include "cm3probe.h"

namespace cm3tools::semihosting {

// BKPT 0xAB in Thumb state, as it sits in memory: a semihosting call rather
// than a breakpoint.
inline constexpr uint16_t kBkptAb = 0xBEAB;
inline constexpr uint32_t kInstructionBytes = 2;

namespace op {
inline constexpr uint32_t kOpen = 0x01;
inline constexpr uint32_t kClose = 0x02;
inline constexpr uint32_t kWriteC = 0x03;
inline constexpr uint32_t kWrite0 = 0x04;
inline constexpr uint32_t kWrite = 0x05;
inline constexpr uint32_t kRead = 0x06;
inline constexpr uint32_t kReadC = 0x07;
inline constexpr uint32_t kIsTty = 0x09;
inline constexpr uint32_t kSeek = 0x0A;
inline constexpr uint32_t kFlen = 0x0C;
inline constexpr uint32_t kClock = 0x10;
inline constexpr uint32_t kTime = 0x11;
inline constexpr uint32_t kErrno = 0x13;
inline constexpr uint32_t kGetCmdline = 0x15;
inline constexpr uint32_t kHeapInfo = 0x16;
inline constexpr uint32_t kExit = 0x18;
inline constexpr uint32_t kExitExtended = 0x20;
}  // namespace op

// SYS_EXIT's reason that means a clean end; any other is a failure.
inline constexpr uint32_t kApplicationExit = 0x20026;
// What an unknown or failed operation returns in r0.
inline constexpr uint32_t kFailed = 0xFFFFFFFF;

// The special file names SYS_OPEN knows.
inline constexpr std::string_view kConsoleName = ":tt";
inline constexpr std::string_view kFeaturesName = ":semihosting-features";
// ":semihosting-features" reads as the magic and one byte of feature bits.
inline constexpr std::string_view kFeatureMagic = "SHFB";
inline constexpr uint8_t kFeatureExitExtended = 1u << 0;
// ":tt" opened for writing gives stdout, opened for appending stderr.
inline constexpr uint8_t kFeatureStdoutStderr = 1u << 1;

// The process exit code for a SYS_EXIT without one: 0 for a clean end, 1 otherwise.
inline constexpr int kExitFailure = 1;

// The target as the server reaches it; the library's exports or a test's fake.
struct TargetAccess {
    DebugResult (*readRegister)(void* context, uint32_t selector, uint32_t* value);
    DebugResult (*writeRegister)(void* context, uint32_t selector, uint32_t value);
    DebugResult (*readMemory)(void* context, uint32_t address, uint8_t* buffer, uint32_t count);
    DebugResult (*writeMemory)(void* context, uint32_t address, const uint8_t* data, uint32_t count);
    void* context;
};

// What the host offers the target.
struct Hooks {
    // Console output: stream 1 stdout, 2 stderr.
    void (*write)(void* context, int stream, std::span<const char> bytes);
    // Console input: up to buffer.size() bytes; 0 is end of file. Null: always end of file.
    size_t (*read)(void* context, std::span<char> buffer);
    // Centiseconds since the program started, and seconds since 1970.
    uint64_t (*centiseconds)(void* context);
    uint64_t (*unixSeconds)(void* context);
    void* context;
    // Host files live under this directory; empty: no host files.
    std::string fileRoot;
    // What SYS_GET_CMDLINE answers: the program's name and its arguments.
    std::string commandLine;
    // SYS_HEAPINFO: the top of RAM, where the stack starts.
    uint32_t stackBase = 0;
};

// Open handles and the last error, kept across calls of one program run.
struct State {
    enum class Kind { kStdin, kStdout, kStderr, kFeatures, kFile };
    struct Handle {
        Kind kind;
        std::FILE* file = nullptr;
        uint32_t position = 0;  // in the features file
    };
    std::map<uint32_t, Handle> handles;
    uint32_t nextHandle = 1;
    int lastErrno = 0;
    State() = default;
    State(const State&) = delete;
    State& operator=(const State&) = delete;
    ~State();
};

struct Outcome {
    enum class Kind { kContinue, kExit, kProbeFailure };
    Kind kind = Kind::kContinue;
    int exitCode = 0;          // kExit: the code the program ended with
    DebugResult failure = DBG_OK;  // kProbeFailure
};

// True when the halted core's PC is on a BKPT 0xAB. `result` takes the
// export's result when the question could not be asked.
[[nodiscard]] bool AtSemihostingCall(const TargetAccess& target, DebugResult& result);

// Serves the call the core halted on: reads r0 and r1, does the operation,
// sets r0 and moves the PC past the BKPT. The core stays halted.
[[nodiscard]] Outcome ServeSemihostingCall(const TargetAccess& target, State& state, const Hooks& hooks);

}  // namespace cm3tools::semihosting
