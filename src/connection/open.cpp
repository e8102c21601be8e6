// DebugOpen: find a supported adapter, switch the target's port to the wanted
// wire protocol, open the adapter for it.
#include <cstring>
#include <algorithm>
#include <memory>

#include "adapter/backend.h"
#include "adapter/jtag_pins.h"
#include "cm3probe.h"
#include "frame/connection.h"
#include "frame/export_frame.h"
#include "connection/line_mode.h"
#include "connection/supported_adapters.h"
#include "dap/dp_registers.h"
#include "dap/port.h"
#include "frame/link_state.h"
#include "transport/swd_link.h"
#include "transport/swd_protocol.h"
#include "transport/timing.h"

namespace cm3probe::connection {
namespace {

inline constexpr uint32_t kMinClockHz = 91;
inline constexpr uint32_t kMaxClockHz = 6000000;
// The JTAG engine's clock: 12 MHz / (2 * (1 + divisor)).
inline constexpr uint32_t kJtagDivisorBaseHz = 12000000;
inline constexpr uint32_t kJtagInitAttempts = 5;
inline constexpr uint8_t kSwdLatencyMs = 2;
inline constexpr uint32_t kListingRoom = 4;
// A bound on the second listing: 127 devices on each of a few buses, two
// channels each. A driver that reports more is not believed.
inline constexpr uint32_t kListingRoomMax = 1024;


uint32_t JtagDivisor(uint32_t clockHz) {
    uint32_t divisor = kJtagDivisorBaseHz / (2 * clockHz) - 1;
    // The engine's divisor is 16 bits: never let a slow clock wrap into a fast one.
    return divisor > adapter::jtag::kDividerMax ? adapter::jtag::kDividerMax : divisor;
}

bool SupportedAdapterAttached(const adapter::UsbDriver& usb) {
    uint32_t room = kListingRoom;
    auto listing = std::make_unique<adapter::Description[]>(room);
    uint32_t count = 0;
    (void)usb.listByDescription(listing.get(), room, &count);
    if (count > room) {
        // More devices than the first listing had room for: walk them all.
        room = std::min(count, kListingRoomMax);
        listing = std::make_unique<adapter::Description[]>(room);
        (void)usb.listByDescription(listing.get(), room, &count);
    }
    count = std::min(count, room);
    for (uint32_t i = 0; i < count; ++i) {
        listing[i][adapter::kDescriptionSize - 1] = '\0';
        if (IsSupportedAdapter(listing[i])) return true;
    }
    return false;
}

// A repeated open claims the channel again, which a USB device allows once.
void CloseOpenTransport(const adapter::Backend& backend) {
    if (g_connection.usbHandle != nullptr && SwdLinkClose(g_connection.usbHandle) == 0) {
        g_connection.usbHandle = nullptr;
    }
    if (g_connection.jtagHandle != nullptr && backend.jtag->close(g_connection.jtagHandle) == adapter::kJtagOk) {
        g_connection.jtagHandle = nullptr;
    }
}

DebugResult OpenJtag(const adapter::JtagEngine& jtag, const char* description, uint32_t clockHz) {
    uint32_t devices = 0;
    if (jtag.deviceCount(&devices) != adapter::kJtagOk || devices == 0) return DBG_ERROR;
    char name[adapter::jtag::kNameSize];
    uint32_t location = 0;
    bool found = false;
    for (uint32_t index = 0; index < devices && !found; ++index) {
        std::memset(name, 0, sizeof name);
        if (jtag.deviceName(index, name, sizeof name, &location) != adapter::kJtagOk) continue;
        name[sizeof name - 1] = '\0';
        found = std::strcmp(name, description) == 0;
    }
    if (!found) return DBG_ERROR;
    adapter::JtagHandle handle = nullptr;
    if (jtag.open(name, location, &handle) != adapter::kJtagOk) {
        g_connection.jtagHandle = nullptr;
        return DBG_ERROR;
    }
    g_connection.jtagHandle = handle;
    if (jtag.setPins(handle, adapter::jtag_pins::kSetLowGroup, &adapter::jtag_pins::kResetReleased,
                     adapter::jtag_pins::kLeaveHighGroup, &adapter::jtag_pins::kHighGroupInputs) != adapter::kJtagOk) return DBG_ERROR;
    const uint32_t divisor = JtagDivisor(clockHz);
    for (uint32_t attempt = 0; attempt < kJtagInitAttempts; ++attempt) {
        if (jtag.initialise(handle, divisor) == adapter::kJtagOk) {
            g_connection.jtagDivisor = divisor;
            // After an earlier SWD connection, traffic must go to this handle.
            dap::UseTransport(0);
            return attempt == 0 ? DBG_OK : DBG_OPENED_AFTER_RETRY;
        }
        timing::SleepMilliseconds(timing::kJtagInitRetryMs);
    }
    // An engine that never came up is no connection: do not leak its handle.
    if (jtag.close(handle) == adapter::kJtagOk) g_connection.jtagHandle = nullptr;
    return DBG_ERROR;
}

DebugResult OpenSwd(const adapter::UsbDriver& usb, const char* description, uint32_t clockHz, uint32_t useSwd) {
    adapter::UsbHandle handle = nullptr;
    if (SwdLinkOpen(description, clockHz, &handle) != 0) return DBG_ERROR;
    g_connection.usbHandle = handle;
    g_connection.swdDivisor = SwdClockDivisor(clockHz);
    // The port answers nothing after a line reset until IDCODE has been read.
    uint32_t idcode = 0;
    NotExamined(SwdReadTransfer(handle, dp::kIdcode, swd::kDebugPort, &idcode));
    (void)usb.setLatencyTimer(handle, kSwdLatencyMs);
    dap::UseTransport(useSwd);
    return DBG_OK;
}

DebugResult Open(uint32_t clockHz, const char* description, uint32_t useSwd) {
    if (g_connection.initialised) return DBG_OK;
    if (clockHz < kMinClockHz || clockHz > kMaxClockHz) return DBG_BAD_PARAMETER;
    if (description == nullptr || memchr(description, '\0', adapter::kDescriptionSize) == nullptr) {
        return DBG_BAD_PARAMETER;
    }
    char requested[adapter::kDescriptionSize];
    std::strcpy(requested, description);

    // One handle serves the whole process; it is never closed.
    if (g_connection.lockHandle == nullptr) g_connection.lockHandle = OpenLock(kAdapterLockName);
    if (g_connection.lockHandle == nullptr) return DBG_ERROR;

    return Locked(
        [&]() -> DebugResult {
            CloseOpenTransport(adapter::ActiveBackend());
            // A new link: whatever the old one left down is gone with it.
            link_state::MarkUp();
            link_state::ClearApStalled();
            if (!adapter::SelectBackend()) return DBG_ERROR;
            const adapter::Backend& backend = adapter::ActiveBackend();
            if (!SupportedAdapterAttached(*backend.usb)) return DBG_ERROR;
            if (SendLineModeSequence(requested, useSwd != 0) != 0) return DBG_ERROR;
            if (useSwd == 0) return OpenJtag(*backend.jtag, requested, clockHz);
            return OpenSwd(*backend.usb, requested, clockHz, useSwd);
        },
        LinkPolicy::OpenOrClose);
}

}  // namespace
}  // namespace cm3probe::connection

extern "C" CM3PROBE_API DebugResult DebugOpen(uint32_t clockHz, const char* description, uint32_t useSwd) {
    return cm3probe::connection::Guarded(
        [&] { return cm3probe::connection::Open(clockHz, description, useSwd); });
}
