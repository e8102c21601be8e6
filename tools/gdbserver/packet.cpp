#include "packet.h"

#include <charconv>

namespace cm3tools::gdb {
namespace {

inline constexpr char kHexDigits[] = "0123456789abcdef";
inline constexpr uint32_t kNibbleBits = 4;
inline constexpr uint32_t kNibbleMask = 0xF;
inline constexpr uint32_t kByteBits = 8;
inline constexpr uint32_t kByteMask = 0xFF;
inline constexpr size_t kMaxHex32Digits = 8;
inline constexpr int kHexBase = 16;
inline constexpr size_t kHexDigitsPerByte = 2;
inline constexpr size_t kFraming = sizeof(rsp::kStart) + sizeof(rsp::kEnd) + rsp::kChecksumDigits;

bool NeedsEscape(char c) {
    return c == rsp::kStart || c == rsp::kEnd || c == rsp::kEscape || c == rsp::kRunLength;
}

std::optional<uint8_t> HexValue(char c) {
    uint8_t value = 0;
    const auto [end, error] = std::from_chars(&c, &c + 1, value, kHexBase);
    if (error != std::errc{} || end != &c + 1) return std::nullopt;
    return value;
}

void AppendHexByte(std::string& out, uint8_t byte) {
    out.push_back(kHexDigits[byte >> kNibbleBits]);
    out.push_back(kHexDigits[byte & kNibbleMask]);
}

}  // namespace

uint8_t Checksum(std::string_view framed) {
    uint32_t sum = 0;
    for (char c : framed) sum += static_cast<uint8_t>(c);
    return static_cast<uint8_t>(sum & kByteMask);
}

std::string Escape(std::string_view payload) {
    std::string out;
    out.reserve(payload.size());
    for (char c : payload) {
        if (NeedsEscape(c)) {
            out.push_back(rsp::kEscape);
            out.push_back(static_cast<char>(static_cast<uint8_t>(c) ^ rsp::kEscapeXor));
        } else {
            out.push_back(c);
        }
    }
    return out;
}

std::string Unescape(std::string_view escaped) {
    std::string out;
    out.reserve(escaped.size());
    for (size_t i = 0; i < escaped.size(); ++i) {
        if (escaped[i] == rsp::kEscape && i + 1 < escaped.size()) {
            out.push_back(static_cast<char>(static_cast<uint8_t>(escaped[++i]) ^ rsp::kEscapeXor));
        } else {
            out.push_back(escaped[i]);
        }
    }
    return out;
}

std::string Frame(std::string_view payload) {
    const std::string body = Escape(payload);
    std::string out;
    out.reserve(body.size() + kFraming);
    out.push_back(rsp::kStart);
    out += body;
    out.push_back(rsp::kEnd);
    AppendHexByte(out, Checksum(body));
    return out;
}

void PacketReader::feed(std::string_view bytes) {
    for (char c : bytes) {
        switch (state_) {
        case State::Idle:
            if (c == rsp::kStart) {
                state_ = State::Payload;
                raw_.clear();
                overlong_ = false;
            } else if (c == rsp::kInterrupt) {
                events_.push_back({Event::Kind::Interrupt, {}});
            } else if (c == rsp::kAck) {
                events_.push_back({Event::Kind::Ack, {}});
            } else if (c == rsp::kNack) {
                events_.push_back({Event::Kind::Nack, {}});
            }
            break;
        case State::Payload:
            if (c == rsp::kEnd) {
                state_ = State::Checksum;
                checksum_.clear();
            } else if (c == rsp::kStart) {
                // A new packet before the end: the client gave up on the old one.
                raw_.clear();
                overlong_ = false;
            } else if (raw_.size() < maxPayload_) {
                raw_.push_back(c);
            } else {
                overlong_ = true;
            }
            break;
        case State::Checksum:
            checksum_.push_back(c);
            if (checksum_.size() == rsp::kChecksumDigits) finish();
            break;
        }
    }
}

void PacketReader::finish() {
    state_ = State::Idle;
    if (overlong_) {
        events_.push_back({Event::Kind::Overlong, {}});
        return;
    }
    const auto high = HexValue(checksum_[0]);
    const auto low = HexValue(checksum_[1]);
    const bool good = high && low && ((*high << kNibbleBits) | *low) == Checksum(raw_);
    if (!good) {
        events_.push_back({Event::Kind::BadChecksum, {}});
        return;
    }
    events_.push_back({Event::Kind::Packet, Unescape(raw_)});
}

std::optional<Event> PacketReader::next() {
    if (events_.empty()) return std::nullopt;
    Event event = std::move(events_.front());
    events_.pop_front();
    return event;
}

std::string ToHex(std::span<const uint8_t> bytes) {
    std::string out;
    out.reserve(bytes.size() * kHexDigitsPerByte);
    for (uint8_t b : bytes) AppendHexByte(out, b);
    return out;
}

std::string ToHex(std::string_view text) {
    std::string out;
    out.reserve(text.size() * kHexDigitsPerByte);
    for (char c : text) AppendHexByte(out, static_cast<uint8_t>(c));
    return out;
}

std::optional<std::vector<uint8_t>> FromHex(std::string_view hex) {
    if (hex.size() % kHexDigitsPerByte != 0) return std::nullopt;
    std::vector<uint8_t> out;
    out.reserve(hex.size() / kHexDigitsPerByte);
    for (size_t i = 0; i < hex.size(); i += kHexDigitsPerByte) {
        const auto high = HexValue(hex[i]);
        const auto low = HexValue(hex[i + 1]);
        if (!high || !low) return std::nullopt;
        out.push_back(static_cast<uint8_t>((*high << kNibbleBits) | *low));
    }
    return out;
}

std::optional<uint32_t> ParseHex32(std::string_view text) {
    if (text.empty() || text.size() > kMaxHex32Digits) return std::nullopt;
    uint32_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, kHexBase);
    if (error != std::errc{} || end != text.data() + text.size()) return std::nullopt;
    return value;
}

std::string RegisterHex(uint32_t value, size_t bytes) {
    std::string out;
    for (size_t i = 0; i < bytes; ++i) AppendHexByte(out, static_cast<uint8_t>((value >> (kByteBits * i)) & kByteMask));
    return out;
}

std::optional<uint32_t> ParseRegisterHex(std::string_view hex, size_t bytes) {
    if (hex.size() != bytes * kHexDigitsPerByte) return std::nullopt;
    const auto raw = FromHex(hex);
    if (!raw) return std::nullopt;
    uint32_t value = 0;
    for (size_t i = 0; i < bytes; ++i) value |= static_cast<uint32_t>((*raw)[i]) << (kByteBits * i);
    return value;
}

}  // namespace cm3tools::gdb
