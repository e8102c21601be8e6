// How FT-series USB serial engines show up on the bus: the channel count of a
// chip follows from its device release number, and every channel is listed
// and opened under the product string plus a channel letter.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "adapter/usb_driver.h"

namespace cm3probe::adapter::ftdi {

inline constexpr uint16_t kVendorId = 0x0403;

// bcdDevice of each chip family; the EEPROM cannot change it.
namespace release {
inline constexpr uint16_t kAm = 0x0200;
inline constexpr uint16_t kBm = 0x0400;
inline constexpr uint16_t k2232C = 0x0500;  // FT2232C and FT2232D
inline constexpr uint16_t kR = 0x0600;
inline constexpr uint16_t k2232H = 0x0700;
inline constexpr uint16_t k4232H = 0x0800;
inline constexpr uint16_t k232H = 0x0900;
inline constexpr uint16_t k230X = 0x1000;
}  // namespace release

namespace channels {
inline constexpr uint32_t kSingle = 1;
inline constexpr uint32_t kDual = 2;
inline constexpr uint32_t kQuad = 4;
}  // namespace channels
inline constexpr uint32_t kMaxChannels = channels::kQuad;

// Channels are named " A" to " D" after the product string.
namespace suffix {
inline constexpr char kSeparator = ' ';
inline constexpr char kFirstLetter = 'A';
inline constexpr size_t kLength = 2;
}  // namespace suffix

// One byte of a Description holds the terminating NUL.
inline constexpr size_t kMaxDescriptionLength = kDescriptionSize - 1;

// Unknown releases are taken for single-channel parts: channel A always exists.
uint32_t ChannelCount(uint16_t bcdDevice);

// Single-channel parts carry no suffix. A product string too long for the
// description is cut before the suffix, so the channels of one device stay
// distinct.
void ComposeDescription(std::string_view product, uint32_t channel, uint32_t channelCount, Description& out);

// Adds one device's channels to a listing: entries at index `*count` onwards
// are written while they fit `capacity`; `*count` grows by every channel.
void AppendChannels(std::string_view product, uint32_t channelCount, Description* descriptions, uint32_t capacity,
                    uint32_t* count);

// The channel of this device listed as `wanted`, if any.
std::optional<uint32_t> MatchChannel(std::string_view product, uint32_t channelCount, std::string_view wanted);

}  // namespace cm3probe::adapter::ftdi
