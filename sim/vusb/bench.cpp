#include "vusb/bench.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>

#include <nlohmann/json.hpp>

#include "target/cortex_m3_target.h"
#include "target/registers.h"
#include "virtual_probe.h"

namespace cm3sim::vusb {

namespace {

inline constexpr const char* kReportVariable = "CM3PROBE_VUSB_REPORT";
inline constexpr uint8_t kLastRegsel = regsel::kSpecial;
inline constexpr uint32_t kWordBytes = 4;
inline constexpr int kReportIndent = 1;

std::unique_ptr<VirtualFt2232>& DeviceSlot() {
    // Never destroyed: a host may still call in while the process exits.
    static auto* slot = new std::unique_ptr<VirtualFt2232>();
    return *slot;
}

const char* ChipName(ChipType chip) { return chip == ChipType::Ft2232H ? "FT2232H" : "FT2232D"; }

// Words of a memory that differ from its blank value, as [address, value] pairs.
nlohmann::json ChangedWords(const CortexM3Target& target, const AddressRange& range, uint32_t blank) {
    nlohmann::json words = nlohmann::json::array();
    for (uint32_t offset = 0; offset + kWordBytes <= range.size; offset += kWordBytes) {
        const uint32_t value = target.peek32(range.base + offset);
        if (value != blank) words.push_back({range.base + offset, value});
    }
    return words;
}

nlohmann::json CountersReport(const UsbCounters& c) {
    return {
        {"writes", c.writes},
        {"reads", c.reads},
        {"bytes_out", c.bytesOut},
        {"bytes_in", c.bytesIn},
        {"round_trips", c.roundTrips},
        {"control_requests", c.controlRequests},
        {"packets_out", c.packetsOut},
        {"packets_in", c.packetsIn},
        {"latency_packets", c.latencyPackets},
        {"immediate_packets", c.immediatePackets},
        {"wire_cycles", c.wireCycles},
        {"wire_ns", c.wirePs / picoseconds::kPerNs},
        {"modeled_ns", c.modeledPs / picoseconds::kPerNs},
        {"modeled_ps", c.modeledPs},
    };
}

nlohmann::json MarksReport(const std::vector<PinMark>& marks) {
    nlohmann::json list = nlohmann::json::array();
    for (const PinMark& mark : marks) {
        list.push_back({{"high_pins", mark.highPins},
                        {"before", CountersReport(mark.before)},
                        {"after", CountersReport(mark.after)}});
    }
    return list;
}

nlohmann::json TargetReport(const SimConfig& config, const CortexM3Target& target) {
    nlohmann::json registers = nlohmann::json::array();
    for (uint8_t i = 0; i <= kLastRegsel; ++i) {
        const std::optional<uint32_t> value = target.coreRegister(i);
        registers.push_back(value ? nlohmann::json(*value) : nlohmann::json(nullptr));
    }
    nlohmann::json comparators = nlohmann::json::array();
    for (uint32_t i = 0; i < fpb::kNumComparators; ++i) comparators.push_back(target.fpb().comparator(i));
    const TargetCounters& counters = target.counters();
    return {
        {"halted", target.halted()},
        {"in_reset", target.inReset()},
        {"locked_up", target.lockedUp()},
        {"dhcsr", target.dhcsr()},
        {"demcr", target.demcr()},
        {"dfsr", target.dfsr()},
        {"retired_instructions", target.retiredInstructions()},
        {"registers", registers},
        {"fpb", {{"enabled", target.fpb().enabled()}, {"comparators", comparators}}},
        {"resets",
         {{"power_on", counters.powerOnResets}, {"system", counters.systemResets}, {"core", counters.coreResets}}},
        {"ahb", {{"accesses", counters.ahbAccesses}, {"errors", counters.ahbErrors}}},
        {"sram", ChangedWords(target, config.sram, 0)},
        {"flash", ChangedWords(target, config.flash, memory_map::kErasedWord)},
    };
}

}  // namespace

std::mutex& BenchMutex() {
    static auto* mutex = new std::mutex;
    return *mutex;
}

VirtualFt2232& Device() {
    auto& slot = DeviceSlot();
    if (!slot) slot = std::make_unique<VirtualFt2232>();
    return *slot;
}

void ReplaceBench(const SimConfig& config) {
    ResetGlobalProbe(config);
    Device().benchReplaced();
}

std::string Report() {
    VirtualFt2232& device = Device();
    VirtualProbe& probe = GlobalProbe();
    nlohmann::json channels = nlohmann::json::array();
    for (size_t i = 0; i < VirtualProbe::kChannelCount; ++i) {
        AdapterChannel& channel = probe.channel(i);
        const ChannelStatistics& stats = device.statistics(i);
        channels.push_back({
            {"bit_mode", channel.bitMode()},
            {"latency_ms", channel.latencyMs},
            {"bytes_from_host", stats.bytesFromHost},
            {"bytes_to_host", stats.bytesToHost},
            {"packets_to_host", stats.packetsToHost},
            {"refusals", stats.refusals},
            {"mpsse_cycles", channel.engine().clockCycles()},
            {"usb", CountersReport(channel.usbTiming.counters())},
            {"marks", MarksReport(device.marks(i))},
        });
    }
    nlohmann::json report = {
        {"chip", ChipName(device.chip())},
        {"product", device.product()},
        {"contention", probe.contentionCount()},
        {"channels", channels},
    };
    if (const auto* target = dynamic_cast<const CortexM3Target*>(&probe.target())) {
        report["target"] = TargetReport(probe.config(), *target);
    }
    return report.dump(kReportIndent);
}

void WriteReportIfAsked() {
    const char* path = std::getenv(kReportVariable);
    if (path == nullptr || *path == '\0') return;
    try {
        const std::string text = Report();
        std::ofstream out(path, std::ios::trunc);
        out << text << '\n';
        if (!out) std::fprintf(stderr, "cm3probe_vusb: cannot write the report to %s\n", path);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "cm3probe_vusb: no report: %s\n", e.what());
    }
}

}  // namespace cm3sim::vusb
