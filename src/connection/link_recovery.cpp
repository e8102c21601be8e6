#include "connection/link_recovery.h"

#include "adapter/backend.h"
#include "connection/connection.h"
#include "dap/dap_access.h"
#include "dap/dp_registers.h"
#include "transport/swd_link.h"

namespace cm3probe::connection {

namespace {
// A holder killed mid-transfer can leave any sticky flag set; the next
// caller's first CTRL/STAT check would fail on a fault that is not its own.
// Over JTAG the flags clear when written back as ones, with the power-up
// requests kept.
constexpr uint32_t kLeftBehind = dp::ctrlstat::kCSysPwrUpReq | dp::ctrlstat::kCDbgPwrUpReq |
                                 dp::ctrlstat::kStickyErr | dp::ctrlstat::kStickyCmp | dp::ctrlstat::kStickyOrun;
}  // namespace

void RecoverLinkAfterDeadHolder() {
    const adapter::Backend& backend = adapter::ActiveBackend();
    if (g_connection.swdMode != 0) {
        if (g_connection.usbHandle != nullptr && backend.usb != nullptr) {
            (void)SwdResynchronise(g_connection.usbHandle, g_connection.swdDivisor);
            ClearStickyError(kLeftBehind | dp::ctrlstat::kWDataErr);
        }
    } else if (g_connection.jtagHandle != nullptr && backend.jtag != nullptr) {
        // Initialising the engine resets its MPSSE state and walks the TAP to
        // Test-Logic-Reset, then Run-Test/Idle.
        (void)backend.jtag->initialise(g_connection.jtagHandle, g_connection.jtagDivisor);
        ClearStickyError(kLeftBehind);
    }
}

}  // namespace cm3probe::connection
