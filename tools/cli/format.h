// How the command line prints target data.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace cm3tools::cli {

// "0x2000ABCD"
std::string Hex32(uint32_t value);

// Sixteen bytes a line: address, bytes, and the printable ones:
// "0x20000000  48 65 6c 6c 6f 00 00 00  00 00 00 00 00 00 00 00  |Hello...........|"
std::string HexDump(uint32_t address, std::span<const uint8_t> bytes);
// Four little-endian words a line: "0x20000000  6c6c6548 0000006f ..."; a
// trailing partial word is shown byte by byte.
std::string WordDump(uint32_t address, std::span<const uint8_t> bytes);

}  // namespace cm3tools::cli
