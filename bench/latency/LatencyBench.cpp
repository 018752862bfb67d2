// One-way latency from the card's push to the application's callback, with
// the producer (the card) and the application on two pinned cores.
//
// The producer stamps each record with the time-stamp counter just before
// it pushes it, waits until the application has taken it, then idles a
// random 0.5-2 us so that every message finds the application polling an
// empty ring, as a quote does. The callback takes its own stamp on entry.
//
// Limit, same run, same cores: half the round trip of one cache line bounced
// between the two threads (its median), the least any hand-over between two
// cores can cost. The same measure over a plain SPSC ring with the model's
// framing is printed as a second reference.
//
// Prints FIGURE lines (see BenchSupport.h): latency_p50, latency_p99,
// latency_p999, latency_max, plain_ring_p50 and model_poll_p50 against the
// ping-pong; latency_p50_vs_plain and model_poll_vs_plain (the card model's
// ring polled bare) against the plain ring.
#include <random>

#include "BenchSupport.h"

namespace {

using namespace kest_bench;

constexpr int kMessages = 200000;
constexpr int kWarmup = 2000;

// Shared between the two threads of a measure.
struct alignas(64) Handshake {
    // Messages the application has taken: release-stored by the application
    // thread, acquire-loaded by the producer thread before its next push.
    std::atomic<uint64_t> taken{0};
};

// Median round trip / 2 of one cache line between the two cores, in ticks.
double PingPongTicks(int cpu_a, int cpu_b, std::vector<double>& samples) {
    // The bounced line: an odd value is written by thread A, the next even
    // one by thread B; each side acquire-loads what the other release-stored.
    alignas(64) static std::atomic<uint64_t> line{0};
    constexpr uint64_t kRounds = 200000;
    line.store(0, std::memory_order_relaxed);
    std::thread b([&] {
        PinTo(cpu_b);
        for (uint64_t i = 1; i < 2 * kRounds; i += 2) {
            while (line.load(std::memory_order_acquire) != i) {
            }
            line.store(i + 1, std::memory_order_release);
        }
    });
    PinTo(cpu_a);
    samples.clear();
    samples.reserve(kRounds);
    for (uint64_t i = 1; i < 2 * kRounds; i += 2) {
        const uint64_t t0 = Stamp();
        line.store(i, std::memory_order_release);
        while (line.load(std::memory_order_acquire) != i + 1) {
        }
        samples.push_back(static_cast<double>(Stamp() - t0) / 2);
    }
    b.join();
    return Median(samples);
}

// The producer's side of a measure: push (stamped), wait for the taker, idle.
template <typename Push>
void Produce(int cpu, Handshake& hs, Push push) {
    PinTo(cpu);
    std::mt19937_64 rng(42);
    const double per_ns = TicksPerNs();
    std::uniform_int_distribution<uint64_t> idle(static_cast<uint64_t>(500 * per_ns),
                                                 static_cast<uint64_t>(2000 * per_ns));
    QuoteMessage msg;
    for (uint64_t i = 0; i < kMessages + kWarmup; ++i) {
        SpinTicks(idle(rng));
        msg.SetStamp(Stamp());
        while (!push(msg)) {
        }
        while (hs.taken.load(std::memory_order_acquire) != i + 1) _mm_pause();
    }
}

struct StampSpi : CKestShfeMdSpi {
    void OnShfeMdData(const KestShfeMdType* q) override {
        const uint64_t now = Stamp();
        if (n++ >= kWarmup) samples->push_back(static_cast<double>(now - StampOf(q)));
        // Release pairs with the producer's acquire load: it may push the next one.
        hs->taken.store(n, std::memory_order_release);
    }
    std::vector<double>* samples;
    Handshake* hs;
    uint64_t n = 0;
};

}  // namespace

