// DebugClose: disarm the vector catches so the target runs freely once the
// probe is gone, then close the transport DebugOpen opened.
#include "adapter/backend.h"
#include "cm3probe.h"
#include "connection/connection.h"
#include "connection/export_frame.h"
#include "core/scs_registers.h"
#include "memory/size_code.h"
#include "transport/swd_link.h"

namespace cm3probe::connection {
namespace {

DebugResult Close() {
    return Locked([]() -> DebugResult {
        // Without initialisation this sends nothing.
        (void)DebugWriteMem(demcr::kAddress, demcr::kTrcEna, size_code::kWord);
        uint32_t status = 0;
        if (g_connection.swdMode == 0) {
            if (g_connection.jtagHandle != nullptr) {
                status = adapter::ActiveBackend().jtag->close(g_connection.jtagHandle);
            }
        } else if (g_connection.usbHandle != nullptr) {
            status = SwdLinkClose(g_connection.usbHandle);
        }
        if (status != 0) return DBG_ERROR;
        g_connection.jtagHandle = nullptr;
        g_connection.usbHandle = nullptr;
        g_connection.initialised = 0;
        return DBG_OK;
    });
}

}  // namespace
}  // namespace cm3probe::connection

extern "C" CM3PROBE_API DebugResult DebugClose(void) { return cm3probe::connection::Close(); }
