// The remote protocol's framing: $payload#cs packets, acknowledges, the
// interrupt byte, binary escapes, and the hex encodings packets carry.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace cm3tools::gdb {

namespace rsp {
inline constexpr char kStart = '$';
inline constexpr char kEnd = '#';
inline constexpr char kEscape = '}';
inline constexpr char kRunLength = '*';  // GDB expands it in replies, so it is escaped there
inline constexpr uint8_t kEscapeXor = 0x20;
inline constexpr char kAck = '+';
inline constexpr char kNack = '-';
inline constexpr char kInterrupt = '\x03';
inline constexpr size_t kChecksumDigits = 2;
}  // namespace rsp

// Modulo-256 sum of the bytes between '$' and '#' as sent.
uint8_t Checksum(std::string_view framed);
// '$', the escaped payload, '#', two hex digits.
std::string Frame(std::string_view payload);
std::string Escape(std::string_view payload);
std::string Unescape(std::string_view escaped);

struct Event {
    enum class Kind { Packet, BadChecksum, Overlong, Interrupt, Ack, Nack };
    Kind kind = Kind::Packet;
    std::string payload;  // Packet: unescaped
    bool operator==(const Event&) const = default;
};

// Splits the byte stream from the client into events. Bytes outside packets
// other than '+', '-' and the interrupt byte are line noise and dropped.
class PacketReader {
public:
    explicit PacketReader(size_t maxPayload) : maxPayload_(maxPayload) {}
    void feed(std::string_view bytes);
    std::optional<Event> next();

private:
    enum class State { Idle, Payload, Checksum };
    void finish();

    size_t maxPayload_;
    State state_ = State::Idle;
    std::string raw_;
    std::string checksum_;
    bool overlong_ = false;
    std::deque<Event> events_;
};

// Two lowercase hex digits per byte.
std::string ToHex(std::span<const uint8_t> bytes);
std::string ToHex(std::string_view text);
std::optional<std::vector<uint8_t>> FromHex(std::string_view hex);
// A number written in hex as GDB sends addresses and lengths: 1 to 8 digits.
std::optional<uint32_t> ParseHex32(std::string_view text);
// A register value in target (little-endian) byte order, `bytes` wide.
std::string RegisterHex(uint32_t value, size_t bytes);
std::optional<uint32_t> ParseRegisterHex(std::string_view hex, size_t bytes);

}  // namespace cm3tools::gdb
