// What only the shared object is built with: it links no simulator, so
// CM3PROBE_DRIVER=sim loads the simulator module.
#include "adapter/sim_module.h"

namespace cm3probe::adapter {

SimModuleEntry LinkedSimModule() { return nullptr; }

}  // namespace cm3probe::adapter
