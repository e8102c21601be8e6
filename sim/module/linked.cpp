// What the static archive is built with: the simulator linked in, so tests
// drive (and inspect) the very copy the library talks to.
#include "adapter/sim_module.h"

namespace cm3probe::adapter {

SimModuleEntry LinkedSimModule() { return &cm3probe_sim_module_v1; }

}  // namespace cm3probe::adapter
