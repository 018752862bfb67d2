// kest-md-recv: receives quotes through the public interface, the way a
// user's application does, and prints them as a live table or writes them
// as CSV/binary records; on SIGINT/SIGTERM (or after --seconds) prints a
// summary.
#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "CardHint.h"
#include "CardLibrary.h"
#include "ConfigFileKind.h"
#include "ModelClock.h"
#include "KestShfeMdApi.h"
#include "ProductLoader.h"
#include "QuoteBook.h"
#include "RecvClock.h"
#include "RecvMetrics.h"
#include "StartVerdict.h"
#include "ToolOptions.h"
#include "recording/QuoteCsv.h"
#include "recording/Recording.h"

namespace {

using Clock = std::chrono::steady_clock;
const char* const kTool = "kest-md-recv";

// The polling thread's clock: a stamp costs one counter read (RecvClock.h).
RecvClock g_recvClock;
uint64_t NowNs() { return g_recvClock.NowNs(); }

struct Options {
    std::string config;
    bool buffer = false;
    int64_t seconds = 0;
    std::string csv;
    std::string bin;
    std::string record;
    int64_t rotateMb = 0;
    int64_t rotateSeconds = 0;
    bool recordCompress = false;
    bool quiet = false;
    int64_t rows = 30;
    int64_t staleMs = 3000;
    bool metrics = false;
    kest_tools::ListenAddress metricsAt;
    bool force = false;
};

Options ParseOptions(int argc, char** argv) {
    Options opt;
    kest_tools::ToolOptions opts(
        kTool, "CONFIG [OPTION]...",
        "Receives the quotes of the channel that the configuration file CONFIG names, through the library's\n"
        "public interface, the way an application does: a live table once a second (on a terminal), "
        "optional\n"
        "CSV or binary records, and on exit a per-instrument summary with poll-to-delivery latencies.\n"
        "SIGINT or SIGTERM ends the run (the library takes these signals over).");
    opts.Flag("buffer", "buffer mode: KestStart(path) and KestRecv(record);\ndefault: callback mode",
              &opt.buffer);
    opts.Whole("seconds", "N",
               "stop after N seconds, 1 to 31536000, counted from the start\n"
               "of the run: a start that has not finished by then is\n"
               "stopped too (default: run until SIGINT/SIGTERM)",
               &opt.seconds, 1, 31536000);
    opts.Text("record", "FILE",
              "record every quote with its arrival time to FILE in the\n"
              "recording format (" KEST_RECORDING_FORMAT_DOC
              "),\n"
              "for kest-record, the Python module kest_records and\n"
              "kest-card-sim --replay",
              &opt.record);
    opts.Whole("record-rotate-mb", "N",
               "with --record: start FILE.1, FILE.2, ... before a file\nwould pass N MiB, 1 to 1048576",
               &opt.rotateMb, 1, 1048576);
    opts.Whole("record-rotate-s", "S",
               "with --record: start the next file once a file spans\nS seconds of arrivals, 1 to 604800",
               &opt.rotateSeconds, 1, 604800);
    opts.Flag("record-compress", "with --record: zstd-compress each block\n(about 3x smaller)",
              &opt.recordCompress);
    opts.Text("csv", "FILE",
              "write every quote as a CSV line to FILE: arrival in ns since\n"
              "the epoch (UTC), trading date, prices in yuan, volumes in\n"
              "lots; the header line names each column's unit",
              &opt.csv);
    opts.Text("bin", "FILE",
              "write every quote as its bare 152-byte record to FILE\n(no header, no times: prefer --record)",
              &opt.bin);
    opts.Flag("quiet", "no live table", &opt.quiet);
    opts.Whole("stale-ms", "MS",
               "count a quote as stale when its exchange time is more than\n"
               "MS milliseconds behind the host's local time on arrival\n"
               "(a backlog drained after a restart), 0 (no check) to\n"
               "86400000 (default 3000)",
               &opt.staleMs, 0, 86400000);
    opts.Whole("rows", "N", "rows of the live table, 1 to 10000 (default 30)", &opt.rows, 1, 10000);
    opts.Custom("metrics", "ADDR:PORT",
                "serve Prometheus metrics at http://ADDR:PORT/metrics from a\n"
                "thread of their own; :PORT listens on 127.0.0.1, PORT 0\n"
                "takes a free port (named on standard error)",
                [&opt](const char* text) {
                    opt.metrics = true;
                    return kest_tools::ParseListenAddress(text, opt.metricsAt);
                });
    opts.Flag("force",
              "start with a file that kest-config-check calls DANGEROUS\n"
              "or START FAILS (refused otherwise, before the card is\n"
              "touched)",
              &opt.force);
    opts.Epilogue(
        "The library writes kest_u50_YYYYMMDD_HHMMSS.log in the working directory and mirrors each line on\n"
        "standard output. The card model is looked for in the namespace KEST_CARDSIM_NAMESPACE names.\n"
        "Exit status: 0 after a run, 1 when the start failed, the library or the card's library cannot be\n"
        "loaded or an output file cannot be written, 2 bad arguments or a configuration file refused.");
    const std::vector<std::string> operands = opts.Parse(argc, argv);
    if (operands.empty()) opts.Fail("needs the configuration file CONFIG (see kest-md-recv --help)");
    if (operands.size() > 1) opts.Fail("unexpected argument '" + operands[1] + "' (see kest-md-recv --help)");
    if ((opts.Given("record-rotate-mb") || opts.Given("record-rotate-s") || opt.recordCompress) &&
        opt.record.empty())
        opts.Fail("--record-rotate-mb, --record-rotate-s and --record-compress need --record FILE");
    opt.config = operands[0];
    return opt;
}

// The card and channel the configuration names, for the messages and the
// summary only (the library reads the file itself).
void DeviceOf(const std::string& config, int& bus, int& channel) {
    std::ifstream in(config);
    std::string line;
    bus = 0;
    channel = 0;
    while (std::getline(in, line)) {
        const size_t hash = line.find('#');
        if (hash != std::string::npos) line.resize(hash);
        const size_t pos = line.find("device");
        const size_t eq = line.find('=');
        if (pos != std::string::npos && eq != std::string::npos && pos < eq) {
            std::sscanf(line.c_str() + eq + 1, " xilinx%d:%d", &bus, &channel);
        }
    }
}

// The log file this process's library opened: the newest kest_u50_*.log in
// the working directory written since the run began.
std::string OwnLogFile(time_t since) {
    std::string best;
    time_t bestTime = 0;
    DIR* dir = opendir(".");
    if (dir == nullptr) return best;
    while (struct dirent* e = readdir(dir)) {
        const std::string name = e->d_name;
        if (name.compare(0, 9, "kest_u50_") != 0 || name.size() < 4 ||
            name.compare(name.size() - 4, 4, ".log") != 0)
            continue;
        struct stat st;
        if (stat(name.c_str(), &st) != 0 || st.st_mtime + 1 < since) continue;
        if (best.empty() || st.st_mtime > bestTime || (st.st_mtime == bestTime && name > best)) {
            best = name;
            bestTime = st.st_mtime;
        }
    }
    closedir(dir);
    return best;
}

// Turns the library's log of a failed start into advice.
std::string Diagnose(const std::string& log, const Options& opt, int bus, int channel) {
    std::ifstream in(log);
    std::string line;
    std::string advice;
    while (std::getline(in, line)) {
        if (line.find("ReadConfig") != std::string::npos && line.find("failed") != std::string::npos &&
            line.find("_ReadConfig failed") == std::string::npos) {
            advice = "the library cannot read the configuration file " + opt.config + ".";
        } else if (line.find("Could not find accelerator") != std::string::npos) {
            advice = "no card " + std::to_string(bus) + " answered; " +
                     kest_tools::NoCardHint(static_cast<uint32_t>(bus), "libenyx-hw-c.so.5");
        } else if (line.find("_GetCore is nullptr") != std::string::npos) {
            advice = "card " + std::to_string(bus) +
                     " has no design core 474: is the market-data design loaded on the card?";
        } else if (line.find("DMA Init failed") != std::string::npos) {
            advice = "card " + std::to_string(bus) + " has no DMA stream CUSTOM_CHAN" +
                     std::to_string(channel) + "_DATA for channel " + std::to_string(channel) +
                     " (device=xilinxN:C names the channel).";
        } else if (line.find("Error opening file") != std::string::npos) {
            const std::string problem = kest_tools::ConfigFileProblem(opt.config);
            advice = "the library cannot checksum the configuration file " + opt.config +
                     (problem.empty() ? "." : ": it " + problem + ".");
        }
        if (!advice.empty()) break;
    }
    return advice;
}

void ReportProgress(RecvMetrics& metrics, uint64_t polls, const kest_rec::Writer* recorder) {
    if (recorder == nullptr) return metrics.Progress(polls, 0, 0);
    metrics.Progress(polls, recorder->Files(),
                     recorder->Files() * sizeof(kest_rec::FileHeader) + recorder->StoredBytes());
}

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

// Watches the start: says every few seconds that it is still waiting, and
// ends it (through the exit flag the library's SIGINT handler sets) when
// --seconds runs out before it has finished.
class StartWatch {
public:
    StartWatch(const Options& opt, Clock::time_point began) : opt_(opt), began_(began) {
        thread_ = std::thread([this] { Run(); });
    }
    ~StartWatch() { Finish(); }
    void Finish() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            done_ = true;
        }
        cv_.notify_all();
        if (thread_.joinable()) thread_.join();
    }
    bool TimedOut() const { return timedOut_.load(); }

