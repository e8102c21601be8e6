#pragma once

#include <cstdint>

#include "cm3probe.h"

namespace cm3probe::connection {

// Brings the link back through the connection's port (its recoverLink)
// before any new traffic. Runs after a failed or short driver transfer and
// when a lock holder died, perhaps in the middle of a command stream. False
// when the link is still down; with no port chosen there is no link to bring
// back.
bool RecoverLink();
void RecoverLinkAfterDeadHolder();

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
