#include "connection/link_recovery.h"

#include "adapter/backend.h"
#include "connection/connection.h"
#include "dap/dap_access.h"
#include "dap/dp_registers.h"
#include "transport/link_state.h"
#include "transport/swd_link.h"

namespace cm3probe::connection {

namespace {
// A transfer cut short, or a holder killed mid-transfer, can leave any sticky
// flag set; the next caller's first CTRL/STAT check would fail on a fault
// that is not its own. Over JTAG the flags clear when written back as ones,
// with the power-up requests kept.
constexpr uint32_t kLeftBehind = dp::ctrlstat::kCSysPwrUpReq | dp::ctrlstat::kCDbgPwrUpReq |
                                 dp::ctrlstat::kStickyErr | dp::ctrlstat::kStickyCmp | dp::ctrlstat::kStickyOrun;

// Exports nest (a block write calls DebugWriteMem); only the outermost one
// recovers. Changed only under AdapterLock.
uint32_t g_exportDepth = 0;
}  // namespace

bool RecoverLink() {
    const adapter::Backend& backend = adapter::ActiveBackend();
    if (g_connection.swdMode != 0) {
        if (g_connection.usbHandle == nullptr || backend.usb == nullptr) return !link_state::Down();
        if (!IsOk(SwdResynchronise(g_connection.usbHandle, g_connection.swdDivisor))) return false;
        ClearStickyLeftBehind();
    } else {
        if (g_connection.jtagHandle == nullptr || backend.jtag == nullptr) return !link_state::Down();
        // Initialising the engine resets its MPSSE state, proves it in step
        // and walks the TAP to Test-Logic-Reset, then Run-Test/Idle.
        if (backend.jtag->initialise(g_connection.jtagHandle, g_connection.jtagDivisor) != adapter::kJtagOk) {
            link_state::MarkDown();
            return false;
        }
        link_state::MarkUp();
        ClearStickyLeftBehind();
    }
    return !link_state::Down();
}

void RecoverLinkAfterDeadHolder() { (void)RecoverLink(); }

void ClearStickyLeftBehind() {
    ClearStickyError(g_connection.swdMode != 0 ? kLeftBehind | dp::ctrlstat::kWDataErr : kLeftBehind);
}

ExportScope::ExportScope(LinkPolicy policy)
    : policy_(policy), outermost_(g_exportDepth == 0), ready_(true), faultsAtEntry_(0) {
    ++g_exportDepth;
    if (outermost_ && policy_ == LinkPolicy::Recover && link_state::Down()) ready_ = RecoverLink();
    faultsAtEntry_ = link_state::Faults();
}

ExportScope::~ExportScope() { --g_exportDepth; }

DebugResult ExportScope::Finish(DebugResult result) {
    const bool faulted = link_state::Faults() != faultsAtEntry_;
    // Open's own traffic only readies the port (its IDCODE read is not
    // examined) and close's only disarms the target: a link they leave down
    // is recovered by the next export before its traffic.
    if (policy_ == LinkPolicy::OpenOrClose) return result;
    if (outermost_) {
        if (faulted) (void)RecoverLink();
        // Nothing retries a WAIT: the transaction it stalled is ended here,
        // or the next call's would wait behind it.
        if (link_state::ApStalled() && !link_state::Down()) {
            AbortApTransaction();
            link_state::ClearApStalled();
        }
    }
    return faulted && result == DBG_OK ? DBG_ERROR : result;
}

}  // namespace cm3probe::connection
