// Transport-independent access to the DP registers and to the registers of
// AP 0, sticky-error detection and clearing. Each register operation takes
// AdapterLock itself (recursively: its callers hold it already).
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

// One DPACC/APACC request scan (a write, or a read request) with the
// instruction already loaded. It captures its own acknowledge: a JTAG-DP that
// answers WAIT ignores the request, and a request lost that way must not pass
// for done.
[[nodiscard]] WireStatus JtagRequestChecked(uint32_t value, uint8_t reg, uint8_t rnw);
// The acknowledge of a queued write-read's capture.
[[nodiscard]] WireStatus JtagCaptureStatus(const uint8_t* capture5);

// Sticky flags that fail a transfer: a bus error, an overrun (a WAIT or FAULT
// while overrun detection is on) and a write-data parity error.
uint32_t StickyFlags(uint32_t ctrlStat);
// Clears every sticky flag set in `ctrlStat` (JTAG: write them back as ones;
// SWD: ABORT with the matching clear bits).
void ClearStickyError(uint32_t ctrlStat);

// Ends an AP transaction stalled behind a WAIT (DAPABORT), and over SWD
// clears every sticky flag with it.
void AbortApTransaction();

// The check after a transfer, on a CTRL/STAT value the caller obtained:
// DBG_ERROR when that read failed, DBG_STICKY_ERROR (flags cleared) when a
// sticky flag is set, else DBG_OK.
DebugResult CheckSticky(WireStatus readStatus, uint32_t ctrlStat);
// Reads CTRL/STAT and checks it.
DebugResult ReadAndCheckSticky();

// An SWD read that got no answer may have left the port locked out or out of
// frame: line reset and IDCODE read before the next transaction.
bool SwdReadNeedsRecovery(WireStatus status);
void RecoverSwdLink();
// One SWD read on the connection's link, recovering it when nobody answered.
[[nodiscard]] WireStatus SwdReadWithRecovery(uint8_t reg, uint8_t apSelect, uint32_t* outValue);

}  // namespace cm3probe
