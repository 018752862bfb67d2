// What the figure-beside-limit benchmarks share: the time-stamp counter in
// nanoseconds, thread pinning, a private simulated card, a started API
// object, a plain SPSC ring with the card model's framing, and the one
// output line scripts/run-benchmarks.sh reads:
//
//   FIGURE <key> <figure> <limit> <unit>
//
// Each figure is printed beside a limit measured in the same process run.
#pragma once

#include <pthread.h>
#include <sched.h>
#include <stdlib.h>
#include <unistd.h>
#include <x86intrin.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "../../tests/common/ChildProcess.h"
#include "EnyxHw.h"
#include "FpgaStructCommon.h"
#include "KestShfeMdApi.h"
#include "kest_cardsim.h"

namespace kest_bench {

// --- time ------------------------------------------------------------------

// A stamp that is not taken before the loads in front of it have completed.
inline uint64_t Stamp() {
    _mm_lfence();
    return __rdtsc();
}

// Counter ticks per nanosecond, against the steady clock over ~50 ms.
inline double TicksPerNs() {
    static const double ratio = [] {
        const auto t0 = std::chrono::steady_clock::now();
        const uint64_t c0 = Stamp();
        while (std::chrono::steady_clock::now() - t0 < std::chrono::milliseconds(50)) {
        }
        const uint64_t c1 = Stamp();
        const auto t1 = std::chrono::steady_clock::now();
        return static_cast<double>(c1 - c0) / std::chrono::duration<double, std::nano>(t1 - t0).count();
    }();
    return ratio;
}

inline void SpinTicks(uint64_t ticks) {
    const uint64_t end = __rdtsc() + ticks;
    while (__rdtsc() < end) _mm_pause();
}

// The q-quantile (0..1) of samples, which it sorts.
inline double Quantile(std::vector<double>& v, double q) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const size_t i = std::min(v.size() - 1, static_cast<size_t>(q * static_cast<double>(v.size())));
    return v[i];
}
inline double Median(std::vector<double> v) { return Quantile(v, 0.5); }

// --- threads and processes -------------------------------------------------

// Every child a benchmark forks calls this first: it ends with the benchmark.
using kest_test::DieWithParent;

inline bool PinTo(int cpu) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    return pthread_setaffinity_np(pthread_self(), sizeof set, &set) == 0;
}

// The two cores a cross-core measure uses: $KEST_BENCH_CPUS "a,b" or 0,1.
inline std::pair<int, int> TwoCpus() {
    int a = 0, b = 1;
    if (const char* env = std::getenv("KEST_BENCH_CPUS")) std::sscanf(env, "%d,%d", &a, &b);
    return {a, b};
}

inline void Figure(const char* key, double figure, double limit, const char* unit) {
    std::printf("FIGURE %s %.4f %.4f %s\n", key, figure, limit, unit);
    std::fflush(stdout);
}

// --- the card and the library ---------------------------------------------

// Card 0 in a namespace of this process, created with default options, and a
// working directory of its own (the library writes its log there).
struct PrivateCard {
    std::unique_ptr<kest_sim::Card> card;
    std::string dir;

    explicit PrivateCard(const char* tag, const kest_sim::CardOptions& options = {}) {
        const std::string ns = std::string(tag) + "." + std::to_string(getpid());
        setenv("KEST_CARDSIM_NAMESPACE", ns.c_str(), 1);
        char pattern[] = "/tmp/kest_bench.XXXXXX";
        if (mkdtemp(pattern) == nullptr || chdir(pattern) != 0) std::perror("bench dir");
        dir = pattern;
        if (kest_sim::CreateCard(0, options) != 0) std::perror("CreateCard");
        card = kest_sim::Card::Open(0);
        if (!card) std::abort();
    }
    ~PrivateCard() {
        card.reset();
        kest_sim::RemoveCard(0);
        const std::string cmd = "rm -rf '" + dir + "'";
        if (std::system(cmd.c_str()) != 0) std::perror("rm");
    }
    // A configuration for a channel other than 0: its start opens the
    // streams and programs nothing.
    std::string Config(int channel) const {
        const std::string path = dir + "/ch" + std::to_string(channel) + ".ini";
        std::ofstream(path) << "[config]\nlog_level=1\ncpucore=-1\ndevice=xilinx0:" << channel << "\n";
        return path;
    }
};

// A 160-byte quote message as the card writes it; the record's turnover
// field carries the producer's stamp in the cross-core measures.
struct QuoteMessage {
    uint8_t bytes[DMA_QUOTE_MSG_SIZE] = {};
    QuoteMessage() {
        const dma_header_t header{DMA_UDP, DMA_QUOTE_MSG_SIZE};
        std::memcpy(bytes, &header, sizeof header);
        KestShfeMdType record{};
        record.inst_no = 17;
        std::memcpy(record.inst_id, "cu2501", 6);
        record.last_px = 7215000;
        std::memcpy(bytes + DMA_PAYLOAD_OFFSET, &record, sizeof record);
    }
    void SetStamp(uint64_t stamp) {
        std::memcpy(bytes + DMA_PAYLOAD_OFFSET + offsetof(KestShfeMdType, turnover), &stamp, sizeof stamp);
    }
};
inline uint64_t StampOf(const KestShfeMdType* q) {
    uint64_t stamp;
    std::memcpy(&stamp, reinterpret_cast<const uint8_t*>(q) + offsetof(KestShfeMdType, turnover),
                sizeof stamp);
    return stamp;
}

