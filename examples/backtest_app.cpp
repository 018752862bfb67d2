// A backtest in one command: replays a recording through the card model into
// one channel and receives it through the library in callback mode, exactly
// as a live strategy would, running a mid-price crossing signal per contract.
//
//   LD_LIBRARY_PATH=<dir of the card model's libenyx-hw-c.so.5>
//   kest-example-backtest RECORDING... [--channel N] [--card-sim PATH]
//   kest-example-backtest --help
//
// RECORDING is a kest-md-recv --record file (its rotated files follow it) or
// a quoted glob; several play in the order given. The program starts
// `kest-card-sim --replay ... --speed max` (PATH, default: kest-card-sim on
// the PATH) in a namespace of its own, starts the library on channel N
// (default 5, a channel that needs no bring-up), takes every record the
// replay reports it pushed, and prints per contract the quotes, the signal's
// crossings and its result in price points, and how fast the records came:
// the time from the first record to the last (in s, ms or us as fits it) and
// the records per second over it.
//
// The strategy: a fast and a slow exponential average of the mid price
// (best bid plus best ask, halved); long one lot while the fast one is above
// the slow one, short while below, switching at the mid.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include "KestShfeMdApi.h"

namespace {

struct Signal {
    uint64_t quotes = 0, crossings = 0;
    double fast = 0, slow = 0;
    int position = 0;   // -1, 0, +1 lot
    double entry = 0;   // mid at which the position was taken
    double points = 0;  // closed result, in price points
    double lastMid = 0;

    void OnMid(double mid) {
        if (quotes++ == 0) fast = slow = mid;
        fast += (mid - fast) * (2.0 / 11);  // about 10 quotes
        slow += (mid - slow) * (2.0 / 51);  // about 50 quotes
        lastMid = mid;
        const int want = fast > slow ? 1 : fast < slow ? -1 : position;
        if (want == position) return;
        if (position != 0) {
            points += position * (mid - entry);
            ++crossings;
        }
        position = want;
        entry = mid;
    }
    double Open() const { return position * (lastMid - entry); }
};

struct Backtest : CKestShfeMdSpi {
    std::unordered_map<std::string, Signal> contracts;
    uint64_t records = 0;
    std::chrono::steady_clock::time_point first, last;

    void OnShfeMdData(const KestShfeMdType* q) override {
        last = std::chrono::steady_clock::now();
        if (records++ == 0) first = last;
        if (q->bid1_vol == 0 || q->ask1_vol == 0) return;  // no two-sided book: no mid
        // inst_id is NUL-padded, 16 bytes; short identifiers need no allocation.
        const std::string id(q->inst_id, strnlen(q->inst_id, sizeof q->inst_id));
        contracts[id].OnMid((q->bid1_px + q->ask1_px) / 200.0);  // prices are in hundredths
    }
};

// The card process, its standard output read line by line without blocking.
struct CardProcess {
    pid_t pid = -1;
    int out = -1;
    std::string pending;

