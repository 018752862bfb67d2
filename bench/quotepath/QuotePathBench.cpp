// The library's own cost on the quote path, on one core:
//
//   empty_poll      KestRecv() on an empty ring    vs  bare poll_once on an empty ring
//   quote_callback  KestRecv() delivering a quote  vs  bare poll_once whose handler makes
//                   to OnShfeMdData                    the same virtual call with the record
//   quote_buffer    KestRecv(record) filling it    vs  bare poll_once whose handler copies
//                                                      the 152-byte record out
//
// Deliveries are timed over batches of kBatch polls on a ring filled before
// each batch (outside the timing); the library and its baseline alternate
// batch by batch on streams of the same card, and each figure is the median
// over batches. Prints FIGURE lines in ns per poll.
#include "BenchSupport.h"

namespace {

using namespace kest_bench;

constexpr int kBatch = 2048;
constexpr int kBatches = 300;
constexpr int kEmptyPolls = 1 << 20;

struct CountingSpi : CKestShfeMdSpi {
    void OnShfeMdData(const KestShfeMdType* q) override { sum += static_cast<uint64_t>(q->last_px); }
    uint64_t sum = 0;
};

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

int main() {
    const std::pair<int, int> cpus = TwoCpus();
    const int cpu_a = cpus.first, cpu_b = cpus.second;
    (void)cpu_b;
    PrivateCard card("bench_quotepath");
    CKestShfeMdApi& cb = CKestShfeMdApi::CreateKestShfeMdApi();
    CKestShfeMdApi& buf = CKestShfeMdApi::CreateKestShfeMdApi();
    CountingSpi spi, bare_spi;
    if (cb.KestStart(spi, card.Config(1).c_str()) != 0 || buf.KestStart(card.Config(2).c_str()) != 0)
        return 1;
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
    }
    if (spi.sum != bare_spi.sum || record.last_px != bare_record.last_px) std::puts("deliveries differ");
    Figure("empty_poll", Median(empty_lib), Median(empty_bare), "ns");
    Figure("quote_callback", Median(cb_lib), Median(cb_bare), "ns");
    Figure("quote_buffer", Median(buf_lib), Median(buf_bare), "ns");
    enyx_hw_a2c_stream_destroy(stream);
    CKestShfeMdApi::DestroyKestShfeMdApi(buf);
    CKestShfeMdApi::DestroyKestShfeMdApi(cb);
    return 0;
}
