#include "frame/export_scope.h"

#include "dap/port.h"
#include "frame/connection.h"
#include "frame/link_state.h"

namespace cm3probe::connection {

namespace {
// Exports nest (a block write calls DebugWriteMem); only the outermost one
// recovers. Changed only under AdapterLock.
uint32_t g_exportDepth = 0;
}  // namespace

bool RecoverLink() {
    const dap::Port* port = g_connection.port;
    return port != nullptr ? port->recoverLink() : !link_state::Down();
}

void RecoverLinkAfterDeadHolder() { (void)RecoverLink(); }  // still down: the export fails

ExportScope::ExportScope(LinkPolicy policy)
    : policy_(policy), outermost_(g_exportDepth == 0), ready_(true), faultsAtEntry_(0) {
    ++g_exportDepth;
    if (outermost_ && policy_ == LinkPolicy::Recover && link_state::Down()) ready_ = RecoverLink();
    faultsAtEntry_ = link_state::Faults();
}

ExportScope::~ExportScope() {
    // Finish sent them already, unless the work threw.
    if (outermost_) link_state::SendHeldWrites();
    --g_exportDepth;
}

DebugResult ExportScope::Finish(DebugResult result) {
    // What the export wrote goes out before it returns or lets go of the
    // lock: its result then covers every byte it sent.
    if (outermost_) link_state::SendHeldWrites();
    const bool faulted = link_state::Faults() != faultsAtEntry_;
    // Open's own traffic only readies the port (its IDCODE read is not
    // examined) and close's only disarms the target: a link they leave down
    // is recovered by the next export before its traffic.
    if (policy_ == LinkPolicy::OpenOrClose) return result;
    if (outermost_) {
        if (faulted) (void)RecoverLink();  // still down: the next export fails
        // Nothing retries a WAIT: the transaction it stalled is ended here,
        // or the next call's would wait behind it.
        if (link_state::ApStalled() && !link_state::Down()) {
            if (g_connection.port != nullptr) g_connection.port->abortAp();
            link_state::ClearApStalled();
        }
    }
    return faulted && result == DBG_OK ? DBG_ERROR : result;
}

}  // namespace cm3probe::connection
