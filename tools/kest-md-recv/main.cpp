// kest-md-recv: receives quotes through the public interface, the way a
// user's application does, and prints them as a live table or writes them
// as CSV/binary records; on SIGINT/SIGTERM (or after --seconds) prints a
// summary.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>

#include "CardLibrary.h"
#include "KestShfeMdApi.h"
#include "OutputFile.h"
#include "ProductLoader.h"
#include "QuoteBook.h"
#include "RecvClock.h"
#include "RecvMetrics.h"
#include "RecvOptions.h"
#include "RunReports.h"
#include "StartLog.h"
#include "StartVerdict.h"
#include "StartWatch.h"
#include "ToolOptions.h"
#include "recording/QuoteCsv.h"
#include "recording/Recording.h"

namespace {

using namespace kest_md_recv;

// The polling thread's clock: a stamp costs one counter read (RecvClock.h).
RecvClock g_recvClock;
uint64_t NowNs() { return g_recvClock.NowNs(); }

class Receiver : public CKestShfeMdSpi {
public:
    Receiver(QuoteBook& book, RecvMetrics* metrics) : book_(book), metrics_(metrics) {}
    void OnShfeMdData(const KestShfeMdType* quote) override {
        const uint64_t latency = NowNs() - pollStartNs;
        const int64_t arrival = g_recvClock.ArrivalNs();
        book_.Latency().Add(latency);
        book_.OnQuote(*quote, arrival);
        if (metrics_ != nullptr) metrics_->Delivered(quote->type, latency, arrival);
    }
    uint64_t pollStartNs = 0;

private:
    QuoteBook& book_;
    RecvMetrics* metrics_;
};

// A signal that arrives before the library has installed its own handlers
// must not end the process without its summary.
std::atomic<bool> g_earlySignal{false};
void EarlySignal(int) { g_earlySignal.store(true); }

}  // namespace

