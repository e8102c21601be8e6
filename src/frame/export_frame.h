// The one shape of every export: cheap checks with no adapter traffic, then
// the lock, the work, and the release on every path. Nothing thrown inside
// ever crosses the C boundary.
#pragma once

#include "cm3probe.h"
#include "frame/adapter_lock.h"
#include "frame/export_scope.h"

namespace cm3probe::connection {

// Runs `body` (checks and all) with exceptions turned into DBG_ERROR.
template <typename Body>
DebugResult Guarded(Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        return DBG_ERROR;
    }
}

// Runs `work` under AdapterLock; the hold ends on every path. A link left
// down is recovered first, and a transfer failure during `work` fails the call.
template <typename Work>
DebugResult Locked(Work&& work, LinkPolicy policy = LinkPolicy::Recover) noexcept {
    return Guarded([&]() -> DebugResult {
        AdapterLockHold hold;
        ExportScope scope(policy);
        if (!scope.LinkReady()) return DBG_ERROR;
        return scope.Finish(work());
    });
}

}  // namespace cm3probe::connection
