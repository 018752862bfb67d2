#include "VerbTable.h"

#include <algorithm>
#include <string>

#include "Verbs.h"

namespace kest_record {

namespace {

int RunSlice(const Command& c) {
    const Output::Form form = c.jsonl                     ? Output::kJsonl
                              : c.csv || c.output.empty() ? Output::kCsv
                                                          : Output::kRecording;
    return Slice(c.files, c.sel, form, c.output, c.limit, c.compress, c.stats);
}

int RunCsv(const Command& c) {
    if (c.files.size() != 1) c.opts->Fail("csv needs exactly one FILE");
    return Slice(c.files, Selection{}, Output::kCsv, c.output, UINT64_MAX, false, false);
}

void NeedOutput(const Command& c) {
    if (c.output.empty()) c.opts->Fail(c.verb + " needs --output OUT (or -o OUT)");
}

int RunMerge(const Command& c) {
    NeedOutput(c);
    return Merge(c.files, c.output, c.compress);
}

int RunImport(const Command& c) {
    NeedOutput(c);
    return Import(c.files, c.output, c.compress, c.fourPs);
}

int RunCompare(const Command& c) {
    if (c.files.size() != 2) c.opts->Fail("compare needs two recordings, A and B");
    return Compare(c.files[0], c.files[1]);
}

}  // namespace

const Verb kVerbs[] = {
    {"info", nullptr, "FILE...",
     "per recording from its index: channel, files, records, blocks, first and last\n"
     "           arrival (UTC), entries per contract, and the bytes ignored at a cut end; every\n"
     "           block is checked and each damaged one named as verify names it (exit 1)",
     [](const Command& c) { return Info(c.files); }},
    {"verify", nullptr, "FILE...",
     "checks every block of every file and names each damaged one; exit 1 on any damage",
     [](const Command& c) { return Verify(c.files); }},
    {"cat", "slice", "FILE... [OPTION]...",
     "the records of the contracts and time range asked for, in file order: CSV on\n"
     "           standard output by default, a recording with --output OUT (or -o OUT), CSV or JSON\n"
     "           lines with --csv or --jsonl; only the blocks the index names are read",
     RunSlice},
    {"csv", nullptr, "FILE",
     "all records as CSV (arrival in ns since the epoch (UTC), the trading date, prices in\n"
     "           yuan, volumes in lots, exchange time HH:MM:SS.mmm; the header names the units)",
     RunCsv},
    {"merge", nullptr, "FILE... -o OUT", "several recordings (channels, days) into one in arrival order",
     RunMerge},
    {"import", nullptr, "CSV... -o OUT",
     "tick CSV archives of the common layout (TradingDay, InstrumentID, ExchangeID, ...,\n"
     "           BidPrice1..5, AskVolume1..5; columns by header name) into a recording",
     RunImport},
    {"compare", nullptr, "A B",
     "whether A and B hold the same record bytes in the same order (arrival times\n"
     "           are not compared), else the first record and field that differ; damage met in\n"
     "           either is named (exit 1)",
     RunCompare},
};
const size_t kVerbCount = sizeof kVerbs / sizeof kVerbs[0];

const Verb* FindVerb(const std::string& name) {
    for (const Verb& v : kVerbs)
        if (name == v.name || (v.alias != nullptr && name == v.alias)) return &v;
    return nullptr;
}

std::string VerbUsage() {
    // Continued lines stand indented under the first verb, lines kept short of 100 columns.
    const std::string indent(7, ' ');
    std::string usage, line;
    for (size_t i = 0; i < kVerbCount; ++i) {
        const Verb& v = kVerbs[i];
        std::string one = std::string(v.name) + (v.alias != nullptr ? std::string("|") + v.alias : "") + " " +
                          v.synopsis + (i + 1 < kVerbCount ? " |" : "");
        if (!line.empty() && line.size() + one.size() > 98) {
            usage += line + "\n";
            line = indent + one;
        } else {
            line += (line.empty() ? "" : " ") + one;
        }
    }
    return usage + line;
}

std::string VerbHelp() {
    std::string help;
    for (const Verb& v : kVerbs) {
        const std::string names =
            std::string(v.name) + (v.alias != nullptr ? std::string(", ") + v.alias : "");
        help += "\n  " + names +
                std::string(std::max<size_t>(2, 9 - std::min<size_t>(names.size(), 9)), ' ') + v.help;
    }
    return help;
}

std::string VerbNames() {
    std::string names;
    size_t count = 0;
    for (const Verb& v : kVerbs) count += v.alias != nullptr ? 2 : 1;
    size_t n = 0;
    auto add = [&](const char* name) {
        names += (n == 0 ? "" : n + 1 == count ? " or " : ", ") + std::string(name);
        ++n;
    };
    for (const Verb& v : kVerbs) {
        add(v.name);
        if (v.alias != nullptr) add(v.alias);
    }
    return names;
}

}  // namespace kest_record
