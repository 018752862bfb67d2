// Writes a simulated feed's snapshot to a directory, one file per message,
// so that fuzz corpora can be regenerated.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ToolOptions.h"
#include "cardlogic/Corpus.h"

int main(int argc, char** argv) {
    kest_cardlogic::CorpusOptions o;
    uint64_t seed = o.seed, max = 0;
    int64_t size = 0, topic = 0, port = 0;
    kest_tools::ToolOptions opts(
        "kest-exchange-dump", "--out DIR [OPTION]...",
        "Writes the snapshot of one simulated feed to DIR, one file per DMA_TCP message of the mirrored\n"
        "snapshot connection as the card hands it to the host (or, with --mdqp, one file per MDQP message\n"
        "of the snapshot stream), so that the fuzzers' corpora can be made again.");
    opts.Text("out", "DIR", "directory the files are written to (created when missing)", &o.out_dir);
    opts.Custom(
        "feed", "NAME", "feed: shfe2ps, shfe4ps, ine2ps or ine4ps (default shfe2ps)", [&o](const char* text) {
            return kest_exch::ParseFeed(text, o.feed)
                       ? std::string()
                       : std::string("names no feed: '") + text + "' (shfe2ps, shfe4ps, ine2ps or ine4ps)";
        });
    opts.Unsigned("seed", "N", "seed of the instrument universe and the encoder, 0 to 2^64-1\n(default 1)",
                  &seed, 0, UINT64_MAX);
    opts.Whole("size", "N",
               "instruments in the feed, 1 to 4096 for SHFE, 1 to 1024 for INE\n"
               "(larger values are cut to that); default 4000 SHFE, 900 INE",
               &size, 1, 4096);
    opts.Custom("faults", "PLAN",
                "faults of the mirrored connection: none, all, or a comma list\n"
                "of reorder=P dup=P loss=P foreign=P (chances per segment, 0 to\n"
                "1), window=N (segments held ahead of a gap), seed=N, and the\n"
                "switches awkward, tiny, rst, ipopt, tcpopt; default none",
                [&o](const char* text) {
                    std::string err;
                    if (!kest_exch::ParseFaultPlan(text, o.faults, &err)) return "is bad: " + err;
                    return std::string();
                });
    opts.Flag("mdqp", "one file per bare MDQP message instead of per DMA message", &o.mdqp);
    opts.Unsigned("max", "N", "write at most N files, 1 to 10000000 (default: all)", &max, 1, 10000000);
    opts.Flag("big", "fill one message up to the 65535-byte MDQP length limit", &o.encoder.big_message);
    opts.Flag("skipped", "sprinkle fields the host skips (0x0031, 0x0032, 0x0104, 0x1002,\n0x1003)",
              &o.encoder.skipped_fields);
    opts.Flag("unknown", "add one field with an id the host does not know", &o.encoder.unknown_field);
    opts.Whole("topic", "ID", "MDQP topic id, 1 to 32767 (default: the feed's, 1000, 1101,\n5000 or 5101)",
               &topic, 1, 32767);
    opts.Whole("port", "P", "snapshot TCP port, 1 to 65535 (default: the feed's, 33022 or\n22000)", &port, 1,
               65535);
    opts.Epilogue("Exit status: 0 written, 1 the files could not be written, 2 bad arguments.");
    const std::vector<std::string> operands = opts.Parse(argc, argv);
    if (!operands.empty())
        opts.Fail("unexpected argument '" + operands[0] + "' (see kest-exchange-dump --help)");
    if (o.out_dir.empty()) opts.Fail("needs --out DIR (see kest-exchange-dump --help)");
    o.seed = seed;
    o.universe_size = static_cast<int32_t>(size);
    o.max_files = static_cast<size_t>(max);
    o.encoder.topic_id = static_cast<int16_t>(topic);
    o.snapshot_port = static_cast<uint16_t>(port);

    std::string err;
    const long n = kest_cardlogic::WriteCorpus(o, &err);
    if (n < 0) {
        std::fprintf(stderr, "kest-exchange-dump: %s\n", err.c_str());
        return 1;
    }
    std::printf("%ld files written to %s\n", n, o.out_dir.c_str());
    return 0;
}
