#pragma once

namespace cm3probe::connection {

// A lock holder died, perhaps in the middle of a command stream: purge the
// adapter and bring this process's link back to a known state before any new
// traffic (SWD: line reset and IDCODE read; JTAG: TAP to Run-Test/Idle).
void RecoverLinkAfterDeadHolder();

}  // namespace cm3probe::connection
