// Quotes per second from the card to the application across two pinned
// cores, the producer pushing as fast as the ring takes them (a refused push
// is retried at once) and the application calling KestRecv() in callback
// mode. Limit, same run and cores: a plain SPSC ring written here with the
// model's framing (8-byte header, 160-byte message) and cached indexes, of
// the same size as the card's ring, fed and drained the same way.
//
// Each measure runs kRounds times, alternating, after one round of each that
// is not counted (it maps the rings' pages in); the figure and the limit are
// the medians. Prints FIGURE throughput <M msg/s> <plain ring M msg/s>, and
// throughput_bare_ring: the model's ring polled bare, with the plain ring's
// own consumer work (the ring against the ring: the library's callback costs
// more than the plain ring's sum, and bounds the first figure when the
// producer runs ahead); throughput_two_producers: two producer processes into
// the one ring; throughput_batched: the producer pushing kBatch messages at a
// time (Card::PushA2cBatch, as the replay does), the plain ring still
// pushing one.
#include <sys/wait.h>

#include "BenchSupport.h"

namespace {

using namespace kest_bench;

constexpr uint64_t kMessages = 2000000;
constexpr int kRounds = 5;
constexpr uint32_t kBatch = 32;

struct CountingSpi : CKestShfeMdSpi {
    void OnShfeMdData(const KestShfeMdType* q) override { sum += static_cast<uint64_t>(q->last_px), ++n; }
    uint64_t sum = 0, n = 0;
};

// Runs push() kMessages times on cpu_b while poll() runs on this thread (cpu_a)
// until it has taken them all; messages per second, in millions.
// push(msg, left) returns how many messages it pushed (a batch may push
// several, never more than left).
template <typename Push, typename Poll>
double Rate(int cpu_a, int cpu_b, Push push, Poll poll) {
    // Release-stored by this thread to start the producer, acquire-loaded by it.
    std::atomic<bool> go{false};
    std::thread producer([&] {
        PinTo(cpu_b);
        QuoteMessage msg;
        while (!go.load(std::memory_order_acquire)) {
        }
        for (uint64_t i = 0; i < kMessages;) i += push(msg, kMessages - i);
    });
    PinTo(cpu_a);
    const auto t0 = std::chrono::steady_clock::now();
    go.store(true, std::memory_order_release);
    uint64_t taken = 0;
    while (taken < kMessages) taken += static_cast<uint64_t>(poll());
    const auto t1 = std::chrono::steady_clock::now();
    producer.join();
    return static_cast<double>(kMessages) / std::chrono::duration<double, std::micro>(t1 - t0).count();
}

// The same with two producer processes pushing into the one ring at once,
// both on cpu_b, half the messages each: the right to write changes hands
// whenever the one that runs is not the one that holds it.
template <typename Poll>
double TwoProducerRate(int cpu_a, int cpu_b, Poll poll) {
    int go[2];
    if (pipe(go) != 0) return 0;
    pid_t kids[2];
    const pid_t parent = getpid();
    for (pid_t& kid : kids) {
        kid = fork();
        if (kid == 0) {
            DieWithParent(parent);
            PinTo(cpu_b);
            std::unique_ptr<kest_sim::Card> card = kest_sim::Card::Open(0);
            QuoteMessage msg;
            char start = 0;
            if (!card || read(go[0], &start, 1) != 1) _exit(1);
            for (uint64_t i = 0; i < kMessages / 2; ++i) {
                while (!card->PushA2c(1, msg.bytes, sizeof msg.bytes)) {
                }
            }
            _exit(0);
        }
    }
    PinTo(cpu_a);
    const auto t0 = std::chrono::steady_clock::now();
    if (write(go[1], "gg", 2) != 2) return 0;
    uint64_t taken = 0;
    while (taken < kMessages / 2 * 2) taken += static_cast<uint64_t>(poll());
    const auto t1 = std::chrono::steady_clock::now();
    for (pid_t kid : kids) waitpid(kid, nullptr, 0);
    close(go[0]);
    close(go[1]);
    return static_cast<double>(kMessages) / std::chrono::duration<double, std::micro>(t1 - t0).count();
}

}  // namespace

