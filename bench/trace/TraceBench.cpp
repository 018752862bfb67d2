// What the card-call trace costs an operator who leaves it on:
//
//   trace_empty_{summary,all}  KestRecv() on an empty ring over the tracing   vs  the same KestRecv() over
//                              library (KEST_TRACE_QUOTES=summary or all)          the model, untraced
//   trace_quote_{summary,all}  KestRecv() delivering a quote to OnShfeMdData  vs  the same, untraced
//   trace_size_bringup         MiB of trace per minute of a channel-0 bring-up vs the same entries
//                              (default sizes, the card's logic running)           stored uncompressed
//   trace_size_hour            KiB of trace per hour of summarised trading,   vs  the same hour with every
//                              one stream at kQuotesPerSecond                      quote stored (all)
//
// One process holds both sides: the product over the model as any program
// links it, and, for each quote mode, a second copy of the product over the
// tracing library in a link namespace of its own (dlmopen), as a process
// started with the tracing library on its loader path would have it. Each
// copy polls a channel of its own on the same model card.
//
// The hour is not waited for: the summary and the writer of the tracing
// library are given the hour's quotes with the times they would have.
//
// Google Benchmark prints each run; the FIGURE lines at the end are what
// scripts/run-benchmarks.sh reads.
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <link.h>

#include <iostream>
#include <map>

#include "BenchSupport.h"
#include "cardlogic/LiveCard.h"
#include "cardtrace/QuoteSummary.h"
#include "cardtrace/Trace.h"

namespace {

using namespace kest_bench;
using Clock = std::chrono::steady_clock;

constexpr int kBatch = 2048;            // quotes pushed (untimed) before each timed run of polls
constexpr int kEmptyBatch = 1 << 14;    // empty polls per timed run
constexpr int kQuotesPerSecond = 1000;  // the simulated hour's quote rate on its stream
constexpr int kHourInstruments = 300;

enum Mode { kUntraced = 0, kSummary = 1, kAll = 2 };
const char* const kModeName[] = {"untraced", "summary", "all"};

struct CountingSpi : CKestShfeMdSpi {
    void OnShfeMdData(const KestShfeMdType* q) override { sum += static_cast<uint64_t>(q->last_px); }
    uint64_t sum = 0;
};

// The product over the tracing library in a link namespace of its own.
class TracedProduct {
public:
    TracedProduct(const char* quotes, const std::string& trace) {
        setenv("KEST_TRACE_TARGET", KEST_MODEL_DIR "/libenyx-hw-c.so.5", 1);
        setenv("KEST_TRACE_QUOTES", quotes, 1);
        setenv("KEST_TRACE_FILE", trace.c_str(), 1);
        setenv("KEST_TRACE_MAX_MB", "1048576", 1);  // a benchmark's quotes must not stop the trace
        tracer_ = dlmopen(LM_ID_NEWLM, KEST_TRACE_LIBRARY, RTLD_NOW | RTLD_LOCAL);
        Lmid_t ns = 0;
        if (tracer_ == nullptr || dlinfo(tracer_, RTLD_DI_LMID, &ns) != 0) Die();
        // The product's other card library, which the loader would find beside the model.
        cores_ = dlmopen(ns, KEST_MODEL_DIR "/libenyx-cores-c.so.6", RTLD_NOW | RTLD_LOCAL);
        product_ = dlmopen(ns, KEST_PRODUCT_LIBRARY, RTLD_NOW | RTLD_LOCAL);
        if (cores_ == nullptr || product_ == nullptr) Die();
        create_ = reinterpret_cast<CKestShfeMdApi& (*)()>(
            dlsym(product_, "_ZN14CKestShfeMdApi19CreateKestShfeMdApiEv"));
        destroy_ = reinterpret_cast<void (*)(CKestShfeMdApi&)>(
            dlsym(product_, "_ZN14CKestShfeMdApi20DestroyKestShfeMdApiERS_"));
        if (create_ == nullptr || destroy_ == nullptr) Die();
    }
    // Unloaded: the tracing library closes its trace.
    ~TracedProduct() {
        dlclose(product_);
        dlclose(cores_);
        dlclose(tracer_);
    }
    CKestShfeMdApi& Create() { return create_(); }
    void Destroy(CKestShfeMdApi& api) { destroy_(api); }

private:
    [[noreturn]] static void Die() {
        std::fprintf(stderr, "kest_bench_trace: %s\n", dlerror());
        std::exit(1);
    }
    void* tracer_ = nullptr;
    void* cores_ = nullptr;
    void* product_ = nullptr;
    CKestShfeMdApi& (*create_)() = nullptr;
    void (*destroy_)(CKestShfeMdApi&) = nullptr;
};

struct Bench {
    PrivateCard card{"bench_trace"};
    std::unique_ptr<TracedProduct> traced[3];
    CKestShfeMdApi* api[3] = {};
    CountingSpi spi[3];
    QuoteMessage msg;

