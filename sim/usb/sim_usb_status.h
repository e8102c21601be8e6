// Failure codes of the simulator's USB driver backend.
#pragma once

#include "adapter/usb_driver.h"

namespace cm3sim::usb_status {
using cm3probe::adapter::UsbStatus;
inline constexpr UsbStatus kInjectedFault = 0x5100;  // a SimConfig::driverFaults entry fired
inline constexpr UsbStatus kNoSuchDescription = 0x5101;
inline constexpr UsbStatus kAlreadyOpen = 0x5102;
inline constexpr UsbStatus kBadHandle = 0x5103;
inline constexpr UsbStatus kUnsupportedMode = 0x5104;
inline constexpr UsbStatus kBadArgument = 0x5105;
inline constexpr UsbStatus kSimulatorUnavailable = 0x5106;  // the configuration could not be loaded
}  // namespace cm3sim::usb_status