// The card-to-host stream of a channel, opened the way the library does.
inline enyx_hw_a2c_stream* OpenBareStream(int channel) {
    enyx_hw_filter* f = enyx_hw_filter_create();
    enyx_hw_filter_set_index(f, 0);
    const enyx_hw_accelerator_descriptor* ad[1] = {};
    enyx_hw_enumerate_accelerators(f, ad, 1);
    enyx_hw_accelerator* acc = enyx_hw_accelerator_get(ad[0]);
    enyx_hw_free_accelerator_descriptors(ad, 1);
    enyx_hw_filter_set_name(f, ("CUSTOM_CHAN" + std::to_string(channel) + "_DATA").c_str());
    const enyx_hw_a2c_stream_descriptor* sd[1] = {};
    enyx_hw_accelerator_enumerate_a2c_streams(acc, f, sd, 1);
    enyx_hw_a2c_stream* s = enyx_hw_a2c_stream_create(sd[0], 0);
    enyx_hw_free_a2c_stream_descriptors(sd, 1);
    enyx_hw_filter_destroy(f);
    return s;
}

// --- a plain ring ----------------------------------------------------------

// Single producer, single consumer, in this process, with the card model's
// framing (8-byte header, message padded to 8, a pad marker where a record
// would not fit before the end) and each side caching the other's index:
// what a hand-over across cores costs with nothing else in the way.
class PlainRing {
public:
    explicit PlainRing(uint32_t capacity)
        : cap_(capacity), data_(new (std::align_val_t{64}) uint8_t[capacity]) {
        std::memset(data_, 0, capacity);
    }
    ~PlainRing() { operator delete[](data_, std::align_val_t{64}); }
    PlainRing(const PlainRing&) = delete;
    PlainRing& operator=(const PlainRing&) = delete;

    bool TryPush(const void* msg, uint32_t size) {
        const uint64_t rec = 8 + ((uint64_t{size} + 7) & ~uint64_t{7});
        uint64_t off = p_.head & (cap_ - 1);
        const uint64_t pad = rec > cap_ - off ? cap_ - off : 0;
        if (pad + rec > cap_ - (p_.head - p_.tail_seen)) {
            // Acquire pairs with the consumer's release store of tail.
            p_.tail_seen = tail_.load(std::memory_order_acquire);
            if (pad + rec > cap_ - (p_.head - p_.tail_seen)) return false;
        }
        if (pad != 0) {
            const uint32_t marker = 0xFFFFFFFFu;
            std::memcpy(data_ + off, &marker, 4);
            p_.head += pad;
            off = 0;
        }
        std::memcpy(data_ + off, &size, 4);
        std::memcpy(data_ + off + 8, msg, size);
        p_.head += rec;
        // Release pairs with the consumer's acquire load of head in Poll.
        head_.store(p_.head, std::memory_order_release);
        return true;
    }

    template <typename Handler>
    int Poll(Handler&& handler) {
        if (c_.head_seen == c_.cursor) {
            // Acquire pairs with the producer's release store of head in TryPush.
            c_.head_seen = head_.load(std::memory_order_acquire);
            if (c_.head_seen == c_.cursor) return 0;
        }
        uint64_t off = c_.cursor & (cap_ - 1);
        uint32_t size;
        std::memcpy(&size, data_ + off, 4);
        if (size == 0xFFFFFFFFu) {
            c_.cursor += cap_ - off;
            off = 0;
            std::memcpy(&size, data_, 4);
        }
        handler(data_ + off + 8, size);
        c_.cursor += 8 + ((uint64_t{size} + 7) & ~uint64_t{7});
        // Release pairs with the producer's acquire load of tail in TryPush.
        tail_.store(c_.cursor, std::memory_order_release);
        return 1;
    }

private:
    const uint64_t cap_;
    uint8_t* const data_;
    // Producer index: release-stored by the producer thread, acquire-loaded by the consumer thread.
    alignas(64) std::atomic<uint64_t> head_{0};
    // Consumer index: release-stored by the consumer thread, acquire-loaded by the producer thread.
    alignas(64) std::atomic<uint64_t> tail_{0};
    struct alignas(64) {
        uint64_t head = 0, tail_seen = 0;
    } p_;  // the producer thread's own
    struct alignas(64) {
        uint64_t cursor = 0, head_seen = 0;
    } c_;  // the consumer thread's own
};

}  // namespace kest_bench
