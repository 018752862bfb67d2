// The library's own cost on the quote path, on one core:
//
//   empty_poll      KestRecv() on an empty ring    vs  bare poll_once on an empty ring
//   quote_callback  KestRecv() delivering a quote  vs  bare poll_once whose handler makes
//                   to OnShfeMdData                    the same virtual call with the record
//   quote_buffer    KestRecv(record) filling it    vs  bare poll_once whose handler copies
//                                                      the 152-byte record out
//   quote_callback_metrics  KestRecv() delivering to  vs  quote_callback's KestRecv(), the
//                   a handler that also counts the     same handler without the counts
//                   quote as kest-md-recv --metrics does
//
// With --serve the metrics are also served on 127.0.0.1 and scraped every
// 10 ms from the second core all along (metrics "on" as an operator runs them).
//
// Deliveries are timed over batches of kBatch polls on a ring filled before
// each batch (outside the timing); the library and its baseline alternate
// batch by batch on streams of the same card, and each figure is the median
// over batches. Prints FIGURE lines in ns per poll.
#include <atomic>
#include <thread>

#include "BenchSupport.h"
#if defined(KEST_BENCH_METRICS)
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "RecvMetrics.h"
#endif

namespace {

using namespace kest_bench;

constexpr int kBatch = 2048;
constexpr int kBatches = 300;
constexpr int kEmptyPolls = 1 << 20;

struct CountingSpi : CKestShfeMdSpi {
    void OnShfeMdData(const KestShfeMdType* q) override { sum += static_cast<uint64_t>(q->last_px); }
    uint64_t sum = 0;
};

#if defined(KEST_BENCH_METRICS)
// What kest-md-recv's handler adds with --metrics: the delivery counted.
struct MeteredSpi : CountingSpi {
    explicit MeteredSpi(RecvMetrics& m) : metrics(m) {}
    void OnShfeMdData(const KestShfeMdType* q) override {
        sum += static_cast<uint64_t>(q->last_px);
        metrics.Delivered(q->type, 120, 1);
    }
    RecvMetrics& metrics;
};

void Scrape(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(static_cast<uint16_t>(port));
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) == 0) {
        const char request[] = "GET /metrics HTTP/1.0\r\n\r\n";
        if (send(fd, request, sizeof request - 1, 0) > 0) {
            char buf[4096];
            while (recv(fd, buf, sizeof buf, 0) > 0) {
            }
        }
    }
    if (fd >= 0) close(fd);
}
#endif

// What the baselines hand their handler.
struct Bare {
    CKestShfeMdSpi* spi;
    KestShfeMdType* buffer;
};
void CallbackHandler(const uint8_t* data, uint32_t, void* opaque) {
    static_cast<Bare*>(opaque)->spi->OnShfeMdData(
        reinterpret_cast<const KestShfeMdType*>(data + DMA_PAYLOAD_OFFSET));
}
void CopyHandler(const uint8_t* data, uint32_t, void* opaque) {
    std::memcpy(static_cast<Bare*>(opaque)->buffer, data + DMA_PAYLOAD_OFFSET, sizeof(KestShfeMdType));
}
void NoHandler(const uint8_t*, uint32_t, void*) {}

template <typename Poll>
double NsPerPoll(int polls, Poll poll) {
    const uint64_t t0 = Stamp();
    for (int i = 0; i < polls; ++i) poll();
    return static_cast<double>(Stamp() - t0) / TicksPerNs() / polls;
}

}  // namespace

int main(int argc, char** argv) {
    const std::pair<int, int> cpus = TwoCpus();
    const int cpu_a = cpus.first, cpu_b = cpus.second;
    const bool serve = argc > 1 && std::string(argv[1]) == "--serve";
    (void)cpu_b;
    (void)serve;
    PrivateCard card("bench_quotepath");
    CKestShfeMdApi& cb = CKestShfeMdApi::CreateKestShfeMdApi();
    CKestShfeMdApi& buf = CKestShfeMdApi::CreateKestShfeMdApi();
    CountingSpi spi, bare_spi;
    if (cb.KestStart(spi, card.Config(1).c_str()) != 0 || buf.KestStart(card.Config(2).c_str()) != 0)
        return 1;
#if defined(KEST_BENCH_METRICS)
    RecvMetrics metrics(0, 4, "callback", "bench");
    MeteredSpi metered_spi(metrics);
    CKestShfeMdApi& metered = CKestShfeMdApi::CreateKestShfeMdApi();
    if (metered.KestStart(metered_spi, card.Config(4).c_str()) != 0) return 1;
    std::atomic<bool> scraping{serve};
    std::thread scraper;
    if (serve) {
        std::string error;
        if (!metrics.Serve(kest_tools::ListenAddress(), error)) return 1;
        metrics.Started(true, "");
        scraper = std::thread([&] {
            PinTo(cpu_b);
            while (scraping.load()) {
                Scrape(metrics.Port());
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        });
    }
    std::vector<double> metered_lib;
#endif
    enyx_hw_a2c_stream* stream = OpenBareStream(3);
    PinTo(cpu_a);
    KestShfeMdType record{}, bare_record{};
    Bare bare{&bare_spi, &bare_record};
    QuoteMessage msg;
    auto fill = [&](int channel) {
        for (int i = 0; i < kBatch; ++i)
            if (!card.card->PushA2c(channel, msg.bytes, sizeof msg.bytes)) std::abort();
    };

    std::vector<double> empty_lib, empty_bare, cb_lib, cb_bare, buf_lib, buf_bare;
    for (int b = 0; b < kBatches; ++b) {
        if (b % 10 == 0) {
            empty_bare.push_back(NsPerPoll(
                kEmptyPolls / 10, [&] { return enyx_hw_a2c_stream_poll_once(stream, NoHandler, &bare); }));
            empty_lib.push_back(NsPerPoll(kEmptyPolls / 10, [&] { return cb.KestRecv(); }));
        }
        fill(3);
        cb_bare.push_back(
            NsPerPoll(kBatch, [&] { return enyx_hw_a2c_stream_poll_once(stream, CallbackHandler, &bare); }));
        fill(1);
        cb_lib.push_back(NsPerPoll(kBatch, [&] { return cb.KestRecv(); }));
        fill(3);
        buf_bare.push_back(
            NsPerPoll(kBatch, [&] { return enyx_hw_a2c_stream_poll_once(stream, CopyHandler, &bare); }));
        fill(2);
        buf_lib.push_back(NsPerPoll(kBatch, [&] { return buf.KestRecv(record); }));
#if defined(KEST_BENCH_METRICS)
        fill(4);
        metered_lib.push_back(NsPerPoll(kBatch, [&] { return metered.KestRecv(); }));
#endif
    }
    if (spi.sum != bare_spi.sum || record.last_px != bare_record.last_px) std::puts("deliveries differ");
    Figure("empty_poll", Median(empty_lib), Median(empty_bare), "ns");
    Figure("quote_callback", Median(cb_lib), Median(cb_bare), "ns");
    Figure("quote_buffer", Median(buf_lib), Median(buf_bare), "ns");
#if defined(KEST_BENCH_METRICS)
    Figure("quote_callback_metrics", Median(metered_lib), Median(cb_lib), "ns");
    scraping.store(false);
    if (scraper.joinable()) scraper.join();
    metrics.Stop();
    CKestShfeMdApi::DestroyKestShfeMdApi(metered);
#endif
    enyx_hw_a2c_stream_destroy(stream);
    CKestShfeMdApi::DestroyKestShfeMdApi(buf);
    CKestShfeMdApi::DestroyKestShfeMdApi(cb);
    return 0;
}
