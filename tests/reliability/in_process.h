// The library on the in-process simulator, through a driver that counts the
// calls of each operation, for tests that need a fresh target per case.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "config.h"
#include "target/cortex_m3_target.h"

namespace cm3rel {

inline constexpr size_t kDriverOps = 8;

// Calls per driver operation, indexed by cm3sim::DriverOp, while counting.
struct DriverCallCounts {
    std::array<uint32_t, kDriverOps> calls{};
};

// A vector table and a branch-to-self at the reset vector, then a power-on
// reset: the core runs, steps and leaves reset as with real firmware.
void LoadBranchToSelf();

// A freshly powered target from `config` (with the register-level core), a zero connection using the named
// lock, the counting driver and our JTAG engine, and no real sleeps.
void FreshInProcess(const cm3sim::SimConfig& config, const std::string& lockName);
// Back to a fault-free configuration, then DebugClose until nothing is open.
// False when a handle stayed open.
bool CloseInProcess();
void StartCounting();
DriverCallCounts StopCounting();

cm3sim::SimConfig& LiveConfig();
cm3sim::CortexM3Target& Target();

}  // namespace cm3rel
