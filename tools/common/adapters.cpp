#include "adapters.h"

#include <libusb.h>

#include <array>
#include <fstream>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string_view>

namespace cm3tools {
namespace {

inline constexpr uint16_t kFtdiVendorId = 0x0403;

// bcdDevice of the multi-channel chips; the others have channel A only.
namespace release {
inline constexpr uint16_t k2232 = 0x0500;  // FT2232C/D
inline constexpr uint16_t k2232H = 0x0700;
inline constexpr uint16_t k4232H = 0x0800;
}  // namespace release

inline constexpr unsigned kDualChannel = 2;
inline constexpr unsigned kQuadChannel = 4;
inline constexpr char kFirstChannel = 'A';
inline constexpr int kStringBytes = 256;
inline constexpr int kUnrefDevices = 1;

// The simulator's defaults when its configuration names none.
inline constexpr std::array<std::string_view, 2> kSimulatedDefaults{"USB Debug Bridge A", "USB Debug Bridge B"};
inline constexpr const char* kDescriptionsKey = "descriptions";

unsigned ChannelCount(uint16_t bcdDevice) {
    switch (bcdDevice) {
        case release::k2232:
        case release::k2232H:
            return kDualChannel;
        case release::k4232H:
            return kQuadChannel;
        default:
            return 1;
    }
}

void AddDevice(libusb_device* device, std::vector<std::string>& out) {
    libusb_device_descriptor descriptor{};
    if (libusb_get_device_descriptor(device, &descriptor) != LIBUSB_SUCCESS) return;
    if (descriptor.idVendor != kFtdiVendorId || descriptor.iProduct == 0) return;
    libusb_device_handle* handle = nullptr;
    if (libusb_open(device, &handle) != LIBUSB_SUCCESS) return;
    std::array<unsigned char, kStringBytes> product{};
    const int length = libusb_get_string_descriptor_ascii(handle, descriptor.iProduct, product.data(), kStringBytes);
    libusb_close(handle);
    if (length < 0) return;
    const std::string name(reinterpret_cast<const char*>(product.data()), static_cast<size_t>(length));
    const unsigned channels = ChannelCount(descriptor.bcdDevice);
    if (channels == 1) {
        out.push_back(name);
        return;
    }
    for (unsigned channel = 0; channel < channels; ++channel) {
        out.push_back(name + ' ' + static_cast<char>(kFirstChannel + channel));
    }
}

}  // namespace

UsbListing ListUsbAdapters() {
    UsbListing listing;
    libusb_context* context = nullptr;
    if (libusb_init(&context) != LIBUSB_SUCCESS) {
        listing.usbAvailable = false;
        return listing;
    }
    libusb_device** devices = nullptr;
    const ssize_t count = libusb_get_device_list(context, &devices);
    if (count < 0) {
        listing.usbAvailable = false;
    } else {
        for (ssize_t i = 0; i < count; ++i) AddDevice(devices[i], listing.descriptions);
        libusb_free_device_list(devices, kUnrefDevices);
    }
    libusb_exit(context);
    return listing;
}

std::vector<std::string> ListSimulatedAdapters(const std::string& configPath) {
    std::vector<std::string> descriptions(kSimulatedDefaults.begin(), kSimulatedDefaults.end());
    if (configPath.empty()) return descriptions;
    std::ifstream file(configPath);
    if (!file) throw std::runtime_error("cannot read simulator configuration " + configPath);
    nlohmann::json config;
    try {
        config = nlohmann::json::parse(file);
    } catch (const nlohmann::json::exception& error) {
        throw std::runtime_error("simulator configuration " + configPath + ": " + error.what());
    }
    if (!config.is_object() || !config.contains(kDescriptionsKey)) return descriptions;
    const auto& listed = config[kDescriptionsKey];
    if (!listed.is_array()) throw std::runtime_error(configPath + ": \"descriptions\" must be an array of strings");
    descriptions.clear();
    for (const auto& entry : listed) {
        if (!entry.is_string()) throw std::runtime_error(configPath + ": \"descriptions\" must be an array of strings");
        descriptions.push_back(entry.get<std::string>());
    }
    return descriptions;
}

}  // namespace cm3tools
