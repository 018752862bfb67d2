// kest-record: reads, checks, cuts, merges and imports quote recordings. Its
// verbs are the table of VerbTable.cpp, one file each for what they do.
//
// FILE names a recording; the files rotation added after it (FILE.1, ...)
// are read with it.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "Stream.h"
#include "ToolOptions.h"
#include "VerbTable.h"
#include "recording/Recording.h"

using namespace kest_record;

int main(int argc, char** argv) {
    // -o is the short form of --output, as researchers' tools have it.
    std::vector<char*> args(argv, argv + argc);
    static char kOutput[] = "--output";
    for (char*& a : args)
        if (std::strcmp(a, "-o") == 0) a = kOutput;
    std::string contracts;
    Command c;
    Selection& sel = c.sel;
    const std::string usage = VerbUsage();
    const std::string about =
        "Reads, checks, cuts, merges and imports quote recordings of kest-md-recv --record "
        "(format: " KEST_RECORDING_FORMAT_DOC
        ").\n"
        "FILE names a recording; the files rotation added after it (FILE.1, ...) are read with it." +
        VerbHelp();
    kest_tools::ToolOptions opts(kTool, usage.c_str(), about.c_str());
    c.opts = &opts;
    opts.Text("output", "OUT", "write to OUT (a recording unless --csv or --jsonl); -o OUT for short",
              &c.output);
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
    opts.Flag("csv", "cat/slice: CSV, also into OUT", &c.csv);
    opts.Flag("jsonl", "cat/slice: one JSON object a line, also into OUT", &c.jsonl);
    opts.Unsigned("limit", "N", "cat/slice: at most N records", &c.limit, 0, UINT64_MAX);
    opts.Flag("compress", "recordings written: zstd-compress each block", &c.compress);
    opts.Flag("four-ps", "import: to the 4ps feeds (default: the 2ps feeds of SHFE and INE)", &c.fourPs);
    opts.Flag("stats", "cat/slice: say on standard error how many blocks were read", &c.stats);
    opts.Epilogue(
        "Exit status: 0 done (compare: the same), 1 recordings differ, cannot be read or hold damaged "
        "blocks\n"
        "(what could be trusted is still written), or an import row is malformed (nothing written), 2 bad "
        "arguments.");
    std::vector<std::string> words = opts.Parse(static_cast<int>(args.size()), args.data());
    if (words.empty()) opts.Fail("a command is needed: " + VerbNames() + " (see kest-record --help)");
    c.verb = words[0];
    words.erase(words.begin());
    const Verb* verb = FindVerb(c.verb);
    if (verb == nullptr) opts.Fail("unknown command '" + c.verb + "' (see kest-record --help)");
    if (words.empty()) opts.Fail(c.verb + " needs at least one FILE");
    for (size_t start = 0; start <= contracts.size() && !contracts.empty();) {
        const size_t comma = std::min(contracts.find(',', start), contracts.size());
        if (comma > start) sel.contracts.push_back(contracts.substr(start, comma - start));
        start = comma + 1;
    }
    if (c.csv && c.jsonl) opts.Fail("--csv and --jsonl: choose one");
    c.files = words;
    return verb->run(c);
}
