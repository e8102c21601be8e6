#include "transfer.h"

#include <algorithm>
#include <cstdio>
#include <string>

#include "cm3probe.h"
#include "results.h"

namespace cm3tools {
namespace {

inline constexpr uint64_t kAddressSpace = uint64_t{1} << 32;

uint32_t BlockLength(uint32_t address, size_t remaining) {
    const uint32_t toBoundary = kBlockSize - (address % kBlockSize);
    return static_cast<uint32_t>(std::min<size_t>(toBoundary, remaining));
}

std::string At(const char* call, uint32_t address, uint32_t length) {
    char text[64];
    std::snprintf(text, sizeof text, "%s (%u bytes at 0x%08X)", call, length, address);
    return text;
}

}  // namespace

bool FitsAddressSpace(uint32_t address, uint64_t length) { return address + length <= kAddressSpace; }

void ReadMemory(uint32_t address, std::span<uint8_t> out, const Progress& progress) {
    size_t done = 0;
    while (done < out.size()) {
        const uint32_t at = address + static_cast<uint32_t>(done);
        const uint32_t length = BlockLength(at, out.size() - done);
        Check(DebugReadBlock(at, out.data() + done, length), At("DebugReadBlock", at, length));
        done += length;
        if (progress) progress(done, out.size());
    }
}

void WriteMemory(uint32_t address, std::span<const uint8_t> data, const Progress& progress) {
    size_t done = 0;
    while (done < data.size()) {
        const uint32_t at = address + static_cast<uint32_t>(done);
        const uint32_t length = BlockLength(at, data.size() - done);
        Check(DebugWriteBlock(at, data.data() + done, length), At("DebugWriteBlock", at, length));
        done += length;
        if (progress) progress(done, data.size());
    }
}

}  // namespace cm3tools
