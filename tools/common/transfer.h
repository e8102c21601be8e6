// Memory transfers of any length over the library's block calls, which take
// at most 4 KB: blocks end on 4 KB boundaries so each stays inside one
// auto-increment window.
#pragma once

#include <cstdint>
#include <functional>
#include <span>

namespace cm3tools {

inline constexpr uint32_t kBlockSize = 4096;

// Bytes done so far and the total, after every block.
using Progress = std::function<void(uint64_t done, uint64_t total)>;

// Throw TargetError naming the failing block's address.
void ReadMemory(uint32_t address, std::span<uint8_t> out, const Progress& progress = {});
void WriteMemory(uint32_t address, std::span<const uint8_t> data, const Progress& progress = {});

// True when [address, address + length) stays inside the 32-bit address space.
bool FitsAddressSpace(uint32_t address, uint64_t length);

}  // namespace cm3tools
