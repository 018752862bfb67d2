#include "PidLock.h"

#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

namespace kest_sim {

std::atomic<int32_t> g_cached_pid{0};

namespace {

void ForgetPid() { g_cached_pid.store(0, std::memory_order_relaxed); }

// Registered when the model is loaded, before any lock can be taken.
const int g_atfork = pthread_atfork(nullptr, nullptr, &ForgetPid);

}  // namespace

int32_t ReadPid() {
    (void)g_atfork;
    const int32_t pid = static_cast<int32_t>(getpid());
    g_cached_pid.store(pid, std::memory_order_relaxed);
    return pid;
}

void PidLockContended(std::atomic<int32_t>& word, std::atomic<uint64_t>& recoveries, int32_t me) {
    unsigned spins = 0;
    for (;;) {
        // Relaxed: only watching for the word to come free; the acquiring
        // compare-and-swap below is what orders.
        int32_t holder = word.load(std::memory_order_relaxed);
        if (holder == 0) {
            // Acquire pairs with PidLockRelease's release store by the previous holder.
            if (word.compare_exchange_weak(holder, me, std::memory_order_acquire, std::memory_order_relaxed))
                return;
            continue;
        }
        if (++spins < 256) {
#if defined(__x86_64__) || defined(__i386__)
            __builtin_ia32_pause();
#endif
            continue;
        }
        spins = 0;
        if (holder != me && kill(holder, 0) != 0 && errno == ESRCH) {
            // The holder died inside its critical section. Acquire pairs with
            // its last release store, if any: whatever it completed is seen.
            if (word.compare_exchange_strong(holder, me, std::memory_order_acquire,
                                             std::memory_order_relaxed)) {
                recoveries.fetch_add(1, std::memory_order_relaxed);
                return;
            }
            continue;
        }
        sched_yield();
    }
}

}  // namespace kest_sim
