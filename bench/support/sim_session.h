// The library on a freshly powered in-process simulator, over one of the four
// transport paths, with the USB counters of the target channel at hand.
#pragma once

#include <cstdint>
#include <string>

#include "adapter/backend.h"
#include "adapter/held_writes.h"
#include "adapter/mpsse_jtag_engine.h"
#include "cm3probe.h"
#include "config.h"
#include "target/cortex_m3_target.h"
#include "support/switch_driver.h"
#include "transport/timing.h"
#include "usb/usb_timing.h"
#include "virtual_probe.h"

namespace cm3bench {

struct Path {
    bool swd;
    bool batched;
    const char* name;
};

inline constexpr Path kPaths[] = {
    {true, false, "SWD direct"},
    {true, true, "SWD batched"},
    {false, false, "JTAG direct"},
    {false, true, "JTAG batched"},
};

inline constexpr const char* kAdapter = "USB Debug Bridge A";
inline constexpr uint32_t kSram = 0x20000000;
inline constexpr uint32_t kBlockBytes = 4096;
inline constexpr uint32_t kFastClockHz = 6'000'000;
inline constexpr uint32_t kSlowClockHz = 1'000'000;

// The target's firmware: a vector table and a reset handler that loops on
// itself, so the core runs, halts and steps as on a live board.
namespace firmware {
inline constexpr uint32_t kInitialSp = 0x0;
inline constexpr uint32_t kResetVector = 0x4;
inline constexpr uint32_t kStackTop = kSram + 0x10000;
inline constexpr uint32_t kResetHandler = 0x100;
inline constexpr uint32_t kThumbBit = 1;
inline constexpr uint32_t kBranchToSelfPair = 0xE7FEE7FE;  // two Thumb "b ."
}  // namespace firmware

// The path as benchmark names spell it: swd_direct, jtag_batched, ...
inline std::string PathId(const Path& path) {
    return std::string(path.swd ? "swd" : "jtag") + (path.batched ? "_batched" : "_direct");
}

inline const char* ChipName(cm3sim::ChipType chip) {
    return chip == cm3sim::ChipType::Ft2232H ? "FT2232H" : "FT2232D";
}

// Powers a new simulator with `chip` and the looping firmware. With
// `targetFollowsHost` the target's clock also lives through the time the
// engine waits for the host (usb/usb_timing.h).
inline void PowerTarget(cm3sim::ChipType chip, bool targetFollowsHost = false) {
    cm3sim::SimConfig config;
    config.chip = chip;
    cm3sim::ResetGlobalProbe(config);
    auto& target = static_cast<cm3sim::CortexM3Target&>(cm3sim::GlobalProbe().target());
    target.poke32(firmware::kInitialSp, firmware::kStackTop);
    target.poke32(firmware::kResetVector, firmware::kResetHandler | firmware::kThumbBit);
    target.poke32(firmware::kResetHandler, firmware::kBranchToSelfPair);
    target.powerOnReset();
    cm3sim::GlobalProbe().channel(cm3sim::VirtualProbe::kTargetChannel).usbTiming.setTargetFollowsHost(
        targetFollowsHost);
}

// Closes whatever the library had open, powers a new simulator, and opens
// and initialises the library on it through the switch driver.
inline DebugResult Connect(const Path& path, cm3sim::ChipType chip, uint32_t clockHz,
                           bool targetFollowsHost = false) {
    Switch().mode = DriverMode::Simulator;
    Switch().divergences = 0;
    (void)DebugClose();
    PowerTarget(chip, targetFollowsHost);
    cm3probe::adapter::InstallBackendForTesting(cm3probe::adapter::WithHeldWrites(&SwitchDriver()),
                                                &cm3probe::adapter::MpsseJtagEngine());
    // Resumes settle for 100 ms of host time; the model counts USB time only.
    cm3probe::timing::SetSleepForTesting([](uint32_t) {});
    const DebugResult opened = DebugOpen(clockHz, kAdapter, path.swd ? 1 : 0);
    if (opened != DBG_OK && opened != DBG_OPENED_AFTER_RETRY) return opened;
    return DebugInit(path.batched ? 1 : 0);
}

inline void Disconnect() {
    // A replayed close would leave the simulator's adapter open.
    Switch().mode = DriverMode::Simulator;
    (void)DebugClose();
    cm3probe::adapter::InstallBackendForTesting(nullptr, nullptr);
    cm3probe::timing::SetSleepForTesting(nullptr);
}

inline const cm3sim::UsbCounters& Counters() { return cm3sim::GlobalProbe().usbCounters(); }

// The traffic and modeled time of `op`; `result` gets what it returned.
template <typename Op>
cm3sim::UsbCounters Measure(Op op, DebugResult* result = nullptr) {
    const cm3sim::UsbCounters before = Counters();
    const DebugResult r = op();
    if (result != nullptr) *result = r;
    return Counters() - before;
}

// A block at the start of SRAM, read or written: 4 KB unless told.
inline DebugResult Block(bool read, uint32_t bytes = kBlockBytes) {
    static uint8_t buffer[kBlockBytes] = {};
    return read ? DebugReadBlock(kSram, buffer, bytes) : DebugWriteBlock(kSram, buffer, bytes);
}

// Runs `op` once to warm up, once recording the simulator's replies, then
// switches the driver to replaying them and checks that a replayed run
// follows the recording. From then on `op` runs without the simulator.
template <typename Op>
bool ReplayFromHere(Op op) {
    if (op() != DBG_OK) return false;
    Switch().startRecording();
    const DebugResult recorded = op();
    Switch().startReplay();
    const DebugResult replayed = op();
    return recorded == DBG_OK && replayed == DBG_OK && Switch().divergences == 0;
}

}  // namespace cm3bench
