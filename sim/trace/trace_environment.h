// Wire observation asked for through the environment, attached to each new
// global probe (GlobalProbe, ResetGlobalProbe):
//   CM3PROBE_SIM_TRACE=FILE.vcd   the wire as a VCD file (trace/vcd_trace.h)
//   CM3PROBE_SIM_LOG=1            decoded transactions on stderr (trace/transaction_log.h)
#pragma once

namespace cm3sim {

inline constexpr const char* kTraceVariable = "CM3PROBE_SIM_TRACE";
inline constexpr const char* kLogVariable = "CM3PROBE_SIM_LOG";

class VirtualProbe;

// A trace file that cannot be created is reported on stderr and skipped.
void AttachObserversFromEnvironment(VirtualProbe& probe);

}  // namespace cm3sim
