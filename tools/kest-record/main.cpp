// kest-record: reads, checks, cuts, merges and imports quote recordings.
//
//   kest-record info FILE...      from the index: records, time range, contracts
//   kest-record verify FILE...    every block checked; exit 1 on any damage
//   kest-record cat|slice FILE... [--contracts LIST] [--from T] [--to T]
//                                 [--csv | --jsonl] [--output OUT] [--limit N]
//   kest-record csv FILE [--output OUT]
//   kest-record merge FILE... --output OUT   into arrival order
//   kest-record import CSV... --output OUT   tick archives in the common CSV layout
//   kest-record compare A B       the first record and field that differ
//
// FILE names a recording; the files rotation added after it (FILE.1, ...)
// are read with it.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <queue>
#include <string>
#include <vector>

#include "TickImport.h"
#include "ToolOptions.h"
#include "recording/QuoteCsv.h"
#include "recording/Recording.h"
#include "recording/RunReader.h"
#include "recording/TimeWindow.h"

namespace {

const char* const kTool = "kest-record";

struct Selection {
    std::vector<std::string> contracts;
    kest_rec::TimeWindow window;
    bool Wants(const kest_rec::Entry& e) const {
        return window.Contains(e.arrival_ns) &&
               (contracts.empty() || kest_rec::ContractMatches(e.record.inst_id, contracts));
    }
};

// The runs of trusted entries of one recording (all its files) in order;
// damage and unreadable files are said on standard error as they are met.
class Stream {
public:
    explicit Stream(const std::string& path, const Selection* sel = nullptr)
        : files_(kest_rec::RecordingFiles(path)), sel_(sel) {}
    bool NextRun(const kest_rec::Entry** e, size_t* n) {
        for (;;) {
            if (reader_ && reader_->NextRun(e, n)) return true;
            Finish();
            if (next_ == files_.size()) return false;
            std::string error;
            reader_ = kest_rec::RunReader::Open(files_[next_++], &error);
            if (!reader_) {
                std::fprintf(stderr, "%s: %s\n", kTool, error.c_str());
                failed_ = true;
                return false;
            }
            if (next_ == 1) first_ = reader_->Header();
            if (sel_ != nullptr) reader_->Select(sel_->window, sel_->contracts);
        }
    }
    bool failed() const { return failed_; }
    uint64_t trailing() const { return trailing_; }
    uint64_t damaged() const { return damaged_; }
    uint64_t untrusted() const { return untrusted_; }
    uint64_t blocks_read() const { return blocks_read_ + (reader_ ? reader_->BlocksRead() : 0); }
    const kest_rec::FileHeader& header() const { return first_; }

private:
    void Finish() {
        if (!reader_) return;
        trailing_ += reader_->TrailingBytes();
        for (const kest_rec::Damage& d : reader_->Damages()) {
            std::fprintf(
                stderr, "%s: %s: block %" PRIu64 " at offset %" PRIu64 " (%" PRIu64 " entries) skipped: %s\n",
                kTool, d.file.c_str(), d.block, d.offset, d.entries, d.what.c_str());
        }
        damaged_ += reader_->Damages().size();
        untrusted_ += reader_->Untrusted();
        blocks_read_ += reader_->BlocksRead();
        reader_.reset();
    }
    std::vector<std::string> files_;
    const Selection* sel_;
    size_t next_ = 0;
    std::unique_ptr<kest_rec::RunReader> reader_;
    kest_rec::FileHeader first_{};
    uint64_t trailing_ = 0, damaged_ = 0, untrusted_ = 0, blocks_read_ = 0;
    bool failed_ = false;
};

std::string Utc(int64_t ns) {
    const int64_t sec = ns >= 0 ? ns / 1000000000 : (ns - 999999999) / 1000000000;
    const time_t s = static_cast<time_t>(sec);
    struct tm t {};
    gmtime_r(&s, &t);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%09" PRId64 "Z", t.tm_year + 1900,
                  t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec, ns - sec * 1000000000);
    return buf;
}

