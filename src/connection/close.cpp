// DebugClose: disarm the vector catches so the target runs freely once the
// probe is gone, then close the transport DebugOpen opened.
#include "adapter/backend.h"
#include "cm3probe.h"
#include "frame/connection.h"
#include "frame/export_frame.h"
#include "core/scs_registers.h"
#include "dap/dap_access.h"
#include "memory/size_code.h"
#include "frame/link_state.h"
#include "transport/swd_link.h"

namespace cm3probe::connection {
namespace {

DebugResult Close() {
    return Locked([]() -> DebugResult {
        // Without initialisation this sends nothing.
        NotExamined(DebugWriteMem(demcr::kAddress, demcr::kTrcEna, size_code::kWord));
        // A WAIT there stalls the AP past this session: end it while the link is open.
        if (link_state::ApStalled() && !link_state::Down()) AbortApTransaction();
        link_state::ClearApStalled();
        // Whatever handle exists is closed, whichever transport swdMode names:
        // a JTAG open that failed after an SWD session leaves its engine handle
        // behind, and dropping it unclosed would keep the channel claimed.
        uint32_t status = 0;
        if (g_connection.jtagHandle != nullptr) {
            status = adapter::ActiveBackend().jtag->close(g_connection.jtagHandle);
            if (status == 0) g_connection.jtagHandle = nullptr;
        }
        if (g_connection.usbHandle != nullptr) {
            const uint32_t closed = SwdLinkClose(g_connection.usbHandle);
            if (closed == 0) g_connection.usbHandle = nullptr;
            if (status == 0) status = closed;
        }
        if (status != 0) return DBG_ERROR;
        g_connection.initialised = 0;
        // No link is left to be down.
        link_state::MarkUp();
        return DBG_OK;
    }, LinkPolicy::OpenOrClose);
}

}  // namespace
}  // namespace cm3probe::connection

extern "C" CM3PROBE_API DebugResult DebugClose(void) { return cm3probe::connection::Close(); }
