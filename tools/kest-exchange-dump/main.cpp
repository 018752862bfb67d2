// Writes a simulated feed's snapshot to a directory, one file per message,
// so that fuzz corpora can be regenerated:
//   kest-exchange-dump --out DIR [--feed shfe2ps] [--seed N] [--size N]
//                      [--faults SPEC] [--mdqp] [--max N] [--big] [--skipped]
//                      [--unknown] [--topic ID] [--port P]
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

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
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> const char* {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "%s needs a value\n", a.c_str());
                std::exit(2);
            }
            return argv[++i];
        };
        if (a == "--out") {
            o.out_dir = value();
        } else if (a == "--feed") {
            if (!kest_sim::ParseFeed(value(), o.feed)) {
                std::fprintf(stderr, "unknown feed '%s'\n", argv[i]);
                return 2;
            }
        } else if (a == "--seed") {
            o.seed = std::strtoull(value(), nullptr, 10);
        } else if (a == "--size") {
            o.universe_size = std::atoi(value());
        } else if (a == "--faults") {
            std::string err;
            if (!kest_sim::ParseFaultPlan(value(), o.faults, &err)) {
                std::fprintf(stderr, "bad --faults: %s\n", err.c_str());
                return 2;
            }
        } else if (a == "--mdqp") {
            o.mdqp = true;
        } else if (a == "--max") {
            o.max_files = std::strtoull(value(), nullptr, 10);
        } else if (a == "--big") {
            o.encoder.big_message = true;
        } else if (a == "--skipped") {
            o.encoder.skipped_fields = true;
        } else if (a == "--unknown") {
            o.encoder.unknown_field = true;
        } else if (a == "--topic") {
            o.encoder.topic_id = static_cast<int16_t>(std::atoi(value()));
        } else if (a == "--port") {
            o.snapshot_port = static_cast<uint16_t>(std::atoi(value()));
        } else if (a == "-h" || a == "--help") {
            Usage();
            return 0;
        } else {
            std::fprintf(stderr, "unknown option '%s'\n", a.c_str());
            Usage();
            return 2;
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