// An output: a recording, CSV or JSON lines; to a file only once complete
// (written under a temporary name and renamed), so a failed run leaves no OUT
// behind (and an OUT from before as it was).
class Output {
public:
    enum Form { kRecording, kCsv, kJsonl };
    Output(Form form, const std::string& path) : form_(form), path_(path) {}
    bool Open(const kest_rec::FileHeader& like, bool compress) {
        temporary_ = path_.empty() ? std::string() : path_ + ".tmp-" + std::to_string(getpid());
        if (form_ == kRecording) {
            kest_rec::WriterOptions o;
            o.channel = like.channel;
            o.config_crc = like.config_crc;
            o.compress = compress;
            std::string error;
            writer_ = kest_rec::Writer::Open(temporary_, o, &error);
            if (!writer_) std::fprintf(stderr, "%s: %s\n", kTool, error.c_str());
            return writer_ != nullptr;
        }
        out_ = path_.empty() ? stdout : std::fopen(temporary_.c_str(), "w");
        if (out_ == nullptr) {
            std::fprintf(stderr, "%s: %s: %s\n", kTool, path_.c_str(), std::strerror(errno));
            return false;
        }
        if (form_ == kCsv) kest_rec::WriteCsvHeader(out_);
        return true;
    }
    void Put(const kest_rec::Entry& e) {
        if (form_ == kRecording) {
            writer_->Append(e.arrival_ns, e.record);
        } else if (form_ == kCsv) {
            kest_rec::WriteCsvLine(out_, e.arrival_ns, e.record);
        } else {
            kest_rec::WriteJsonLine(out_, e.arrival_ns, e.record);
        }
    }
    // Completes the output when keep, else removes it. false when writing failed.
    bool Close(bool keep) {
        bool ok = true;
        if (writer_) {
            ok = writer_->Flush();
            if (!ok) std::fprintf(stderr, "%s: %s\n", kTool, writer_->error().c_str());
            writer_.reset();
        } else if (out_ != nullptr) {
            const bool written = std::ferror(out_) == 0;
            ok = (out_ == stdout ? std::fflush(out_) == 0 : std::fclose(out_) == 0) && written;
            if (!ok) std::fprintf(stderr, "%s: writing the output failed\n", kTool);
        }
        if (temporary_.empty()) return ok;
        if (!keep || !ok) {
            std::remove(temporary_.c_str());
        } else if (std::rename(temporary_.c_str(), path_.c_str()) != 0) {
            std::fprintf(stderr, "%s: %s: %s\n", kTool, path_.c_str(), std::strerror(errno));
            std::remove(temporary_.c_str());
            return false;
        }
        return ok;
    }

private:
    Form form_;
    std::string path_, temporary_;
    std::unique_ptr<kest_rec::Writer> writer_;
    FILE* out_ = nullptr;
};

int Info(const std::vector<std::string>& paths) {
    int rc = 0;
    for (const std::string& path : paths) {
        const std::vector<std::string> files = kest_rec::RecordingFiles(path);
        uint64_t n = 0, trailing = 0, blocks = 0, indexed = 0, damaged = 0;
        int64_t first = INT64_MAX, last = INT64_MIN;
        std::map<std::string, uint64_t> contracts;
        kest_rec::FileHeader h{};
        bool failed = false;
        for (size_t i = 0; i < files.size() && !failed; ++i) {
            std::string error;
            auto r = kest_rec::RunReader::Open(files[i], &error);
            if (!r) {
                std::fprintf(stderr, "%s: %s\n", kTool, error.c_str());
                failed = true;
                break;
            }
            if (i == 0) h = r->Header();
            trailing += r->TrailingBytes();
            n += r->Entries();
            blocks += r->Blocks().size();
            indexed += r->HasIndex();
            damaged += r->Damages().size() + !r->IndexProblem().empty();
            for (const kest_rec::BlockRef& b : r->Blocks()) {
                first = std::min(first, b.min_ns);
                last = std::max(last, b.max_ns);
            }
            for (const kest_rec::ContractCount& c : r->Contracts()) contracts[c.id] += c.entries;
            if (r->Header().version == 1) {  // no block times: read the arrivals
                const kest_rec::Entry* e;
                size_t k;
                while (r->NextRun(&e, &k)) {
                    for (size_t j = 0; j < k; ++j) {
                        first = std::min(first, e[j].arrival_ns);
                        last = std::max(last, e[j].arrival_ns);
                    }
                }
            }
        }
        if (failed) {
            rc = 1;
            continue;
        }
        std::printf("%s: format %u, channel %u, configuration crc %08x, %zu file(s), %" PRIu64 " records\n",
                    path.c_str(), h.version, h.channel, h.config_crc, files.size(), n);
        if (n > 0) {
            std::printf("  arrivals %s .. %s (%.3f s)\n", Utc(first).c_str(), Utc(last).c_str(),
                        static_cast<double>(last - first) / 1e9);
        }
        if (h.version >= 2) {
            std::printf("  %" PRIu64 " blocks; index in %" PRIu64 " of %zu file(s)%s\n", blocks, indexed,
                        files.size(),
                        indexed < files.size() ? " (the others' rebuilt from their blocks)" : "");
        }
        std::printf("  %zu contracts (records):", contracts.size());
        size_t column = 100;
        for (const auto& c : contracts) {
            if (column > 90) column = std::printf("\n   ") - 1;
            column += std::printf(" %s %" PRIu64, c.first.c_str(), c.second);
        }
        std::printf("\n");
        if (damaged > 0)
            std::printf("  %" PRIu64 " damaged block header(s) or index met: run kest-record verify\n",
                        damaged);
        if (trailing > 0) {
            std::printf("  %" PRIu64
                        " bytes after the last whole record ignored (the recorder stopped mid-block)\n",
                        trailing);
        }
    }
    return rc;
}

