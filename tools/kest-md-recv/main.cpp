// kest-md-recv: receives quotes through the public interface, the way a
// user's application does, and prints them as a live table or writes them
// as CSV/binary records; on SIGINT (or after --seconds) prints a summary.
//
//   kest-md-recv CONFIG [--buffer] [--seconds N] [--csv FILE] [--bin FILE]
//                [--quiet] [--rows N]
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

#include "KestShfeMdApi.h"
#include "QuoteBook.h"
#include "ToolArgs.h"

namespace {

using Clock = std::chrono::steady_clock;

uint64_t NowNs() {
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count());
}

struct Options {
    const char* config = nullptr;
    bool buffer = false;
    int seconds = 0;
    const char* csv = nullptr;
    const char* bin = nullptr;
    bool quiet = false;
    size_t rows = 30;
};

void Usage() {
    std::fprintf(stderr,
                 "usage: kest-md-recv CONFIG [--buffer] [--seconds N] [--csv FILE] [--bin FILE] [--quiet] "
                 "[--rows N]\n"
                 "  --buffer     buffer mode (KestStart(path) + KestRecv(record)); default callback mode\n"
                 "  --seconds N  stop after N seconds (default: run until SIGINT/SIGTERM)\n"
                 "  --csv FILE   write every quote as a CSV line\n"
                 "  --bin FILE   write every quote as its raw 152-byte record\n"
                 "  --quiet      no live table\n");
}

bool ParseOptions(int argc, char** argv, Options& opt) {
    kest_tools::ArgCursor args("kest-md-recv", argc, argv);
    while (args.Next()) {
        if (args.Is("--buffer")) {
            opt.buffer = true;
        } else if (args.Is("--quiet")) {
            opt.quiet = true;
        } else if (args.Is("--seconds")) {
            opt.seconds = args.Number<int>();
        } else if (args.Is("--rows")) {
            opt.rows = args.Number<size_t>();
        } else if (args.Is("--csv")) {
            opt.csv = args.Text();
        } else if (args.Is("--bin")) {
            opt.bin = args.Text();
        } else if (args.Is("-h") || args.Is("--help")) {
            return false;
        } else if (!args.Arg().empty() && args.Arg()[0] == '-') {
            std::fprintf(stderr, "unknown option %s\n", args.Arg().c_str());
            return false;
        } else if (opt.config == nullptr) {
            opt.config = args.Current();
        } else {
            return false;
        }
    }
    return opt.config != nullptr;
}

// The channel this process receives, as the configuration names it (for the summary only).
int ChannelOf(const char* config) {
    std::ifstream in(config);
    std::string line;
    int bus = 0, channel = 0;
    while (std::getline(in, line)) {
        const size_t hash = line.find('#');
        if (hash != std::string::npos) line.resize(hash);
        const size_t pos = line.find("device");
        const size_t eq = line.find('=');
        if (pos != std::string::npos && eq != std::string::npos && pos < eq) {
            std::sscanf(line.c_str() + eq + 1, " xilinx%d:%d", &bus, &channel);
        }
    }
    return channel;
}

class Receiver : public CKestShfeMdSpi {
public:
    explicit Receiver(QuoteBook& book) : book_(book) {}
    void OnShfeMdData(const KestShfeMdType* quote) override {
        const uint64_t now = NowNs();
        book_.Latency().Add(now - pollStartNs);
        book_.OnQuote(*quote, now);
    }
    uint64_t pollStartNs = 0;

private:
    QuoteBook& book_;
};

}  // namespace

int main(int argc, char** argv) {
    Options opt;
    if (!ParseOptions(argc, argv, opt)) {
        Usage();
        return 2;
    }
    FILE* csv = nullptr;
    FILE* bin = nullptr;
    if (opt.csv != nullptr && (csv = std::fopen(opt.csv, "w")) == nullptr) {
        std::perror(opt.csv);
        return 1;
    }
    if (opt.bin != nullptr && (bin = std::fopen(opt.bin, "wb")) == nullptr) {
        std::perror(opt.bin);
        return 1;
    }
    if (csv != nullptr) QuoteBook::WriteCsvHeader(csv);
    QuoteBook book(csv, bin);
    Receiver receiver(book);

    CKestShfeMdApi& api = CKestShfeMdApi::CreateKestShfeMdApi();
    // The factory returns a reference at address 0 when memory is short.
    volatile uintptr_t apiAddress = reinterpret_cast<uintptr_t>(&api);
    if (apiAddress == 0) {
        std::fprintf(stderr, "kest-md-recv: out of memory\n");
        return 1;
    }

    const int rc = opt.buffer ? api.KestStart(opt.config) : api.KestStart(receiver, opt.config);
    if (rc != 0) {
        std::fprintf(stderr, "kest-md-recv: start failed (%d), see the kest_u50_*.log file\n", rc);
        CKestShfeMdApi::DestroyKestShfeMdApi(api);
        return 1;
    }

    // The library's SIGINT/SIGTERM handler ends the polls; --seconds asks
    // for the same exit from a timer thread of our own.
    std::atomic<bool> done{false};
    std::thread timer;
    if (opt.seconds > 0) {
        timer = std::thread([&done, seconds = opt.seconds] {
            const auto deadline = Clock::now() + std::chrono::seconds(seconds);
            while (!done.load(std::memory_order_acquire) && Clock::now() < deadline) {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
            if (!done.load(std::memory_order_acquire)) kill(getpid(), SIGINT);
        });
    }

    const auto started = Clock::now();
    auto nextTable = started + std::chrono::seconds(1);
    KestShfeMdType record;
    std::memset(&record, 0, sizeof(record));
    uint64_t polls = 0;
    for (;;) {
        int32_t r;
        if (opt.buffer) {
            const uint64_t t0 = NowNs();
            r = api.KestRecv(record);
            if (r == 1) {
                const uint64_t now = NowNs();
                book.Latency().Add(now - t0);
                book.OnQuote(record, now);
            }
        } else {
            receiver.pollStartNs = NowNs();
            r = api.KestRecv();
        }
        if (r == -1) break;
        if (!opt.quiet && (++polls & 0xFFF) == 0 && Clock::now() >= nextTable) {
            book.PrintTable(stdout, opt.rows);
            nextTable += std::chrono::seconds(1);
        }
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    done.store(true, std::memory_order_release);
    if (timer.joinable()) timer.join();

    book.PrintSummary(stdout, ChannelOf(opt.config), seconds);
    if (csv != nullptr) std::fclose(csv);
    if (bin != nullptr) std::fclose(bin);
    CKestShfeMdApi::DestroyKestShfeMdApi(api);
    return 0;
}
