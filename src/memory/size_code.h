#pragma once

#include <cstdint>

namespace cm3probe::size_code {
inline constexpr uint32_t kByte = 0;
inline constexpr uint32_t kHalfword = 1;
inline constexpr uint32_t kWord = 2;
}  // namespace cm3probe::size_code
