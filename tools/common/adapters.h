// Attached adapter channels by the description the library opens them by.
// No export lists adapters, so this talks to libusb itself.
#pragma once

#include <string>
#include <vector>

namespace cm3tools {

struct UsbListing {
    std::vector<std::string> descriptions;
    bool usbAvailable = true;  // false: libusb could not start (no USB here)
};

// FT-series channels: the product string, plus " A", " B"... on multi-channel
// chips. Devices whose strings cannot be read (no permission) are left out.
UsbListing ListUsbAdapters();

// What the simulator lists: the "descriptions" of the JSON configuration at
// `configPath`, or the built-in pair when the path is empty or the key absent.
// Throws std::runtime_error when the file cannot be read or parsed.
std::vector<std::string> ListSimulatedAdapters(const std::string& configPath);

}  // namespace cm3tools
