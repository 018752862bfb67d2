// The core tree of the card's only MMIO region and the per-core locks.
#pragma once

#include <cerrno>
#include <cstdint>

#include "PidLock.h"
#include "SharedSegment.h"

namespace kest_sim {

struct CoreInfo {
    uint16_t hardware_id;
    int parent;  // slot of the parent core, -1 for the root
};

// Slot 0 is the root; the others hang directly under it. The design core
// (474) is the one through which every register of the design is reached.
constexpr CoreInfo kCoreInfo[kCoreCount] = {
    {0x0001, -1},
    {0x0010, 0},
    {Kest_U50::Reg::DESIGN_CORE_ID, 0},
    {0x0020, 0},
};
constexpr int kRootSlot = 0;
constexpr int kDesignSlot = 2;

inline bool CorePresent(const CardShm* shm, int slot) {
    if (slot < 0 || slot >= static_cast<int>(kCoreCount)) return false;
    return slot != kDesignSlot || shm->design_core != 0;
}

// Each returns 0 or an errno value. The lock is the process-shared word of
// PidLock.h: not recursive, and EPERM for an unlock by a process that does
// not hold it. Inline: the product takes it around every register access.
inline int CoreLock(CardShm* shm, int slot) {
    if (!CorePresent(shm, slot)) return EINVAL;
    // A register access under it is a single step, done or not: a holder
    // killed in the middle leaves nothing half-made to repair.
    PidLockAcquire(shm->core_locks[slot].owner, shm->lock_recoveries);
    return 0;
}

inline int CoreUnlock(CardShm* shm, int slot) {
    if (!CorePresent(shm, slot)) return EINVAL;
    std::atomic<int32_t>& owner = shm->core_locks[slot].owner;
    // Relaxed: this process only checks it holds the lock; the release store
    // in PidLockRelease is what hands it on.
    if (owner.load(std::memory_order_relaxed) != CachedPid()) return EPERM;
    PidLockRelease(owner);
    return 0;
}

int CoreReset(CardShm* shm, int slot);

}  // namespace kest_sim
