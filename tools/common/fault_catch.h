// Running firmware so that a fault halts the core where it happened: the
// vector catches armed in DEMCR. Resets rewrite DEMCR, so every start arms
// them again before the core runs.
#pragma once

#include <cstdint>

#include "cm3probe.h"
#include "target_registers.h"

namespace cm3tools {

// Every fault vector catch, and a reset the firmware asks for.
inline constexpr uint32_t kFaultCatches = demcr::kTrcEna | demcr::kVcHardErr | demcr::kVcIntErr | demcr::kVcBusErr |
                                          demcr::kVcStatErr | demcr::kVcChkErr | demcr::kVcNoCpErr |
                                          demcr::kVcMmErr | demcr::kVcCoreReset;

// The word accesses the resume needs; the library's exports or a test's fake.
struct WordAccess {
    DebugResult (*read)(void* context, uint32_t address, uint32_t* value);
    DebugResult (*write)(void* context, uint32_t address, uint32_t value);
    void* context;
};
WordAccess LibraryWords();

// Arms the catches, lets the halted core run (DHCSR with the key, without
// C_HALT or C_STEP), then reads DHCSR into `dhcsr`. No moment runs unarmed.
// Inline: the GDB session is also built without the library (fuzzing).
[[nodiscard]] inline DebugResult ResumeWithFaultCatch(const WordAccess& words, uint32_t* dhcsr) {
    DebugResult result = words.write(words.context, demcr::kAddress, kFaultCatches);
    // Clear the reasons of the last halt so the next one reads alone.
    if (result == DBG_OK) result = words.write(words.context, dfsr::kAddress, dfsr::kAll);
    if (result == DBG_OK) result = words.write(words.context, dhcsr::kAddress, dhcsr::kDebugKey | dhcsr::kCDebugEn);
    if (result == DBG_OK) result = words.read(words.context, dhcsr::kAddress, dhcsr);
    return result;
}

// True when a halt with this DFSR is a caught fault or reset.
inline bool CaughtFault(uint32_t dfsr) { return (dfsr & dfsr::kVCatch) != 0; }

}  // namespace cm3tools
