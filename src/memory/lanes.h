// Byte lanes of the AHB-AP's 32-bit DRW for narrow accesses, and the CSW
// value of a single access.
#pragma once

#include <cstdint>

#include "dap/ap_registers.h"
#include "memory/size_code.h"

namespace cm3probe::lanes {

inline constexpr uint32_t kByteMask = 0xFF;
inline constexpr uint32_t kHalfwordMask = 0xFFFF;
inline constexpr uint32_t kByteLaneBits = 0x3;
inline constexpr uint32_t kHalfwordLaneBits = 0x2;

// Bit offset of the lane the low address bits select.
constexpr uint32_t Shift(uint32_t address, uint32_t size) {
    if (size == size_code::kByte) return 8 * (address & kByteLaneBits);
    if (size == size_code::kHalfword) return 8 * (address & kHalfwordLaneBits);
    return 0;
}

constexpr uint32_t Mask(uint32_t size) {
    if (size == size_code::kByte) return kByteMask;
    if (size == size_code::kHalfword) return kHalfwordMask;
    return 0xFFFFFFFF;
}

constexpr uint32_t ToDrw(uint32_t address, uint32_t value, uint32_t size) {
    return (value & Mask(size)) << Shift(address, size);
}

constexpr uint32_t FromDrw(uint32_t address, uint32_t drw, uint32_t size) {
    return (drw >> Shift(address, size)) & Mask(size);
}

// Any code above a word is a word: it must never reach CSW's other fields.
constexpr uint32_t Csw(uint32_t size) { return ap::csw::kBase | (size > size_code::kWord ? size_code::kWord : size); }

static_assert(ToDrw(0x20000001, 0xAB, size_code::kByte) == 0x0000AB00);
static_assert(ToDrw(0x20000003, 0x1234, size_code::kHalfword) == 0x12340000);
static_assert(ToDrw(0x20000000, 0x12345678, size_code::kByte) == 0x78);
static_assert(FromDrw(0x20000003, 0x11223344, size_code::kByte) == 0x11);
static_assert(FromDrw(0x20000002, 0x11223344, size_code::kHalfword) == 0x1122);
static_assert(Csw(7) == 0x23000002);

}  // namespace cm3probe::lanes
