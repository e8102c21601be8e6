#include "in_process.h"

#include <memory>

#include "adapter/backend.h"
#include "adapter/held_writes.h"
#include "adapter/mpsse_jtag_engine.h"
#include "cm3probe.h"
#include "frame/connection.h"
#include "support.h"
#include "transport/swd_batch.h"
#include "transport/timing.h"
#include "usb/sim_usb_driver.h"
#include "virtual_probe.h"

namespace cm3rel {
namespace {

using cm3probe::adapter::Description;
using cm3probe::adapter::UsbDriver;
using cm3probe::adapter::UsbHandle;
using cm3probe::adapter::UsbStatus;
using cm3sim::DriverOp;

inline constexpr uint32_t kCloseAttempts = 2;

// Vector table and code of a target that runs.
inline constexpr uint32_t kInitialSp = 0x20008000;
inline constexpr uint32_t kResetVector = 0x00000009;  // Thumb code at 0x8
inline constexpr uint32_t kBranchToSelfTwice = 0xE7FEE7FE;  // b . ; b .
inline constexpr uint32_t kFlashBase = 0x00000000;

bool g_counting = false;
DriverCallCounts g_counts;

void Count(DriverOp op) {
    if (g_counting) ++g_counts.calls[static_cast<size_t>(op)];
}

const UsbDriver& Real() { return cm3sim::SimUsbDriver(); }

UsbStatus List(Description* descriptions, uint32_t capacity, uint32_t* count) {
    Count(DriverOp::List);
    return Real().listByDescription(descriptions, capacity, count);
}
UsbStatus Open(const char* description, UsbHandle* handle) {
    Count(DriverOp::Open);
    return Real().openByDescription(description, handle);
}
UsbStatus BitMode(UsbHandle handle, uint8_t mask, uint8_t mode) {
    Count(DriverOp::BitMode);
    return Real().setBitMode(handle, mask, mode);
}
UsbStatus Write(UsbHandle handle, const uint8_t* data, uint32_t count, uint32_t* written) {
    Count(DriverOp::Write);
    return Real().write(handle, data, count, written);
}
UsbStatus Read(UsbHandle handle, uint8_t* buffer, uint32_t count, uint32_t* got) {
    Count(DriverOp::Read);
    return Real().read(handle, buffer, count, got);
}
UsbStatus Purge(UsbHandle handle, uint32_t mask) {
    Count(DriverOp::Purge);
    return Real().purge(handle, mask);
}
UsbStatus Latency(UsbHandle handle, uint8_t ms) {
    Count(DriverOp::LatencyTimer);
    return Real().setLatencyTimer(handle, ms);
}
UsbStatus Close(UsbHandle handle) {
    Count(DriverOp::Close);
    return Real().close(handle);
}

const UsbDriver kCountingDriver{"counting-sim", &List, &Open, &BitMode, &Write, &Read, &Purge, &Latency, &Close};

}  // namespace

void LoadBranchToSelf() {
    cm3sim::CortexM3Target& target = Target();
    target.poke32(kFlashBase, kInitialSp);
    target.poke32(kFlashBase + sizeof(uint32_t), kResetVector);
    target.poke32(kFlashBase + 2 * sizeof(uint32_t), kBranchToSelfTwice);
    target.powerOnReset();
}

void FreshInProcess(const cm3sim::SimConfig& config, const std::string& lockName) {
    // The register-level core: which CPU runs behind the debug registers
    // changes nothing the library sees, and building and clocking it costs.
    cm3sim::ResetGlobalProbe(config, [](cm3sim::SimConfig& live) -> std::unique_ptr<cm3sim::TargetSystem> {
        return std::make_unique<cm3sim::CortexM3Target>(live);
    });
    if (cm3probe::g_connection.lockHandle == nullptr) {
        UsePrivateLock(lockName);
    } else {
        cm3probe::connection::LockHandle* lock = cm3probe::g_connection.lockHandle;
        cm3probe::BatchRelease();
        cm3probe::g_connection = cm3probe::DebugConnection{};
        cm3probe::g_connection.lockHandle = lock;
    }
    // Held as the real backends hold them: faults then meet the combined transfers.
    cm3probe::adapter::InstallBackendForTesting(cm3probe::adapter::WithHeldWrites(&kCountingDriver),
                                                &cm3probe::adapter::MpsseJtagEngine());
    cm3probe::timing::SetSleepForTesting([](uint32_t) {});
    g_counting = false;
}

bool CloseInProcess() {
    g_counting = false;
    LiveConfig() = cm3sim::SimConfig{};
    for (uint32_t i = 0; i < kCloseAttempts; ++i) {
        if (cm3probe::g_connection.usbHandle == nullptr && cm3probe::g_connection.jtagHandle == nullptr) break;
        (void)DebugClose();
    }
    return cm3probe::g_connection.usbHandle == nullptr && cm3probe::g_connection.jtagHandle == nullptr;
}

void StartCounting() {
    g_counts = DriverCallCounts{};
    g_counting = true;
}

DriverCallCounts StopCounting() {
    g_counting = false;
    return g_counts;
}

cm3sim::SimConfig& LiveConfig() { return cm3sim::GlobalProbe().config(); }

cm3sim::CortexM3Target& Target() { return static_cast<cm3sim::CortexM3Target&>(cm3sim::GlobalProbe().target()); }

}  // namespace cm3rel