    bool Start(const std::vector<std::string>& argv) {
        int fds[2];
        if (pipe(fds) != 0) return false;
        pid = fork();
        if (pid == 0) {
            dup2(fds[1], 1);
            close(fds[0]);
            close(fds[1]);
            std::vector<char*> args;
            for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
            args.push_back(nullptr);
            execvp(args[0], args.data());
            std::fprintf(stderr, "cannot run %s: %s\n", args[0], std::strerror(errno));
            _exit(127);
        }
        close(fds[1]);
        out = fds[0];
        fcntl(out, F_SETFL, O_NONBLOCK);
        return pid > 0;
    }
    // The next whole line, if one is there; *ended when the process closed its output.
    bool Line(std::string* line, bool* ended) {
        char buf[4096];
        const ssize_t n = read(out, buf, sizeof buf);
        if (n > 0) pending.append(buf, static_cast<size_t>(n));
        if (n == 0) *ended = true;
        const size_t eol = pending.find('\n');
        if (eol == std::string::npos) return false;
        *line = pending.substr(0, eol);
        pending.erase(0, eol + 1);
        return true;
    }
};

void Usage(FILE* to, const char* self) {
    std::fprintf(to,
                 "usage: %s RECORDING... [--channel 1-15] [--card-sim PATH]\n"
                 "Replays the recordings through the card model (kest-card-sim --replay, PATH or the one on\n"
                 "the PATH) into channel N (default 5), receives them through the library and prints per\n"
                 "contract the quotes, crossings and result of a mid-price crossing signal.\n",
                 self);
}

// A span in the unit that keeps three decimals meaningful: 1.234 s, 12.345 ms, 212.000 us.
std::string Span(double seconds) {
    char text[32];
    if (seconds >= 1)
        std::snprintf(text, sizeof text, "%.3f s", seconds);
    else if (seconds >= 1e-3)
        std::snprintf(text, sizeof text, "%.3f ms", seconds * 1e3);
    else
        std::snprintf(text, sizeof text, "%.3f us", seconds * 1e6);
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> recordings;
    std::string cardSim = "kest-card-sim";
    int channel = 5;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            Usage(stdout, argv[0]);
            return 0;
        } else if (a == "--channel" && i + 1 < argc) {
            channel = std::atoi(argv[++i]);
        } else if (a == "--card-sim" && i + 1 < argc) {
            cardSim = argv[++i];
        } else if (a.size() > 1 && a[0] == '-') {
            std::fprintf(stderr, "%s: unknown option %s (see --help)\n", argv[0], a.c_str());
            return 2;
        } else {
            recordings.push_back(a);
        }
    }
    if (recordings.empty() || channel < 1 || channel > 15) {
        Usage(stderr, argv[0]);
        return 2;
    }
    // A card of our own, so that nothing else writes to the channel.
    if (std::getenv("KEST_CARDSIM_NAMESPACE") == nullptr)
        setenv("KEST_CARDSIM_NAMESPACE", ("backtest." + std::to_string(getpid())).c_str(), 1);
    char config[] = "/tmp/kest-backtest.XXXXXX";
    const int fd = mkstemp(config);
    const std::string text =
        "[config]\nlog_level=1\ncpucore=-1\ndevice=xilinx0:" + std::to_string(channel) + "\n";
    if (fd < 0 || write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) return 1;
    close(fd);

    std::vector<std::string> sim = {
        cardSim, "--stats", "0", "--speed", "max", "--channel", std::to_string(channel)};
    for (const std::string& r : recordings) {
        sim.push_back("--replay");
        sim.push_back(r);
    }
    CardProcess card;
    if (!card.Start(sim)) return 1;
    // The card exists once the card process says it runs.
    std::string line;
    bool ended = false;
    while (line.find("running") == std::string::npos) {
        if (!card.Line(&line, &ended)) {
            if (ended) {
                std::fprintf(stderr, "%s ended before the card ran\n", cardSim.c_str());
                unlink(config);
                return 1;
            }
            usleep(1000);
        }
    }

    CKestShfeMdApi& api = CKestShfeMdApi::CreateKestShfeMdApi();
    Backtest strategy;
    if (api.KestStart(strategy, config) != 0) {
        std::fprintf(stderr, "KestStart failed: see the kest_u50_*.log file\n");
        kill(card.pid, SIGTERM);
        waitpid(card.pid, nullptr, 0);
        unlink(config);
        return 1;
    }
    // The replay says how many records it pushed once it is done; they are
    // all in the ring by then, and the ring outlives the card process.
    unsigned long long pushed = 0;
    bool done = false;
    for (uint64_t polls = 0; !done || strategy.records < pushed; ++polls) {
        if (api.KestRecv() == -1) break;  // SIGINT or SIGTERM
        if ((polls & 0xFFFF) == 0 && !done) {
            while (card.Line(&line, &ended))
                if (std::sscanf(line.c_str(), "replayed %llu records", &pushed) == 1) done = true;
            if (ended && !done) break;  // the card process failed; its messages are on standard error
        }
    }
    kill(card.pid, SIGTERM);  // gone already, unless it failed
    waitpid(card.pid, nullptr, 0);
    CKestShfeMdApi::DestroyKestShfeMdApi(api);
    unlink(config);

    std::map<std::string, const Signal*> sorted;
    for (const auto& c : strategy.contracts) sorted[c.first] = &c.second;
    std::printf("%-16s %10s %10s %14s\n", "contract", "quotes", "crossings", "result/points");
    double total = 0;
    for (const auto& c : sorted) {
        const double result = c.second->points + c.second->Open();
        total += result;
        std::printf("%-16s %10" PRIu64 " %10" PRIu64 " %14.2f\n", c.first.c_str(), c.second->quotes,
                    c.second->crossings, result);
    }
    const double seconds = std::chrono::duration<double>(strategy.last - strategy.first).count();
    std::printf("%zu contracts, result %.2f points; %" PRIu64 " of %llu records", sorted.size(), total,
                strategy.records, pushed);
    if (strategy.records > 1 && seconds > 0)  // the rate over the gaps between records, first to last
        std::printf(" in %s: %.0f records/s", Span(seconds).c_str(),
                    static_cast<double>(strategy.records - 1) / seconds);
    std::printf("\n");
    return done && strategy.records == pushed ? 0 : 1;
}
