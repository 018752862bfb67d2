// kest-record: reads quote recordings made by kest-md-recv --record.
//
//   kest-record info FILE...          header, record count, time span, cut tails
//   kest-record csv FILE [--output OUT]  the records as CSV (units in the header line)
//   kest-record compare A B           whether two recordings hold the same record
//                                     bytes in the same order (arrival times aside)
//
// FILE names a recording; the files rotation added after it (FILE.1, ...)
// are read with it.
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "ToolOptions.h"
#include "recording/QuoteCsv.h"
#include "recording/Recording.h"

namespace {

const char* const kTool = "kest-record";

// Every entry of a recording in order; false (message printed) if a file cannot be read.
class Stream {
public:
    explicit Stream(const std::string& path) : files_(kest_rec::RecordingFiles(path)) {}
    bool Next(kest_rec::Entry& e) {
        for (;;) {
            if (reader_ && reader_->Next(e)) return true;
            if (reader_) trailing_ += reader_->TrailingBytes();
            if (next_ == files_.size()) return false;
            std::string error;
            reader_ = kest_rec::Reader::Open(files_[next_++], &error);
            if (!reader_) {
                std::fprintf(stderr, "%s: %s\n", kTool, error.c_str());
                failed_ = true;
                return false;
            }
            if (next_ == 1) first_ = reader_->Header();
        }
    }
    bool failed() const { return failed_; }
    uint64_t trailing() const { return trailing_; }
    size_t files() const { return files_.size(); }
    const kest_rec::FileHeader& header() const { return first_; }

private:
    std::vector<std::string> files_;
    size_t next_ = 0;
    std::unique_ptr<kest_rec::Reader> reader_;
    kest_rec::FileHeader first_{};
    uint64_t trailing_ = 0;
    bool failed_ = false;
};

std::string Utc(int64_t ns) {
    const time_t s = static_cast<time_t>(ns / 1000000000);
    struct tm t {};
    gmtime_r(&s, &t);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%09" PRId64 "Z", t.tm_year + 1900,
                  t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec, ns % 1000000000);
    return buf;
}

int Info(const std::vector<std::string>& paths) {
    int rc = 0;
    for (const std::string& path : paths) {
        Stream in(path);
        kest_rec::Entry e;
        uint64_t n = 0;
        int64_t first = 0, last = 0;
        while (in.Next(e)) {
            if (n++ == 0) first = e.arrival_ns;
            last = e.arrival_ns;
        }
        if (in.failed()) {
            rc = 1;
            continue;
        }
        const kest_rec::FileHeader& h = in.header();
        std::printf("%s: format %u, channel %u, configuration crc %08x, %zu file(s), %" PRIu64 " records\n",
                    path.c_str(), h.version, h.channel, h.config_crc, in.files(), n);
        if (n > 0) {
            std::printf("  arrivals %s .. %s (%.3f s)\n", Utc(first).c_str(), Utc(last).c_str(),
                        static_cast<double>(last - first) / 1e9);
        }
        if (in.trailing() > 0) {
            std::printf("  %" PRIu64
                        " bytes after the last whole record ignored (the recorder stopped mid-block)\n",
                        in.trailing());
        }
    }
    return rc;
}

// With --output the CSV is written under a temporary name beside OUT and
// renamed to OUT only once complete: a failed run leaves no OUT behind (and
// an OUT from before as it was).
int Csv(const std::string& path, const char* output) {
    FILE* out = stdout;
    const std::string temporary =
        output != nullptr ? std::string(output) + ".tmp-" + std::to_string(getpid()) : std::string();
    if (output != nullptr && (out = std::fopen(temporary.c_str(), "w")) == nullptr) {
        std::fprintf(stderr, "%s: %s: %s\n", kTool, output, std::strerror(errno));
        return 1;
    }
    Stream in(path);
    kest_rec::WriteCsvHeader(out);
    kest_rec::Entry e;
    while (in.Next(e)) kest_rec::WriteCsvLine(out, e.arrival_ns, e.record);
    if (in.trailing() > 0) {
        std::fprintf(stderr, "%s: %s: %" PRIu64 " bytes after the last whole record ignored\n", kTool,
                     path.c_str(), in.trailing());
    }
    const bool written = std::ferror(out) == 0;
    const bool ok = (out == stdout ? std::fflush(out) == 0 : std::fclose(out) == 0) && written;
    if (!ok) std::fprintf(stderr, "%s: writing the CSV failed\n", kTool);
    if (output != nullptr) {
        if (in.failed() || !ok) {
            std::remove(temporary.c_str());
        } else if (std::rename(temporary.c_str(), output) != 0) {
            std::fprintf(stderr, "%s: %s: %s\n", kTool, output, std::strerror(errno));
            std::remove(temporary.c_str());
            return 1;
        }
    }
    return in.failed() || !ok ? 1 : 0;
}

int Compare(const std::string& a, const std::string& b) {
    Stream x(a), y(b);
    kest_rec::Entry ex, ey;
    uint64_t n = 0;
    for (;;) {
        const bool hx = x.Next(ex), hy = y.Next(ey);
        if (x.failed() || y.failed()) return 1;
        if (!hx || !hy) {
            if (hx == hy) {
                std::printf("same: %" PRIu64 " records, identical bytes in the same order\n", n);
                return 0;
            }
            std::printf("differ: %s ends after %" PRIu64 " records, the other goes on\n",
                        (hx ? b : a).c_str(), n);
            return 1;
        }
        if (std::memcmp(&ex.record, &ey.record, sizeof ex.record) != 0) {
            std::printf("differ: record %" PRIu64 " (from 0): %.16s change %u against %.16s change %u\n", n,
                        ex.record.inst_id, ex.record.change_no, ey.record.inst_id, ey.record.change_no);
            return 1;
        }
        ++n;
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::string output;
    kest_tools::ToolOptions opts(
        kTool, "info FILE... | csv FILE [--output OUT] | compare A B",
        "Reads quote recordings of kest-md-recv --record (format: " KEST_RECORDING_FORMAT_DOC
        ").\n"
        "FILE names a recording; the files rotation added after it (FILE.1, ...) are read with it.\n"
        "  info     per recording: channel, configuration checksum, files, records, first and last\n"
        "           arrival (UTC), and the bytes ignored at a cut end\n"
        "  csv      one line per record: arrival in ns since the epoch (UTC), the trading date, prices\n"
        "           in yuan, volumes in lots, exchange time HH:MM:SS.mmm; the header names the units\n"
        "  compare  whether A and B hold the same record bytes in the same order (arrival times\n"
        "           are not compared)");
    opts.Text("output", "OUT", "csv: write to OUT instead of standard output", &output);
    opts.Epilogue(
        "Exit status: 0 done (compare: the same), 1 recordings differ or cannot be read, 2 bad arguments.");
    std::vector<std::string> words = opts.Parse(argc, argv);
    if (words.empty()) opts.Fail("a command is needed: info, csv or compare (see kest-record --help)");
    const std::string cmd = words[0];
    words.erase(words.begin());
    if (cmd == "info") {
        if (words.empty()) opts.Fail("info needs at least one FILE");
        return Info(words);
    }
    if (cmd == "csv") {
        if (words.size() != 1) opts.Fail("csv needs exactly one FILE");
        return Csv(words[0], output.empty() ? nullptr : output.c_str());
    }
    if (cmd == "compare") {
        if (words.size() != 2) opts.Fail("compare needs two recordings, A and B");
        return Compare(words[0], words[1]);
    }
    opts.Fail("unknown command '" + cmd + "' (see kest-record --help)");
}
