#include "vusb/vusb_inspect.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <span>
#include <string>
#include <vector>

#include "config.h"
#include "target/cortex_m3_target.h"
#include "virtual_probe.h"
#include "vusb/bench.h"

namespace {

inline constexpr int kFailed = -1;

cm3sim::CortexM3Target& Target() {
    return dynamic_cast<cm3sim::CortexM3Target&>(cm3sim::GlobalProbe().target());
}

}  // namespace

#pragma GCC visibility push(default)
extern "C" {

int cm3probe_vusb_reset(const char* json) {
    try {
        const std::lock_guard<std::mutex> lock(cm3sim::vusb::BenchMutex());
        const cm3sim::SimConfig config =
            json == nullptr || *json == '\0' ? cm3sim::SimConfig{} : cm3sim::ParseSimConfig(json);
        cm3sim::vusb::ReplaceBench(config);
        return 0;
    } catch (const std::exception&) {
        return kFailed;
    }
}

size_t cm3probe_vusb_report(char* buffer, size_t capacity) {
    std::string text;
    try {
        const std::lock_guard<std::mutex> lock(cm3sim::vusb::BenchMutex());
        text = cm3sim::vusb::Report();
    } catch (const std::exception&) {
        text.clear();
    }
    if (buffer != nullptr && capacity > 0) {
        const size_t n = std::min(text.size(), capacity - 1);
        std::memcpy(buffer, text.data(), n);
        buffer[n] = '\0';
    }
    return text.size();
}

int cm3probe_vusb_peek(uint32_t address, uint8_t* bytes, uint32_t count) {
    if (bytes == nullptr && count > 0) return kFailed;
    try {
        const std::lock_guard<std::mutex> lock(cm3sim::vusb::BenchMutex());
        const std::vector<uint8_t> data = Target().peekBytes(address, count);
        std::copy(data.begin(), data.end(), bytes);
        return 0;
    } catch (const std::exception&) {
        return kFailed;
    }
}

int cm3probe_vusb_poke(uint32_t address, const uint8_t* bytes, uint32_t count) {
    if (bytes == nullptr && count > 0) return kFailed;
    try {
        const std::lock_guard<std::mutex> lock(cm3sim::vusb::BenchMutex());
        Target().pokeBytes(address, std::span<const uint8_t>(bytes, count));
        return 0;
    } catch (const std::exception&) {
        return kFailed;
    }
}

}  // extern "C"
#pragma GCC visibility pop
