// Plays the card's part for a simulated card until SIGINT or SIGTERM:
// mirrors the exchange's snapshot connections while the host collects the
// snapshot, then quotes the exchange's multicast updates to the subscribed
// channels. Creates the card when it does not exist yet and then removes it
// again on exit (unless --keep-card); a card that was there before is left
// as it was found, since a card outlives the processes that use it.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "FeedTable.h"
#include "ToolOptions.h"
#include "cardlogic/LiveCard.h"
#include "cardlogic/Replay.h"
#include "cardlogic/ReplaySource.h"
#include "exchangesim/Sessions.h"
#include "recording/Recording.h"

namespace {

const char* const kTool = "kest-card-sim";

void PrintStats(const kest_cardlogic::LiveCard& card) {
    uint64_t quotes = 0, refused = 0;
    for (int ch = 0; ch < Kest_U50::CHANNEL_SIZE; ++ch) {
        quotes += card.QuotesWritten(ch);
        refused += card.QuotesRefused(ch);
    }
    uint32_t hhmmss = 0;
    uint16_t milli = 0;
    kest_exch::CstTimeOfDay(card.ClockMs(), hhmmss, milli);
    std::printf("frames mirrored %llu in %u rounds; blocks 2ps %s 4ps %s; quotes %llu refused %llu;",
                static_cast<unsigned long long>(card.FramesMirrored()), card.SnapshotRounds(),
                card.BlockRunning(0) ? "running" : "idle", card.BlockRunning(1) ? "running" : "idle",
                static_cast<unsigned long long>(quotes), static_cast<unsigned long long>(refused));
    for (int f = 0; f < Kest_U50::FEED_COUNT; ++f) {
        const auto feed = static_cast<EMDQPDataType>(f);
        std::printf(" %s updates %llu gaps %llu", Kest_U50::FEEDS[f].key,
                    static_cast<unsigned long long>(card.Updates(feed)),
                    static_cast<unsigned long long>(card.Gaps(feed)));
    }
    std::printf("; exchange clock %02u:%02u:%02u CST\n", hhmmss / 10000, hhmmss / 100 % 100, hhmmss % 100);
    std::fflush(stdout);
}

// Per channel, what the card wrote and what a full ring refused: a receiver
// that stalls loses exactly the refused quotes.
void PrintChannels(const kest_cardlogic::LiveCard& card) {
    for (int ch = 0; ch < Kest_U50::CHANNEL_SIZE; ++ch) {
        if (card.QuotesWritten(ch) == 0 && card.QuotesRefused(ch) == 0 && card.EventsWritten(ch) == 0)
            continue;
        std::printf("channel %2d: quotes %llu refused %llu events %llu\n", ch,
                    static_cast<unsigned long long>(card.QuotesWritten(ch)),
                    static_cast<unsigned long long>(card.QuotesRefused(ch)),
                    static_cast<unsigned long long>(card.EventsWritten(ch)));
    }
    std::fflush(stdout);
}

// The name of a process, for a message that names it.
std::string ProcessName(int32_t pid) {
    std::string name;
    if (FILE* f = std::fopen(("/proc/" + std::to_string(pid) + "/comm").c_str(), "r")) {
        char buf[64] = {};
        if (std::fgets(buf, sizeof buf, f) != nullptr) name = buf;
        std::fclose(f);
    }
    while (!name.empty() && name.back() == '\n') name.pop_back();
    return "process " + std::to_string(pid) + (name.empty() ? "" : " (" + name + ")");
}

// "0-3,7": the channels of a mask.
std::string ChannelList(uint32_t mask) {
    std::string out;
    for (int c = 0; c < Kest_U50::CHANNEL_SIZE;) {
        if (!(mask & (1u << c))) {
            ++c;
            continue;
        }
        int e = c;
        while (e + 1 < Kest_U50::CHANNEL_SIZE && (mask & (1u << (e + 1)))) ++e;
        out += (out.empty() ? "" : ",") + std::to_string(c) + (e > c ? "-" + std::to_string(e) : "");
        c = e + 1;
    }
    return out;
}

// Which process drives which channels of the card, one line per process.
void PrintDrivers(const kest_sim::Card& card, uint32_t index) {
    uint32_t done = 0;
    for (int c = 0; c < Kest_U50::CHANNEL_SIZE; ++c) {
        const int32_t pid = card.ChannelDriver(c);
        if (pid == 0 || (done & (1u << c))) continue;
        uint32_t mask = 0;
        for (int k = c; k < Kest_U50::CHANNEL_SIZE; ++k)
            if (card.ChannelDriver(k) == pid) mask |= 1u << k;
        done |= mask;
        std::printf("card %u channels %s: driven by %s%s\n", index, ChannelList(mask).c_str(),
                    ProcessName(pid).c_str(), pid == getpid() ? ", this one" : "");
    }
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    kest_cardlogic::LiveCardOptions o;
    kest_sim::CardOptions co;
    int64_t card = 0, shfe = 4000, ine = 900, feeds = 15, clock = 0, seconds = 0, stats = 5;
    uint64_t seed = 1, ring = co.a2c_ring_bytes;
    double rate = o.updates_per_second, loss = 0, reorder = 0, gap = 0;
    bool keep = false;
    std::vector<std::string> replay;  // files or patterns, in order
    int64_t replayChannel = 0;
    double speed = 1.0;  // 0: as fast as the ring takes them
    kest_cardlogic::ReplayOptions ro;
    bool hold = false;
    kest_tools::ToolOptions opts(
        kTool, "[OPTION]...",
        "Runs a simulated card and its exchange until SIGINT or SIGTERM: mirrors the exchange's snapshot\n"
        "connections while a receiver on channel 0 brings the card up, then decodes the live multicast\n"
        "updates of lines A and B and writes quote records to every subscribed channel. Creates the card\n"
        "when it does not exist and removes it again on exit (see --keep-card).");
    opts.Whole("card", "N", "card index, 0 to 65535 (default 0)", &card, 0, 65535);
    opts.Unsigned("seed", "N",
                  "seed of the instrument universe and of every random choice,\n0 to 2^64-1 (default 1)",
                  &seed, 0, UINT64_MAX);
    opts.Whole("shfe-size", "N", "instruments per SHFE feed, 1 to 4096 (default 4000)", &shfe, 1, 4096);
    opts.Whole("ine-size", "N", "instruments per INE feed, 1 to 1024 (default 900)", &ine, 1, 1024);
    opts.Real("rate", "R",
              "the market's order flow: contract changes drawn per second of\n"
              "exchange time per exchange, 0.1 to 1000000 (default 200)",
              &rate, 0.1, 1e6);
    opts.Custom("faults", "PLAN",
                "faults of the mirrored snapshot connections: none, all, or a\n"
                "comma list of reorder=P dup=P loss=P foreign=P (chances per\n"
                "segment, 0 to 1), window=N (segments held ahead of a gap),\n"
                "seed=N, and the switches awkward (cuts inside headers), tiny\n"
                "(1-byte segments), rst (one reset), ipopt, tcpopt (options in\n"
                "some headers); default none",
                [&o](const char* text) {
                    std::string err;
                    if (!kest_exch::ParseFaultPlan(text, o.snapshot_faults, &err)) return "is bad: " + err;
                    return std::string();
                });
    opts.Whole("feeds", "MASK",
               "feeds whose snapshots are mirrored, a bit mask 0 to 15: 1 SHFE\n"
               "2ps, 2 SHFE 4ps, 4 INE 2ps, 8 INE 4ps (default 15, all)",
               &feeds, 0, 15);
    opts.Real("line-loss", "P",
              "chance that a line misses a packet (the other line has it),\n0 to 1 (default 0)", &loss, 0, 1);
    opts.Real("line-reorder", "P",
              "chance that a line delivers a packet one or two packets late,\n0 to 1 (default 0)", &reorder,
              0, 1);
    opts.Real("gap", "P",
              "chance per packet that both lines miss it: a gap that raises\n"
              "a lost-packet event, 0 to 1 (default 0)",
              &gap, 0, 1);
    double clockSpeed = 1;
    std::string sessions;
    opts.Custom("clock", "START",
                "start of the simulated exchange clock: seconds since 1970\n"
                "(1 to 4102444800), a China Standard Time of day today (20:50),\n"
                "or a CST date and time (2025-01-02T20:50); default: now",
                [&clock](const char* text) {
                    std::string err;
                    int64_t s = 0;
                    if (!kest_exch::ParseClock(text, std::time(nullptr), s, &err)) return err;
                    clock = s;
                    return std::string();
                });
    opts.Real("clock-speed", "X",
              "exchange seconds per real second, 0.01 to 10000 (default 1);\n"
              "given, the market keeps the exchange's sessions (see --sessions)",
              &clockSpeed, 0.01, 10000);
    opts.Custom("sessions", "ON|OFF",
                "on: each product trades in its sessions (night from 21:00 to\n"
                "23:00, 01:00 or 02:30, day 09:00-15:00) after its call\n"
                "auction, nothing in between; off: trading around the clock\n"
                "(default on with --clock-speed, else off)",
                [&sessions](const char* text) {
                    if (std::strcmp(text, "on") != 0 && std::strcmp(text, "off") != 0)
                        return std::string("wants on or off");
                    sessions = text;
                    return std::string();
                });
    opts.Unsigned("ring-bytes", "N",
                  "card-to-host ring of each channel when the card is created,\n"
                  "4096 to 1073741824 bytes, rounded up to a power of two\n(default 268435456)",
                  &ring, 4096, 1u << 30);
    opts.Whole("seconds", "N", "exit after N seconds, 1 to 31536000 (default: run until\nSIGINT/SIGTERM)",
               &seconds, 1, 31536000);
    opts.Whole("stats", "S", "print statistics every S seconds, 0 (only at exit) to 86400\n(default 5)",
               &stats, 0, 86400);
    opts.Flag("keep-card", "leave a card this run created in place on exit", &keep);
    opts.Custom("replay", "FILE",
                "play the recording FILE (and FILE.1, ... after it) into one\n"
                "channel instead of the live feed: the recorded records, byte\n"
                "for byte, in order; a full ring is waited on, nothing is\n"
                "skipped. Give it again for more recordings, played in the\n"
                "order given; FILE may be a quoted glob pattern (its matches\n"
                "in name order). Snapshots are still mirrored, so a receiver\n"
                "on channel 0 brings the card up as usual; a replay into\n"
                "channel 0 begins once a bring-up has started the card's\n"
                "logic, into any other channel at once. The run ends when the\n"
                "last record is in the ring (see --hold)",
                [&replay](const char* text) {
                    replay.emplace_back(text);
                    return std::string();
                });
    // --from and --to: the parser's reason is the option's error.
    auto replayTime = [](kest_cardlogic::ReplayTime* out) {
        return [out](const char* text) {
            std::string why;
            return kest_cardlogic::ParseReplayTime(text, out, &why) ? std::string() : why;
        };
    };
    opts.Custom("from", "TIME",
                "with --replay: play records from TIME on (inclusive):\n"
                "HH:MM[:SS[.mmm]] an exchange time of day (the quote's update\n"
                "time), or an arrival time: ns since the epoch or\n"
                "YYYY-MM-DD[THH:MM[:SS[.fff]]][Z|+hh:mm], China Standard Time\n"
                "(UTC+08:00) without a zone",
                replayTime(&ro.from));
    opts.Custom("to", "TIME",
                "with --replay: play records before TIME (exclusive), written\n"
                "as for --from; exchange times with --from after --to span\n"
                "midnight",
                replayTime(&ro.to));
    opts.Custom("contracts", "LIST",
                "with --replay: play only these instruments, a comma list of\n"
                "identifiers or products (cu2501,sc)",
                [&ro](const char* text) {
                    for (const char* p = text; *p != '\0';) {
                        const char* comma = std::strchr(p, ',');
                        const std::string id(p, comma ? comma : p + std::strlen(p));
                        if (id.empty() || id.size() > 15)
                            return std::string("wants identifiers of 1 to 15 characters");
                        ro.contracts.push_back(id);
                        p = comma ? comma + 1 : p + std::strlen(p);
                    }
                    return std::string();
                });
    opts.Flag("hold",
              "with --replay: keep the card up after the last record until\nSIGINT, SIGTERM or --seconds",
              &hold);
    opts.Whole("channel", "N", "with --replay: the channel played into, 0 to 15 (default 0)", &replayChannel,
               0, 15);
    opts.Custom("speed", "X|max",
                "with --replay: the recorded pace times X, 0.001 to 1000000\n"
                "(default 1), or max: as fast as the ring takes them",
                [&speed](const char* text) {
                    if (std::strcmp(text, "max") == 0) {
                        speed = 0;
                        return std::string();
                    }
                    double x;
                    if (!kest_tools::ToolOptions::ParseReal(text, x) || !(x >= 0.001 && x <= 1e6))
                        return std::string("wants a number from 0.001 to 1000000 or max");
                    speed = x;
                    return std::string();
                });
    opts.Epilogue(
        "Cards live in the namespace KEST_CARDSIM_NAMESPACE names (default \"default\").\n"
        "A channel that another card process drives (a live card, or a replay) is not written\n"
        "twice: the run says which process drives which channels, and stops.\n"
        "Exit status: 0 after a run, 1 the card cannot be created or opened, another process\n"
        "drives a channel this run would write, or a replayed file cannot be read, 2 bad arguments.");
    const std::vector<std::string> operands = opts.Parse(argc, argv);
    if (!operands.empty()) opts.Fail("unexpected argument '" + operands[0] + "' (see kest-card-sim --help)");
    if ((opts.Given("channel") || opts.Given("speed")) && replay.empty())
        opts.Fail("--channel and --speed go with --replay FILE");
    if ((opts.Given("from") || opts.Given("to") || opts.Given("contracts") || opts.Given("hold")) &&
        replay.empty())
        opts.Fail("--from, --to, --contracts and --hold go with --replay FILE");
    std::vector<std::string> replayFiles;
    if (!replay.empty()) {
        std::string error;
        replayFiles = kest_cardlogic::ReplayFiles(replay, &error);
        if (replayFiles.empty()) opts.Fail("--replay: " + error);
        for (const std::string& f : replayFiles)
            if (!kest_rec::Reader::Open(f, &error)) opts.Fail("--replay: " + error);
        o.free_run = false;  // the recording is the only source of quotes
    }
    o.card_index = static_cast<uint32_t>(card);
    o.seed = seed;
    o.shfe_size = static_cast<int32_t>(shfe);
    o.ine_size = static_cast<int32_t>(ine);
    o.updates_per_second = rate;
    o.snapshot_feeds = static_cast<uint8_t>(feeds);
    o.line_a.loss = o.line_b.loss = loss;
    o.line_a.reorder = o.line_b.reorder = reorder;
    o.gap = gap;
    o.clock_start_ms = clock * 1000;
    o.clock_speed = clockSpeed;
    o.sessions = sessions.empty() ? opts.Given("clock-speed") : sessions == "on";
    co.a2c_ring_bytes = static_cast<uint32_t>(ring);

    // The signals are taken synchronously below; block them before any
    // thread starts so that every thread inherits the mask.
    sigset_t sigs;
    sigemptyset(&sigs);
    sigaddset(&sigs, SIGINT);
    sigaddset(&sigs, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &sigs, nullptr);

    bool created = false;
    if (!kest_sim::CardExists(o.card_index)) {
        if (kest_sim::CreateCard(o.card_index, co) != 0) {
            if (errno != EEXIST) {
                std::fprintf(stderr, "%s: cannot create card %u (%s): %s\n", kTool, o.card_index,
                             kest_sim::ShmName(o.card_index).c_str(), std::strerror(errno));
                return 1;
            }
        } else {
            created = true;
            std::printf("created card %u (%s)\n", o.card_index, kest_sim::ShmName(o.card_index).c_str());
        }
    }
    auto removeCreated = [&] {
        if (created && !keep) {
            if (kest_sim::RemoveCard(o.card_index) == 0) {
                std::printf("removed card %u (%s)\n", o.card_index, kest_sim::ShmName(o.card_index).c_str());
            }
        }
    };
    std::unique_ptr<kest_cardlogic::LiveCard> live = kest_cardlogic::LiveCard::Open(o);
    if (!live) {
        std::fprintf(stderr, "%s: cannot open card %u (%s): %s\n", kTool, o.card_index,
                     kest_sim::ShmName(o.card_index).c_str(), std::strerror(errno));
        removeCreated();
        return 1;
    }
    // The live feed may quote to any channel and mirrors snapshots to 0; a
    // replay writes its channel and mirrors to 0. Two card processes writing
    // one ring would interleave their records: refuse rather than join.
    const uint32_t channels = replay.empty() ? 0xFFFFu : (1u << replayChannel) | 1u;
    int clash = -1;
    if (const int32_t other = live->Model().ClaimChannels(channels, &clash)) {
        PrintDrivers(live->Model(), o.card_index);
        std::fprintf(stderr, "%s: card %u channel %d is driven by %s; this run would write the same ring\n",
                     kTool, o.card_index, clash, ProcessName(other).c_str());
        live.reset();
        removeCreated();
        return 1;
    }
    PrintDrivers(live->Model(), o.card_index);
    live->Start();
    std::printf("card %u running (seed %llu, snapshot faults %s); SIGINT or SIGTERM stops\n", o.card_index,
                static_cast<unsigned long long>(o.seed),
                kest_exch::FormatFaultPlan(o.snapshot_faults).c_str());
    std::fflush(stdout);

    std::atomic<bool> stopReplay{false};
    // Release-stored by the replay thread when it is done; acquire-loaded by the main thread.
    std::atomic<bool> replayDone{false};
    bool replayFailed = false;  // written by the replay thread, read after join
    std::thread replayer;
    if (!replay.empty()) {
        replayer = std::thread([&] {
            kest_sim::Card& model = live->Model();
            if (replayChannel == 0) {
                // Quotes that reached channel 0 before its bring-up ends would be
                // taken by the snapshot wait: play only once the logic restarts.
                std::printf("replay into channel 0 waits for a receiver on channel 0 to bring the card up\n");
                std::fflush(stdout);
                // A bring-up has run when this card mirrored a snapshot and the
                // logic runs again afterwards; a receiver that started before
                // this process still needs the mirroring, so it is never missed.
                while (!(live->SnapshotRounds() > 0 && (live->BlockRunning(0) || live->BlockRunning(1)))) {
                    // Acquire pairs with the release store below, on the main thread.
                    if (stopReplay.load(std::memory_order_acquire)) return;
                    usleep(10000);
                }
            }
            ro.channel = static_cast<int>(replayChannel);
            ro.speed = speed;
            const kest_cardlogic::ReplayResult r =
                kest_cardlogic::Replay(model, replayFiles, ro, &stopReplay);
            replayFailed = !r.error.empty();
            if (!r.error.empty()) std::fprintf(stderr, "%s: --replay: %s\n", kTool, r.error.c_str());
            std::printf(
                "replayed %llu records into channel %lld in %.3f s (%.0f records/s), %llu left out, %llu "
                "skipped%s\n",
                static_cast<unsigned long long>(r.records), static_cast<long long>(replayChannel), r.seconds,
                r.seconds > 0 ? static_cast<double>(r.records) / r.seconds : 0.0,
                static_cast<unsigned long long>(r.left_out), static_cast<unsigned long long>(r.skipped),
                r.stopped ? ", stopped early" : "");
            if (r.trailing_bytes > 0) {
                std::printf(
                    "  %llu bytes after the last whole record ignored (the recorder stopped mid-block)\n",
                    static_cast<unsigned long long>(r.trailing_bytes));
            }
            std::fflush(stdout);
            replayDone.store(true, std::memory_order_release);
        });
    }

    const time_t end = seconds > 0 ? std::time(nullptr) + seconds : 0;
    time_t nextStats = std::time(nullptr) + (stats > 0 ? stats : 5);
    for (;;) {
        long wait = stats > 0 ? static_cast<long>(stats) : 5;
        if (end) wait = std::min<long>(wait, std::max<long>(0, end - std::time(nullptr)));
        // A replay that ends the run is looked at ten times a second.
        const bool replayEnds = !replay.empty() && !hold;
        struct timespec ts {
            replayEnds ? 0 : wait, replayEnds ? 100000000L : 0
        };
        const int sig = sigtimedwait(&sigs, nullptr, &ts);
        if (sig == SIGINT || sig == SIGTERM) break;
        if (end && std::time(nullptr) >= end) break;
        // Acquire pairs with the replay thread's release store.
        if (replayEnds && replayDone.load(std::memory_order_acquire)) break;
        if (replayEnds && std::time(nullptr) < nextStats) continue;
        nextStats = std::time(nullptr) + wait;
        if (stats > 0) PrintStats(*live);
    }
    // Release pairs with the replay thread's acquire loads.
    stopReplay.store(true, std::memory_order_release);
    if (replayer.joinable()) replayer.join();
    live->Stop();
    live->Model().ReleaseChannels(channels);
    PrintStats(*live);
    PrintChannels(*live);
    // A replay that ended before its receiver took everything (or started)
    // leaves the card, so that the receiver can still take the records.
    if (created && !keep && !replay.empty()) {
        if (const uint64_t pending = live->Model().A2cStats(static_cast<int>(replayChannel)).pending) {
            keep = true;
            std::printf(
                "card %u kept: %llu replayed records not yet taken from channel %lld (kest-card-ctl "
                "remove %u removes it)\n",
                o.card_index, static_cast<unsigned long long>(pending), static_cast<long long>(replayChannel),
                o.card_index);
        }
    }
    live.reset();
    removeCreated();
    return replayFailed ? 1 : 0;
}
