// The process's one virtual USB device and what inspects it. Everything here
// runs under BenchMutex(): the USB calls, the inspection hooks and the report.
#pragma once

#include <mutex>
#include <string>

#include "config.h"
#include "vusb/virtual_ft2232.h"

namespace cm3sim::vusb {

std::mutex& BenchMutex();
// Built on first use; throws when the simulator's configuration cannot be loaded.
VirtualFt2232& Device();
// A freshly powered bench from `config`; the USB side forgets the old one.
void ReplaceBench(const SimConfig& config);
// The bench's state as JSON (sim/README.md, "The virtual FT2232 on USB").
std::string Report();
// Writes Report() to the file CM3PROBE_VUSB_REPORT names, if it names one.
void WriteReportIfAsked();

}  // namespace cm3sim::vusb
