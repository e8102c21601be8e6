// The whole virtual bench: an FT2232 (channel A wired to the target board,
// channel B to nothing), the SWJ-DP and the target system behind it. Like the
// real thing it lives for the whole process: closing the adapter resets nothing.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "config.h"
#include "dp/access_port_bus.h"
#include "dp/debug_port_state.h"
#include "dp/swj_dp.h"
#include "mpsse/mpsse_engine.h"
#include "mpsse/pin_bus.h"
#include "usb/usb_timing.h"
#include "wire/target_board.h"
#include "wire/virtual_time.h"

namespace cm3sim {

// The bit modes the virtual chip supports.
namespace bit_mode {
inline constexpr uint8_t kReset = 0x00;
inline constexpr uint8_t kMpsse = 0x02;
}  // namespace bit_mode

// The chip's latency timer after power-on.
inline constexpr uint8_t kDefaultLatencyMs = 16;

class AdapterChannel {
public:
    AdapterChannel(const SimConfig& config, PinBus& pins, VirtualTime& time) : engine_(config, pins, time) {}

    MpsseEngine& engine() { return engine_; }
    // Host bytes reach the MPSSE only in MPSSE mode; in reset mode they go out
    // of the UART, which nothing listens to.
    void write(std::span<const uint8_t> bytes) {
        if (mode_ == bit_mode::kMpsse) engine_.write(bytes);
    }
    void setBitMode(uint8_t mode) {
        if (mode != bit_mode::kMpsse) engine_.reset();
        mode_ = mode;
    }
    uint8_t bitMode() const { return mode_; }
    bool open = false;
    uint8_t latencyMs = kDefaultLatencyMs;
    // How long the host waited on this channel (usb/usb_timing.h).
    UsbTiming usbTiming;

private:
    MpsseEngine engine_;
    uint8_t mode_ = bit_mode::kReset;
};

class VirtualProbe {
public:
    using TargetFactory = std::function<std::unique_ptr<TargetSystem>(SimConfig&)>;
    static constexpr size_t kChannelCount = 2;
    static constexpr size_t kTargetChannel = 0;

    // Builds the target with MakeTarget (sim/target/make_target.h).
    explicit VirtualProbe(const SimConfig& config);
    VirtualProbe(const SimConfig& config, const TargetFactory& makeTarget);
    ~VirtualProbe();
    VirtualProbe(const VirtualProbe&) = delete;
    VirtualProbe& operator=(const VirtualProbe&) = delete;

    // The live configuration: components read fault knobs from it as they apply.
    SimConfig& config() { return *config_; }
    TargetSystem& target() { return *target_; }
    DebugPortState& dpState() { return dp_; }
    const SwjDp& debugPort() const { return swj_; }
    const TargetBoard& board() const { return board_; }
    AdapterChannel& channel(size_t index) { return *channels_.at(index); }
    const VirtualTime& time() const { return time_; }
    VirtualTime& time() { return time_; }

    // USB traffic and modeled time of the channel wired to the target.
    const UsbCounters& usbCounters() const { return channels_[kTargetChannel]->usbTiming.counters(); }
    uint64_t contentionCount() const { return board_.contentionCount(); }
    // Filled while config().logWireTransactions is set.
    const std::vector<WireTransaction>& wireLog() const { return dp_.wireLog(); }
    void clearWireLog() { dp_.clearWireLog(); }
    // Sees every line change from now on and lives as long as the probe (sim/trace).
    void attachObserver(std::unique_ptr<LineObserver> observer);

private:
    std::unique_ptr<SimConfig> config_;
    std::unique_ptr<TargetSystem> target_;
    VirtualTime time_;
    DebugPortState dp_;
    SwjDp swj_;
    TargetBoard board_;
    UnwiredPins unwired_;
    std::array<std::unique_ptr<AdapterChannel>, kChannelCount> channels_;
    std::vector<std::unique_ptr<LineObserver>> observers_;
};

// The process's one probe, built on first use from the file CM3PROBE_SIM_CONFIG
// names (built-in defaults when it is unset). Both this and ResetGlobalProbe
// attach the wire observers the environment asks for (trace/trace_environment.h).
VirtualProbe& GlobalProbe();
// Tests: replace it with a freshly powered-on one.
void ResetGlobalProbe(const SimConfig& config);
void ResetGlobalProbe(const SimConfig& config, const VirtualProbe::TargetFactory& makeTarget);

}  // namespace cm3sim
