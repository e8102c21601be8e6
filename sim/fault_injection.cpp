#include "fault_injection.h"

namespace cm3sim {

void ArmFault(VirtualProbe& probe, CortexM3Target& target, const FaultPoint& fault) {
    DisarmFaults(probe);
    switch (fault.kind) {
    case InjectedFault::DriverFail:
    case InjectedFault::DriverShort:
        probe.config().driverFaults = {{fault.op, false, fault.after, fault.kind == InjectedFault::DriverShort}};
        return;
    case InjectedFault::ApWait:
        probe.config().waitNextApTransactions = fault.count;
        return;
    case InjectedFault::ApFault:
        probe.dpState().failNextApTransactions(fault.count);
        return;
    case InjectedFault::BusError:
        target.armBusError(fault.after);
        return;
    }
}

uint64_t FaultsPending(VirtualProbe& probe, const CortexM3Target& target) {
    return probe.config().driverFaults.size() + probe.config().waitNextApTransactions +
           probe.dpState().pendingApFailures() + (target.busErrorArmed() ? 1 : 0);
}

void DisarmFaults(VirtualProbe& probe) {
    probe.config().driverFaults.clear();
    probe.config().waitNextApTransactions = 0;
    probe.config().stickyErrorAtAhbAccess.reset();
    probe.dpState().failNextApTransactions(0);
}

}  // namespace cm3sim