private:
    void Run() {
        std::unique_lock<std::mutex> lock(mutex_);
        auto next = began_ + std::chrono::seconds(4);
        const auto deadline = began_ + std::chrono::seconds(opt_.seconds);
        for (;;) {
            auto wake = next;
            if (opt_.seconds > 0 && deadline < wake) wake = deadline;
            if (cv_.wait_until(lock, wake, [this] { return done_; })) return;
            const auto now = Clock::now();
            if (opt_.seconds > 0 && now >= deadline) {
                timedOut_.store(true);
                std::fprintf(stderr,
                             "%s: --seconds %lld ran out before the start finished; stopping the start\n",
                             kTool, static_cast<long long>(opt_.seconds));
                kill(getpid(), SIGINT);
                return;
            }
            if (now >= next) {
                const long waited =
                    static_cast<long>(std::chrono::duration_cast<std::chrono::seconds>(now - began_).count());
                std::fprintf(
                    stderr,
                    "%s: still starting after %ld s: the start of channel 0 programs the card (three 1 s "
                    "pauses), then waits for the card to mirror the exchange's snapshot. Is the card's "
                    "logic running (with the card model: kest-card-sim)? Ctrl-C stops.\n",
                    kTool, waited);
                next += std::chrono::seconds(3);
            }
        }
    }

    const Options& opt_;
    Clock::time_point began_;
    std::mutex mutex_;
    std::condition_variable cv_;
    bool done_ = false;
    std::atomic<bool> timedOut_{false};
    std::thread thread_;
};

