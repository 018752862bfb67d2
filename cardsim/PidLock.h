// The model's cross-process spin lock: a 32-bit word in shared memory that
// holds 0 when free and the holder's process id otherwise.
//
// Taking a free lock is one compare-and-swap. Only a waiter that has spun for
// a while asks the kernel whether the holder is still alive (a holder killed
// by SIGKILL would otherwise block every process for good) and then takes the
// lock over. The process id is read once per process, not per acquisition:
// getpid() is a system call, and the ring's producer takes this lock for
// every message.
#pragma once

#include <atomic>
#include <cstdint>

namespace kest_sim {

// This process's id, 0 until first asked (PidLock.cpp). Relaxed: each thread
// that finds 0 stores the same value, and nothing else is published through
// it. A fork handler clears it in the child, which has a new id.
extern std::atomic<int32_t> g_cached_pid;
int32_t ReadPid();

// getpid() of this process, cached; a forked child reads its own again.
inline int32_t CachedPid() {
    const int32_t pid = g_cached_pid.load(std::memory_order_relaxed);
    return __builtin_expect(pid != 0, 1) ? pid : ReadPid();
}

// gettid() of the calling thread, cached per thread (a forked child's thread
// reads its own again). Thread ids are unique among the live threads of the
// system, so the id names a ring's producer across processes.
extern thread_local int32_t t_cached_tid __attribute__((tls_model("initial-exec")));
int32_t ReadTid();
inline int32_t CachedTid() {
    const int32_t tid = t_cached_tid;
    return __builtin_expect(tid != 0, 1) ? tid : ReadTid();
}

// Whether a process or thread id still names a live process or thread.
bool IdAlive(int32_t id);

// Makes every thread of every process that may hold a ring's right to write
// pass a full memory barrier before this returns: the asymmetric half of the
// hand-over in DmaRing.h, whose fast side then needs no fence of its own.
// Registers the calling process first (RegisterForBarrier).
void BarrierAllProducers();
// Called by a process before it first takes a ring's right to write.
void RegisterForBarrier();

// The slow path of PidLockAcquire: spin, yield, take over from a dead holder
// (counted in `recoveries`).
void PidLockContended(std::atomic<int32_t>& word, std::atomic<uint64_t>& recoveries, int32_t me);

inline void PidLockAcquire(std::atomic<int32_t>& word, std::atomic<uint64_t>& recoveries) {
    const int32_t me = CachedPid();
    int32_t expected = 0;
    // Acquire pairs with PidLockRelease's release store by the previous holder
    // (any thread of any process): what it wrote under the lock is visible.
    if (__builtin_expect(
            word.compare_exchange_strong(expected, me, std::memory_order_acquire, std::memory_order_relaxed),
            1)) {
        return;
    }
    PidLockContended(word, recoveries, me);
}

// Release pairs with the acquiring compare-and-swap of the next holder, in
// PidLockAcquire or PidLockContended.
inline void PidLockRelease(std::atomic<int32_t>& word) { word.store(0, std::memory_order_release); }

}  // namespace kest_sim
