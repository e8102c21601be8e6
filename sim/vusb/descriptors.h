// The virtual FT2232's USB descriptors, built once as libusb's parsed
// structures and serialised from them for GET_DESCRIPTOR requests.
#pragma once

#include <libusb.h>

#include <array>
#include <cstdint>
#include <string_view>
#include <vector>

#include "config.h"
#include "vusb/ft2232_usb.h"

namespace cm3sim::vusb {

uint16_t PacketSize(ChipType chip);
libusb_speed Speed(ChipType chip);

libusb_device_descriptor DeviceDescriptor(ChipType chip);

// A configuration descriptor with the storage its pointers lead into; the
// descriptor comes first so a pointer to it is a pointer to the whole.
struct OwnedConfiguration {
    libusb_config_descriptor config{};
    std::array<libusb_interface, layout::kInterfaces> interfaces{};
    std::array<libusb_interface_descriptor, layout::kInterfaces> settings{};
    std::array<std::array<libusb_endpoint_descriptor, layout::kEndpointsPerInterface>, layout::kInterfaces> endpoints{};

    explicit OwnedConfiguration(ChipType chip);
    OwnedConfiguration(const OwnedConfiguration&) = delete;
    OwnedConfiguration& operator=(const OwnedConfiguration&) = delete;
};

std::vector<uint8_t> Serialize(const libusb_device_descriptor& descriptor);
// The whole configuration: itself, then each interface followed by its endpoints.
std::vector<uint8_t> Serialize(const libusb_config_descriptor& config);
// String descriptor 0: the language list.
std::vector<uint8_t> LanguageDescriptor();
// Any other string descriptor: UTF-16LE, cut to what a descriptor can hold.
std::vector<uint8_t> StringDescriptor(std::string_view text);

}  // namespace cm3sim::vusb
