// Run-time fault injection: one fault armed at a chosen point from now, while
// the probe runs, so one process can sweep many cases on one live probe. Every
// knob is the live configuration's or the debug port's; nothing outside the
// simulator changes.
#pragma once

#include <cstdint>

#include "config.h"
#include "target/cortex_m3_target.h"
#include "virtual_probe.h"

namespace cm3sim {

enum class InjectedFault {
    DriverFail,   // a driver call of one operation fails
    DriverShort,  // a write or read moves half its bytes
    ApWait,       // AP transactions answer WAIT
    ApFault,      // AP transactions end in an error response (STICKYERR)
    BusError,     // one AHB transfer answers with an error
};

struct FaultPoint {
    InjectedFault kind = InjectedFault::DriverFail;
    DriverOp op = DriverOp::Write;  // DriverFail, DriverShort
    uint32_t after = 0;  // calls of `op`, or AHB transfers, let through first
    uint32_t count = 1;  // ApWait, ApFault: how many transactions in a row
};

// Arms `fault` from now; replaces any fault still armed.
void ArmFault(VirtualProbe& probe, CortexM3Target& target, const FaultPoint& fault);
// How many injections the armed fault still holds: a failure or a bus error
// counts one, a run of WAITs or FAULTs one per transaction. It drops when the
// fault fires; an abort of the stalled transaction ends a run of WAITs at once.
uint64_t FaultsPending(VirtualProbe& probe, const CortexM3Target& target);
void DisarmFaults(VirtualProbe& probe);

}  // namespace cm3sim
