// Writes a simulated feed's snapshot to a directory, one file per message,
// so that fuzz corpora can be regenerated:
//   kest-exchange-dump --out DIR [--feed shfe2ps] [--seed N] [--size N]
//                      [--faults SPEC] [--mdqp] [--max N] [--big] [--skipped]
//                      [--unknown] [--topic ID] [--port P]
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ToolArgs.h"
#include "exchangesim/Corpus.h"

namespace {

void Usage() {
    std::fprintf(stderr,
                 "usage: kest-exchange-dump --out DIR [--feed shfe2ps|shfe4ps|ine2ps|ine4ps] [--seed N]\n"
                 "         [--size N] [--faults SPEC] [--mdqp] [--max N] [--big] [--skipped] [--unknown]\n"
                 "         [--topic ID] [--port P]\n"
                 "  Writes one file per DMA_TCP message of the mirrored snapshot connection\n"
                 "  (or, with --mdqp, one per MDQP message of the snapshot stream).\n"
                 "  SPEC: none | all | comma list of reorder=P dup=P loss=P foreign=P window=N seed=N\n"
                 "        awkward tiny rst ipopt tcpopt\n");
}

}  // namespace

int main(int argc, char** argv) {
    kest_sim::CorpusOptions o;
    kest_tools::ArgCursor args("kest-exchange-dump", argc, argv);
    while (args.Next()) {
        if (args.Is("--out")) {
            o.out_dir = args.Text();
        } else if (args.Is("--feed")) {
            const char* name = args.Text();
            if (!kest_sim::ParseFeed(name, o.feed)) args.Fail("names no feed:", name);
        } else if (args.Is("--seed")) {
            o.seed = args.Number<uint64_t>();
        } else if (args.Is("--size")) {
            o.universe_size = args.Number<int32_t>();
        } else if (args.Is("--faults")) {
            std::string err;
            if (!kest_sim::ParseFaultPlan(args.Text(), o.faults, &err)) args.Fail("is bad:", err.c_str());
        } else if (args.Is("--mdqp")) {
            o.mdqp = true;
        } else if (args.Is("--max")) {
            o.max_files = args.Number<size_t>();
        } else if (args.Is("--big")) {
            o.encoder.big_message = true;
        } else if (args.Is("--skipped")) {
            o.encoder.skipped_fields = true;
        } else if (args.Is("--unknown")) {
            o.encoder.unknown_field = true;
        } else if (args.Is("--topic")) {
            o.encoder.topic_id = args.Number<int16_t>();
        } else if (args.Is("--port")) {
            o.snapshot_port = args.Number<uint16_t>();
        } else {
            args.HelpOrUnknown(Usage);
        }
    }
    if (o.out_dir.empty()) {
        Usage();
        return 2;
    }
    std::string err;
    const long n = kest_sim::WriteCorpus(o, &err);
    if (n < 0) {
        std::fprintf(stderr, "kest-exchange-dump: %s\n", err.c_str());
        return 1;
    }
    std::printf("%ld files written to %s\n", n, o.out_dir.c_str());
    return 0;
}
