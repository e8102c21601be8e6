#include "connection/adapter_lock.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <new>
#include <string>

#include "connection/connection.h"
#include "connection/link_recovery.h"

namespace cm3probe::connection {
namespace {

// Marks a shared object whose mutex is initialised; guards against a creator
// that died between creating the object and initialising it.
inline constexpr uint32_t kSharedLockMagic = 0x434D334C;  // "CM3L"
inline constexpr long kNanosecondsPerMillisecond = 1'000'000;
inline constexpr long kNanosecondsPerSecond = 1'000'000'000;

struct SharedLock {
    uint32_t magic;
    pthread_mutex_t mutex;
};

}  // namespace

struct LockHandle {
    SharedLock* shared;
    std::string name;
};

namespace {

bool InitialiseMutex(pthread_mutex_t* mutex) {
    pthread_mutexattr_t attributes;
    if (pthread_mutexattr_init(&attributes) != 0) return false;
    bool ok = pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE) == 0 &&
              pthread_mutexattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED) == 0 &&
              pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST) == 0 &&
              pthread_mutex_init(mutex, &attributes) == 0;
    pthread_mutexattr_destroy(&attributes);
    return ok;
}

LockOutcome Interpret(LockHandle* lock, int status) {
    switch (status) {
        case 0:
            return LockOutcome::Acquired;
        case EOWNERDEAD:
            // The state the dead holder protected is ours to repair; the mutex
            // itself is made usable again.
            pthread_mutex_consistent(&lock->shared->mutex);
            return LockOutcome::AcquiredAfterOwnerDied;
        case ETIMEDOUT:
            return LockOutcome::TimedOut;
        default:
            return LockOutcome::Failed;
    }
}

}  // namespace

LockHandle* OpenLock(const char* name) {
    const std::string path = std::string("/") + name;
    int fd = shm_open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, kAdapterLockMode);
    if (fd < 0) return nullptr;
    // flock serialises first-time initialisation between processes and is
    // dropped by the kernel if the initialiser dies.
    if (flock(fd, LOCK_EX) != 0) {
        close(fd);
        return nullptr;
    }
    struct stat info {};
    bool ok = fstat(fd, &info) == 0;
    if (ok && info.st_size < static_cast<off_t>(sizeof(SharedLock))) {
        // umask must not narrow who may share the lock.
        ok = fchmod(fd, kAdapterLockMode) == 0 && ftruncate(fd, sizeof(SharedLock)) == 0;
    }
    void* mapping = MAP_FAILED;
    if (ok) mapping = mmap(nullptr, sizeof(SharedLock), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    LockHandle* handle = nullptr;
    if (mapping != MAP_FAILED) {
        auto* shared = static_cast<SharedLock*>(mapping);
        if (shared->magic != kSharedLockMagic) {
            if (InitialiseMutex(&shared->mutex)) shared->magic = kSharedLockMagic;
        }
        if (shared->magic == kSharedLockMagic) {
            handle = new (std::nothrow) LockHandle{shared, name};
        }
        if (handle == nullptr) munmap(mapping, sizeof(SharedLock));
    }
    flock(fd, LOCK_UN);
    close(fd);
    return handle;
}

LockOutcome AcquireLock(LockHandle* lock) {
    if (lock == nullptr) return LockOutcome::NoLock;
    return Interpret(lock, pthread_mutex_lock(&lock->shared->mutex));
}

LockOutcome AcquireLockWithin(LockHandle* lock, uint32_t milliseconds) {
    if (lock == nullptr) return LockOutcome::NoLock;
    timespec deadline{};
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += milliseconds / 1000;
    deadline.tv_nsec += static_cast<long>(milliseconds % 1000) * kNanosecondsPerMillisecond;
    if (deadline.tv_nsec >= kNanosecondsPerSecond) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= kNanosecondsPerSecond;
    }
    return Interpret(lock, pthread_mutex_timedlock(&lock->shared->mutex, &deadline));
}

void ReleaseLock(LockHandle* lock) {
    if (lock != nullptr) pthread_mutex_unlock(&lock->shared->mutex);
}

void CloseLockForTesting(LockHandle* lock, bool unlink) {
    if (lock == nullptr) return;
    if (unlink) shm_unlink((std::string("/") + lock->name).c_str());
    munmap(lock->shared, sizeof(SharedLock));
    delete lock;
}

void AcquireAdapterLock() {
    if (AcquireLock(g_connection.lockHandle) == LockOutcome::AcquiredAfterOwnerDied) {
        RecoverLinkAfterDeadHolder();
    }
}

void ReleaseAdapterLock() { ReleaseLock(g_connection.lockHandle); }

}  // namespace cm3probe::connection
