// The target the simulator puts behind its debug port.
#pragma once

#include <memory>

#include "config.h"
#include "dp/access_port_bus.h"

namespace cm3sim {

// A Cortex-M3 target reading its knobs from `liveConfig`, which must outlive it.
std::unique_ptr<TargetSystem> MakeTarget(SimConfig& liveConfig);

}  // namespace cm3sim
