#include "adapter/backend.h"

#include <cstdlib>
#include <cstring>

#include "adapter/ftdi_driver.h"
#include "adapter/mpsse_jtag_engine.h"
#include "usb/sim_socket_driver.h"
#include "usb/sim_usb_driver.h"

namespace cm3probe::adapter {
namespace {

Backend g_active{};
Backend g_installed{};

}  // namespace

bool SelectBackend() {
    if (g_installed.usb != nullptr) {
        g_active = g_installed;
        return true;
    }
    const char* choice = std::getenv(kDriverEnvironmentVariable);
    if (choice == nullptr || *choice == '\0' || std::strcmp(choice, kDriverFtdi) == 0) {
        g_active = Backend{&FtdiUsbDriver(), &MpsseJtagEngine()};
        return true;
    }
    if (std::strcmp(choice, kDriverSim) == 0) {
        const char* socket = std::getenv(cm3sim::kSimSocketEnvironmentVariable);
        const bool served = socket != nullptr && *socket != '\0';
        g_active = Backend{served ? &cm3sim::SimSocketUsbDriver() : &cm3sim::SimUsbDriver(), &MpsseJtagEngine()};
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
