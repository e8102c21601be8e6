// The one shape of every export: cheap checks with no adapter traffic, then
// the lock, the work, and the release on every path. Nothing thrown inside
// ever crosses the C boundary.
#pragma once

#include "cm3probe.h"
#include "connection/adapter_lock.h"

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

// Runs `work` under AdapterLock; the hold ends on every path.
template <typename Work>
DebugResult Locked(Work&& work) noexcept {
    return Guarded([&] {
        AdapterLockHold hold;
        return work();
    });
}

}  // namespace cm3probe::connection
