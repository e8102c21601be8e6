#include "adapter/backend.h"

#include <cstdlib>
#include <cstring>

#include "adapter/ftdi_driver.h"
#include "adapter/held_writes.h"
#include "adapter/mpsse_jtag_engine.h"
#include "adapter/sim_module.h"

namespace cm3probe::adapter {
namespace {

Backend g_active{};
Backend g_installed{};

// The simulator's driver for this environment, from the linked copy or the
// module; null when neither answers with this ABI.
const UsbDriver* SimDriver() {
    SimModuleEntry entry = LinkedSimModule();
    if (entry == nullptr) entry = LoadSimModule(reinterpret_cast<const void*>(&SelectBackend), nullptr);
    if (entry == nullptr) return nullptr;
    const SimModuleAnswer answer = entry();
    return answer.abi == kSimModuleAbi ? answer.driver : nullptr;
}

}  // namespace

bool SelectBackend() {
    if (g_installed.usb != nullptr) {
        g_active = g_installed;
        return true;
    }
    const char* choice = std::getenv(kDriverEnvironmentVariable);
    if (choice == nullptr || *choice == '\0' || std::strcmp(choice, kDriverFtdi) == 0) {
        g_active = Backend{WithHeldWrites(&FtdiUsbDriver()), &MpsseJtagEngine()};
        return true;
    }
    if (std::strcmp(choice, kDriverSim) == 0) {
        const UsbDriver* sim = SimDriver();
        if (sim == nullptr) return false;
        g_active = Backend{WithHeldWrites(sim), &MpsseJtagEngine()};
        return true;
    }
    return false;
}

const Backend& ActiveBackend() { return g_active; }

void InstallBackendForTesting(const UsbDriver* usb, const JtagEngine* jtag) {
    g_installed = Backend{usb, jtag};
    g_active = g_installed;
}

}  // namespace cm3probe::adapter