int main() {
    const std::pair<int, int> cpus = TwoCpus();
    const int cpu_a = cpus.first, cpu_b = cpus.second;
    PrivateCard card("bench_throughput");
    CKestShfeMdApi& api = CKestShfeMdApi::CreateKestShfeMdApi();
    CountingSpi spi;
    if (api.KestStart(spi, card.Config(1).c_str()) != 0) return 1;
    const uint32_t ring_bytes = card.card->A2cStats(1).a2c_capacity;

    // The batch's messages lie one after the other, as a replay's entries do.
    std::vector<QuoteMessage> batch(kBatch);
    static_assert(sizeof(QuoteMessage) == DMA_QUOTE_MSG_SIZE, "messages are contiguous");
    kest_sim::PushBatch b;
    b.payloads = batch[0].bytes;
    b.payload_size = sizeof batch[0].bytes;
    b.stride = sizeof batch[0];

    enyx_hw_a2c_stream* bare_stream = OpenBareStream(3);
    if (bare_stream == nullptr || card.card->A2cStats(3).a2c_capacity != ring_bytes) return 1;
    uint64_t bare_sum = 0;
    const auto bare_handler = [](const uint8_t* data, uint32_t, void* opaque) {
        *static_cast<uint64_t*>(opaque) += static_cast<uint64_t>(
            reinterpret_cast<const KestShfeMdType*>(data + DMA_PAYLOAD_OFFSET)->last_px);
    };

    std::vector<double> lib, plain, two, batched, bare;
    for (int r = 0; r <= kRounds; ++r) {
        if (r == 1) lib.clear(), plain.clear(), two.clear(), batched.clear(), bare.clear();
        two.push_back(TwoProducerRate(cpu_a, cpu_b, [&] { return api.KestRecv(); }));
        lib.push_back(Rate(
            cpu_a, cpu_b,
            [&](const QuoteMessage& m, uint64_t) {
                return card.card->PushA2c(1, m.bytes, sizeof m.bytes) ? 1u : 0u;
            },
            [&] { return api.KestRecv(); }));
        batched.push_back(Rate(
            cpu_a, cpu_b,
            [&](const QuoteMessage&, uint64_t left) {
                b.count = static_cast<uint32_t>(std::min<uint64_t>(kBatch, left));
                return card.card->PushA2cBatch(1, b);
            },
            [&] { return api.KestRecv(); }));
        bare.push_back(Rate(
            cpu_a, cpu_b,
            [&](const QuoteMessage& m, uint64_t) {
                return card.card->PushA2c(3, m.bytes, sizeof m.bytes) ? 1u : 0u;
            },
            [&] { return enyx_hw_a2c_stream_poll_once(bare_stream, bare_handler, &bare_sum); }));
        PlainRing ring(ring_bytes);
        uint64_t sum = 0;
        plain.push_back(Rate(
            cpu_a, cpu_b,
            [&](const QuoteMessage& m, uint64_t) { return ring.TryPush(m.bytes, sizeof m.bytes) ? 1u : 0u; },
            [&] {
                return ring.Poll([&](const uint8_t* data, uint32_t) {
                    sum += static_cast<uint64_t>(
                        reinterpret_cast<const KestShfeMdType*>(data + DMA_PAYLOAD_OFFSET)->last_px);
                });
            }));
        if (sum == 1 || bare_sum == 1) std::puts("");  // keeps the consumers' reads
    }
    std::printf("cpus %d,%d  ring %u bytes  M msg/s per round, library / model ring bare / plain:", cpu_a,
                cpu_b, ring_bytes);
    for (int r = 0; r < kRounds; ++r) std::printf(" %.2f/%.2f/%.2f", lib[r], bare[r], plain[r]);
    std::printf("\n");
    std::printf("batches of %u, M msg/s per round:", kBatch);
    for (double t : batched) std::printf(" %.2f", t);
    std::printf("\n");
    std::printf("two producer processes, M msg/s per round:");
    for (double t : two) std::printf(" %.2f", t);
    std::printf("\n");
    Figure("throughput", Median(lib), Median(plain), "Mmsg/s");
    Figure("throughput_bare_ring", Median(bare), Median(plain), "Mmsg/s");
    Figure("throughput_batched", Median(batched), Median(plain), "Mmsg/s");
    Figure("throughput_two_producers", Median(two), Median(plain), "Mmsg/s");
    enyx_hw_a2c_stream_destroy(bare_stream);
    CKestShfeMdApi::DestroyKestShfeMdApi(api);
    return 0;
}
