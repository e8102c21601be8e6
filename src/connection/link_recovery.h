#pragma once

#include <cstdint>

#include "cm3probe.h"

namespace cm3probe::connection {

// Brings the link back to a known state before any new traffic: the adapter's
// engine reset and proven in step, then the wire (SWD: line reset and IDCODE
// read; JTAG: TAP to Run-Test/Idle), and the sticky flags cleared. Runs after
// a failed or short driver transfer and when a lock holder died, perhaps in
// the middle of a command stream. False when the link is still down.
bool RecoverLink();
void RecoverLinkAfterDeadHolder();
// Clears every sticky flag without reading CTRL/STAT first (SWD: ABORT with
// every clear bit and DAPABORT; JTAG: CTRL/STAT written with the power-up
// requests and the write-one-to-clear flags, a value of our own).
void ClearStickyLeftBehind();

// What an export does about the link. Open and close set the link up or take
// it down themselves: they never recover it, and a transfer failure during
// them leaves the link down for the next export to recover.
enum class LinkPolicy : uint8_t { Recover, OpenOrClose };

// One export's hold on the link, inside AdapterLock. The outermost export
// recovers a link left down before its traffic, and recovers it again after a
// transfer failed during its own; every export that saw a transfer fail
// reports DBG_ERROR rather than DBG_OK.
class ExportScope {
public:
    explicit ExportScope(LinkPolicy policy);
    ~ExportScope();
    ExportScope(const ExportScope&) = delete;
    ExportScope& operator=(const ExportScope&) = delete;

    // False: the link is down and could not be brought back; nothing may be sent.
    bool LinkReady() const { return ready_; }
    DebugResult Finish(DebugResult result);

private:
    LinkPolicy policy_;
    bool outermost_;
    bool ready_;
    uint32_t faultsAtEntry_;
};

}  // namespace cm3probe::connection
