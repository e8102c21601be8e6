// The process-wide connection record every export reads and writes.
#pragma once

#include <cstdint>

#include "adapter/jtag_engine.h"
#include "adapter/usb_driver.h"
#include "frame/adapter_lock.h"

namespace cm3probe {

namespace dap {
struct Port;
}  // namespace dap

inline constexpr uint32_t kBreakpointSlots = 6;

struct BreakpointSlot {
    uint32_t inUse;
    uint32_t address;
};

struct DebugConnection {
    uint8_t batchedMode;
    uint8_t initialised;
    uint8_t coreHalted;
    uint32_t swdMode;  // non-zero: SWD, zero: JTAG
    // The port of that wire protocol (dap/port.h), set with it by DebugOpen.
    const dap::Port* port;
    adapter::JtagHandle jtagHandle;
    adapter::UsbHandle usbHandle;
    BreakpointSlot breakpoints[kBreakpointSlots];
    // Clock divisors of the open link, kept so a new lock owner can bring the
    // link back after a holder died mid-command.
    uint32_t jtagDivisor;
    uint32_t swdDivisor;
    connection::LockHandle* lockHandle;
    // Set by a failed or short driver transfer: the adapter may hold half a
    // command, so no traffic goes out until the link is recovered.
    uint8_t linkDown;
    // Driver transfer failures so far; an export that saw this change fails.
    uint32_t linkFaults;
    // An AP transaction was answered WAIT: it may still be stalled, and every
    // later one would wait behind it until DAPABORT ends it.
    uint8_t apStalled;
};

// Zero at load; lives for the whole process.
extern DebugConnection g_connection;

}  // namespace cm3probe
