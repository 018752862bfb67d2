// The producer's right to write an a2c ring, and the pushes made under it.
//
// One thread at a time holds it, across any number of pushes: a push by the
// holder is two loads of lines it keeps (owner, wanted) and two stores to its
// busy word, with no read-modify-write and no fence. Another thread that
// wants to push counts itself in `wanted` and the holder hands over at its
// next push. A holder that does not push again (idle, or its thread ended)
// is taken over once its busy word shows no push under way after a system-
// wide barrier (BarrierAllProducers): from then on the holder would see the
// waiter before it writes. A holder whose process died is taken over at once
// and counted in lock_recoveries.
#pragma once

#include <sched.h>

#include <atomic>
#include <cstdint>

#include "DmaRing.h"
#include "PidLock.h"
#include "SharedSegment.h"

namespace kest_sim {

// Takes the right (slow path) for the calling thread and returns the new
// value of owner. The new holder's busy word already says it pushes, so its
// first push needs no check: every holding makes progress.
__attribute__((visibility("default"))) uint64_t AcquireRight(CardShm* shm, RingHeader& ring);
// Gives the right up if the calling thread holds it.
__attribute__((visibility("default"))) void ReleaseRight(RingHeader& ring);

// Runs push() (a push into the ring, returning what it pushed) as holder of
// the right, taking it first when needed.
template <typename Push>
inline auto WithRight(CardShm* shm, RingHeader& ring, Push&& push) -> decltype(push()) {
    const uint32_t me = static_cast<uint32_t>(CachedTid());
    // Relaxed: the holder only checks that it still holds the right; no one
    // takes it from a holder whose busy word says it pushes.
    uint64_t o = ring.owner.load(std::memory_order_relaxed);
    bool fresh = false;
    if (__builtin_expect(static_cast<uint32_t>(o) != me, 0)) {
        o = AcquireRight(shm, ring);
        fresh = true;
    }
    for (;;) {
        const uint32_t epoch = static_cast<uint32_t>(o >> 32);
        std::atomic<uint32_t>& busy = ring.busy[epoch % RingHeader::kBusyWords];
        const uint32_t idle = epoch << 1;
        if (!fresh) {
            // Relaxed: a waiter reads it only after a system-wide barrier,
            // which orders it before the loads below on this thread.
            busy.store(idle | 1, std::memory_order_relaxed);
            std::atomic_signal_fence(std::memory_order_seq_cst);
            // Acquire pairs with the waiters' release read-modify-writes of
            // wanted: seeing a waiter's decrement shows its take-over of owner.
            const uint32_t waiting = ring.wanted.load(std::memory_order_acquire);
            if (__builtin_expect(waiting != 0 || ring.owner.load(std::memory_order_relaxed) != o, 0)) {
                // Release pairs with the waiter's acquire load of the busy word.
                busy.store(idle, std::memory_order_release);
                // Hand over (if still ours). Release pairs with the taker's
                // acquire: our slots and head are visible to it.
                ring.owner.compare_exchange_strong(o, uint64_t{epoch} << 32, std::memory_order_release,
                                                   std::memory_order_relaxed);
                sched_yield();  // let the waiter in before asking again
                o = AcquireRight(shm, ring);
                fresh = true;
                continue;
            }
        }
        const auto pushed = push();
        // Release pairs with a waiter's acquire load: what this push wrote is
        // visible to whoever takes the ring over while we are idle.
        busy.store(idle, std::memory_order_release);
        return pushed;
    }
}

// Pushes one message as holder of the right, taking it first when needed.
inline bool RingPushOwned(CardShm* shm, RingHeader& ring, const void* msg, uint32_t size) {
    return WithRight(shm, ring, [&] {
        const bool ok = RingTryPush(shm, ring, msg, size);
        if (ok) {
            AddUnderLock(ring.pushed, 1);
            AddUnderLock(ring.bytes, size);
        }
        return ok;
    });
}

// Pushes what fits of a batch as holder of the right; how many it pushed.
inline uint32_t RingPushBatchOwned(CardShm* shm, RingHeader& ring, const PushBatch& batch) {
    return WithRight(shm, ring, [&] {
        const uint32_t n = RingTryPushBatch(shm, ring, batch);
        if (n != 0) {
            AddUnderLock(ring.pushed, n);
            AddUnderLock(ring.bytes, uint64_t{n} * batch.Size());
        }
        return n;
    });
}

}  // namespace kest_sim
