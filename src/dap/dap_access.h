// DP and AP register access, sticky-error detection and clearing, on the
// connection's port (dap/port.h). Each operation takes AdapterLock itself
// (recursively: its callers hold it already).
#pragma once

#include <cstdint>

#include "cm3probe.h"
#include "transport/wire_status.h"

namespace cm3probe {

// Anything but Ok: the value was not read, or the write was not performed.
[[nodiscard]] WireStatus WriteDpRegister(uint8_t reg, uint32_t value);
[[nodiscard]] WireStatus ReadDpRegister(uint8_t reg, uint32_t* outValue);
[[nodiscard]] WireStatus ReadApRegister(uint8_t reg, uint32_t* outValue);
[[nodiscard]] WireStatus WriteApRegister(uint8_t reg, uint32_t value);

// Sticky flags that fail a transfer: a bus error, an overrun (a WAIT or FAULT
// while overrun detection is on) and a write-data parity error.
uint32_t StickyFlags(uint32_t ctrlStat);
// Clears every sticky flag set in `ctrlStat` (JTAG: write them back as ones;
// SWD: ABORT with the matching clear bits).
void ClearStickyError(uint32_t ctrlStat);

// Clears whatever a cut transfer or a dead lock holder may have left sticky,
// without reading CTRL/STAT first.
void ClearStickyLeftBehind();

// Ends an AP transaction stalled behind a WAIT (DAPABORT), and over SWD
// clears every sticky flag with it.
void AbortApTransaction();

// The check after a transfer, on a CTRL/STAT value the caller obtained:
// DBG_ERROR when that read failed, DBG_STICKY_ERROR (flags cleared) when a
// sticky flag is set, else DBG_OK.
DebugResult CheckSticky(WireStatus readStatus, uint32_t ctrlStat);
// Reads CTRL/STAT and checks it.
DebugResult ReadAndCheckSticky();

}  // namespace cm3probe