int main() {
    const std::pair<int, int> cpus = TwoCpus();
    const int cpu_a = cpus.first, cpu_b = cpus.second;
    PrivateCard card("bench_latency");
    const double per_ns = TicksPerNs();
    std::vector<double> pp;
    const double limit = PingPongTicks(cpu_a, cpu_b, pp) / per_ns;

    // Through the library: KestRecv() in callback mode on core a.
    std::vector<double> lat;
    lat.reserve(kMessages);
    {
        CKestShfeMdApi& api = CKestShfeMdApi::CreateKestShfeMdApi();
        Handshake hs;
        StampSpi spi;
        spi.samples = &lat;
        spi.hs = &hs;
        if (api.KestStart(spi, card.Config(1).c_str()) != 0) return 1;
        PinTo(cpu_a);
        std::thread producer([&] {
            Produce(cpu_b, hs,
                    [&](const QuoteMessage& m) { return card.card->PushA2c(1, m.bytes, sizeof m.bytes); });
        });
        while (spi.n < kMessages + kWarmup) api.KestRecv();
        producer.join();
        CKestShfeMdApi::DestroyKestShfeMdApi(api);
    }

    // The model's stream polled bare (no library), same pacing and cores.
    std::vector<double> bare;
    bare.reserve(kMessages);
    {
        enyx_hw_a2c_stream* stream = OpenBareStream(3);
        Handshake hs;
        StampSpi spi;
        spi.samples = &bare;
        spi.hs = &hs;
        PinTo(cpu_a);
        std::thread producer([&] {
            Produce(cpu_b, hs,
                    [&](const QuoteMessage& m) { return card.card->PushA2c(3, m.bytes, sizeof m.bytes); });
        });
        auto handler = [](const uint8_t* data, uint32_t, void* opaque) {
            static_cast<StampSpi*>(opaque)->OnShfeMdData(
                reinterpret_cast<const KestShfeMdType*>(data + DMA_PAYLOAD_OFFSET));
        };
        while (spi.n < kMessages + kWarmup) enyx_hw_a2c_stream_poll_once(stream, handler, &spi);
        producer.join();
        enyx_hw_a2c_stream_destroy(stream);
    }

    // The plain ring, same pacing and cores.
    std::vector<double> plain;
    plain.reserve(kMessages);
    {
        PlainRing ring(4u << 20);
        Handshake hs;
        PinTo(cpu_a);
        std::thread producer([&] {
            Produce(cpu_b, hs, [&](const QuoteMessage& m) { return ring.TryPush(m.bytes, sizeof m.bytes); });
        });
        uint64_t n = 0;
        while (n < kMessages + kWarmup) {
            ring.Poll([&](const uint8_t* data, uint32_t) {
                const uint64_t now = Stamp();
                const auto* q = reinterpret_cast<const KestShfeMdType*>(data + DMA_PAYLOAD_OFFSET);
                if (n++ >= kWarmup) plain.push_back(static_cast<double>(now - StampOf(q)));
                // Release pairs with the producer's acquire load.
                hs.taken.store(n, std::memory_order_release);
            });
        }
        producer.join();
    }

    for (double& v : lat) v /= per_ns;
    for (double& v : plain) v /= per_ns;
    for (double& v : bare) v /= per_ns;
    std::printf("cpus %d,%d  ping-pong one-way p50 %.1f ns p99 %.1f ns\n", cpu_a, cpu_b, limit,
                Quantile(pp, 0.99) / per_ns);
    Figure("latency_p50", Quantile(lat, 0.5), limit, "ns");
    Figure("latency_p99", Quantile(lat, 0.99), limit, "ns");
    Figure("latency_p999", Quantile(lat, 0.999), limit, "ns");
    Figure("latency_max", lat.back(), limit, "ns");
    Figure("plain_ring_p50", Quantile(plain, 0.5), limit, "ns");
    Figure("model_poll_p50", Quantile(bare, 0.5), limit, "ns");
    Figure("latency_p50_vs_plain", Quantile(lat, 0.5), Quantile(plain, 0.5), "ns");
    Figure("model_poll_vs_plain", Quantile(bare, 0.5), Quantile(plain, 0.5), "ns");
    return 0;
}
