// A USB driver that stands between the library and the in-process simulator:
// it passes every call through, can record the replies of a stretch of calls,
// and can then replay them without the simulator, so the library's own CPU
// time is measured apart from the simulator's. The JTAG engine keeps the
// driver it opened with, so this one is installed before DebugOpen and
// switched, never swapped.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "adapter/usb_driver.h"
#include "usb/sim_usb_driver.h"

namespace cm3bench {

using cm3probe::adapter::Description;
using cm3probe::adapter::UsbDriver;
using cm3probe::adapter::UsbHandle;
using cm3probe::adapter::UsbStatus;

enum class DriverMode { Simulator, Record, Replay };

struct DriverSwitch {
    DriverMode mode = DriverMode::Simulator;
    // Replies of the recorded reads and sizes of the recorded writes, in order.
    std::vector<std::vector<uint8_t>> replies;
    std::vector<uint32_t> writeSizes;
    size_t nextReply = 0;
    size_t nextWrite = 0;
    // Replayed traffic that did not follow the recording.
    uint64_t divergences = 0;
    // Called around every call that reaches the simulator (true on the way in).
    void (*aroundSimulator)(bool entering) = nullptr;

    void startRecording() {
        replies.clear();
        writeSizes.clear();
        mode = DriverMode::Record;
    }
    void startReplay() {
        nextReply = 0;
        nextWrite = 0;
        divergences = 0;
        mode = DriverMode::Replay;
    }
};

inline DriverSwitch& Switch() {
    static DriverSwitch state;
    return state;
}

namespace switch_detail {

template <typename Call>
UsbStatus Simulator(Call call) {
    DriverSwitch& s = Switch();
    if (s.aroundSimulator != nullptr) s.aroundSimulator(true);
    const UsbStatus status = call(cm3sim::SimUsbDriver());
    if (s.aroundSimulator != nullptr) s.aroundSimulator(false);
    return status;
}

inline bool Replaying() { return Switch().mode == DriverMode::Replay; }

inline UsbStatus List(Description* descriptions, uint32_t capacity, uint32_t* count) {
    return Simulator([&](const UsbDriver& d) { return d.listByDescription(descriptions, capacity, count); });
}

inline UsbStatus Open(const char* description, UsbHandle* handle) {
    return Simulator([&](const UsbDriver& d) { return d.openByDescription(description, handle); });
}

inline UsbStatus SetBitMode(UsbHandle handle, uint8_t mask, uint8_t mode) {
    if (Replaying()) return cm3probe::adapter::kUsbOk;
    return Simulator([&](const UsbDriver& d) { return d.setBitMode(handle, mask, mode); });
}

inline UsbStatus Write(UsbHandle handle, const uint8_t* data, uint32_t count, uint32_t* written) {
    DriverSwitch& s = Switch();
    if (s.mode == DriverMode::Replay) {
        if (s.writeSizes.empty() || s.writeSizes[s.nextWrite] != count) ++s.divergences;
        if (!s.writeSizes.empty()) s.nextWrite = (s.nextWrite + 1) % s.writeSizes.size();
        *written = count;
        return cm3probe::adapter::kUsbOk;
    }
    if (s.mode == DriverMode::Record) s.writeSizes.push_back(count);
    return Simulator([&](const UsbDriver& d) { return d.write(handle, data, count, written); });
}

inline UsbStatus Read(UsbHandle handle, uint8_t* buffer, uint32_t count, uint32_t* got) {
    DriverSwitch& s = Switch();
    if (s.mode == DriverMode::Replay) {
        if (s.replies.empty()) {
            ++s.divergences;
            *got = 0;
            return cm3probe::adapter::kUsbOk;
        }
        const std::vector<uint8_t>& reply = s.replies[s.nextReply];
        if (reply.size() != count) ++s.divergences;
        const size_t n = std::min<size_t>(count, reply.size());
        if (n != 0) std::memcpy(buffer, reply.data(), n);
        *got = static_cast<uint32_t>(n);
        s.nextReply = (s.nextReply + 1) % s.replies.size();
        return cm3probe::adapter::kUsbOk;
    }
    const UsbStatus status = Simulator([&](const UsbDriver& d) { return d.read(handle, buffer, count, got); });
    if (s.mode == DriverMode::Record) s.replies.emplace_back(buffer, buffer + *got);
    return status;
}

inline UsbStatus Purge(UsbHandle handle, uint32_t mask) {
    if (Replaying()) return cm3probe::adapter::kUsbOk;
    return Simulator([&](const UsbDriver& d) { return d.purge(handle, mask); });
}

inline UsbStatus SetLatencyTimer(UsbHandle handle, uint8_t milliseconds) {
    if (Replaying()) return cm3probe::adapter::kUsbOk;
    return Simulator([&](const UsbDriver& d) { return d.setLatencyTimer(handle, milliseconds); });
}

inline UsbStatus Close(UsbHandle handle) {
    return Simulator([&](const UsbDriver& d) { return d.close(handle); });
}

}  // namespace switch_detail

inline const UsbDriver& SwitchDriver() {
    static const UsbDriver driver{
        "bench-switch",          &switch_detail::List,  &switch_detail::Open,
        &switch_detail::SetBitMode, &switch_detail::Write, &switch_detail::Read,
        &switch_detail::Purge,   &switch_detail::SetLatencyTimer, &switch_detail::Close,
    };
    return driver;
}

}  // namespace cm3bench
