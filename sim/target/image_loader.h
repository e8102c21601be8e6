// Reading program images: raw binaries and ELF files (through libelf).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace cm3sim {

struct ImageSegment {
    uint32_t address = 0;
    std::vector<uint8_t> bytes;
};

bool IsElfFile(const std::string& path);
// The whole file, to be placed at `address`.
ImageSegment ReadRawImage(const std::string& path, uint32_t address);
// Each PT_LOAD segment's file bytes at its physical (load) address, and the
// zeros that fill it up to its memory size at its virtual (run) address.
// Throws std::runtime_error for files that are not 32-bit ARM ELF.
std::vector<ImageSegment> ReadElfImage(const std::string& path);

}  // namespace cm3sim
