// kest-trace: reads traces of the card library's calls (libenyx-hw-c.so.5
// traced by the tracing library).
//
//   kest-trace info TRACE               calls by function, time span, bring-up phases
//   kest-trace dump TRACE [--jsonl] [--from X] [--to X] [--function LIST]
//   kest-trace diff A B                 the first call where A and B part, then a count
//   kest-trace quotes TRACE -o FILE     the traced quote messages as a recording
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "FpgaRegisterCommon.h"
#include "ToolOptions.h"
#include "cardtrace/Phases.h"
#include "cardtrace/Trace.h"
#include "recording/Recording.h"

namespace {

using kest_trace::Call;
using kest_trace::Fn;

namespace R = Kest_U50::Reg;
const char* const kTool = "kest-trace";

// A position in a trace: a call number, or a time since its start.
struct Bound {
    bool by_time = false;
    uint64_t number = 0;
    int64_t ns = 0;
};

std::string ParseBound(const char* text, Bound* out) {
    char* end = nullptr;
    errno = 0;
    const double v = std::strtod(text, &end);
    if (end == text || errno != 0 || v < 0) return "not a call number or a time (12345, 1.5s, 200ms)";
    const std::string unit = end;
    if (unit.empty()) {
        uint64_t n;
        if (!kest_tools::ToolOptions::ParseUnsigned(text, n))
            return "not a call number or a time (12345, 1.5s)";
        out->number = n;
        return "";
    }
    double scale;
    if (unit == "s")
        scale = 1e9;
    else if (unit == "ms")
        scale = 1e6;
    else if (unit == "us")
        scale = 1e3;
    else if (unit == "ns")
        scale = 1;
    else
        return "unit " + unit + " is not s, ms, us or ns";
    if (v * scale > 9.2e18) return "too large";
    out->by_time = true;
    out->ns = static_cast<int64_t>(v * scale);
    return "";
}

std::unique_ptr<kest_trace::Reader> OpenOrExit(const std::string& path) {
    std::string error;
    auto r = kest_trace::Reader::Open(path, &error);
    if (!r) {
        std::fprintf(stderr, "%s: %s\n", kTool, error.c_str());
        std::exit(1);
    }
    return r;
}

// Says on standard error where a trace stopped short; true when it did.
bool ReportEnd(const kest_trace::Reader& r) {
    if (!r.Problem().empty()) {
        std::fprintf(stderr, "%s: %s: %s; read up to there\n", kTool, r.Path().c_str(), r.Problem().c_str());
        return true;
    }
    if (r.TrailingBytes() != 0)
        std::fprintf(stderr, "%s: %s: %" PRIu64 " bytes of a cut last block ignored\n", kTool,
                     r.Path().c_str(), r.TrailingBytes());
    return false;
}

std::string Seconds(int64_t ns) {
    char buf[48];
    std::snprintf(buf, sizeof buf, "%.6f s", static_cast<double>(ns) / 1e9);
    return buf;
}

std::string Utc(int64_t realtime_ns) {
    const time_t s = static_cast<time_t>(realtime_ns / 1000000000);
    struct tm tm {};
    gmtime_r(&s, &tm);
    char buf[48];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return buf;
}

std::string MetaValue(const std::string& meta, const std::string& key) {
    const std::string want = key + "=";
    size_t at = 0;
    while (at < meta.size()) {
        const size_t nl = meta.find('\n', at);
        const std::string line = meta.substr(at, nl == std::string::npos ? std::string::npos : nl - at);
        if (line.rfind(want, 0) == 0) return line.substr(want.size());
        if (nl == std::string::npos) break;
        at = nl + 1;
    }
    return "";
}

int Info(const std::string& path) {
    auto r = OpenOrExit(path);
    const kest_trace::FileHeader& h = r->Header();
    std::map<std::string, uint64_t> by_function;
    kest_trace::PhaseFinder phases;
    Call c;
    uint64_t entries = 0, calls = 0, empty_polls = 0, summarised = 0, untraced = 0;
    int64_t first_ns = 0, last_ns = 0;
    bool limit = false;
    std::string meta;
    while (r->Next(c)) {
        ++entries;
        if (entries == 1) first_ns = c.t_ns;
        last_ns = c.t_ns;
        if (c.fn == Fn::kMeta) meta += c.data;
        if (c.fn == Fn::kLimit) limit = true;
        if (c.fn == Fn::kEnd) {
            empty_polls = c.arg[0];
            summarised = c.arg[1];
            untraced = c.arg[2];
        }
        if (c.fn == Fn::kQuoteSummary) by_function["(quotes summarised)"] += c.arg[1];
        if (kest_trace::IsCall(c.fn)) {
            ++calls;
            ++by_function[kest_trace::Info(c.fn).name];
        }
        phases.Add(c);
    }
    const bool damaged = ReportEnd(*r);
    std::printf("trace: %s (format %u, quotes %s, pid %u, started %s)\n", path.c_str(), h.version,
                h.quote_mode == static_cast<uint16_t>(kest_trace::QuoteMode::kAll) ? "all" : "summary", h.pid,
                Utc(h.started_realtime_ns).c_str());
    std::printf("target: %s\n", MetaValue(meta, "target").c_str());
    std::printf("host: %s\n", MetaValue(meta, "host").c_str());
    std::printf("entries: %" PRIu64 ", calls %" PRIu64 "\n", entries, calls);
    std::printf("end: %s\n", limit         ? "stopped at the size limit (KEST_TRACE_MAX_MB)"
                             : r->SawEnd() ? "closed at the process's exit"
                             : damaged     ? "damaged (see above)"
                                           : "not closed: the process did not exit normally");
    std::printf("time span: %s\n", Seconds(last_ns - first_ns).c_str());
    if (r->SawEnd())
        std::printf("empty polls: %" PRIu64 ", quotes summarised: %" PRIu64 ", calls not traced: %" PRIu64
                    "\n",
                    empty_polls, summarised, untraced);
    std::printf("calls by function:\n");
    for (const auto& [name, n] : by_function) std::printf("  %-44s %12" PRIu64 "\n", name.c_str(), n);
    const std::vector<kest_trace::Phase> found = phases.Finish();
    std::printf("bring-up phases:%s\n", found.empty() ? " none" : "");
    for (const kest_trace::Phase& p : found) {
        char label[64];
        if (p.bring_up == 0)
            std::snprintf(label, sizeof label, "%s", p.name.c_str());
        else
            std::snprintf(label, sizeof label, "%d %s", p.bring_up, p.name.c_str());
        std::printf("  %-28s calls %10" PRIu64 " to %10" PRIu64 "  %s%s\n", label, p.first_call, p.last_call,
                    Seconds(p.end_ns - p.start_ns).c_str(), p.complete ? "" : " (not finished)");
    }
    return damaged ? 1 : 0;
}

std::string JsonString(const std::string& s) {
    std::string out = "\"";
    for (char ch : s) {
        if (ch == '"' || ch == '\\') {
            out += '\\';
            out += ch;
        } else if (static_cast<unsigned char>(ch) < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", ch);
            out += buf;
        } else {
            out += ch;
        }
    }
    return out + "\"";
}

std::string Hex(const std::string& data) {
    std::string out;
    out.reserve(data.size() * 2);
    static const char* d = "0123456789abcdef";
    for (unsigned char b : data) {
        out += d[b >> 4];
        out += d[b & 15];
    }
    return out;
}

void PrintJson(const Call& c, int64_t start_ns) {
    const kest_trace::FnInfo& info = kest_trace::Info(c.fn);
    std::printf("{\"call\": %" PRIu64 ", \"t_ns\": %" PRId64 ", \"function\": %s, \"rc\": %" PRId64
                ", \"errno\": %d",
                c.number, c.t_ns - start_ns, JsonString(info.name).c_str(), c.rc, c.err);
    for (int i = 0; i < info.args; ++i)
        std::printf(", %s: %" PRIu64, JsonString(info.arg[i].name).c_str(), c.arg[i]);
    if (!c.data.empty()) std::printf(", \"data\": \"%s\"", Hex(c.data).c_str());
    std::printf("}\n");
}

int Dump(const std::string& path, bool jsonl, const Bound& from, const Bound& to,
         const std::vector<Fn>& only) {
    auto r = OpenOrExit(path);
    const int64_t start = r->Header().started_monotonic_ns;
    Call c;
    while (r->Next(c)) {
        const int64_t t = c.t_ns - start;
        if (from.by_time ? t < from.ns : c.number < from.number) continue;
        if (to.by_time ? t > to.ns : c.number > to.number) break;
        if (!only.empty() && std::find(only.begin(), only.end(), c.fn) == only.end()) continue;
        if (jsonl) {
            PrintJson(c, start);
        } else {
            std::printf("%10" PRIu64 " %14.6f %s\n", c.number, static_cast<double>(t) / 1e9,
                        kest_trace::Describe(c).c_str());
        }
    }
    std::fflush(stdout);
    return ReportEnd(*r) ? 1 : 0;
}

// The next entry that is a call or a poll's result (what two runs share).
bool NextCall(kest_trace::Reader& r, Call& c) {
    while (r.Next(c))
        if (kest_trace::IsCall(c.fn) || c.fn == Fn::kPollResult) return true;
    return false;
}

bool SameForDiff(const Call& a, const Call& b) {
    if (a.fn != b.fn || a.rc != b.rc || a.err != b.err) return false;
    // The empty polls before a message are timing, not conversation.
    const int args = a.fn == Fn::kA2cPoll ? 1 : kest_trace::Info(a.fn).args;
    for (int i = 0; i < args; ++i)
        if (a.arg[i] != b.arg[i]) return false;
    return a.data == b.data;
}

int Diff(const std::string& pa, const std::string& pb) {
    auto a = OpenOrExit(pa);
    auto b = OpenOrExit(pb);
    Call ca, cb;
    uint64_t compared = 0, further = 0;
    bool parted = false;
    for (;;) {
        const bool ha = NextCall(*a, ca);
        const bool hb = NextCall(*b, cb);
        if (!ha && !hb) break;
        ++compared;
        const bool same = ha && hb && SameForDiff(ca, cb);
        if (same) continue;
        if (!parted) {
            parted = true;
            std::printf("the traces part at call %" PRIu64 " of the conversation:\n", compared);
            std::printf("  A call %s: %s\n", ha ? std::to_string(ca.number).c_str() : "-",
                        ha ? kest_trace::Describe(ca).c_str() : "(A has ended)");
            std::printf("  B call %s: %s\n", hb ? std::to_string(cb.number).c_str() : "-",
                        hb ? kest_trace::Describe(cb).c_str() : "(B has ended)");
        } else {
            ++further;
        }
    }
    // Both ends are reported, so neither call may be skipped.
    const bool damaged_a = ReportEnd(*a);
    const bool damaged_b = ReportEnd(*b);
    const bool damaged = damaged_a || damaged_b;
    if (!parted) {
        std::printf("the same %" PRIu64 " calls\n", compared);
        return damaged ? 1 : 0;
    }
    std::printf("%" PRIu64 " further calls differ, position by position, of %" PRIu64 " compared\n", further,
                compared);
    return 1;
}

int Quotes(const std::string& path, const std::string& output) {
    auto r = OpenOrExit(path);
    if (r->Header().quote_mode != static_cast<uint16_t>(kest_trace::QuoteMode::kAll)) {
        std::fprintf(stderr,
                     "%s: %s was traced with KEST_TRACE_QUOTES=summary: its quotes are counted, not kept "
                     "(trace with KEST_TRACE_QUOTES=all)\n",
                     kTool, path.c_str());
        return 1;
    }
    const kest_trace::FileHeader& h = r->Header();
    kest_rec::WriterOptions opt;
    std::unique_ptr<kest_rec::Writer> w;
    std::vector<std::pair<int64_t, KestShfeMdType>> pending;
    Call c;
    uint64_t quotes = 0;
    bool channel_known = false;
    bool in_bring_up = false;
    auto open = [&]() {
        std::string error;
        w = kest_rec::Writer::Open(output, opt, &error);
        if (!w) {
            std::fprintf(stderr, "%s: %s\n", kTool, error.c_str());
            std::exit(1);
        }
    };
    while (r->Next(c)) {
        if (c.fn == Fn::kFilterSetName && !channel_known) {
            unsigned n;
            if (std::sscanf(c.data.c_str(), "CUSTOM_CHAN%u_DATA", &n) == 1 && n < kest_rec::kChannels) {
                opt.channel = n;
                channel_known = true;
            }
        }
        if (c.fn == Fn::kWrite) {
            const uint32_t reg = kest_trace::RegisterOf(c);
            if (reg == R::CONFIG_CRC) opt.config_crc = static_cast<uint32_t>(c.arg[3]);
            if (reg == R::CARD_START) in_bring_up = true;
            if (reg == R::LOGIC_START_4PS && c.arg[3] == 1) in_bring_up = false;
        }
        // During a bring-up the product polls with its snapshot handler, which drops quotes.
        if (in_bring_up) continue;
        if (c.fn != Fn::kA2cPoll || kest_trace::MessageKind(c.data) != kest_trace::kDmaQuote) continue;
        if (c.data.size() < 8 + sizeof(KestShfeMdType)) continue;
        KestShfeMdType q;
        std::memcpy(&q, c.data.data() + 8, sizeof q);
        const int64_t arrival = h.started_realtime_ns + (c.t_ns - h.started_monotonic_ns);
        if (!w) open();
        w->Append(arrival, q);
        ++quotes;
    }
    const bool damaged = ReportEnd(*r);
    if (!w) open();
    if (!w->Flush()) {
        std::fprintf(stderr, "%s: %s: %s\n", kTool, output.c_str(), w->error().c_str());
        return 1;
    }
    w.reset();
    std::printf("%" PRIu64 " quotes written to %s (channel %u)\n", quotes, output.c_str(), opt.channel);
    return damaged ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<char*> args(argv, argv + argc);
    static char kOutput[] = "--output";
    for (char*& a : args)
        if (std::strcmp(a, "-o") == 0) a = kOutput;
    std::string output, functions;
    bool jsonl = false;
    Bound from, to;
    to.number = UINT64_MAX;
    to.ns = INT64_MAX;
    kest_tools::ToolOptions opts(
        kTool, "info TRACE | dump TRACE [OPTION]... | diff A B | quotes TRACE -o FILE",
        "Reads traces of the card library's calls, written by the tracing libenyx-hw-c.so.5 "
        "(KEST_TRACE_FILE).\n"
        "  info     entries, calls by function, time span, and the phases of each bring-up (decision,\n"
        "           reset, programming, snapshot and each feed's, tables, subscription, start)\n"
        "  dump     the entries as text or JSON lines (--jsonl), from --from to --to, of --function\n"
        "  diff     the first call where A and B part, both sides, then how many further calls differ\n"
        "  quotes   the traced quote messages as a recording (kest-record, kest-card-sim --replay);\n"
        "           needs a trace made with KEST_TRACE_QUOTES=all");
    opts.Flag("jsonl", "dump: one JSON object a line", &jsonl);
    opts.Custom("from", "X", "dump: from call number X, or from time X since the start (1.5s, 200ms)",
                [&](const char* t) { return ParseBound(t, &from); });
    opts.Custom("to", "X", "dump: up to call number X or time X (inclusive), as --from",
                [&](const char* t) { return ParseBound(t, &to); });
    opts.Text("function", "LIST", "dump: only these functions, comma-separated (enyx_hw_write or write)",
              &functions);
    opts.Text("output", "FILE", "quotes: the recording to write; -o FILE for short", &output);
    opts.Epilogue(
        "Exit status: 0 done (diff: the same calls), 1 traces differ, cannot be read or are damaged, 2 bad "
        "arguments.");
    std::vector<std::string> words = opts.Parse(static_cast<int>(args.size()), args.data());
    if (words.empty()) opts.Fail("a command is needed: info, dump, diff or quotes (see kest-trace --help)");
    const std::string cmd = words[0];
    words.erase(words.begin());
    if (from.by_time != to.by_time && opts.Given("from") && opts.Given("to"))
        opts.Fail("--from and --to must both be call numbers or both times");
    if (to.by_time && !opts.Given("from")) from.by_time = true;
    if (from.by_time && !opts.Given("to")) to.by_time = true;
    std::vector<Fn> only;
    if (!functions.empty()) {
        size_t at = 0;
        while (at <= functions.size()) {
            const size_t comma = functions.find(',', at);
            const std::string name =
                functions.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
            Fn fn;
            if (!kest_trace::FnByName(name, fn))
                opts.Fail("--function: " + name + " is not a function of a trace");
            only.push_back(fn);
            if (comma == std::string::npos) break;
            at = comma + 1;
        }
    }
    auto need = [&](size_t n, const char* what) {
        if (words.size() != n) opts.Fail(cmd + " takes " + what);
    };
    if (cmd == "info") {
        need(1, "one TRACE");
        return Info(words[0]);
    }
    if (cmd == "dump") {
        need(1, "one TRACE");
        return Dump(words[0], jsonl, from, to, only);
    }
    if (cmd == "diff") {
        need(2, "two traces, A B");
        return Diff(words[0], words[1]);
    }
    if (cmd == "quotes") {
        need(1, "one TRACE");
        if (output.empty()) opts.Fail("quotes needs -o FILE");
        return Quotes(words[0], output);
    }
    opts.Fail("unknown command " + cmd + ": info, dump, diff or quotes");
}
