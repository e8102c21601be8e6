// Attached adapter channels by the description the library opens them by.
// No export lists adapters, so this talks to libusb itself.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace cm3tools {

// One FT2232-class chip (two or four channels, MPSSE on channel A) on the bus.
struct UsbAdapter {
    uint8_t bus = 0;
    uint8_t address = 0;
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    std::string chip;                       // "FT2232D", "FT2232H", "FT4232H"
    std::vector<std::string> descriptions;  // one per channel; empty when unreadable
    std::string problem;                    // why it cannot be opened and the fix; empty when it can
    bool serialDriverBound = false;         // the kernel's ftdi_sio holds channel A
};

struct UsbListing {
    std::vector<UsbAdapter> adapters;
    bool usbAvailable = true;  // false: libusb could not start (no USB here)
};

UsbListing ListUsbAdapters();

// The channel descriptions of every adapter that could be read.
std::vector<std::string> ListedDescriptions(const UsbListing& listing);

// Whether the library accepts `description` as a supported adapter's channel A.
bool IsSupportedDescription(const std::string& description);

// What the simulator lists: the "descriptions" of the JSON configuration at
// `configPath`, or the built-in pair when the path is empty or the key absent.
// Throws std::runtime_error naming the file and the key when the file cannot
// be read or is not a valid configuration.
std::vector<std::string> ListSimulatedAdapters(const std::string& configPath);

}  // namespace cm3tools
