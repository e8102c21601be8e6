// Flash patch and breakpoint unit (ARMv7-M FPB).
#pragma once

#include <cstdint>

namespace cm3probe {

namespace fp_ctrl {
inline constexpr uint32_t kAddress = 0xE0002000;
inline constexpr uint32_t kEnable = 1u << 0;
inline constexpr uint32_t kKey = 1u << 1;  // must be set for a write to take effect
}  // namespace fp_ctrl

namespace fp_comp {
inline constexpr uint32_t kAddress0 = 0xE0002008;
inline constexpr uint32_t kEnable = 1u << 0;
inline constexpr uint32_t kCompareMask = 0x1FFFFFFC;  // bits 28:2
inline constexpr uint32_t kReplaceLower = 1u << 30;  // breakpoint on the lower halfword
inline constexpr uint32_t kReplaceUpper = 2u << 30;  // breakpoint on the upper halfword
}  // namespace fp_comp

}  // namespace cm3probe
