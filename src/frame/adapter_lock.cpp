#include "frame/adapter_lock.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <ctime>
#include <mutex>
#include <new>
#include <string>
#include <thread>

#include "frame/connection.h"
#include "frame/export_scope.h"

namespace cm3probe::connection {
namespace {

// How often a bounded wait asks again.
inline constexpr long kRetryNanoseconds = 1'000'000;
inline constexpr long kNanosecondsPerMillisecond = 1'000'000;
inline constexpr long kNanosecondsPerSecond = 1'000'000'000;
inline constexpr int32_t kNoHolder = 0;
// Earlier builds kept a magic word and a mutex at the start of the same
// object; the marker lives past them, so neither layout reads the other's.
inline constexpr size_t kEarlierLayoutBytes = 64;

// The shared object's contents. Zero bytes, as created, mean "nobody is
// mid-transaction", so there is nothing to initialise and no creator to lose.
struct SharedState {
    uint8_t earlierLayout[kEarlierLayoutBytes];
    // Pid of the process whose holder is mid-transaction; written once the
    // file lock is taken, cleared just before it is let go. Found set by the
    // next holder, it means the last holder never finished.
    int32_t holderPid;
};

}  // namespace

struct LockHandle {
    std::string path;  // for shm_open and shm_unlink
    // Per process: a descriptor inherited over fork() shares its file lock
    // with the parent, so a child opens its own (see ForgetParentsHolds).
    int fd = -1;
    SharedState* shared = nullptr;
    // The threads of this process take `threads` first, so only one of them
    // ever waits on or holds the file lock.
    pthread_mutex_t threads = PTHREAD_MUTEX_INITIALIZER;
    std::atomic<std::thread::id> owner{};
    uint32_t depth = 0;                // the owner's nesting
    LockHandle* nextHeld = nullptr;    // the owner thread's list of held locks
    LockHandle* nextOpened = nullptr;  // every handle of the process
    bool closed = false;
};

namespace {

std::atomic<LockHandle*> g_opened{nullptr};

// The locks one thread holds. A thread that ends holding any lets each go
// with its marker left set: the next holder recovers what it left.
struct ThreadHolds {
    LockHandle* head = nullptr;
    ThreadHolds() = default;
    ThreadHolds(const ThreadHolds&) = delete;
    ThreadHolds& operator=(const ThreadHolds&) = delete;
    ~ThreadHolds();
};
thread_local ThreadHolds t_holds;

void Unlist(LockHandle* lock) {
    for (LockHandle** link = &t_holds.head; *link != nullptr; link = &(*link)->nextHeld) {
        if (*link == lock) {
            *link = lock->nextHeld;
            lock->nextHeld = nullptr;
            return;
        }
    }
}

void LetGo(LockHandle* lock) {
    lock->depth = 0;
    lock->owner.store(std::thread::id{});
    (void)flock(lock->fd, LOCK_UN);
    pthread_mutex_unlock(&lock->threads);
}

ThreadHolds::~ThreadHolds() {
    while (head != nullptr) {
        LockHandle* lock = head;
        head = lock->nextHeld;
        lock->nextHeld = nullptr;
        LetGo(lock);
    }
}

// The child of fork() holds nothing of its parent's: not the threads' mutex
// (whichever parent thread had it), not the file lock (the parent's
// descriptor still holds it, and must be the only one that does, so that the
// lock goes when the parent dies).
void ForgetParentsHolds() {
    for (LockHandle* lock = g_opened.load(); lock != nullptr; lock = lock->nextOpened) {
        if (lock->closed) continue;
        if (lock->fd >= 0) close(lock->fd);
        lock->fd = -1;
        lock->depth = 0;
        lock->owner.store(std::thread::id{});
        lock->nextHeld = nullptr;
        pthread_mutex_init(&lock->threads, nullptr);
    }
    t_holds.head = nullptr;
}

int OpenObject(const std::string& path) {
    return shm_open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, kAdapterLockMode);
}

timespec DeadlineIn(uint32_t milliseconds) {
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += milliseconds / 1000;
    deadline.tv_nsec += static_cast<long>(milliseconds % 1000) * kNanosecondsPerMillisecond;
    if (deadline.tv_nsec >= kNanosecondsPerSecond) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= kNanosecondsPerSecond;
    }
    return deadline;
}

bool Passed(const timespec& deadline) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec > deadline.tv_sec || (now.tv_sec == deadline.tv_sec && now.tv_nsec >= deadline.tv_nsec);
}

// False once the deadline has passed; otherwise waits before the next try.
bool WaitBeforeRetry(const timespec& deadline) {
    if (Passed(deadline)) return false;
    const timespec pause{0, kRetryNanoseconds};
    nanosleep(&pause, nullptr);
    return true;
}

// The threads' mutex. A bounded wait polls, like the file lock's, rather than
// use a timed lock the thread checkers do not follow.
LockOutcome TakeThreadsMutex(LockHandle* lock, const timespec* deadline) {
    if (deadline == nullptr) {
        return pthread_mutex_lock(&lock->threads) == 0 ? LockOutcome::Acquired : LockOutcome::Failed;
    }
    for (;;) {
        const int status = pthread_mutex_trylock(&lock->threads);
        if (status == 0) return LockOutcome::Acquired;
        if (status != EBUSY) return LockOutcome::Failed;
        if (!WaitBeforeRetry(*deadline)) return LockOutcome::TimedOut;
    }
}

