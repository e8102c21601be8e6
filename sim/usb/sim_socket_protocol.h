// The wire format between `cm3probe-sim serve` and the socket USB driver: one
// request frame, then one response frame, over a Unix-domain stream socket.
// Every field is little endian. See sim/README.md ("The simulator as a server").
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "adapter/usb_driver.h"

namespace cm3sim::socket_protocol {

using cm3probe::adapter::UsbStatus;

inline constexpr uint16_t kRequestMagic = 0xC35A;
inline constexpr uint16_t kResponseMagic = 0xC3A5;
inline constexpr uint8_t kVersion = 1;

// Header: magic u16, version u8, op u8, handle u32, argument u32, payload length u32.
inline constexpr size_t kHeaderSize = 16;
inline constexpr size_t kOpOffset = 3;
// Larger writes and reads are split by the client; a frame announcing more is
// refused and the connection closed, since its end cannot be found.
inline constexpr uint32_t kMaxPayload = 1u << 20;
// A listing answers at most this many descriptions.
inline constexpr uint32_t kMaxListed = 16;

namespace op {
inline constexpr uint8_t kFirst = 1;
inline constexpr uint8_t kList = kFirst;         // argument: capacity; value: count; payload: 64-byte entries
inline constexpr uint8_t kOpen = 2;         // payload: description with its NUL; value: handle
inline constexpr uint8_t kSetBitMode = 3;   // argument: output mask << 8 | mode
inline constexpr uint8_t kWrite = 4;        // payload: bytes; value: bytes written
inline constexpr uint8_t kRead = 5;         // argument: count; value and payload: what was read
inline constexpr uint8_t kPurge = 6;        // argument: purge mask
inline constexpr uint8_t kLatencyTimer = 7; // argument: milliseconds
inline constexpr uint8_t kClose = 8;
inline constexpr uint8_t kStats = 9;        // payload: ServerStats, u64 each
inline constexpr uint8_t kLast = kStats;
}  // namespace op

namespace bit_mode_argument {
inline constexpr unsigned kMaskShift = 8;
inline constexpr uint32_t kModeMask = 0xFF;
}  // namespace bit_mode_argument

// Failures of the socket layer itself; the simulator's own codes
// (sim/usb/sim_usb_status.h) pass through unchanged.
namespace status {
inline constexpr UsbStatus kServerUnreachable = 0x5200;  // no server, or the connection broke
inline constexpr UsbStatus kBadRequest = 0x5201;         // unknown op or malformed payload
inline constexpr UsbStatus kNotYourHandle = 0x5202;      // a handle this client did not open
inline constexpr UsbStatus kBadResponse = 0x5203;        // the server answered out of protocol
}  // namespace status

struct RequestHeader {
    uint8_t op = 0;
    uint32_t handle = 0;
    uint32_t argument = 0;
    uint32_t payloadLength = 0;
};

struct ResponseHeader {
    uint8_t op = 0;
    UsbStatus status = 0;
    uint32_t value = 0;
    uint32_t payloadLength = 0;
};

// What the server counts; the Stats op answers these in this order.
struct ServerStats {
    uint64_t clientsAccepted = 0;
    uint64_t clientsConnected = 0;
    uint64_t requestsServed = 0;
    uint64_t badRequests = 0;
    uint64_t clientsLostMidRequest = 0;  // gone with part of a frame unread
    uint64_t handlesReclaimed = 0;       // left open by a client that went away
};
inline constexpr size_t kStatsFields = 6;
inline constexpr size_t kStatsSize = kStatsFields * sizeof(uint64_t);

using Header = std::array<uint8_t, kHeaderSize>;

Header EncodeRequest(const RequestHeader& header);
Header EncodeResponse(const ResponseHeader& header);
// Empty when the magic, the version or the length is out of protocol.
std::optional<RequestHeader> DecodeRequest(std::span<const uint8_t, kHeaderSize> bytes);
std::optional<ResponseHeader> DecodeResponse(std::span<const uint8_t, kHeaderSize> bytes);

std::vector<uint8_t> EncodeStats(const ServerStats& stats);
std::optional<ServerStats> DecodeStats(std::span<const uint8_t> bytes);

void PutU32(uint8_t* at, uint32_t value);
uint32_t GetU32(const uint8_t* at);

}  // namespace cm3sim::socket_protocol
