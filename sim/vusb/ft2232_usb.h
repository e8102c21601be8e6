// How an FT2232 shows itself on USB: identifiers, endpoints, buffer sizes,
// the vendor requests it answers and the status bytes that open every
// bulk-in packet.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace cm3sim::vusb {

namespace ids {
inline constexpr uint16_t kVendor = 0x0403;
inline constexpr uint16_t kProduct = 0x6010;
// bcdDevice tells the chip generation; the EEPROM cannot change it.
inline constexpr uint16_t kReleaseD = 0x0500;
inline constexpr uint16_t kReleaseH = 0x0700;
inline constexpr uint16_t kUsb20 = 0x0200;
inline constexpr uint16_t kLanguageEnglishUs = 0x0409;
}  // namespace ids

// Where the virtual device sits on the virtual bus.
namespace topology {
inline constexpr uint8_t kBusNumber = 1;
inline constexpr uint8_t kDeviceAddress = 2;
inline constexpr uint8_t kPortNumber = 1;
}  // namespace topology

namespace layout {
inline constexpr size_t kInterfaces = 2;
inline constexpr uint8_t kConfigurationValue = 1;
inline constexpr uint8_t kEndpointsPerInterface = 2;
// Channel A's endpoints are 0x81/0x02, channel B's 0x83/0x04.
inline constexpr std::array<uint8_t, kInterfaces> kInEndpoint = {0x81, 0x83};
inline constexpr std::array<uint8_t, kInterfaces> kOutEndpoint = {0x02, 0x04};
inline constexpr uint16_t kFullSpeedPacket = 64;
inline constexpr uint16_t kHighSpeedPacket = 512;
inline constexpr uint8_t kControlPacketD = 8;
inline constexpr uint8_t kControlPacketH = 64;
inline constexpr uint8_t kBusPowered = 0x80;
inline constexpr uint8_t kMaxPowerIn2mA = 50;  // 100 mA
inline constexpr uint8_t kVendorSpecific = 0xFF;
inline constexpr uint8_t kNoString = 0;
}  // namespace layout

namespace string_index {
inline constexpr uint8_t kLanguages = 0;
inline constexpr uint8_t kManufacturer = 1;
inline constexpr uint8_t kProduct = 2;
}  // namespace string_index
inline constexpr const char* kManufacturer = "FTDI";

// Per channel: the D part has a 128-byte buffer from the host and a 384-byte
// one towards it; the H part 4 KB each way.
namespace buffer {
inline constexpr size_t kFromHostD = 128;
inline constexpr size_t kToHostD = 384;
inline constexpr size_t kFromHostH = 4096;
inline constexpr size_t kToHostH = 4096;
}  // namespace buffer

// The two bytes at the start of every bulk-in packet: modem status, then
// line status.
namespace modem_status {
inline constexpr uint8_t kReserved = 0x02;  // low nibble as the FT2232 sends it
inline constexpr uint8_t kCts = 0x10;
inline constexpr uint8_t kDsr = 0x20;
inline constexpr uint8_t kTransmitHoldingEmpty = 0x20;
inline constexpr uint8_t kTransmitterEmpty = 0x40;
inline constexpr uint8_t kModem = kReserved | kCts | kDsr;
inline constexpr uint8_t kLine = kTransmitHoldingEmpty | kTransmitterEmpty;
inline constexpr size_t kBytes = 2;
static_assert(kModem == 0x32 && kLine == 0x60);
}  // namespace modem_status

// Vendor requests on endpoint 0; wIndex names the channel (1 = A).
namespace request {
inline constexpr uint8_t kReset = 0x00;
inline constexpr uint8_t kModemControl = 0x01;
inline constexpr uint8_t kSetFlowControl = 0x02;
inline constexpr uint8_t kSetBaudRate = 0x03;
inline constexpr uint8_t kSetData = 0x04;
inline constexpr uint8_t kPollModemStatus = 0x05;
inline constexpr uint8_t kSetEventChar = 0x06;
inline constexpr uint8_t kSetErrorChar = 0x07;
inline constexpr uint8_t kSetLatencyTimer = 0x09;
inline constexpr uint8_t kGetLatencyTimer = 0x0A;
inline constexpr uint8_t kSetBitMode = 0x0B;
inline constexpr uint8_t kReadPins = 0x0C;
inline constexpr uint8_t kReadEeprom = 0x90;
inline constexpr uint8_t kWriteEeprom = 0x91;
inline constexpr uint8_t kEraseEeprom = 0x92;
inline constexpr uint16_t kFirstChannelIndex = 1;
inline constexpr uint8_t kChannelIndexMask = 0xFF;
}  // namespace request

// wValue of kReset. The purge names are the chip's own: "receive" is what it
// received from the host, "transmit" what it holds for the host.
namespace reset_value {
inline constexpr uint16_t kSio = 0;
inline constexpr uint16_t kPurgeFromHost = 1;
inline constexpr uint16_t kPurgeToHost = 2;
}  // namespace reset_value

// kSetBitMode: wValue = mode << 8 | pin directions.
namespace bit_mode_value {
inline constexpr uint32_t kModeShift = 8;
inline constexpr uint16_t kModeMask = 0xFF;
}  // namespace bit_mode_value

// kSetLatencyTimer takes 1-255 ms.
inline constexpr uint16_t kMinLatencyMs = 1;
inline constexpr uint16_t kMaxLatencyMs = 255;

// The configuration EEPROM: a 93C46 (64 words) beside the D part, a 93C56
// (128 words) beside the H part, both blank.
namespace eeprom {
inline constexpr size_t kWordsD = 64;
inline constexpr size_t kWordsH = 128;
inline constexpr uint16_t kBlankWord = 0xFFFF;
inline constexpr size_t kWordBytes = 2;
}  // namespace eeprom

}  // namespace cm3sim::vusb
