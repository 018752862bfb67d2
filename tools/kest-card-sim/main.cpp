// Plays the card's part for a simulated card until SIGINT or SIGTERM:
// mirrors the exchange's snapshot connections while the host collects the
// snapshot, then quotes the exchange's multicast updates to the subscribed
// channels. Creates the card when it does not exist yet; leaves it in place
// on exit (a card outlives the processes that use it).
#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "ToolArgs.h"
#include "cardlogic/LiveCard.h"

namespace {

void Usage() {
    std::fprintf(stderr,
                 "usage: kest-card-sim [--card N] [--seed N] [--shfe-size N] [--ine-size N] [--rate R]\n"
                 "         [--faults SPEC] [--feeds MASK] [--line-loss P] [--line-reorder P] [--gap P]\n"
                 "         [--clock EPOCH_SECONDS] [--ring-bytes N] [--seconds N] [--stats SECONDS]\n"
                 "  --rate     updates per second per live feed (default 200)\n"
                 "  --faults   snapshot connection faults: none | all | reorder=P,dup=P,loss=P,window=N,\n"
                 "             awkward,tiny,rst,foreign=P,ipopt,tcpopt,seed=N\n"
                 "  --feeds    feed bits whose snapshots are mirrored (default 15)\n"
                 "  --clock    simulated clock start (default: now)\n"
                 "  --seconds  exit after this long (default: run until SIGINT/SIGTERM)\n");
}

void PrintStats(const kest_sim::LiveCard& card) {
    uint64_t quotes = 0, refused = 0;
    for (int ch = 0; ch < 16; ++ch) {
        quotes += card.QuotesWritten(ch);
        refused += card.QuotesRefused(ch);
    }
    std::printf("frames mirrored %llu in %u rounds; blocks 2ps %s 4ps %s; quotes %llu refused %llu;",
                static_cast<unsigned long long>(card.FramesMirrored()), card.SnapshotRounds(),
                card.BlockRunning(0) ? "running" : "idle", card.BlockRunning(1) ? "running" : "idle",
                static_cast<unsigned long long>(quotes), static_cast<unsigned long long>(refused));
    for (int f = 0; f < 4; ++f) {
        const auto feed = static_cast<EMDQPDataType>(f);
        std::printf(" %s updates %llu gaps %llu", kest_sim::FeedName(feed),
                    static_cast<unsigned long long>(card.Updates(feed)),
                    static_cast<unsigned long long>(card.Gaps(feed)));
    }
    std::printf("\n");
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    kest_sim::LiveCardOptions o;
    kest_sim::CardOptions co;
    long seconds = 0;
    long stats_every = 5;
    kest_tools::ArgCursor args("kest-card-sim", argc, argv);
    while (args.Next()) {
        if (args.Is("--card")) {
            o.card_index = args.Number<uint32_t>();
        } else if (args.Is("--seed")) {
            o.seed = args.Number<uint64_t>();
        } else if (args.Is("--shfe-size")) {
            o.shfe_size = args.Number<int32_t>();
        } else if (args.Is("--ine-size")) {
            o.ine_size = args.Number<int32_t>();
        } else if (args.Is("--rate")) {
            o.updates_per_second = args.Number<double>();
        } else if (args.Is("--faults")) {
            std::string err;
            if (!kest_sim::ParseFaultPlan(args.Text(), o.snapshot_faults, &err))
                args.Fail("is bad:", err.c_str());
        } else if (args.Is("--feeds")) {
            o.snapshot_feeds = static_cast<uint8_t>(args.Number<uint32_t>() & 0x0F);
        } else if (args.Is("--line-loss")) {
            o.line_a.loss = o.line_b.loss = args.Number<double>();
        } else if (args.Is("--line-reorder")) {
            o.line_a.reorder = o.line_b.reorder = args.Number<double>();
        } else if (args.Is("--gap")) {
            o.gap = args.Number<double>();
        } else if (args.Is("--clock")) {
            o.clock_start_ms = args.Number<int64_t>() * 1000;
        } else if (args.Is("--ring-bytes")) {
            co.a2c_ring_bytes = args.Number<uint32_t>();
        } else if (args.Is("--seconds")) {
            seconds = args.Number<long>();
        } else if (args.Is("--stats")) {
            stats_every = args.Number<long>();
        } else {
            args.HelpOrUnknown(Usage);
        }
    }

    // The signals are taken synchronously below; block them before any
    // thread starts so that every thread inherits the mask.
    sigset_t sigs;
    sigemptyset(&sigs);
    sigaddset(&sigs, SIGINT);
    sigaddset(&sigs, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &sigs, nullptr);

    if (!kest_sim::CardExists(o.card_index)) {
        if (kest_sim::CreateCard(o.card_index, co) != 0 && errno != EEXIST) {
            std::fprintf(stderr, "kest-card-sim: cannot create card %u: %s\n", o.card_index,
                         std::strerror(errno));
            return 1;
        }
        std::printf("created card %u (%s)\n", o.card_index, kest_sim::ShmName(o.card_index).c_str());
    }
    std::unique_ptr<kest_sim::LiveCard> card = kest_sim::LiveCard::Open(o);
    if (!card) {
        std::fprintf(stderr, "kest-card-sim: cannot open card %u: %s\n", o.card_index, std::strerror(errno));
        return 1;
    }
    card->Start();
    std::printf("card %u running (seed %llu, snapshot faults %s); SIGINT or SIGTERM stops\n", o.card_index,
                static_cast<unsigned long long>(o.seed),
                kest_sim::FormatFaultPlan(o.snapshot_faults).c_str());
    std::fflush(stdout);

    const time_t end = seconds > 0 ? std::time(nullptr) + seconds : 0;
    for (;;) {
        long wait = stats_every > 0 ? stats_every : 5;
        if (end) wait = std::min<long>(wait, std::max<long>(0, end - std::time(nullptr)));
        struct timespec ts {
            wait, 0
        };
        const int sig = sigtimedwait(&sigs, nullptr, &ts);
        if (sig == SIGINT || sig == SIGTERM) break;
        if (end && std::time(nullptr) >= end) break;
        if (stats_every > 0) PrintStats(*card);
    }
    card->Stop();
    PrintStats(*card);
    return 0;
}
