#include <sys/mman.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <string>

#include "adapter/backend.h"
#include "adapter/mpsse_jtag_engine.h"
#include "cm3probe.h"
#include "frame/adapter_lock.h"
#include "frame/connection.h"
#include "fuzz_input.h"
#include "harnesses.h"
#include "target/cortex_m3_target.h"
#include "transport/swd_batch.h"
#include "transport/timing.h"
#include "usb/sim_usb_driver.h"
#include "virtual_probe.h"

namespace cm3fuzz {
namespace {

using cm3probe::adapter::Description;
using cm3probe::adapter::UsbDriver;
using cm3probe::adapter::UsbHandle;
using cm3probe::adapter::UsbStatus;

// Enough exports for deep sequences, few enough that no input runs long.
inline constexpr uint32_t kMaxCalls = 48;
inline constexpr uint32_t kBufferBytes = 4200;  // room past the 4096-byte limit
inline constexpr uint32_t kExports = 20;
inline constexpr DebugResult kLastResult = DBG_OPENED_AFTER_RETRY;
inline constexpr uint32_t kClockHz = 1000000;
inline constexpr uint32_t kSramBase = 0x20000000;
inline constexpr uint32_t kSramSize = 0x10000;
inline constexpr const char* kAdapter = "USB Debug Bridge A";
inline constexpr uint32_t kMaxListed = 255;  // two channels on every port of a full bus
inline constexpr uint32_t kCloseAttempts = 2;
// A vector table and a branch-to-self, so that the core leaves reset, runs and
// halts: a locked-up core turns every run-control call into a timed-out poll
// of a thousand reads, which is all the fuzzer would then see.
inline constexpr uint32_t kInitialSp = 0x20008000;
inline constexpr uint32_t kResetVector = 0x00000009;  // Thumb code at 0x8
inline constexpr uint32_t kVectorTable = 0x00000000;
inline constexpr uint32_t kBranchToSelfTwice = 0xE7FEE7FE;  // b . ; b .

// How the driver answers a call, from one byte of input: mostly the
// simulator's own answer, sometimes its own failure, a short transfer, or
// bytes it made up.
namespace answer {
inline constexpr uint8_t kFailFrom = 200;
inline constexpr uint8_t kShortFrom = 220;
inline constexpr uint8_t kGarbleFrom = 240;
}  // namespace answer

FuzzInput* g_in = nullptr;
std::set<UsbHandle> g_open;
// The library does not retry a close the driver refused, so after one the
// handle may stay open for good (reported; not what this harness hunts).
bool g_closeRefused = false;
// Past this many driver calls in one input the adapter is gone: every call
// fails at once. A broken link turns each poll into a thousand reads, and an
// input that spends its time there teaches the fuzzer nothing new.
inline constexpr uint32_t kMaxDriverCalls = 2048;
uint32_t g_driverCalls = 0;
// CM3FUZZ_TRACE set: every driver answer and export result on stderr, to
// follow a finding.
const bool g_trace = std::getenv("CM3FUZZ_TRACE") != nullptr;

enum class Answer { Pass, Fail, Short, Garble };

Answer Draw(const char* op) {
    const uint8_t b = g_in != nullptr ? g_in->byte() : 0;
    Answer answer = Answer::Pass;
    if (g_in != nullptr && ++g_driverCalls > kMaxDriverCalls) {
        answer = Answer::Fail;
    } else if (b >= answer::kGarbleFrom) {
        answer = Answer::Garble;
    } else if (b >= answer::kShortFrom) {
        answer = Answer::Short;
    } else if (b >= answer::kFailFrom) {
        answer = Answer::Fail;
    }
    static const char* const kNames[] = {"pass", "fail", "short", "garble"};
    if (g_trace) std::fprintf(stderr, "  %s: %s\n", op, kNames[static_cast<int>(answer)]);
    return answer;
}

UsbStatus Failure() { return 1 + g_in->below(0xFFFF); }

const UsbDriver& Sim() { return cm3sim::SimUsbDriver(); }

void RequireOpen(UsbHandle handle) {
    if (g_open.count(handle) == 0) Violation("a driver call on a handle that is not open");
}

UsbStatus List(Description* descriptions, uint32_t capacity, uint32_t* count) {
    if (count == nullptr || (descriptions == nullptr && capacity > 0)) Violation("listing without room");
    switch (Draw("list")) {
        case Answer::Fail:
            return Failure();
        case Answer::Short:
        case Answer::Garble: {
            *count = g_in->below(kMaxListed + 1);
            for (uint32_t i = 0; i < std::min(*count, capacity); ++i) {
                // Sometimes a supported name, sometimes noise with no terminator.
                if (g_in->flip()) {
                    std::strncpy(descriptions[i], kAdapter, sizeof(Description));
                } else {
                    for (char& c : descriptions[i]) c = static_cast<char>(g_in->byte() | 1);
                }
            }
            return cm3probe::adapter::kUsbOk;
        }
        case Answer::Pass:
            break;
    }
    return Sim().listByDescription(descriptions, capacity, count);
}

UsbStatus Open(const char* description, UsbHandle* handle) {
    if (description == nullptr || handle == nullptr) Violation("open without a description or a handle");
    if (Draw("open") == Answer::Fail) return Failure();
    const UsbStatus status = Sim().openByDescription(description, handle);
    if (status == cm3probe::adapter::kUsbOk) g_open.insert(*handle);
    return status;
}

UsbStatus BitMode(UsbHandle handle, uint8_t mask, uint8_t mode) {
    RequireOpen(handle);
    if (Draw("bit mode") == Answer::Fail) return Failure();
    return Sim().setBitMode(handle, mask, mode);
}

UsbStatus Write(UsbHandle handle, const uint8_t* data, uint32_t count, uint32_t* written) {
    RequireOpen(handle);
    if (written == nullptr || (data == nullptr && count > 0)) Violation("a write without its bytes");
    switch (Draw("write")) {
        case Answer::Fail:
            return Failure();
        case Answer::Short: {
            const uint32_t part = g_in->below(count + 1);
            return Sim().write(handle, data, part, written);
        }
        default:
            return Sim().write(handle, data, count, written);
    }
}

UsbStatus Read(UsbHandle handle, uint8_t* buffer, uint32_t count, uint32_t* got) {
    RequireOpen(handle);
    if (got == nullptr || (buffer == nullptr && count > 0)) Violation("a read without room");
    switch (Draw("read")) {
        case Answer::Fail:
            return Failure();
        case Answer::Short:
            return Sim().read(handle, buffer, g_in->below(count + 1), got);
        case Answer::Garble: {
            const UsbStatus status = Sim().read(handle, buffer, count, got);
            for (uint32_t i = 0; i < *got; ++i) buffer[i] ^= g_in->byte();
            return status;
        }
        case Answer::Pass:
            break;
    }
    const UsbStatus status = Sim().read(handle, buffer, count, got);
    if (status == cm3probe::adapter::kUsbOk && *got > count) Violation("the simulator read past the count");
    return status;
}

UsbStatus Purge(UsbHandle handle, uint32_t mask) {
    RequireOpen(handle);
    if (Draw("purge") == Answer::Fail) return Failure();
    return Sim().purge(handle, mask);
}

UsbStatus Latency(UsbHandle handle, uint8_t ms) {
    RequireOpen(handle);
    if (Draw("latency") == Answer::Fail) return Failure();
    return Sim().setLatencyTimer(handle, ms);
}

UsbStatus Close(UsbHandle handle) {
    RequireOpen(handle);
    if (Draw("close") == Answer::Fail) {
        g_closeRefused = true;
        return Failure();
    }
    const UsbStatus status = Sim().close(handle);
    if (status == cm3probe::adapter::kUsbOk) g_open.erase(handle);
    return status;
}

const UsbDriver kFuzzDriver{"fuzz", &List, &Open, &BitMode, &Write, &Read, &Purge, &Latency, &Close};

std::unique_ptr<cm3sim::TargetSystem> RegisterLevelTarget(cm3sim::SimConfig& config) {
    return std::make_unique<cm3sim::CortexM3Target>(config);
}

// Once per process: a lock of our own and no real sleeps. The lock's name is
// removed at once: the mapping stays, and a crash leaves nothing behind.
void SetUpOnce() {
    static const bool done = [] {
        const std::string name = "cm3probe-fuzz-" + std::to_string(getpid());
        cm3probe::g_connection.lockHandle = cm3probe::connection::OpenLock(name.c_str());
        shm_unlink(("/" + name).c_str());
        cm3probe::timing::SetSleepForTesting([](uint32_t) {});
        return true;
    }();
    (void)done;
}

uint32_t Address(FuzzInput& in) { return in.flip() ? kSramBase + in.below(kSramSize) : in.u32(); }

uint32_t Count(FuzzInput& in) { return in.flip() ? in.below(kBufferBytes + 1) : in.u32(); }

template <typename T>
T* MaybeNull(FuzzInput& in, T* pointer) {
    return (in.byte() & 0x0F) == 0 ? nullptr : pointer;
}

DebugResult CallOne(FuzzInput& in) {
    static std::array<uint8_t, kBufferBytes> buffer;
    static std::array<char, sizeof(Description) + 1> description;
    uint32_t a = 0;
    uint32_t b = 0;
    uint32_t c = 0;
    switch (in.byte() % kExports) {
        case 0: {
            const uint8_t kind = in.byte() % 4;
            const char* name = kAdapter;
            if (kind == 1) {
                // Random text, with or without a terminator in the first 64 bytes.
                for (char& ch : description) ch = static_cast<char>(in.byte());
                name = description.data();
            } else if (kind == 2) {
                name = nullptr;
            }
            const uint32_t clock = in.flip() ? kClockHz : in.u32();
            return DebugOpen(clock, name, in.flip() ? 1 : 0);
        }
        case 1:
            return DebugInit(in.byte());
        case 2:
            return DebugClose();
        case 3:
            return DebugGetIDCode(MaybeNull(in, &a));
        case 4:
            return DebugGetDeviceInformation(MaybeNull(in, &a), MaybeNull(in, &b), MaybeNull(in, &c));
        case 5: {
            const uint32_t address = Address(in);
            return DebugReadMem(address, MaybeNull(in, &a), in.flip() ? in.byte() % 4 : in.u32());
        }
        case 6: {
            const uint32_t address = Address(in);
            const uint32_t value = in.u32();
            return DebugWriteMem(address, value, in.flip() ? in.byte() % 4 : in.u32());
        }
        case 7: {
            const uint32_t address = Address(in);
            const uint32_t count = Count(in);
            return DebugReadBlock(address, MaybeNull(in, buffer.data()), count);
        }
        case 8: {
            const uint32_t address = Address(in);
            const uint32_t count = Count(in);
            for (uint32_t i = 0; i < std::min(count, kBufferBytes); ++i) buffer[i] = static_cast<uint8_t>(i);
            return DebugWriteBlock(address, MaybeNull(in, buffer.data()), count);
        }
        case 9:
            return DebugHaltCore();
        case 10:
            return DebugStartCore();
        case 11:
            return DebugStepCore();
        case 12:
            return DebugGetCoreState(MaybeNull(in, &a));
        case 13:
            return DebugCoreReset();
        case 14:
            return DebugSystemReset();
        case 15:
            return DebugHardwareReset();
        case 16: {
            const uint32_t selector = in.flip() ? in.byte() : in.u32();
            return DebugReadCoreRegister(selector, MaybeNull(in, &a));
        }
        case 17: {
            const uint32_t selector = in.flip() ? in.byte() : in.u32();
            return DebugWriteCoreRegister(selector, in.u32());
        }
        case 18:
            return DebugSetBreakpoint(in.u32());
        default:
            return DebugClearBreakpoint(in.u32());
    }
}

}  // namespace

int RunExports(const uint8_t* data, size_t size) {
    SetUpOnce();
    // The calls and their arguments first, the driver's answers after them.
    auto [in, answers] = FuzzInput::Split(data, size);
    g_in = &answers;
    g_open.clear();
    g_closeRefused = false;
    g_driverCalls = 0;
    cm3sim::ResetGlobalProbe(cm3sim::SimConfig{}, RegisterLevelTarget);
    auto& target = static_cast<cm3sim::CortexM3Target&>(cm3sim::GlobalProbe().target());
    target.poke32(kVectorTable, kInitialSp);
    target.poke32(kVectorTable + 4, kResetVector);
    target.poke32(kVectorTable + 8, kBranchToSelfTwice);
    target.powerOnReset();
    cm3probe::BatchRelease();
    cm3probe::connection::LockHandle* lock = cm3probe::g_connection.lockHandle;
    cm3probe::g_connection = cm3probe::DebugConnection{};
    cm3probe::g_connection.lockHandle = lock;
    cm3probe::adapter::InstallBackendForTesting(&kFuzzDriver, &cm3probe::adapter::MpsseJtagEngine());

    for (uint32_t calls = 0; calls < kMaxCalls && !in.empty(); ++calls) {
        const DebugResult result = CallOne(in);
        if (g_trace) std::fprintf(stderr, "export %u -> %d\n", calls, result);
        if (result < DBG_OK || result > kLastResult) Violation("an export answered a result that does not exist");
    }

    // The driver behaves from here on: whatever was open must close.
    g_in = nullptr;
    for (uint32_t i = 0; i < kCloseAttempts; ++i) {
        if (cm3probe::g_connection.usbHandle == nullptr && cm3probe::g_connection.jtagHandle == nullptr) break;
        (void)DebugClose();
    }
    if (cm3probe::g_connection.usbHandle != nullptr || cm3probe::g_connection.jtagHandle != nullptr) {
        Violation("DebugClose on a working driver left a handle open");
    }
    if (!g_open.empty() && !g_closeRefused) Violation("the library lost track of an open driver handle");
    cm3probe::BatchRelease();
    cm3probe::adapter::InstallBackendForTesting(nullptr, nullptr);
    return 0;
}

}  // namespace cm3fuzz
