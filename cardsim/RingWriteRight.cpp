// The producer's right to write an a2c ring: its slow path (RingWriteRight.h).
#include "RingWriteRight.h"

#include <sched.h>

namespace kest_sim {

uint64_t AcquireRight(CardShm* shm, RingHeader& ring) {
    RegisterForBarrier();
    const uint32_t me = static_cast<uint32_t>(CachedTid());
    bool counted = false;
    uint64_t barrier_for = 0;  // the holding a barrier was made for
    unsigned spins = 0;
    for (;;) {
        // Acquire pairs with the release of the last hand-over or take-over.
        uint64_t o = ring.owner.load(std::memory_order_acquire);
        const uint32_t holder = static_cast<uint32_t>(o);
        const uint32_t epoch = static_cast<uint32_t>(o >> 32);
        bool take = holder == 0 || holder == me;
        bool ended = false;
        if (!take && !IdAlive(static_cast<int32_t>(holder))) take = ended = true;
        // Relaxed: published by the holder's take-over, read after the acquire load of owner above.
        const int32_t holder_pid = ring.owner_pid.load(std::memory_order_relaxed);
        if (!take) {
            if (!counted) {
                // Release: part of the release sequence the holder's acquire
                // load of wanted synchronises with (see RingPushOwned).
                ring.wanted.fetch_add(1, std::memory_order_release);
                counted = true;
            }
            if (++spins < 256) {
#if defined(__x86_64__) || defined(__i386__)
                __builtin_ia32_pause();
#endif
                continue;  // the holder hands over at its next push
            }
            spins = 0;
            if (barrier_for != o) {
                // From here on the holder sees `wanted` before it writes.
                BarrierAllProducers();
                barrier_for = o;
            }
            // Acquire pairs with the holder's release store after its last
            // push: its slots and head are visible once we take over.
            const uint32_t b = ring.busy[epoch % RingHeader::kBusyWords].load(std::memory_order_acquire);
            if (b != epoch << 1) {
                sched_yield();  // a push under way (or a word of another epoch)
                continue;
            }
        }
        const uint32_t next = epoch + 1;
        const uint64_t mine = (uint64_t{next} << 32) | me;
        // acq_rel: acquire pairs with the previous holder's release (its hand-over
        // or busy word); release publishes owner_pid and the busy word below.
        if (!ring.owner.compare_exchange_strong(o, mine, std::memory_order_acq_rel,
                                                std::memory_order_relaxed))
            continue;
        // Relaxed: no waiter trusts this word until it carries this epoch
        // and no push, which only our own release store below makes it say.
        ring.busy[next % RingHeader::kBusyWords].store((next << 1) | 1, std::memory_order_relaxed);
        ring.owner_pid.store(CachedPid(), std::memory_order_relaxed);
        if (ended) {
            // The holder's thread ended: in the middle of a push only if its
            // process died (counted), which the repair finds.
            RingRepairHead(shm, ring);
            if (!IdAlive(holder_pid)) ring.lock_recoveries.fetch_add(1, std::memory_order_relaxed);
        }
        if (counted) ring.wanted.fetch_sub(1, std::memory_order_release);  // release: see fetch_add
        return mine;
    }
}

void ReleaseRight(RingHeader& ring) {
    const uint32_t me = static_cast<uint32_t>(CachedTid());
    // Relaxed: only this thread can have stored our own id there.
    uint64_t o = ring.owner.load(std::memory_order_relaxed);
    if (static_cast<uint32_t>(o) != me) return;
    const uint32_t epoch = static_cast<uint32_t>(o >> 32);
    // Release pairs with a waiter's acquire load of the busy word or owner.
    ring.busy[epoch % RingHeader::kBusyWords].store(epoch << 1, std::memory_order_release);
    ring.owner.compare_exchange_strong(o, uint64_t{epoch} << 32, std::memory_order_release,
                                       std::memory_order_relaxed);
}

}  // namespace kest_sim