// The file lock for this process. The kernel drops it when the process dies
// and passes a wake-up on when a woken waiter dies, so no death leaves the
// lock free with waiters asleep. Without a deadline it waits as long as it
// takes.
LockOutcome TakeFileLock(LockHandle* lock, const timespec* deadline) {
    if (lock->fd < 0) lock->fd = OpenObject(lock->path);
    if (lock->fd < 0) return LockOutcome::Failed;
    for (;;) {
        if (flock(lock->fd, deadline == nullptr ? LOCK_EX : LOCK_EX | LOCK_NB) == 0) return LockOutcome::Acquired;
        if (errno == EINTR) continue;
        if (errno != EWOULDBLOCK) return LockOutcome::Failed;
        if (!WaitBeforeRetry(*deadline)) return LockOutcome::TimedOut;
    }
}

LockOutcome Acquire(LockHandle* lock, const timespec* deadline) {
    if (lock == nullptr) return LockOutcome::NoLock;
    const std::thread::id me = std::this_thread::get_id();
    // Only this thread ever stores its own id here.
    if (lock->owner.load() == me) {
        ++lock->depth;
        return LockOutcome::Acquired;
    }
    const LockOutcome threads = TakeThreadsMutex(lock, deadline);
    if (threads != LockOutcome::Acquired) return threads;
    const LockOutcome file = TakeFileLock(lock, deadline);
    if (file != LockOutcome::Acquired) {
        pthread_mutex_unlock(&lock->threads);
        return file;
    }
    std::atomic_ref<int32_t> holder(lock->shared->holderPid);
    const bool lastHolderDied = holder.load() != kNoHolder;
    holder.store(static_cast<int32_t>(getpid()));
    lock->owner.store(me);
    lock->depth = 1;
    lock->nextHeld = t_holds.head;
    t_holds.head = lock;
    return lastHolderDied ? LockOutcome::AcquiredAfterOwnerDied : LockOutcome::Acquired;
}

}  // namespace

LockHandle* OpenLock(const char* name) {
    static std::once_flag forkHandler;
    std::call_once(forkHandler, [] { pthread_atfork(nullptr, nullptr, &ForgetParentsHolds); });
    auto* handle = new (std::nothrow) LockHandle;
    if (handle == nullptr) return nullptr;
    handle->path = std::string("/") + name;
    handle->fd = OpenObject(handle->path);
    struct stat info {};
    bool ok = handle->fd >= 0 && fstat(handle->fd, &info) == 0;
    if (ok && info.st_size < static_cast<off_t>(sizeof(SharedState))) {
        // umask must not narrow who may share the lock. Two first openers
        // both extending it is harmless: the new bytes are zero either way.
        ok = fchmod(handle->fd, kAdapterLockMode) == 0 && ftruncate(handle->fd, sizeof(SharedState)) == 0;
    }
    void* mapping = MAP_FAILED;
    if (ok) mapping = mmap(nullptr, sizeof(SharedState), PROT_READ | PROT_WRITE, MAP_SHARED, handle->fd, 0);
    if (mapping == MAP_FAILED) {
        if (handle->fd >= 0) close(handle->fd);
        delete handle;
        return nullptr;
    }
    handle->shared = static_cast<SharedState*>(mapping);
    handle->nextOpened = g_opened.load();
    while (!g_opened.compare_exchange_weak(handle->nextOpened, handle)) {
    }
    return handle;
}

LockOutcome AcquireLock(LockHandle* lock) { return Acquire(lock, nullptr); }

LockOutcome AcquireLockWithin(LockHandle* lock, uint32_t milliseconds) {
    const timespec deadline = DeadlineIn(milliseconds);
    return Acquire(lock, &deadline);
}

void ReleaseLock(LockHandle* lock) {
    if (lock == nullptr || lock->owner.load() != std::this_thread::get_id()) return;
    if (--lock->depth > 0) return;
    // Finished: the next holder has nothing to recover.
    std::atomic_ref<int32_t>(lock->shared->holderPid).store(kNoHolder);
    Unlist(lock);
    LetGo(lock);
}

void CloseLockForTesting(LockHandle* lock, bool unlink) {
    if (lock == nullptr) return;
    if (unlink) shm_unlink(lock->path.c_str());
    munmap(lock->shared, sizeof(SharedState));
    if (lock->fd >= 0) close(lock->fd);
    lock->fd = -1;
    // Kept, never freed: a fork() in another thread may be walking the list.
    lock->closed = true;
}

void AcquireAdapterLock() {
    if (AcquireLock(g_connection.lockHandle) == LockOutcome::AcquiredAfterOwnerDied) {
        RecoverLinkAfterDeadHolder();
    }
}

void ReleaseAdapterLock() { ReleaseLock(g_connection.lockHandle); }

}  // namespace cm3probe::connection
