// AdapterLock: a recursive lock shared by every process on the machine, so
// callers never interleave traffic on the adapter. Between processes it is a
// flock() on a POSIX shared-memory object: the kernel drops it when its holder
// dies, and the waiting is the kernel's own, so a waiter that dies, woken or
// not, takes no wake-up with it and cannot leave the others asleep with the
// lock free. Between the
// threads of one process it is a mutex taken first. A marker in the object
// tells the next holder that the last one died mid-transaction (process
// killed, or thread ended without releasing); that holder recovers the link.
#pragma once

#include <cstdint>

namespace cm3probe::connection {

inline constexpr const char* kAdapterLockName = "QVXDebugLockObj";
// Owner and group may share the probe; others cannot open the lock at all.
inline constexpr unsigned kAdapterLockMode = 0660;

struct LockHandle;

enum class LockOutcome {
    Acquired,
    AcquiredAfterOwnerDied,  // the previous holder died holding it: recover what it left
    NoLock,                  // no lock object opened yet: proceed unlocked
    Failed,
    TimedOut,
};

// Creates or opens the named lock. Null on failure (no shared memory, or no
// permission). Handles are never closed: the connection keeps its own for the
// life of the process. A child of fork() holds none of its parent's levels.
LockHandle* OpenLock(const char* name);
LockOutcome AcquireLock(LockHandle* lock);
LockOutcome AcquireLockWithin(LockHandle* lock, uint32_t milliseconds);
void ReleaseLock(LockHandle* lock);
// Tests only: drops the handle and, when `unlink`, the shared object.
void CloseLockForTesting(LockHandle* lock, bool unlink);

// The connection's lock. Acquire proceeds without a lock when DebugOpen has
// never created one; a new owner after a dead holder recovers the link first.
void AcquireAdapterLock();
void ReleaseAdapterLock();

// Scoped hold of the connection's lock.
class AdapterLockHold {
public:
    AdapterLockHold() { AcquireAdapterLock(); }
    ~AdapterLockHold() { ReleaseAdapterLock(); }
    AdapterLockHold(const AdapterLockHold&) = delete;
    AdapterLockHold& operator=(const AdapterLockHold&) = delete;
};

}  // namespace cm3probe::connection
