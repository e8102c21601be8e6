// The simulator's one export as a module (libcm3probe_sim.so): the USB driver
// CM3PROBE_DRIVER=sim gets.
#include <cstdlib>

#include "adapter/sim_module.h"
#include "usb/sim_socket_driver.h"
#include "usb/sim_usb_driver.h"

extern "C" [[gnu::visibility("default")]] cm3probe::adapter::SimModuleAnswer cm3probe_sim_module_v1() {
    const char* socket = std::getenv(cm3sim::kSimSocketEnvironmentVariable);
    const bool served = socket != nullptr && *socket != '\0';
    return {cm3probe::adapter::kSimModuleAbi, served ? &cm3sim::SimSocketUsbDriver() : &cm3sim::SimUsbDriver()};
}