int Verify(const std::vector<std::string>& paths) {
    int rc = 0;
    for (const std::string& path : paths) {
        for (const std::string& file : kest_rec::RecordingFiles(path)) {
            std::string error;
            auto r = kest_rec::RunReader::Open(file, &error);
            if (!r) {
                std::printf("%s: unreadable: %s\n", file.c_str(), error.c_str());
                rc = 1;
                continue;
            }
            uint64_t good = 0;
            const kest_rec::Entry* e;
            size_t n;
            while (r->NextRun(&e, &n)) good += n;
            for (const kest_rec::Damage& d : r->Damages()) {
                std::printf("%s: damaged block %" PRIu64 " at offset %" PRIu64 " (%" PRIu64 " entries): %s\n",
                            file.c_str(), d.block, d.offset, d.entries, d.what.c_str());
            }
            const bool bad = !r->Damages().empty() || !r->IndexProblem().empty();
            if (!r->IndexProblem().empty())
                std::printf("%s: index damaged: %s\n", file.c_str(), r->IndexProblem().c_str());
            std::printf("%s: %s, format %u, %" PRIu64 " entries trusted, %" PRIu64
                        " untrusted in %zu damaged block(s)",
                        file.c_str(), bad ? "DAMAGED" : "ok", r->Header().version, good, r->Untrusted(),
                        r->Damages().size());
            if (r->Header().version >= 2 && !r->HasIndex())
                std::printf(", no index (the recorder stopped before closing)");
            if (r->TrailingBytes() > 0)
                std::printf(", %" PRIu64 " bytes of a cut last write", r->TrailingBytes());
            if (r->Header().version == 1)
                std::printf(" (version 1 holds no checksums: only its layout is checked)");
            std::printf("\n");
            if (bad) rc = 1;
        }
    }
    return rc;
}

int Slice(const std::vector<std::string>& paths, const Selection& sel, Output::Form form,
          const std::string& out_path, uint64_t limit, bool compress, bool stats) {
    Output out(form, out_path);
    bool opened = false, failed = false;
    uint64_t written = 0, damaged = 0, blocks = 0;
    for (const std::string& path : paths) {
        Stream in(path, &sel);
        const kest_rec::Entry* e;
        size_t n;
        while (written < limit && in.NextRun(&e, &n)) {
            if (!opened) {
                if (!out.Open(in.header(), compress)) return 1;
                opened = true;
            }
            for (size_t i = 0; i < n && written < limit; ++i) {
                if (!sel.Wants(e[i])) continue;
                out.Put(e[i]);
                ++written;
            }
        }
        failed |= in.failed();
        damaged += in.damaged();
        blocks += in.blocks_read();
        if (in.trailing() > 0) {
            std::fprintf(stderr, "%s: %s: %" PRIu64 " bytes after the last whole record ignored\n", kTool,
                         path.c_str(), in.trailing());
        }
    }
    if (!opened && !failed) opened = out.Open(kest_rec::FileHeader{}, compress);
    const bool ok = !opened || out.Close(!failed);
    if (stats)
        std::fprintf(stderr, "%s: %" PRIu64 " records written, %" PRIu64 " blocks read\n", kTool, written,
                     blocks);
    return failed || !ok || damaged > 0 ? 1 : 0;
}

