// ns per delivered quote through the public interface (callback and buffer
// mode) beside the card model's bare poll of the same messages, plus
// per-poll percentiles.
//
// The object is started through the public interface on a simulated card
// that already runs with the configuration (same checksum in the card,
// multicast counters moving), so the start programs nothing.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>
#include <x86intrin.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "EnyxHw.h"
#include "FpgaRegisterCommon.h"
#include "FpgaStructCommon.h"
#include "KestShfeMdApi.h"
#include "kest_cardsim.h"

namespace {

constexpr int kBatch = 4096;  // messages pushed (untimed) before each timed run of polls
constexpr uint32_t kCard = 0;

struct Fixture {
    std::unique_ptr<kest_sim::Card> card;
    std::string config;
    uint8_t quote[DMA_QUOTE_MSG_SIZE];

    Fixture() {
        const std::string ns = "bench_recv." + std::to_string(getpid());
        setenv("KEST_CARDSIM_NAMESPACE", ns.c_str(), 1);
        char dir[] = "/tmp/kest_bench.XXXXXX";
        if (mkdtemp(dir) == nullptr || chdir(dir) != 0) std::perror("tmpdir");
        kest_sim::CardOptions options;
        options.a2c_ring_bytes = 8u << 20;
        kest_sim::CreateCard(kCard, options);
        card = kest_sim::Card::Open(kCard);

        config = std::string(dir) + "/bench.ini";
        std::ofstream(config) << "[config]\nlog_level=1\ndevice=xilinx0:0\ncrc_mux_check=1\n";
        std::ifstream in(config, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        const std::string bytes = text.str();
        // Raw CRC-32C (seed 0, no final inversion), as the start compares it.
        uint32_t crc = 0;
        for (unsigned char byte : bytes) {
            crc ^= byte;
            for (int bit = 0; bit < 8; ++bit) crc = (crc & 1u) ? (crc >> 1) ^ 0x82F63B78u : crc >> 1;
        }
        card->WriteReg(Kest_U50::Reg::CONFIG_CRC, crc);
        card->WriteReg(Kest_U50::Reg::MUX0_2PS_PKTS, 1);

        std::memset(quote, 0, sizeof(quote));
        dma_header_t header{DMA_UDP, DMA_QUOTE_MSG_SIZE};
        std::memcpy(quote, &header, sizeof(header));
        KestShfeMdType record{};
        record.inst_no = 17;
        std::memcpy(record.inst_id, "cu2501", 6);
        record.last_px = 7215000;
        std::memcpy(quote + DMA_PAYLOAD_OFFSET, &record, sizeof(record));
    }
    ~Fixture() { kest_sim::RemoveCard(kCard); }

    void Fill(int channel, int count) {
        for (int i = 0; i < count; ++i) {
            if (!card->PushA2c(channel, quote, sizeof(quote))) std::abort();
        }
    }
};

Fixture& TheFixture() {
    static Fixture fixture;
    return fixture;
}

struct CountingSpi : CKestShfeMdSpi {
    void OnShfeMdData(const KestShfeMdType* q) override { sum += q->last_px; }
    int64_t sum = 0;
};

using Clock = std::chrono::steady_clock;

void RunTimed(benchmark::State& state, int channel, const std::function<int()>& poll) {
    Fixture& f = TheFixture();
    int64_t delivered = 0;
    for (auto _ : state) {
        f.Fill(channel, kBatch);
        const auto t0 = Clock::now();
        for (int i = 0; i < kBatch; ++i) delivered += poll();
        const auto t1 = Clock::now();
        state.SetIterationTime(std::chrono::duration<double>(t1 - t0).count());
    }
    if (delivered != static_cast<int64_t>(state.iterations()) * kBatch) state.SkipWithError("lost quotes");
    state.SetItemsProcessed(delivered);
    state.counters["ns_per_record"] = benchmark::Counter(
        static_cast<double>(delivered), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// Baseline: the model's own poll of the same messages with a handler that
// copies the record out, without the library.
void BM_BaselineRawPoll(benchmark::State& state) {
    Fixture& f = TheFixture();
    (void)f;
    enyx_hw_filter* filter = enyx_hw_filter_create();
    enyx_hw_filter_set_index(filter, kCard);
    const enyx_hw_accelerator_descriptor* acc_desc[1] = {nullptr};
    enyx_hw_enumerate_accelerators(filter, acc_desc, 1);
    enyx_hw_filter_destroy(filter);
    enyx_hw_accelerator* acc = enyx_hw_accelerator_get(acc_desc[0]);
    enyx_hw_free_accelerator_descriptors(acc_desc, 1);
    enyx_hw_filter* name = enyx_hw_filter_create();
    enyx_hw_filter_set_name(name, "CUSTOM_CHAN9_DATA");
    const enyx_hw_a2c_stream_descriptor* desc[1] = {nullptr};
    enyx_hw_accelerator_enumerate_a2c_streams(acc, name, desc, 1);
    enyx_hw_a2c_stream* stream = enyx_hw_a2c_stream_create(desc[0], 0);
    enyx_hw_free_a2c_stream_descriptors(desc, 1);
    enyx_hw_filter_destroy(name);
    static KestShfeMdType out;
    auto handler = [](const uint8_t* data, uint32_t, void*) {
        std::memcpy(&out, data + DMA_PAYLOAD_OFFSET, sizeof(out));
    };
    RunTimed(state, 9, [&] { return enyx_hw_a2c_stream_poll_once(stream, handler, nullptr); });
    enyx_hw_a2c_stream_destroy(stream);
}
BENCHMARK(BM_BaselineRawPoll)->UseManualTime();

CKestShfeMdApi& StartedApi(bool buffer, CountingSpi& spi) {
    Fixture& f = TheFixture();
    CKestShfeMdApi& api = CKestShfeMdApi::CreateKestShfeMdApi();
    const int rc = buffer ? api.KestStart(f.config.c_str()) : api.KestStart(spi, f.config.c_str());
    if (rc != 0) {
        std::fprintf(stderr, "start failed: %d\n", rc);
        std::abort();
    }
    return api;
}

void BM_KestRecvCallback(benchmark::State& state) {
    CountingSpi spi;
    CKestShfeMdApi& api = StartedApi(false, spi);
    RunTimed(state, 0, [&] { return api.KestRecv(); });
    benchmark::DoNotOptimize(spi.sum);
    CKestShfeMdApi::DestroyKestShfeMdApi(api);
}
BENCHMARK(BM_KestRecvCallback)->UseManualTime();

void BM_KestRecvBuffer(benchmark::State& state) {
    CountingSpi spi;
    CKestShfeMdApi& api = StartedApi(true, spi);
    KestShfeMdType record;
    RunTimed(state, 0, [&] { return api.KestRecv(record); });
    benchmark::DoNotOptimize(record);
    CKestShfeMdApi::DestroyKestShfeMdApi(api);
}
BENCHMARK(BM_KestRecvBuffer)->UseManualTime();

void BM_KestRecvEmpty(benchmark::State& state) {
    CountingSpi spi;
    CKestShfeMdApi& api = StartedApi(false, spi);
    for (auto _ : state) benchmark::DoNotOptimize(api.KestRecv());
    CKestShfeMdApi::DestroyKestShfeMdApi(api);
}
BENCHMARK(BM_KestRecvEmpty);

// Per-poll distribution in TSC cycles converted to ns, printed as counters.
void BM_KestRecvCallbackPercentiles(benchmark::State& state) {
    CountingSpi spi;
    CKestShfeMdApi& api = StartedApi(false, spi);
    std::vector<uint64_t> cycles;
    cycles.reserve(static_cast<size_t>(kBatch) * 64);
    const auto c0 = __rdtsc();
    const auto w0 = Clock::now();
    for (auto _ : state) {
        TheFixture().Fill(0, kBatch);
        for (int i = 0; i < kBatch; ++i) {
            const uint64_t a = __rdtsc();
            benchmark::DoNotOptimize(api.KestRecv());
            cycles.push_back(__rdtsc() - a);
        }
    }
    const double nsPerCycle = std::chrono::duration<double, std::nano>(Clock::now() - w0).count() /
                              static_cast<double>(__rdtsc() - c0);
    std::sort(cycles.begin(), cycles.end());
    auto at = [&](double q) {
        return static_cast<double>(cycles[static_cast<size_t>(q * (cycles.size() - 1))]) * nsPerCycle;
    };
    state.counters["p50_ns"] = at(0.50);
    state.counters["p99_ns"] = at(0.99);
    state.counters["p99.9_ns"] = at(0.999);
    state.counters["max_ns"] = static_cast<double>(cycles.back()) * nsPerCycle;
    CKestShfeMdApi::DestroyKestShfeMdApi(api);
}
BENCHMARK(BM_KestRecvCallbackPercentiles)->Iterations(64);

}  // namespace

BENCHMARK_MAIN();
