// A simulator module built to another ABI: the library must refuse it. Its
// driver has no operations, so a library that used it would crash.
#include "adapter/sim_module.h"

extern "C" [[gnu::visibility("default")]] cm3probe::adapter::SimModuleAnswer cm3probe_sim_module_v1() {
    static const cm3probe::adapter::UsbDriver kNoOperations{};
    return {cm3probe::adapter::kSimModuleAbi + 1, &kNoOperations};
}
