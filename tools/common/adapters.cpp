#include "adapters.h"

#include <libusb.h>

#include <array>
#include <cstdio>
#include <stdexcept>

#include "connection/supported_adapters.h"
#include "sim/config.h"

namespace cm3tools {
namespace {

inline constexpr uint16_t kFtdiVendorId = 0x0403;

// bcdDevice of the multi-channel chips (the EEPROM cannot change it); the
// others have one channel and are no FT2232-class adapter.
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
inline constexpr int kChannelAInterface = 0;
inline constexpr int kDriverActive = 1;

struct Chip {
    uint16_t release;
    const char* name;
    unsigned channels;
};
inline constexpr std::array<Chip, 3> kChips{{
    {release::k2232, "FT2232D", kDualChannel},
    {release::k2232H, "FT2232H", kDualChannel},
    {release::k4232H, "FT4232H", kQuadChannel},
}};

const Chip* FindChip(uint16_t bcdDevice) {
    for (const Chip& chip : kChips) {
        if (chip.release == bcdDevice) return &chip;
    }
    return nullptr;
}

std::string DeviceNode(const UsbAdapter& adapter) {
    std::array<char, 32> node{};
    std::snprintf(node.data(), node.size(), "/dev/bus/usb/%03u/%03u", adapter.bus, adapter.address);
    return node.data();
}

// Why libusb_open failed, in words a user can act on.
std::string OpenProblem(int status, const UsbAdapter& adapter) {
    if (status == LIBUSB_ERROR_ACCESS) {
        return "permission denied on " + DeviceNode(adapter) +
               ": install the udev rule (sudo cp tools/udev/60-cm3probe.rules /etc/udev/rules.d/ && "
               "sudo udevadm control --reload && sudo udevadm trigger), then unplug and replug the adapter";
    }
    return std::string("cannot open ") + DeviceNode(adapter) + ": " + libusb_strerror(status) +
           ": unplug and replug the adapter";
}

void AddDevice(libusb_device* device, std::vector<UsbAdapter>& out) {
    libusb_device_descriptor descriptor{};
    if (libusb_get_device_descriptor(device, &descriptor) != LIBUSB_SUCCESS) return;
    if (descriptor.idVendor != kFtdiVendorId) return;
    const Chip* chip = FindChip(descriptor.bcdDevice);
    if (chip == nullptr) return;
    UsbAdapter adapter;
    adapter.bus = libusb_get_bus_number(device);
    adapter.address = libusb_get_device_address(device);
    adapter.vendorId = descriptor.idVendor;
    adapter.productId = descriptor.idProduct;
    adapter.chip = chip->name;
    libusb_device_handle* handle = nullptr;
    if (const int status = libusb_open(device, &handle); status != LIBUSB_SUCCESS) {
        adapter.problem = OpenProblem(status, adapter);
        out.push_back(adapter);
        return;
    }
    std::array<unsigned char, kStringBytes> product{};
    const int length = descriptor.iProduct == 0 ? LIBUSB_ERROR_NOT_FOUND
                                                : libusb_get_string_descriptor_ascii(handle, descriptor.iProduct,
                                                                                     product.data(), kStringBytes);
    adapter.serialDriverBound = libusb_kernel_driver_active(handle, kChannelAInterface) == kDriverActive;
    libusb_close(handle);
    if (length < 0) {
        adapter.problem = std::string("its product string cannot be read (") + libusb_strerror(length) +
                          "): program one into its EEPROM with ftdi_eeprom (README, Real hardware)";
        out.push_back(adapter);
        return;
    }
    const std::string name(reinterpret_cast<const char*>(product.data()), static_cast<size_t>(length));
    for (unsigned channel = 0; channel < chip->channels; ++channel) {
        adapter.descriptions.push_back(name + ' ' + static_cast<char>(kFirstChannel + channel));
    }
    if (!IsSupportedDescription(adapter.descriptions.front())) {
        adapter.problem = "channel A's description \"" + adapter.descriptions.front() +
                          "\" is none the library supports: give the adapter a supported product string "
                          "with ftdi_eeprom (README, Real hardware)";
    }
    out.push_back(adapter);
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
        for (ssize_t i = 0; i < count; ++i) AddDevice(devices[i], listing.adapters);
        libusb_free_device_list(devices, kUnrefDevices);
    }
    libusb_exit(context);
    return listing;
}

std::vector<std::string> ListedDescriptions(const UsbListing& listing) {
    std::vector<std::string> descriptions;
    for (const UsbAdapter& adapter : listing.adapters) {
        descriptions.insert(descriptions.end(), adapter.descriptions.begin(), adapter.descriptions.end());
    }
    return descriptions;
}

bool IsSupportedDescription(const std::string& description) {
    return cm3probe::connection::IsSupportedAdapter(description.c_str());
}

std::vector<std::string> ListSimulatedAdapters(const std::string& configPath) {
    if (configPath.empty()) return cm3sim::SimConfig{}.descriptions;
    return cm3sim::LoadSimConfig(configPath).descriptions;
}

}  // namespace cm3tools
