#include "connection/link_recovery.h"

#include "adapter/backend.h"
#include "connection/connection.h"
#include "transport/swd_link.h"

namespace cm3probe::connection {

void RecoverLinkAfterDeadHolder() {
    const adapter::Backend& backend = adapter::ActiveBackend();
    if (g_connection.swdMode != 0) {
        if (g_connection.usbHandle != nullptr && backend.usb != nullptr) {
            (void)SwdResynchronise(g_connection.usbHandle, g_connection.swdDivisor);
        }
    } else if (g_connection.jtagHandle != nullptr && backend.jtag != nullptr) {
        // Initialising the engine resets its MPSSE state and walks the TAP to
        // Test-Logic-Reset, then Run-Test/Idle.
        (void)backend.jtag->initialise(g_connection.jtagHandle, g_connection.jtagDivisor);
    }
}

}  // namespace cm3probe::connection
