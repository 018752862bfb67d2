// A million polls in each mode, a quarter of them delivering a quote the
// card model pushed from the same process, make no allocation and no system
// call: neither the library's receive path nor the model's poll and push.
// (kest-md-recv's metrics add relaxed increments of counters of their own;
// what they serve is checked by a real Prometheus scrape, tests/ops.)
//
// The loop runs in a child process under a seccomp filter that traps every
// system call into a counting SIGSYS handler (a filter cannot be removed,
// hence the child); allocations are counted by wrapping the C allocator.
// Both counts, of the polling thread only, come back through a shared page. Under AddressSanitizer,
// whose runtime owns the allocator and makes system calls of its own, only
// the deliveries are checked.
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <signal.h>
#include <stddef.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <string>

#include "ChildProcess.h"
#include "FpgaStructCommon.h"
#include "KestShfeMdApi.h"
#include "TestSupport.h"
#include "kest_cardsim.h"

// Under either sanitizer the runtime owns the allocator and makes system
// calls of its own: the counts are then taken without interposing.
#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define KEST_TEST_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define KEST_TEST_ASAN 1
#endif

namespace {

// Set by the child's polling thread once the filter is in place; read by the
// allocator wrappers on the same thread.
thread_local bool g_counting = false;
// Written by the allocator wrappers and the SIGSYS handler on the child's
// only thread; relaxed, read by that thread after the loop.
std::atomic<uint64_t> g_allocations{0};
std::atomic<uint64_t> g_syscalls{0};

[[maybe_unused]] void CountAllocation() {
    if (g_counting) g_allocations.fetch_add(1, std::memory_order_relaxed);
}

void OnSigsys(int, siginfo_t*, void*) { g_syscalls.fetch_add(1, std::memory_order_relaxed); }

// Every system call but the handler's return and the child's exit traps.
[[maybe_unused]] bool TrapSystemCalls() {
    struct sigaction sa {};
    sa.sa_sigaction = &OnSigsys;
    sa.sa_flags = SA_SIGINFO;
    if (sigaction(SIGSYS, &sa, nullptr) != 0) return false;
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_rt_sigreturn, 3, 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_exit_group, 2, 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_exit, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_TRAP),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog prog{static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog) == 0;
}

}  // namespace

#if !defined(KEST_TEST_ASAN)
// The C allocator, counted; the sanitizer runtime brings its own.
extern "C" void* __libc_malloc(size_t);
extern "C" void* __libc_calloc(size_t, size_t);
extern "C" void* __libc_realloc(void*, size_t);
extern "C" void* __libc_memalign(size_t, size_t);
extern "C" void* malloc(size_t n) {
    CountAllocation();
    return __libc_malloc(n);
}
extern "C" void* calloc(size_t n, size_t m) {
    CountAllocation();
    return __libc_calloc(n, m);
}
extern "C" void* realloc(void* p, size_t n) {
    CountAllocation();
    return __libc_realloc(p, n);
}
extern "C" void* memalign(size_t a, size_t n) {
    CountAllocation();
    return __libc_memalign(a, n);
}
extern "C" void* aligned_alloc(size_t a, size_t n) {
    CountAllocation();
    return __libc_memalign(a, n);
}
extern "C" int posix_memalign(void** p, size_t a, size_t n) {
    CountAllocation();
    *p = __libc_memalign(a, n);
    return *p != nullptr ? 0 : ENOMEM;
}
#endif

namespace {

struct CountingSpi : CKestShfeMdSpi {
    void OnShfeMdData(const KestShfeMdType* q) override { sum += q->last_px, ++count; }
    uint64_t sum = 0, count = 0;
};

struct Counts {
    uint64_t allocations, syscalls, callbacks, buffers, ok;
};

TEST(QuotePathTest, AMillionPollsInEachModeMakeNoAllocationAndNoSystemCall) {
    kest_test::UsePrivateCardNamespace("quotepath");
    kest_test::ScopedTempDir dir;
    ASSERT_EQ(kest_sim::CreateCard(0), 0);
    auto card = kest_sim::Card::Open(0);
    // Channels other than 0 program nothing: the start only opens the streams.
    for (int c : {1, 2}) {
        kest_test::WriteFile(dir.File("ch" + std::to_string(c) + ".ini"),
                             "[config]\nlog_level=1\ncpucore=-1\ndevice=xilinx0:" + std::to_string(c) + "\n");
    }
    CKestShfeMdApi& callback = CKestShfeMdApi::CreateKestShfeMdApi();
    CKestShfeMdApi& buffer = CKestShfeMdApi::CreateKestShfeMdApi();
    CountingSpi spi;
    ASSERT_EQ(callback.KestStart(spi, dir.File("ch1.ini").c_str()), 0);
    ASSERT_EQ(buffer.KestStart(dir.File("ch2.ini").c_str()), 0);

    uint8_t msg[DMA_QUOTE_MSG_SIZE] = {};
    const dma_header_t header{DMA_UDP, DMA_QUOTE_MSG_SIZE};
    std::memcpy(msg, &header, sizeof header);
    KestShfeMdType record{};
    record.last_px = 3;
    std::memcpy(msg + DMA_PAYLOAD_OFFSET, &record, sizeof record);

    auto* shared = static_cast<Counts*>(
        mmap(nullptr, sizeof(Counts), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(shared, MAP_FAILED);
    std::memset(shared, 0, sizeof(Counts));
    const pid_t parent = getpid();
    const pid_t child = fork();
    if (child == 0) {
        kest_test::DieWithParent(parent);
        // Once outside the count: what a process does on its first push and poll (the model reads
        // its pid once per process).
        KestShfeMdType out{};
        bool ok = card->PushA2c(1, msg, sizeof msg) && card->PushA2c(2, msg, sizeof msg) &&
                  callback.KestRecv() == 1 && buffer.KestRecv(out) == 1 && callback.KestRecv() == 0 &&
                  buffer.KestRecv(out) == 0;
#if !defined(KEST_TEST_ASAN)
        // The sanitizer runtime makes system calls of its own (and would spin on trapped ones): under
        // it the loop runs for its deliveries alone.
        ok = ok && TrapSystemCalls();
#endif
        g_counting = true;
        uint64_t buffers = 0;
        for (int i = 0; ok && i < 1000000; ++i) {
            if (i % 4 == 0) ok = card->PushA2c(1, msg, sizeof msg) && card->PushA2c(2, msg, sizeof msg);
            callback.KestRecv();
            const int32_t got = buffer.KestRecv(out);
            buffers += static_cast<uint64_t>(got);
        }
        g_counting = false;
        shared->allocations = g_allocations.load(std::memory_order_relaxed);
        shared->syscalls = g_syscalls.load(std::memory_order_relaxed);
        shared->callbacks = spi.count - 1;
        shared->buffers = buffers;
        shared->ok = ok ? 1u : 0u;
        _exit(0);
    }
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(shared->ok, 1u) << "pushes and polls before and during the count";
    EXPECT_EQ(shared->callbacks, 250000u);
    EXPECT_EQ(shared->buffers, 250000u);
    EXPECT_EQ(shared->syscalls, 0u);
#if !defined(KEST_TEST_ASAN)
    EXPECT_EQ(shared->allocations, 0u);
#endif
    munmap(shared, sizeof(Counts));
    CKestShfeMdApi::DestroyKestShfeMdApi(buffer);
    CKestShfeMdApi::DestroyKestShfeMdApi(callback);
    kest_sim::RemoveCard(0);
}

}  // namespace
