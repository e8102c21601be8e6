// Images to put on the target: ELF files (read with libelf: PT_LOAD segments
// at their physical addresses, so initialised data lands at its load address)
// or raw binaries at an address the caller gives.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace cm3tools {

struct Segment {
    uint32_t address = 0;
    std::vector<uint8_t> bytes;
};

struct Image {
    bool elf = false;
    std::vector<Segment> segments;  // in file order, empty ones left out
    std::optional<uint32_t> entry;  // ELF entry point
    uint64_t size() const;          // bytes over all segments
};

struct ImageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// True when libelf recognises the file as ELF. Throws ImageError when the
// file cannot be read.
bool IsElfFile(const std::string& path);

// An ELF file (`rawAddress` must be empty: ELF carries its addresses) or a
// raw binary at *rawAddress (required). Throws ImageError on unreadable or
// malformed input, a 64-bit or non-ARM ELF, or a segment past 4 GB.
Image LoadImage(const std::string& path, std::optional<uint32_t> rawAddress);

// The value of symbol `name` in an ELF file's symbol table (for a function,
// its address with the Thumb bit as the linker left it).
std::optional<uint32_t> FindSymbol(const std::string& path, std::string_view name);

// The whole file. Throws ImageError.
std::vector<uint8_t> ReadFile(const std::string& path);

}  // namespace cm3tools