int Merge(const std::vector<std::string>& paths, const std::string& out_path, bool compress) {
    struct Source {
        std::unique_ptr<Stream> stream;
        const kest_rec::Entry* run = nullptr;
        size_t left = 0;
        bool Advance() {
            if (left > 0 && --left > 0) return ++run, true;
            return stream->NextRun(&run, &left);
        }
    };
    std::vector<Source> sources(paths.size());
    auto later = [&](size_t a, size_t b) {  // ties keep the order of the operands
        const int64_t ta = sources[a].run->arrival_ns, tb = sources[b].run->arrival_ns;
        return ta != tb ? ta > tb : a > b;
    };
    std::priority_queue<size_t, std::vector<size_t>, decltype(later)> heap(later);
    kest_rec::FileHeader like{};
    for (size_t i = 0; i < paths.size(); ++i) {
        sources[i].stream.reset(new Stream(paths[i]));
        if (sources[i].stream->NextRun(&sources[i].run, &sources[i].left)) heap.push(i);
        if (i == 0) like = sources[i].stream->header();
    }
    Output out(Output::kRecording, out_path);
    if (!out.Open(like, compress)) return 1;
    while (!heap.empty()) {
        const size_t i = heap.top();
        heap.pop();
        out.Put(*sources[i].run);
        if (sources[i].Advance()) heap.push(i);
    }
    bool failed = false, damaged = false;
    for (Source& s : sources) failed |= s.stream->failed(), damaged |= s.stream->damaged() > 0;
    const bool ok = out.Close(!failed);
    return failed || !ok || damaged ? 1 : 0;
}

int Import(const std::vector<std::string>& paths, const std::string& out_path, bool compress, bool four_ps) {
    kest_record::TickImport import(four_ps);
    Output out(Output::kRecording, out_path);
    kest_rec::FileHeader like{};
    if (!out.Open(like, compress)) return 1;
    for (const std::string& path : paths) {
        std::string error;
        if (!import.ReadFile(
                path,
                [&](int64_t t, const KestShfeMdType& q) {
                    out.Put({t, q});
                },
                &error)) {
            std::fprintf(stderr, "%s: %s; nothing written\n", kTool, error.c_str());
            out.Close(false);
            return 1;
        }
    }
    std::fprintf(stderr, "%s: %" PRIu64 " ticks imported into %s\n", kTool, import.Rows(), out_path.c_str());
    return out.Close(true) ? 0 : 1;
}

int Compare(const std::string& a, const std::string& b) {
    Stream x(a), y(b);
    const kest_rec::Entry *ex = nullptr, *ey = nullptr;
    size_t nx = 0, ny = 0;
    uint64_t n = 0;
    for (;;) {
        const bool hx = nx > 0 || x.NextRun(&ex, &nx), hy = ny > 0 || y.NextRun(&ey, &ny);
        if (x.failed() || y.failed()) return 1;
        if (!hx || !hy) {
            if (hx == hy && x.damaged() + y.damaged() == 0) {
                std::printf("same: %" PRIu64 " records, identical bytes in the same order\n", n);
                return 0;
            }
            if (hx == hy) {
                std::printf("not compared whole: damaged blocks were skipped (see above)\n");
                return 1;
            }
            std::printf("differ: %s ends after %" PRIu64 " records, the other goes on\n",
                        (hx ? b : a).c_str(), n);
            return 1;
        }
        const std::string diff = kest_rec::FirstDifference(ex->record, ey->record);
        if (!diff.empty()) {
            std::printf("differ: record %" PRIu64
                        " (from 0), %.16s change %u against %.16s change %u: field %s\n",
                        n, ex->record.inst_id, ex->record.change_no, ey->record.inst_id, ey->record.change_no,
                        diff.c_str());
            return 1;
        }
        ++n, ++ex, ++ey, --nx, --ny;
    }
}

}  // namespace

