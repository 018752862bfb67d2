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
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "Stream.h"
#include "ToolOptions.h"
#include "Verbs.h"
#include "recording/Recording.h"

using namespace kest_record;

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
        "           arrival (UTC), entries per contract, and the bytes ignored at a cut end; every\n"
        "           block is checked and each damaged one named as verify names it (exit 1)\n"
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
        "           are not compared), else the first record and field that differ; damage met in\n"
        "           either is named (exit 1)");
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
    const char* const verbs[] = {"info", "verify", "cat", "slice", "csv", "merge", "import", "compare"};
    if (std::find(std::begin(verbs), std::end(verbs), cmd) == std::end(verbs))
        opts.Fail("unknown command '" + cmd + "' (see kest-record --help)");
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