int main(int argc, char** argv) {
    const Options opt = ParseOptions(argc, argv);
    if (!opt.force && !kest_tools::StartAllowed(kTool, opt.config)) return 2;
    std::string loadError;
    if (!kest_tools::ProductLoader::Load(loadError)) {
        std::fprintf(stderr, "%s: %s\n", kTool, loadError.c_str());
        return kest_tools::kNoCardLibraryExit;
    }
    FILE* csv = nullptr;
    FILE* bin = nullptr;
    OutputFile csvFile("csv", opt.csv), binFile("bin", opt.bin);
    if (!opt.csv.empty() && (csv = csvFile.Open("w")) == nullptr) {
        std::fprintf(stderr, "%s: cannot write %s: %s\n", kTool, opt.csv.c_str(), std::strerror(errno));
        return 1;
    }
    if (!opt.bin.empty() && (bin = binFile.Open("wb")) == nullptr) {
        std::fprintf(stderr, "%s: cannot write %s: %s\n", kTool, opt.bin.c_str(), std::strerror(errno));
        return 1;
    }
    if (csv != nullptr) kest_rec::WriteCsvHeader(csv);
    int bus = 0, channel = 0;
    DeviceOf(opt.config, bus, channel);
    // Listening first: a bad address or a port in use stops the run before
    // the card is touched.
    std::unique_ptr<RecvMetrics> metrics;
    if (opt.metrics) {
        metrics.reset(new RecvMetrics(bus, channel, opt.buffer ? "buffer" : "callback",
                                      kest_tools::ToolOptions::Version()));
        std::string error;
        if (!metrics->Serve(opt.metricsAt, error)) {
            std::fprintf(stderr, "%s: --metrics: %s\n", kTool, error.c_str());
            return 1;
        }
        kest_tools::ListenAddress bound = opt.metricsAt;
        bound.port = metrics->Port();
        std::fprintf(stderr, "%s: metrics at http://%s/metrics\n", kTool, bound.Text().c_str());
    }
    std::unique_ptr<kest_rec::Writer> recorder;
    if (!opt.record.empty()) {
        kest_rec::WriterOptions ro;
        ro.channel = static_cast<uint32_t>(channel);
        kest_rec::FileCrc32c(opt.config, ro.config_crc);  // an unreadable file fails the start anyway
        ro.rotate_bytes = static_cast<uint64_t>(opt.rotateMb) << 20;
        ro.rotate_ns = opt.rotateSeconds * 1000000000;
        ro.compress = opt.recordCompress;
        std::string error;
        recorder = kest_rec::Writer::Open(opt.record, ro, &error);
        if (!recorder) {
            std::fprintf(stderr, "%s: cannot record: %s\n", kTool, error.c_str());
            return 1;
        }
    }
    QuoteBook book(csv, bin, recorder.get());
    book.SetStaleThreshold(opt.staleMs);
    book.SetMetrics(metrics.get());
    book.SetKeepLast(!opt.quiet);
    Receiver receiver(book, metrics.get());

    CKestShfeMdApi* const made = kest_tools::ProductLoader::Create(loadError);
    if (made == nullptr) {
        std::fprintf(stderr, "%s: %s\n", kTool, loadError.c_str());
        return 1;
    }
    CKestShfeMdApi& api = *made;

    struct sigaction early;
    std::memset(&early, 0, sizeof early);
    early.sa_handler = EarlySignal;
    sigemptyset(&early.sa_mask);
    sigaction(SIGINT, &early, nullptr);
    sigaction(SIGTERM, &early, nullptr);

    const auto began = Clock::now();
    const time_t beganWall = std::time(nullptr);
    int rc;
    bool timedOut;
    {
        StartWatch watch(opt, began);
        rc = opt.buffer ? api.KestStart(opt.config.c_str()) : api.KestStart(receiver, opt.config.c_str());
        watch.Finish();
        timedOut = watch.TimedOut();
    }
    if (metrics) metrics->Started(rc == 0, OwnLogFile(beganWall));
    if (rc != 0) {
        const std::string log = OwnLogFile(beganWall);
        std::string advice = Diagnose(log, opt, bus, channel);
        if (advice.empty() && timedOut) {
            advice = "it had not finished within --seconds " + std::to_string(opt.seconds) + ".";
        } else if (advice.empty()) {
            advice = "see the log file.";
        }
        std::fprintf(stderr, "%s: start failed (%d): %s\n%s: log file: %s\n", kTool, rc, advice.c_str(),
                     kTool, log.empty() ? "none written" : log.c_str());
        kest_tools::ProductLoader::Destroy(&api);
        return 1;
    }

    // A timed run ends by itself between polls: no signal, so the library
    // logs no "received signal" line for an ordinary end.
    const bool timed = opt.seconds > 0;
    const auto deadline = began + std::chrono::seconds(opt.seconds);
    const bool terminal = isatty(fileno(stdout)) != 0;
    const auto started = Clock::now();
    auto nextTable = started + std::chrono::seconds(1);
    auto nextLossCheck = started + std::chrono::seconds(1);
    LossCounts reported;
    bool logFullWarned = false;
    bool recordFailReported = false;
    WarnIfLogDeviceFull(logFullWarned);
    KestShfeMdType record;
    std::memset(&record, 0, sizeof(record));
    uint64_t polls = 0;
    bool stop = g_earlySignal.load();
    while (!stop) {
        int32_t r;
        if (opt.buffer) {
            const uint64_t t0 = NowNs();
            r = api.KestRecv(record);
            if (r == 1) {
                const uint64_t latency = NowNs() - t0;
                const int64_t arrival = g_recvClock.ArrivalNs();
                book.Latency().Add(latency);
                book.OnQuote(record, arrival);
                if (metrics) metrics->Delivered(record.type, latency, arrival);
            }
        } else {
            receiver.pollStartNs = NowNs();
            r = api.KestRecv();
        }
        if (r == -1) break;
        if ((++polls & 0xFFF) == 0) {
            g_recvClock.Anchor();
            const auto now = Clock::now();
            if (timed && now >= deadline) stop = true;
            if (metrics) ReportProgress(*metrics, polls, recorder.get());
            // A quiet stream still reaches the file within a fraction of a second.
            if (recorder) recorder->FlushIfOlder(kest_rec::RealtimeNs(), 200000000);
            if (!opt.quiet && now >= nextTable) {
                book.PrintTable(stdout, static_cast<size_t>(opt.rows), terminal);
                nextTable += std::chrono::seconds(1);
            }
            if (now >= nextLossCheck) {
                // Said as it happens, table or not: loss the summary would
                // only show at the end is loss an operator cannot act on.
                ReportLoss(book.Loss(), reported);
                WarnIfLogDeviceFull(logFullWarned);
                csvFile.Check();
                binFile.Check();
                ReportRecordingFailure(recorder.get(), recordFailReported);
                nextLossCheck = now + std::chrono::seconds(1);
            }
        }
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    if (metrics) {
        ReportProgress(*metrics, polls, recorder.get());
        metrics->Stopping();
    }
    ReportLoss(book.Loss(), reported);
    WarnIfLogDeviceFull(logFullWarned);

    book.PrintSummary(stdout, channel, seconds);
    if (logFullWarned)
        std::printf("log: the working directory's file system was full; log lines were lost\n");
    bool outputsWritten = true;
    if (recorder) {
        outputsWritten = recorder->Flush();
        ReportRecordingFailure(recorder.get(), recordFailReported);
        // What reached the file, not what was handed to the writer.
        std::printf("recorded %llu quotes to %s (%u file%s)",
                    static_cast<unsigned long long>(recorder->Written()), opt.record.c_str(),
                    recorder->Files(), recorder->Files() == 1 ? "" : "s");
        if (!outputsWritten) {
            std::printf("; writing failed: %s; %llu quotes not recorded", recorder->error().c_str(),
                        static_cast<unsigned long long>(recorder->Records() - recorder->Written()));
        }
        std::printf("\n");
    }
    outputsWritten = csvFile.Close(0, 1) && outputsWritten;
    outputsWritten = binFile.Close(sizeof(KestShfeMdType), 0) && outputsWritten;
    kest_tools::ProductLoader::Destroy(&api);
    return outputsWritten ? 0 : 1;
}
