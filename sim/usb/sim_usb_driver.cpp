#include "usb/sim_usb_driver.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "mpsse/mpsse_commands.h"
#include "usb/sim_usb_status.h"
#include "usb/usb_timing.h"
#include "virtual_probe.h"

namespace cm3sim {

namespace {

using namespace cm3probe::adapter;

// A short-transfer fault moves half of what was asked.
inline constexpr uint32_t kShortTransferDivisor = 2;

struct ChannelHandle {
    size_t index;
};
ChannelHandle gHandles[VirtualProbe::kChannelCount] = {{0}, {1}};

std::mutex& DriverMutex() {
    static std::mutex mutex;
    return mutex;
}

// Reused under the driver's mutex, so a write allocates only while it grows.
std::vector<uint8_t>& FlushedWrite() {
    static std::vector<uint8_t> bytes;
    return bytes;
}

enum class FaultOutcome { None, Fail, Short };

// Faults are consumed in place: skips count down, one-shot faults disappear
// once they fire, so a test can inspect or change them between calls.
FaultOutcome TakeFault(SimConfig& config, DriverOp op) {
    auto& faults = config.driverFaults;
    std::optional<size_t> fired;
    for (size_t i = 0; i < faults.size(); ++i) {
        DriverFault& fault = faults[i];
        if (fault.op != op) continue;
        if (fault.skip > 0) {
            --fault.skip;
            continue;
        }
        if (!fired) fired = i;
    }
    if (!fired) return FaultOutcome::None;
    const bool shortTransfer = faults[*fired].shortTransfer;
    if (!faults[*fired].always) faults.erase(faults.begin() + static_cast<std::ptrdiff_t>(*fired));
    const bool moves = op == DriverOp::Write || op == DriverOp::Read;
    return shortTransfer && moves ? FaultOutcome::Short : FaultOutcome::Fail;
}

size_t ChannelCount(const SimConfig& config) {
    return std::min(config.descriptions.size(), VirtualProbe::kChannelCount);
}

template <typename Body>
UsbStatus Guarded(Body body) {
    try {
        std::lock_guard<std::mutex> lock(DriverMutex());
        return body(GlobalProbe());
    } catch (const std::exception&) {
        return usb_status::kSimulatorUnavailable;
    }
}

AdapterChannel* OpenChannel(VirtualProbe& probe, UsbHandle handle) {
    for (size_t i = 0; i < VirtualProbe::kChannelCount; ++i) {
        if (handle != &gHandles[i]) continue;
        AdapterChannel& channel = probe.channel(i);
        return channel.open ? &channel : nullptr;
    }
    return nullptr;
}

UsbStatus List(Description* descriptions, uint32_t capacity, uint32_t* count) {
    if (count == nullptr || (descriptions == nullptr && capacity > 0)) return usb_status::kBadArgument;
    return Guarded([&](VirtualProbe& probe) {
        if (TakeFault(probe.config(), DriverOp::List) != FaultOutcome::None) return usb_status::kInjectedFault;
        const size_t n = ChannelCount(probe.config());
        *count = static_cast<uint32_t>(n);
        for (size_t i = 0; i < n && i < capacity; ++i) {
            const std::string& text = probe.config().descriptions[i];
            const size_t length = std::min(text.size(), kDescriptionSize - 1);
            std::memcpy(descriptions[i], text.data(), length);
            descriptions[i][length] = '\0';
        }
        return kUsbOk;
    });
}

UsbStatus Open(const char* description, UsbHandle* handle) {
    if (description == nullptr || handle == nullptr) return usb_status::kBadArgument;
    return Guarded([&](VirtualProbe& probe) {
        if (TakeFault(probe.config(), DriverOp::Open) != FaultOutcome::None) return usb_status::kInjectedFault;
        UsbStatus status = usb_status::kNoSuchDescription;
        for (size_t i = 0; i < ChannelCount(probe.config()); ++i) {
            if (probe.config().descriptions[i] != description) continue;
            AdapterChannel& channel = probe.channel(i);
            if (channel.open) {
                status = usb_status::kAlreadyOpen;
                continue;
            }
            channel.open = true;
            *handle = &gHandles[i];
            return kUsbOk;
        }
        return status;
    });
}

UsbStatus SetBitMode(UsbHandle handle, uint8_t /*outputMask: MPSSE takes directions from 0x80/0x82*/,
                     uint8_t mode) {
    return Guarded([&](VirtualProbe& probe) {
        AdapterChannel* channel = OpenChannel(probe, handle);
        if (channel == nullptr) return usb_status::kBadHandle;
        if (TakeFault(probe.config(), DriverOp::BitMode) != FaultOutcome::None) return usb_status::kInjectedFault;
        if (mode != bit_mode::kReset && mode != bit_mode::kMpsse) return usb_status::kUnsupportedMode;
        channel->setBitMode(mode);
        channel->usbTiming.control(BusOf(probe.config().chip));
        return kUsbOk;
    });
}

UsbStatus Write(UsbHandle handle, const uint8_t* data, uint32_t count, uint32_t* written) {
    if (written == nullptr || (data == nullptr && count > 0)) return usb_status::kBadArgument;
    return Guarded([&](VirtualProbe& probe) {
        AdapterChannel* channel = OpenChannel(probe, handle);
        if (channel == nullptr) return usb_status::kBadHandle;
        const FaultOutcome fault = TakeFault(probe.config(), DriverOp::Write);
        if (fault == FaultOutcome::Fail) return usb_status::kInjectedFault;
        const uint32_t moved = fault == FaultOutcome::Short ? count / kShortTransferDivisor : count;
        std::span<const uint8_t> out(data, moved);
        // As a host driver should, so replies come back in a frame instead of
        // waiting out the latency timer: the wire sees nothing of it.
        if (fault == FaultOutcome::None && channel->engine().commandBytesPending() == 0 &&
            LeavesRepliesWaiting(probe.config().chip, out)) {
            std::vector<uint8_t>& flushed = FlushedWrite();
            flushed.assign(out.begin(), out.end());
            flushed.push_back(mpsse::opcode::kSendImmediate);
            out = flushed;
        }
        TimedWrite(channel->usbTiming, probe.config().chip, *channel, probe.time(), out);
        *written = moved;
        return kUsbOk;
    });
}

UsbStatus Read(UsbHandle handle, uint8_t* buffer, uint32_t count, uint32_t* got) {
    if (got == nullptr || (buffer == nullptr && count > 0)) return usb_status::kBadArgument;
    return Guarded([&](VirtualProbe& probe) {
        AdapterChannel* channel = OpenChannel(probe, handle);
        if (channel == nullptr) return usb_status::kBadHandle;
        const FaultOutcome fault = TakeFault(probe.config(), DriverOp::Read);
        if (fault == FaultOutcome::Fail) return usb_status::kInjectedFault;
        // Whatever is queued comes back at once: replies never arrive later.
        size_t wanted = std::min<size_t>(count, channel->engine().replyBytesQueued());
        if (fault == FaultOutcome::Short) wanted /= kShortTransferDivisor;
        *got = static_cast<uint32_t>(channel->engine().read(std::span<uint8_t>(buffer, wanted)));
        channel->usbTiming.read(BusOf(probe.config().chip), channel->latencyMs, count, *got);
        return kUsbOk;
    });
}

UsbStatus Purge(UsbHandle handle, uint32_t mask) {
    return Guarded([&](VirtualProbe& probe) {
        AdapterChannel* channel = OpenChannel(probe, handle);
        if (channel == nullptr) return usb_status::kBadHandle;
        if (TakeFault(probe.config(), DriverOp::Purge) != FaultOutcome::None) return usb_status::kInjectedFault;
        if (mask & purge::kReceive) {
            channel->engine().purgeReplies();
            channel->usbTiming.purgeReplies();
        }
        if (mask & purge::kTransmit) channel->engine().purgeCommands();
        channel->usbTiming.control(BusOf(probe.config().chip));
        return kUsbOk;
    });
}

UsbStatus SetLatencyTimer(UsbHandle handle, uint8_t milliseconds) {
    return Guarded([&](VirtualProbe& probe) {
        AdapterChannel* channel = OpenChannel(probe, handle);
        if (channel == nullptr) return usb_status::kBadHandle;
        if (TakeFault(probe.config(), DriverOp::LatencyTimer) != FaultOutcome::None) {
            return usb_status::kInjectedFault;
        }
        if (milliseconds == 0) return usb_status::kBadArgument;  // the chip takes 1-255
        channel->latencyMs = milliseconds;
        channel->usbTiming.control(BusOf(probe.config().chip));
        return kUsbOk;
    });
}

UsbStatus Close(UsbHandle handle) {
    return Guarded([&](VirtualProbe& probe) {
        AdapterChannel* channel = OpenChannel(probe, handle);
        if (channel == nullptr) return usb_status::kBadHandle;
        if (TakeFault(probe.config(), DriverOp::Close) != FaultOutcome::None) return usb_status::kInjectedFault;
        channel->open = false;
        return kUsbOk;
    });
}

}  // namespace

const UsbDriver& SimUsbDriver() {
    static const UsbDriver driver{
        "sim", &List, &Open, &SetBitMode, &Write, &Read, &Purge, &SetLatencyTimer, &Close,
    };
    return driver;
}

}  // namespace cm3sim
