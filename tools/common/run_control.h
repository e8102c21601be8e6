// Running and stepping the core by DHCSR writes through DebugWriteMem, for
// tools that know the core is halted: no settling pause, and the state read
// right after keeps the library's cached halted flag true to the core.
#pragma once

#include <cstdint>

#include "cm3probe.h"

namespace cm3tools::run_control {

// Writes DHCSR with the key, C_DEBUGEN and `bits` (C_STEP, C_MASKINTS,
// C_SNAPSTALL as wanted; C_HALT clear), then reads the state into *state.
// The write's failure, else the read's.
DebugResult Release(uint32_t bits, uint32_t* state);

bool HaltedOrLockedUp(uint32_t state);

// Reads the state until it shows S_HALT or S_LOCKUP, at most `polls` times;
// the last state read in *state. DBG_OK, or the first read that failed.
DebugResult AwaitHaltOrLockup(uint64_t polls, uint32_t* state);

}  // namespace cm3tools::run_control
