// Word accesses to the core's debug registers and the bounded DHCSR poll that
// every core-control wait uses.
#pragma once

#include <cstdint>

#include "cm3probe.h"

namespace cm3probe::core {

// Every core-control wait reads DHCSR at most this often, back to back.
inline constexpr uint32_t kPollReads = 1001;

DebugResult ReadWord(uint32_t address, uint32_t* value);
DebugResult WriteWord(uint32_t address, uint32_t value);
DebugResult WriteDhcsr(uint32_t controlBits);

enum class Awaited { AnySet, Clear };

// Reads DHCSR until (value & mask) is non-zero (AnySet) or zero (Clear). A
// read that fails shows neither. False after kPollReads reads.
bool PollDhcsr(uint32_t mask, Awaited awaited);

// The DHCSR value of DebugGetCoreState, or 0 (nothing set) when it failed.
uint32_t CoreStateOrZero();
// DebugGetCoreState for its side effect only: the connection's halted flag
// follows the core after a request that changed it.
void RefreshCoreState();

// CTRL/STAT after a halt or reset request: clears and reports any sticky
// flag; a read that delivered nothing counts as no flag set.
bool StickyAfterRequest();

}  // namespace cm3probe::core
