// kest-md-recv: receives quotes through the public interface, the way a
// user's application does, and prints them as a live table or writes them
// as CSV/binary records; on SIGINT/SIGTERM (or after --seconds) prints a
// summary.

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>

#include "CardLibrary.h"
#include "FpgaDataType.h"
#include "KestShfeMdApi.h"
#include "ModelClock.h"
#include "OutputFile.h"
#include "PollLoop.h"
#include "ProductLoader.h"
#include "QuoteBook.h"
#include "RecvMetrics.h"
#include "RecvOptions.h"
#include "RunReports.h"
#include "StartDiagnosis.h"
#include "StartLog.h"
#include "StartVerdict.h"
#include "StartWatch.h"
#include "ToolOptions.h"
#include "recording/QuoteCsv.h"
#include "recording/Recording.h"

using namespace kest_md_recv;

// A recording's header names the card's channel it was received on.
static_assert(kest_rec::kChannels == Kest_U50::CHANNEL_SIZE, "a recording's channels are the card's");

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
    // The card and channel, for the messages, the metrics and the summary,
    // read as the library reads them: the last device= of [config].
    const kest_tools::StartVerdict device = kest_tools::StartVerdict::Read(opt.config);
    const int bus = device.bus, channel = device.channel;
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
        ro.exchange_clock = kest_tools::ModelExchangeClock(static_cast<uint32_t>(bus));
        std::string error;
        recorder = kest_rec::Writer::Open(opt.record, ro, &error);
        if (!recorder) {
            std::fprintf(stderr, "%s: cannot record: %s\n", kTool, error.c_str());
            return 1;
        }
    }
    QuoteBook book(csv, bin, recorder.get());
    book.SetStaleThreshold(opt.staleMs);
    book.SetExchangeClock(kest_tools::ModelExchangeClock(static_cast<uint32_t>(bus)));
    book.SetMetrics(metrics.get());
    book.SetKeepLast(!opt.quiet);
    PollLoop loop(opt, PollOutputs{book, metrics.get(), recorder.get(), csvFile, binFile});

    CKestShfeMdApi* const made = kest_tools::ProductLoader::Create(loadError);
    if (made == nullptr) {
        std::fprintf(stderr, "%s: %s\n", kTool, loadError.c_str());
        return 1;
    }
    CKestShfeMdApi& api = *made;

    PollLoop::CatchEarlySignals();

    const auto began = Clock::now();
    const time_t beganWall = std::time(nullptr);
    int rc;
    bool timedOut;
    {
        StartWatch watch(opt, began);
        rc = opt.buffer ? api.KestStart(opt.config.c_str()) : api.KestStart(loop, opt.config.c_str());
        watch.Finish();
        timedOut = watch.TimedOut();
    }
    if (metrics) metrics->Started(rc == 0, OwnLogFile(beganWall));
    if (rc != 0) {
        const std::string log = OwnLogFile(beganWall);
        std::string advice = kest_tools::StartDiagnosis(log, opt.config, bus, channel);
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

    const PollEnd end = loop.Run(api, began);

    book.PrintSummary(stdout, channel, end.seconds);
    if (end.logFullWarned)
        std::printf("log: the working directory's file system was full; log lines were lost\n");
    bool outputsWritten = true;
    if (recorder) {
        outputsWritten = recorder->Flush();
        bool recordFailReported = end.recordFailReported;
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
