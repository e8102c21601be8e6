// The adapter backend of the current connection: a USB driver and the JTAG
// engine that runs over it. Chosen once per DebugOpen.
#pragma once

#include "adapter/jtag_engine.h"
#include "adapter/usb_driver.h"

namespace cm3probe::adapter {

struct Backend {
    const UsbDriver* usb;
    const JtagEngine* jtag;
};

// Environment variable naming the USB driver: "ftdi" (default) or "sim".
inline constexpr const char* kDriverEnvironmentVariable = "CM3PROBE_DRIVER";
inline constexpr const char* kDriverFtdi = "ftdi";
inline constexpr const char* kDriverSim = "sim";

// Picks the backend from the environment, unless a test installed one.
// False when the variable names no known driver.
[[nodiscard]] bool SelectBackend();
const Backend& ActiveBackend();

// Tests only: replaces the environment's choice until called with nulls.
void InstallBackendForTesting(const UsbDriver* usb, const JtagEngine* jtag);

}  // namespace cm3probe::adapter
