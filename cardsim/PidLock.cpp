#include "PidLock.h"

#include <linux/membarrier.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

namespace kest_sim {

std::atomic<int32_t> g_cached_pid{0};
thread_local int32_t t_cached_tid __attribute__((tls_model("initial-exec"))) = 0;

namespace {

// The child's only thread is the one that forked: its cached id is the parent's.
void ForgetPid() {
    g_cached_pid.store(0, std::memory_order_relaxed);
    t_cached_tid = 0;
}

// Pid of the process whose registration for the expedited barrier is done
// (registrations are not inherited by a forked child). Relaxed: a second
// registration by a racing thread is harmless.
std::atomic<int32_t> g_barrier_registered{0};
// What BarrierAllProducers uses: 0 unknown, 1 the expedited barrier, 2 the
// slower global one, 3 none (the kernel refuses both). Relaxed: a hint.
std::atomic<int> g_barrier_kind{0};

long Membarrier(int cmd) { return syscall(__NR_membarrier, cmd, 0, 0); }

// Registered when the model is loaded, before any lock can be taken.
const int g_atfork = pthread_atfork(nullptr, nullptr, &ForgetPid);

}  // namespace

int32_t ReadPid() {
    (void)g_atfork;
    const int32_t pid = static_cast<int32_t>(getpid());
    g_cached_pid.store(pid, std::memory_order_relaxed);
    return pid;
}

int32_t ReadTid() {
    t_cached_tid = static_cast<int32_t>(syscall(SYS_gettid));
    return t_cached_tid;
}

bool IdAlive(int32_t id) { return id > 0 && (kill(id, 0) == 0 || errno != ESRCH); }

void RegisterForBarrier() {
    const int32_t me = CachedPid();
    if (g_barrier_registered.load(std::memory_order_relaxed) == me) return;
    if (Membarrier(MEMBARRIER_CMD_REGISTER_GLOBAL_EXPEDITED) != 0)
        g_barrier_kind.store(2, std::memory_order_relaxed);
    g_barrier_registered.store(me, std::memory_order_relaxed);
}

void BarrierAllProducers() {
    RegisterForBarrier();
    int kind = g_barrier_kind.load(std::memory_order_relaxed);
    if (kind <= 1) {
        if (Membarrier(MEMBARRIER_CMD_GLOBAL_EXPEDITED) == 0) {
            g_barrier_kind.store(1, std::memory_order_relaxed);
            return;
        }
        kind = 2;
    }
    if (kind == 2) {
        // Every thread of the system, not only registered ones; milliseconds.
        if (Membarrier(MEMBARRIER_CMD_GLOBAL) == 0) return;
        g_barrier_kind.store(3, std::memory_order_relaxed);
    }
    // No barrier from the kernel (a sandbox that filters the call): a store
    // waits in a store buffer for nanoseconds, not for 20 ms, and being
    // descheduled drains it.
    usleep(20000);
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
