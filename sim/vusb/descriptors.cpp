#include "vusb/descriptors.h"

#include <algorithm>

namespace cm3sim::vusb {

namespace {

inline constexpr uint32_t kByteBits = 8;
inline constexpr uint32_t kByteMask = 0xFF;
// bLength is one byte and counts the two header bytes.
inline constexpr size_t kMaxStringCharacters = (kByteMask - 2) / 2;

void Put16(std::vector<uint8_t>& out, uint16_t value) {
    out.push_back(static_cast<uint8_t>(value & kByteMask));
    out.push_back(static_cast<uint8_t>(value >> kByteBits));
}

bool High(ChipType chip) { return chip == ChipType::Ft2232H; }

}  // namespace

uint16_t PacketSize(ChipType chip) { return High(chip) ? layout::kHighSpeedPacket : layout::kFullSpeedPacket; }

libusb_speed Speed(ChipType chip) { return High(chip) ? LIBUSB_SPEED_HIGH : LIBUSB_SPEED_FULL; }

libusb_device_descriptor DeviceDescriptor(ChipType chip) {
    libusb_device_descriptor d{};
    d.bLength = LIBUSB_DT_DEVICE_SIZE;
    d.bDescriptorType = LIBUSB_DT_DEVICE;
    d.bcdUSB = ids::kUsb20;
    d.bDeviceClass = LIBUSB_CLASS_PER_INTERFACE;
    d.bMaxPacketSize0 = High(chip) ? layout::kControlPacketH : layout::kControlPacketD;
    d.idVendor = ids::kVendor;
    d.idProduct = ids::kProduct;
    d.bcdDevice = High(chip) ? ids::kReleaseH : ids::kReleaseD;
    d.iManufacturer = string_index::kManufacturer;
    d.iProduct = string_index::kProduct;
    d.iSerialNumber = layout::kNoString;  // a blank EEPROM gives no serial number
    d.bNumConfigurations = 1;
    return d;
}

OwnedConfiguration::OwnedConfiguration(ChipType chip) {
    const uint16_t packet = PacketSize(chip);
    for (size_t i = 0; i < layout::kInterfaces; ++i) {
        auto& pair = endpoints[i];
        const std::array<uint8_t, layout::kEndpointsPerInterface> addresses = {layout::kInEndpoint[i],
                                                                                 layout::kOutEndpoint[i]};
        for (size_t e = 0; e < pair.size(); ++e) {
            libusb_endpoint_descriptor& ep = pair[e];
            ep.bLength = LIBUSB_DT_ENDPOINT_SIZE;
            ep.bDescriptorType = LIBUSB_DT_ENDPOINT;
            ep.bEndpointAddress = addresses[e];
            ep.bmAttributes = LIBUSB_TRANSFER_TYPE_BULK;
            ep.wMaxPacketSize = packet;
        }
        libusb_interface_descriptor& setting = settings[i];
        setting.bLength = LIBUSB_DT_INTERFACE_SIZE;
        setting.bDescriptorType = LIBUSB_DT_INTERFACE;
        setting.bInterfaceNumber = static_cast<uint8_t>(i);
        setting.bNumEndpoints = layout::kEndpointsPerInterface;
        setting.bInterfaceClass = layout::kVendorSpecific;
        setting.bInterfaceSubClass = layout::kVendorSpecific;
        setting.bInterfaceProtocol = layout::kVendorSpecific;
        setting.iInterface = string_index::kProduct;
        setting.endpoint = pair.data();
        interfaces[i].altsetting = &setting;
        interfaces[i].num_altsetting = 1;
    }
    config.bLength = LIBUSB_DT_CONFIG_SIZE;
    config.bDescriptorType = LIBUSB_DT_CONFIG;
    config.wTotalLength = static_cast<uint16_t>(
        LIBUSB_DT_CONFIG_SIZE +
        layout::kInterfaces * (LIBUSB_DT_INTERFACE_SIZE + layout::kEndpointsPerInterface * LIBUSB_DT_ENDPOINT_SIZE));
    config.bNumInterfaces = layout::kInterfaces;
    config.bConfigurationValue = layout::kConfigurationValue;
    config.iConfiguration = layout::kNoString;
    config.bmAttributes = layout::kBusPowered;
    config.MaxPower = layout::kMaxPowerIn2mA;
    config.interface = interfaces.data();
}

std::vector<uint8_t> Serialize(const libusb_device_descriptor& d) {
    std::vector<uint8_t> out{d.bLength, d.bDescriptorType};
    Put16(out, d.bcdUSB);
    out.insert(out.end(), {d.bDeviceClass, d.bDeviceSubClass, d.bDeviceProtocol, d.bMaxPacketSize0});
    Put16(out, d.idVendor);
    Put16(out, d.idProduct);
    Put16(out, d.bcdDevice);
    out.insert(out.end(), {d.iManufacturer, d.iProduct, d.iSerialNumber, d.bNumConfigurations});
    return out;
}

std::vector<uint8_t> Serialize(const libusb_config_descriptor& c) {
    std::vector<uint8_t> out{c.bLength, c.bDescriptorType};
    Put16(out, c.wTotalLength);
    out.insert(out.end(), {c.bNumInterfaces, c.bConfigurationValue, c.iConfiguration, c.bmAttributes, c.MaxPower});
    for (int i = 0; i < c.bNumInterfaces; ++i) {
        for (int a = 0; a < c.interface[i].num_altsetting; ++a) {
            const libusb_interface_descriptor& s = c.interface[i].altsetting[a];
            out.insert(out.end(), {s.bLength, s.bDescriptorType, s.bInterfaceNumber, s.bAlternateSetting,
                                   s.bNumEndpoints, s.bInterfaceClass, s.bInterfaceSubClass, s.bInterfaceProtocol,
                                   s.iInterface});
            for (int e = 0; e < s.bNumEndpoints; ++e) {
                const libusb_endpoint_descriptor& ep = s.endpoint[e];
                out.insert(out.end(), {ep.bLength, ep.bDescriptorType, ep.bEndpointAddress, ep.bmAttributes});
                Put16(out, ep.wMaxPacketSize);
                out.push_back(ep.bInterval);
            }
        }
    }
    return out;
}

std::vector<uint8_t> LanguageDescriptor() {
    std::vector<uint8_t> out{0, LIBUSB_DT_STRING};
    Put16(out, ids::kLanguageEnglishUs);
    out[0] = static_cast<uint8_t>(out.size());
    return out;
}

std::vector<uint8_t> StringDescriptor(std::string_view text) {
    std::vector<uint8_t> out{0, LIBUSB_DT_STRING};
    for (char c : text.substr(0, std::min(text.size(), kMaxStringCharacters))) {
        Put16(out, static_cast<uint8_t>(c));
    }
    out[0] = static_cast<uint8_t>(out.size());
    return out;
}

}  // namespace cm3sim::vusb