// One line on standard error for what was lost or stale since the last line.
void ReportLoss(const LossCounts& now, LossCounts& reported) {
    if (now.missing != reported.missing || now.backwards != reported.backwards) {
        std::fprintf(
            stderr,
            "%s: %llu quotes missing in %llu change-number gaps, %llu out of order (total %llu missing)\n",
            kTool, static_cast<unsigned long long>(now.missing - reported.missing),
            static_cast<unsigned long long>(now.gapEvents - reported.gapEvents),
            static_cast<unsigned long long>(now.backwards - reported.backwards),
            static_cast<unsigned long long>(now.missing));
    }
    if (now.stale != reported.stale) {
        std::fprintf(stderr, "%s: %llu stale quotes arrived (oldest so far %lld ms behind the local clock)\n",
                     kTool, static_cast<unsigned long long>(now.stale - reported.stale),
                     static_cast<long long>(now.oldestMs));
    }
    reported = now;
}

// The library writes its log in the working directory and cannot say when a
// write fails: a full file system there means lines silently lost.
bool LogDeviceFull() {
    struct statvfs fs;
    return statvfs(".", &fs) == 0 && fs.f_bavail == 0;
}

void ReportRecordingFailure(const kest_rec::Writer* recorder, bool& reported) {
    if (recorder == nullptr || reported || !recorder->Failed()) return;
    reported = true;
    std::fprintf(stderr, "%s: recording failed: %s; no more quotes are recorded\n", kTool,
                 recorder->error().c_str());
}

