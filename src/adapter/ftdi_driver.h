// The USB driver on libftdi1 and libusb: real FT2232-class adapters.
#pragma once

#include <chrono>

#include "adapter/usb_driver.h"

namespace cm3probe::adapter {
const UsbDriver& FtdiUsbDriver();
}

namespace cm3probe::adapter::ftdi {

// Failure codes of this backend, besides kUsbFailed for a refused libftdi1 call.
namespace status {
inline constexpr UsbStatus kUnavailable = 2;  // libusb could not start: no USB support here
inline constexpr UsbStatus kNotFound = 3;     // no listed channel has that description
inline constexpr UsbStatus kBadArgument = 4;  // null pointer, or a handle already closed
inline constexpr UsbStatus kTimedOut = 5;     // the chip stopped taking a write
inline constexpr UsbStatus kTransfer = 6;     // the USB stack reported an error
}  // namespace status

// A read hands out what arrived once this passes without the full count.
inline constexpr std::chrono::milliseconds kReadTimeout{1000};

}  // namespace cm3probe::adapter::ftdi
