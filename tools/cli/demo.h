// `cm3probe demo`: a narrated debug session on the simulated target.
#pragma once

#include <ostream>
#include <string>

#include "common/session.h"

namespace cm3tools::cli {

// The example firmware built with this tree, or empty when it was not built.
std::string DefaultDemoFirmware();

// Opens the simulator (forced), flashes `firmware` when it exists, runs to
// its `tick` function, shows registers and memory, steps, resets.
int RunDemo(GlobalOptions options, const std::string& firmware, std::ostream& out, std::ostream& err);

}  // namespace cm3tools::cli