void WarnIfLogDeviceFull(bool& warned) {
    if (warned || !LogDeviceFull()) return;
    warned = true;
    std::fprintf(stderr,
                 "%s: the file system of the working directory is full: the library's log lines are being "
                 "lost\n",
                 kTool);
}

// An output written through stdio (the CSV, the bare records). The first
// failed write is said once; from then on the stream goes to /dev/null, so
// that no later write can land behind a hole. At the end the file is cut
// back to its last whole unit (a line, a record) and those are counted.
class OutputFile {
public:
    OutputFile(const char* what, std::string path) : what_(what), path_(std::move(path)) {}
    FILE* Open(const char* mode) { return file_ = std::fopen(path_.c_str(), mode); }
    // Pushes what stdio holds to the file; reports the first failure.
    void Check() {
        if (file_ == nullptr || failed_) return;
        errno = 0;
        if (std::fflush(file_) == 0 && std::ferror(file_) == 0) return;
        failed_ = true;
        // A write that failed inside an earlier fprintf leaves only the
        // stream's error flag: its errno is long overwritten. A file system
        // with no block left is then the cause worth naming.
        struct statvfs fs;
        if (errno == 0 && fstatvfs(fileno(file_), &fs) == 0 && fs.f_bavail == 0) errno = ENOSPC;
        error_ = errno != 0 ? std::strerror(errno) : "a write failed";
        std::fprintf(stderr, "%s: writing %s failed: %s; no more quotes go to it\n", kTool, path_.c_str(),
                     error_.c_str());
        if (std::freopen("/dev/null", "w", file_) == nullptr) file_ = nullptr;
    }
    // Closes the file; on a failure cuts it back and says in the summary
    // how many units it holds. True when every write reached the file.
    bool Close(size_t unitBytes, uint64_t headerUnits) {
        if (file_ == nullptr && !failed_) return true;
        Check();
        if (file_ != nullptr && std::fclose(file_) != 0 && !failed_) {
            failed_ = true;
            error_ = std::strerror(errno);
        }
        file_ = nullptr;
        if (!failed_) return true;
        uint64_t whole = 0, units = 0;
        std::ifstream in(path_, std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (unitBytes == 0) {  // lines
            const size_t end = bytes.rfind('\n');
            whole = end == std::string::npos ? 0 : end + 1;
            for (size_t i = 0; i < whole; ++i) units += bytes[i] == '\n';
        } else {
            units = bytes.size() / unitBytes;
            whole = units * unitBytes;
        }
        if (truncate(path_.c_str(), static_cast<off_t>(whole)) != 0) whole = bytes.size();
        units = units > headerUnits ? units - headerUnits : 0;
        std::printf("%s: %s holds %llu quotes; writing failed after them: %s\n", what_, path_.c_str(),
                    static_cast<unsigned long long>(units), error_.c_str());
        return false;
    }

private:
    const char* what_;
    std::string path_;
    FILE* file_ = nullptr;
    bool failed_ = false;
    std::string error_;
};

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
