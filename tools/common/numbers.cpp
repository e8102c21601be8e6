#include "numbers.h"

#include <charconv>
#include <limits>

namespace cm3tools {
namespace {

inline constexpr int kDecimal = 10;
inline constexpr int kHex = 16;
inline constexpr int kBinary = 2;
inline constexpr uint64_t kKilo = 1000;
inline constexpr uint64_t kMega = 1000 * kKilo;

std::optional<uint64_t> ParseU64(std::string_view text) {
    int base = kDecimal;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = kHex;
        text.remove_prefix(2);
    } else if (text.size() > 2 && text[0] == '0' && (text[1] == 'b' || text[1] == 'B')) {
        base = kBinary;
        text.remove_prefix(2);
    }
    if (text.empty()) return std::nullopt;
    uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (error != std::errc{} || end != text.data() + text.size()) return std::nullopt;
    return value;
}

}  // namespace

std::optional<uint32_t> ParseU32(std::string_view text) {
    const auto value = ParseU64(text);
    if (!value || *value > std::numeric_limits<uint32_t>::max()) return std::nullopt;
    return static_cast<uint32_t>(*value);
}

std::optional<uint32_t> ParseFrequency(std::string_view text) {
    uint64_t scale = 1;
    if (!text.empty()) {
        const char last = text.back();
        if (last == 'k' || last == 'K') scale = kKilo;
        if (last == 'M') scale = kMega;
        if (scale != 1) text.remove_suffix(1);
    }
    const auto value = ParseU64(text);
    if (!value || *value > std::numeric_limits<uint32_t>::max() / scale) return std::nullopt;
    return static_cast<uint32_t>(*value * scale);
}

}  // namespace cm3tools
