#include "CoreTree.h"

#include <cerrno>

namespace kest_sim {

int InitRobustMutex(pthread_mutex_t* m) {
    pthread_mutexattr_t attr;
    int rc = pthread_mutexattr_init(&attr);
    if (rc != 0) return rc;
    // Shared by every process that maps the card; robust so that a process
    // killed while holding it cannot block the others for good.
    rc = pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
    if (rc == 0) rc = pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
    if (rc == 0) rc = pthread_mutex_init(m, &attr);
    pthread_mutexattr_destroy(&attr);
    return rc;
}

int LockRobust(CardShm* shm, pthread_mutex_t* m) {
    const int rc = pthread_mutex_lock(m);
    if (rc == EOWNERDEAD) {
        // The previous owner died holding it. What it protected is a register
        // access, which is a single step either done or not: carry on.
        pthread_mutex_consistent(m);
        shm->lock_recoveries.fetch_add(1, std::memory_order_relaxed);
        return 0;
    }
    return rc;
}

bool CorePresent(const CardShm* shm, int slot) {
    if (slot < 0 || slot >= static_cast<int>(kCoreCount)) return false;
    return slot != kDesignSlot || shm->design_core != 0;
}

int CoreLock(CardShm* shm, int slot) {
    if (!CorePresent(shm, slot)) return EINVAL;
    return LockRobust(shm, &shm->core_locks[slot]);
}

int CoreUnlock(CardShm* shm, int slot) {
    if (!CorePresent(shm, slot)) return EINVAL;
    return pthread_mutex_unlock(&shm->core_locks[slot]);
}

int CoreReset(CardShm* shm, int slot) {
    if (!CorePresent(shm, slot)) return EINVAL;
    if (FaultOn(shm, Fault::kCoreResetFails)) return EIO;
    // A reset of the tree re-initialises the framework's cores, not the
    // design behind core 474: its registers and tables stay as they are, so a
    // restarted host finds the card running as it left it.
    shm->core_resets.fetch_add(1, std::memory_order_relaxed);
    return 0;
}

}  // namespace kest_sim
