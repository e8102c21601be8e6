#include "usb/sim_socket_protocol.h"

namespace cm3sim::socket_protocol {
namespace {

// Field offsets in both headers.
inline constexpr size_t kMagicAt = 0;
inline constexpr size_t kVersionAt = 2;
inline constexpr size_t kOpAt = kOpOffset;
inline constexpr size_t kFirstWordAt = 4;   // request: handle; response: status
inline constexpr size_t kSecondWordAt = 8;  // argument or value
inline constexpr size_t kLengthAt = 12;
inline constexpr unsigned kByteBits = 8;
inline constexpr uint8_t kByteMask = 0xFF;

void PutU16(uint8_t* at, uint16_t value) {
    at[0] = static_cast<uint8_t>(value & kByteMask);
    at[1] = static_cast<uint8_t>(value >> kByteBits);
}

uint16_t GetU16(const uint8_t* at) { return static_cast<uint16_t>(at[0] | at[1] << kByteBits); }

void PutU64(uint8_t* at, uint64_t value) {
    for (size_t i = 0; i < sizeof value; ++i) at[i] = static_cast<uint8_t>((value >> (kByteBits * i)) & kByteMask);
}

uint64_t GetU64(const uint8_t* at) {
    uint64_t value = 0;
    for (size_t i = 0; i < sizeof value; ++i) value |= static_cast<uint64_t>(at[i]) << (kByteBits * i);
    return value;
}

Header Encode(uint16_t magic, uint8_t op, uint32_t first, uint32_t second, uint32_t length) {
    Header bytes{};
    PutU16(&bytes[kMagicAt], magic);
    bytes[kVersionAt] = kVersion;
    bytes[kOpAt] = op;
    PutU32(&bytes[kFirstWordAt], first);
    PutU32(&bytes[kSecondWordAt], second);
    PutU32(&bytes[kLengthAt], length);
    return bytes;
}

bool Framed(std::span<const uint8_t, kHeaderSize> bytes, uint16_t magic) {
    return GetU16(&bytes[kMagicAt]) == magic && bytes[kVersionAt] == kVersion &&
           GetU32(&bytes[kLengthAt]) <= kMaxPayload;
}

}  // namespace

void PutU32(uint8_t* at, uint32_t value) {
    for (size_t i = 0; i < sizeof value; ++i) at[i] = static_cast<uint8_t>((value >> (kByteBits * i)) & kByteMask);
}

uint32_t GetU32(const uint8_t* at) {
    uint32_t value = 0;
    for (size_t i = 0; i < sizeof value; ++i) value |= static_cast<uint32_t>(at[i]) << (kByteBits * i);
    return value;
}

Header EncodeRequest(const RequestHeader& header) {
    return Encode(kRequestMagic, header.op, header.handle, header.argument, header.payloadLength);
}

Header EncodeResponse(const ResponseHeader& header) {
    return Encode(kResponseMagic, header.op, header.status, header.value, header.payloadLength);
}

std::optional<RequestHeader> DecodeRequest(std::span<const uint8_t, kHeaderSize> bytes) {
    if (!Framed(bytes, kRequestMagic)) return std::nullopt;
    return RequestHeader{bytes[kOpAt], GetU32(&bytes[kFirstWordAt]), GetU32(&bytes[kSecondWordAt]),
                         GetU32(&bytes[kLengthAt])};
}

std::optional<ResponseHeader> DecodeResponse(std::span<const uint8_t, kHeaderSize> bytes) {
    if (!Framed(bytes, kResponseMagic)) return std::nullopt;
    return ResponseHeader{bytes[kOpAt], GetU32(&bytes[kFirstWordAt]), GetU32(&bytes[kSecondWordAt]),
                          GetU32(&bytes[kLengthAt])};
}

std::vector<uint8_t> EncodeStats(const ServerStats& stats) {
    const uint64_t fields[kStatsFields] = {stats.clientsAccepted, stats.clientsConnected,
                                           stats.requestsServed,  stats.badRequests,
                                           stats.clientsLostMidRequest, stats.handlesReclaimed};
    std::vector<uint8_t> bytes(kStatsSize);
    for (size_t i = 0; i < kStatsFields; ++i) PutU64(&bytes[i * sizeof(uint64_t)], fields[i]);
    return bytes;
}

std::optional<ServerStats> DecodeStats(std::span<const uint8_t> bytes) {
    if (bytes.size() != kStatsSize) return std::nullopt;
    uint64_t fields[kStatsFields];
    for (size_t i = 0; i < kStatsFields; ++i) fields[i] = GetU64(&bytes[i * sizeof(uint64_t)]);
    return ServerStats{fields[0], fields[1], fields[2], fields[3], fields[4], fields[5]};
}

}  // namespace cm3sim::socket_protocol
