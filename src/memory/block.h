// Shared by the block transfers: CSW for a word stream with auto-increment,
// and the 4 KB page that TAR's increment wraps within.
#pragma once

#include <cstdint>

#include "dap/ap_registers.h"

namespace cm3probe::block {

inline constexpr uint32_t kMaxBytes = 4096;
inline constexpr uint32_t kCswWordStream = ap::csw::kBase | ap::csw::kAddrIncSingle | 0x2;  // word size
inline constexpr uint32_t kPageMask = 0xFFF;
inline constexpr uint32_t kWordBytes = 4;
static_assert(kCswWordStream == 0x23000012);

constexpr bool StartsPage(uint32_t address) { return (address & kPageMask) == 0; }

inline uint32_t LoadWord(const uint8_t* bytes) {
    return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
           static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

inline void StoreWord(uint8_t* bytes, uint32_t word) {
    for (uint32_t i = 0; i < kWordBytes; ++i) bytes[i] = static_cast<uint8_t>(word >> (8 * i));
}

}  // namespace cm3probe::block
