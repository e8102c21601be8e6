// Numbers as people type them on the command line.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace cm3tools {

// Decimal, 0x hex or 0b binary, no sign, no trailing text, at most 0xFFFFFFFF.
std::optional<uint32_t> ParseU32(std::string_view text);
// A frequency in Hz with an optional k/K or M suffix ("1M", "400k", "1500000").
std::optional<uint32_t> ParseFrequency(std::string_view text);

}  // namespace cm3tools