int main(int argc, char** argv) {
    // -o is the short form of --output, as researchers' tools have it.
    std::vector<char*> args(argv, argv + argc);
    static char kOutput[] = "--output";
    for (char*& a : args)
        if (std::strcmp(a, "-o") == 0) a = kOutput;
    std::string output, contracts, from, to;
    bool csv = false, jsonl = false, compress = false, four_ps = false, stats = false;
    uint64_t limit = UINT64_MAX;
    Selection sel;
    kest_tools::ToolOptions opts(
        kTool,
        "info FILE... | verify FILE... | cat|slice FILE... [OPTION]... | csv FILE | merge FILE... -o OUT |\n"
        "       import CSV... -o OUT | compare A B",
        "Reads, checks, cuts, merges and imports quote recordings of kest-md-recv --record "
        "(format: " KEST_RECORDING_FORMAT_DOC
        ").\n"
        "FILE names a recording; the files rotation added after it (FILE.1, ...) are read with it.\n"
        "  info     per recording from its index: channel, files, records, blocks, first and last\n"
        "           arrival (UTC), entries per contract, and the bytes ignored at a cut end\n"
        "  verify   checks every block of every file and names each damaged one; exit 1 on any damage\n"
        "  cat, slice  the records of the contracts and time range asked for, in file order: CSV on\n"
        "           standard output by default, a recording with --output OUT (or -o OUT), CSV or JSON\n"
        "           lines with --csv or --jsonl; only the blocks the index names are read\n"
        "  csv      all records as CSV (arrival in ns since the epoch (UTC), the trading date, prices in\n"
        "           yuan, volumes in lots, exchange time HH:MM:SS.mmm; the header names the units)\n"
        "  merge    several recordings (channels, days) into one in arrival order\n"
        "  import   tick CSV archives of the common layout (TradingDay, InstrumentID, ExchangeID, ...,\n"
        "           BidPrice1..5, AskVolume1..5; columns by header name) into a recording\n"
        "  compare  whether A and B hold the same record bytes in the same order (arrival times\n"
        "           are not compared), else the first record and field that differ");
    opts.Text("output", "OUT", "write to OUT (a recording unless --csv or --jsonl); -o OUT for short",
              &output);
    opts.Text("contracts", "LIST",
              "cat/slice: only these contracts, comma-separated; a product\n(letters only, e.g. cu) takes "
              "all its contracts",
              &contracts);
    opts.Custom("from", "T",
                "cat/slice: arrivals from T on (inclusive): ns since the epoch,\nor "
                "YYYY-MM-DD[THH:MM[:SS[.fff]]] with Z, +hh:mm or -hh:mm (none:\nChina Standard Time, "
                "UTC+08:00)",
                [&](const char* t) { return kest_rec::ParseTime(t, &sel.window.from_ns); });
    opts.Custom("to", "T", "cat/slice: arrivals before T (exclusive), as --from",
                [&](const char* t) { return kest_rec::ParseTime(t, &sel.window.to_ns); });
    opts.Flag("csv", "cat/slice: CSV, also into OUT", &csv);
    opts.Flag("jsonl", "cat/slice: one JSON object a line, also into OUT", &jsonl);
    opts.Unsigned("limit", "N", "cat/slice: at most N records", &limit, 0, UINT64_MAX);
    opts.Flag("compress", "recordings written: zstd-compress each block", &compress);
    opts.Flag("four-ps", "import: to the 4ps feeds (default: the 2ps feeds of SHFE and INE)", &four_ps);
    opts.Flag("stats", "cat/slice: say on standard error how many blocks were read", &stats);
    opts.Epilogue(
        "Exit status: 0 done (compare: the same), 1 recordings differ, cannot be read or hold damaged "
        "blocks\n"
        "(what could be trusted is still written), or an import row is malformed (nothing written), 2 bad "
        "arguments.");
    std::vector<std::string> words = opts.Parse(static_cast<int>(args.size()), args.data());
    if (words.empty())
        opts.Fail(
            "a command is needed: info, verify, cat, slice, csv, merge, import or compare (see kest-record "
            "--help)");
    const std::string cmd = words[0];
    words.erase(words.begin());
    if (words.empty()) opts.Fail(cmd + " needs at least one FILE");
    for (size_t start = 0; start <= contracts.size() && !contracts.empty();) {
        const size_t comma = std::min(contracts.find(',', start), contracts.size());
        if (comma > start) sel.contracts.push_back(contracts.substr(start, comma - start));
        start = comma + 1;
    }
    if (csv && jsonl) opts.Fail("--csv and --jsonl: choose one");
    if (cmd == "info") return Info(words);
    if (cmd == "verify") return Verify(words);
    if (cmd == "cat" || cmd == "slice") {
        const Output::Form form = jsonl                   ? Output::kJsonl
                                  : csv || output.empty() ? Output::kCsv
                                                          : Output::kRecording;
        return Slice(words, sel, form, output, limit, compress, stats);
    }
    if (cmd == "csv") {
        if (words.size() != 1) opts.Fail("csv needs exactly one FILE");
        return Slice(words, Selection{}, Output::kCsv, output, UINT64_MAX, false, false);
    }
    if (cmd == "merge" || cmd == "import") {
        if (output.empty()) opts.Fail(cmd + " needs --output OUT (or -o OUT)");
        return cmd == "merge" ? Merge(words, output, compress) : Import(words, output, compress, four_ps);
    }
    if (cmd == "compare") {
        if (words.size() != 2) opts.Fail("compare needs two recordings, A and B");
        return Compare(words[0], words[1]);
    }
    opts.Fail("unknown command '" + cmd + "' (see kest-record --help)");
}
