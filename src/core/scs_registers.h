// Cortex-M3 system control space registers the library drives (ARMv7-M).
#pragma once

#include <cstdint>

namespace cm3probe {

namespace dhcsr {
inline constexpr uint32_t kAddress = 0xE000EDF0;
inline constexpr uint32_t kDebugKey = 0xA05F0000;  // bits 31:16 of every write
inline constexpr uint32_t kCDebugEn = 1u << 0;
inline constexpr uint32_t kCHalt = 1u << 1;
inline constexpr uint32_t kCStep = 1u << 2;
inline constexpr uint32_t kCMaskInts = 1u << 3;
inline constexpr uint32_t kReserved4 = 1u << 4;
inline constexpr uint32_t kCSnapStall = 1u << 5;
inline constexpr uint32_t kSRegRdy = 1u << 16;
inline constexpr uint32_t kSHalt = 1u << 17;
inline constexpr uint32_t kSSleep = 1u << 18;
inline constexpr uint32_t kSLockup = 1u << 19;
inline constexpr uint32_t kSRetireSt = 1u << 24;
inline constexpr uint32_t kSResetSt = 1u << 25;
}  // namespace dhcsr

namespace dcrsr {
inline constexpr uint32_t kAddress = 0xE000EDF4;
inline constexpr uint32_t kRegWnR = 1u << 16;
inline constexpr uint32_t kRegSelMask = 0x7F;
}  // namespace dcrsr

namespace dcrdr {
inline constexpr uint32_t kAddress = 0xE000EDF8;
}  // namespace dcrdr

namespace demcr {
inline constexpr uint32_t kAddress = 0xE000EDFC;
inline constexpr uint32_t kVcCoreReset = 1u << 0;
inline constexpr uint32_t kTrcEna = 1u << 24;
}  // namespace demcr

namespace aircr {
inline constexpr uint32_t kAddress = 0xE000ED0C;
inline constexpr uint32_t kVectKey = 0x05FA0000;  // bits 31:16 of every write
inline constexpr uint32_t kVectReset = 1u << 0;
inline constexpr uint32_t kSysResetReq = 1u << 2;
}  // namespace aircr

}  // namespace cm3probe
