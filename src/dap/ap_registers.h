// AHB-AP (AP 0) registers: bits 7..4 of the number are the bank written to
// SELECT, bits 3..2 the register within it.
#pragma once

#include <cstdint>

namespace cm3probe::ap {

inline constexpr uint8_t kCsw = 0x00;
inline constexpr uint8_t kTar = 0x04;
inline constexpr uint8_t kDrw = 0x0C;
inline constexpr uint8_t kBase = 0xF8;
inline constexpr uint8_t kIdr = 0xFC;
inline constexpr uint8_t kBankMask = 0xF0;
inline constexpr uint8_t kRegisterMask = 0x0F;

namespace csw {
// Fixed access attributes (bits 29, 25, 24) with no address increment.
inline constexpr uint32_t kBase = 0x23000000;
inline constexpr uint32_t kSizeMask = 0x7;
inline constexpr uint32_t kAddrIncSingle = 1u << 4;
}  // namespace csw

}  // namespace cm3probe::ap