    Bench() {
        for (int m = kUntraced; m <= kAll; ++m) {
            if (m != kUntraced) traced[m].reset(new TracedProduct(kModeName[m], Trace(kModeName[m])));
            api[m] = m == kUntraced ? &CKestShfeMdApi::CreateKestShfeMdApi() : &traced[m]->Create();
            if (api[m]->KestStart(spi[m], card.Config(1 + m).c_str()) != 0) std::exit(1);
        }
    }
    std::string Trace(const char* name) const { return card.dir + "/" + name + ".ktr"; }
    // kBatch quotes, each a little different, as the card would send them.
    void Fill(int channel) {
        for (int i = 0; i < kBatch; ++i) {
            KestShfeMdType* q = reinterpret_cast<KestShfeMdType*>(msg.bytes + DMA_PAYLOAD_OFFSET);
            q->last_px += 10;
            q->volume += static_cast<uint32_t>(i & 7);
            if (!card.card->PushA2c(channel, msg.bytes, sizeof msg.bytes)) std::abort();
        }
    }
};

Bench& TheBench() {
    static Bench b;
    return b;
}

// Each iteration times one batch of polls in each mode in turn, so that the
// modes share the machine's moments; the figures are the medians over batches.
template <typename Batch>
void Alternate(benchmark::State& state, int polls, Batch batch) {
    std::vector<double> ns[3];
    for (auto _ : state) {
        double took = 0;
        for (int m = kUntraced; m <= kAll; ++m) {
            const double t = batch(m);
            ns[m].push_back(t);
            took += t * polls;
        }
        state.SetIterationTime(took / 1e9);
    }
    for (int m = kUntraced; m <= kAll; ++m) state.counters[std::string("ns_") + kModeName[m]] = Median(ns[m]);
}

template <typename Poll>
double NsPerPoll(int polls, Poll poll) {
    const auto t0 = Clock::now();
    for (int i = 0; i < polls; ++i) poll();
    return std::chrono::duration<double, std::nano>(Clock::now() - t0).count() / polls;
}

void BM_EmptyPoll(benchmark::State& state) {
    Bench& b = TheBench();
    Alternate(state, kEmptyBatch, [&](int m) {
        return NsPerPoll(kEmptyBatch, [&] { benchmark::DoNotOptimize(b.api[m]->KestRecv()); });
    });
}
BENCHMARK(BM_EmptyPoll)->UseManualTime();

void BM_QuotePoll(benchmark::State& state) {
    Bench& b = TheBench();
    int64_t delivered = 0, pushed = 0;
    Alternate(state, kBatch, [&](int m) {
        b.Fill(1 + m);
        pushed += kBatch;
        return NsPerPoll(kBatch, [&] { delivered += b.api[m]->KestRecv(); });
    });
    if (delivered != pushed) state.SkipWithError("quotes lost");
}
BENCHMARK(BM_QuotePoll)->UseManualTime();

// Bytes of a trace file and of the same entries uncompressed (the blocks' raw sizes).
std::pair<double, double> TraceBytes(const std::string& path) {
    const std::string bytes = [&] {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }();
    double raw = sizeof(kest_trace::FileHeader);
    for (size_t at = sizeof(kest_trace::FileHeader); at + sizeof(kest_trace::BlockHeader) <= bytes.size();) {
        kest_trace::BlockHeader h;
        std::memcpy(&h, bytes.data() + at, sizeof h);
        raw += sizeof h + h.raw_bytes;
        at += sizeof h + h.stored_bytes;
    }
    return {static_cast<double>(bytes.size()), raw};
}

void BM_BringUpSize(benchmark::State& state) {
    Bench& b = TheBench();
    const std::string path = b.card.dir + "/ch0.ini";
    std::ofstream(path)
        << "[config]\nlog_level=1\ncpucore=-1\ndevice=xilinx0:0\ncrc_mux_check=0\n"
           "shfe2ps=enabled\nshfe4ps=enabled\nine2ps=enabled\nine4ps=enabled\n[channel0]\ninsts=all\n";
    const std::string trace = b.Trace("bringup");
    double seconds = 0;
    for (auto _ : state) {
        auto live = kest_cardlogic::LiveCard::Open(kest_cardlogic::LiveCardOptions{});  // default sizes
        if (!live || !live->Start()) std::exit(1);
        {
            TracedProduct traced("summary", trace);
            CKestShfeMdApi& api = traced.Create();
            CountingSpi spi;
            const auto t0 = Clock::now();
            const int32_t rc = api.KestStart(spi, path.c_str());
            seconds = std::chrono::duration<double>(Clock::now() - t0).count();
            live->Stop();
            traced.Destroy(api);
            if (rc != 0) state.SkipWithError("the bring-up failed");
        }
        state.SetIterationTime(seconds);
    }
    const auto [stored, raw] = TraceBytes(trace);
    state.counters["mib_per_minute"] = stored / 1048576 / (seconds / 60);
    state.counters["raw_mib_per_minute"] = raw / 1048576 / (seconds / 60);
    state.counters["mib"] = stored / 1048576;
}
BENCHMARK(BM_BringUpSize)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

// One hour of a stream's quotes, summarised as the tracing library does and
// stored one by one as with KEST_TRACE_QUOTES=all.
void BM_HourSize(benchmark::State& state) {
    using kest_trace::Fn;
    std::string summary_sink, all_sink;
    for (auto _ : state) {
        summary_sink.clear();
        all_sink.clear();
        kest_trace::WriterOptions opt;
        auto summary_writer = kest_trace::Writer::ToString(&summary_sink, opt);
        opt.quote_mode = kest_trace::QuoteMode::kAll;
        auto all_writer = kest_trace::Writer::ToString(&all_sink, opt);
        kest_trace::QuoteSummary summary(*summary_writer);
        QuoteMessage msg;
        KestShfeMdType* q = reinterpret_cast<KestShfeMdType*>(msg.bytes + DMA_PAYLOAD_OFFSET);
        const int64_t start = kest_trace::MonotonicNs(), step = 1'000'000'000 / kQuotesPerSecond;
        uint64_t x = 1;
        for (int64_t i = 0; i < int64_t{3600} * kQuotesPerSecond; ++i) {
            x = x * 6364136223846793005ull + 1442695040888963407ull;
            q->inst_no = static_cast<int32_t>((x >> 33) % kHourInstruments);
            q->last_px += static_cast<int64_t>((x >> 40) % 5) - 2;
            q->volume += static_cast<uint32_t>((x >> 50) % 16);
            const int64_t now = start + i * step;
            summary.Add(&summary, 1, msg.bytes, sizeof msg.bytes, now);
            const uint64_t args[kest_trace::kMaxArgs] = {1, 0};
            all_writer->Add(Fn::kA2cPoll, 1, 0, now, args, msg.bytes, sizeof msg.bytes);
            all_writer->FlushIfOlder(now, kest_trace::kBlockAgeNs);
        }
        const int64_t end = start + int64_t{3600} * 1'000'000'000;
        summary.Flush(end);
        const uint64_t none[kest_trace::kMaxArgs] = {};
        summary_writer->Close(end, none);
        all_writer->Close(end, none);
    }
    state.counters["summary_kib"] = static_cast<double>(summary_sink.size()) / 1024;
    state.counters["all_kib"] = static_cast<double>(all_sink.size()) / 1024;
}
BENCHMARK(BM_HourSize)->Iterations(1)->Unit(benchmark::kSecond);

// Keeps every run's counters for the FIGURE lines.
class Keeper : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& r : runs)
            for (const auto& [name, c] : r.counters) values[r.benchmark_name() + ":" + name] = c.value;
        ConsoleReporter::ReportRuns(runs);
    }
    double Get(const std::string& key) const {
        const auto it = values.find(key);
        return it == values.end() ? 0 : it->second;
    }
    std::map<std::string, double> values;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 2;
    PinTo(TwoCpus().first);
    Keeper keeper;
    // Runs are shown on standard error: standard output is the FIGURE lines' own.
    keeper.SetOutputStream(&std::cerr);
    keeper.SetErrorStream(&std::cerr);
    benchmark::RunSpecifiedBenchmarks(&keeper);
    for (const char* poll : {"empty", "quote"}) {
        const std::string run =
            std::string(poll) == "empty" ? "BM_EmptyPoll/manual_time:" : "BM_QuotePoll/manual_time:";
        if (keeper.values.count(run + "ns_untraced") == 0) continue;
        for (int m = kSummary; m <= kAll; ++m)
            Figure(("trace_" + std::string(poll) + "_" + kModeName[m]).c_str(),
                   keeper.Get(run + "ns_" + kModeName[m]), keeper.Get(run + "ns_untraced"), "ns");
    }
    const std::string bring_up = "BM_BringUpSize/iterations:1/manual_time:";
    if (keeper.values.count(bring_up + "mib_per_minute"))
        Figure("trace_size_bringup", keeper.Get(bring_up + "mib_per_minute"),
               keeper.Get(bring_up + "raw_mib_per_minute"), "MiB");
    const std::string hour = "BM_HourSize/iterations:1:";
    if (keeper.values.count(hour + "summary_kib"))
        Figure("trace_size_hour", keeper.Get(hour + "summary_kib"), keeper.Get(hour + "all_kib"), "KiB");
    benchmark::Shutdown();
    return 0;
}
