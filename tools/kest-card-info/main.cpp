// kest-card-info: what a card is doing, seen through libenyx-hw-c.so.5 only,
// so that it reads a real card and the model alike. Read-only: it takes the
// per-core lock for each read, as the library does, and never writes a
// register or resets a core, so it is safe beside running receivers.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>

#include "CardHint.h"
#include "CardLibrary.h"
#include "CardMetrics.h"
#include "CardReader.h"
#include "FeedTable.h"
#include "FpgaRegisterCommon.h"
#include "MuxCounters.h"
#include "StartVerdict.h"
#include "ToolOptions.h"

namespace {

namespace R = Kest_U50::Reg;
using Json = nlohmann::ordered_json;

const char* const kTool = "kest-card-info";

struct CardState {
    uint64_t version = 0;
    uint64_t date = 0;
    uint64_t crc = 0;
    uint64_t shfe_highest = 0;
    uint64_t ine_highest = 0;
    uint64_t times[Kest_U50::FEED_COUNT] = {};
    uint64_t counters[kest_tools::kMuxCounters] = {};
    double taken_at = 0;  // wall clock, seconds
    bool ok = true;
};

double WallSeconds() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

CardState ReadCard(const kest_tools::CardReader& card) {
    CardState s;
    auto read = [&](uint32_t reg, uint64_t& v) { s.ok = card.Read(reg, v) && s.ok; };
    read(R::COMPILE_VER, s.version);
    read(R::COMPILE_DATE, s.date);
    read(R::CONFIG_CRC, s.crc);
    read(R::SHFE_INST_COUNT, s.shfe_highest);
    read(R::INE_INST_COUNT, s.ine_highest);
    for (uint32_t k = 0; k < R::LAST_UPDATE_TIME_COUNT; ++k) read(R::LAST_UPDATE_TIME_0 + k, s.times[k]);
    for (int k = 0; k < kest_tools::kMuxCounters; ++k) read(kest_tools::MuxCounterAt(k).reg, s.counters[k]);
    // The 32-bit registers are the low words of what the library reads.
    s.version &= 0xFFFFFFFFu;
    s.date &= 0xFFFFFFFFu;
    s.crc &= 0xFFFFFFFFu;
    s.shfe_highest &= 0xFFFFFFFFu;
    s.ine_highest &= 0xFFFFFFFFu;
    s.taken_at = WallSeconds();
    return s;
}

std::string LocalTime(uint64_t epoch) {
    const time_t t = static_cast<time_t>(epoch);
    struct tm tmv {};
    char buf[64];
    if (localtime_r(&t, &tmv) == nullptr || std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S %z", &tmv) == 0)
        return "?";
    return buf;
}

// A build date that reads as BCD yyyymmdd (0x20240618) is shown as a date too.
std::string BcdDate(uint64_t v) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "%08" PRIx64, v);
    for (const char* p = hex; *p; ++p)
        if (*p < '0' || *p > '9') return "";
    const int month = (hex[4] - '0') * 10 + (hex[5] - '0');
    const int day = (hex[6] - '0') * 10 + (hex[7] - '0');
    if (month < 1 || month > 12 || day < 1 || day > 31) return "";
    return std::string(hex, 4) + "-" + std::string(hex + 4, 2) + "-" + std::string(hex + 6, 2);
}

std::string Age(double seconds) {
    char buf[64];
    if (seconds < 0) {
        std::snprintf(buf, sizeof buf, "%.0f s ahead of this host", -seconds);
    } else if (seconds < 120) {
        std::snprintf(buf, sizeof buf, "%.0f s ago", seconds);
    } else if (seconds < 7200) {
        std::snprintf(buf, sizeof buf, "%.0f min ago", seconds / 60);
    } else if (seconds < 172800) {
        std::snprintf(buf, sizeof buf, "%.1f h ago", seconds / 3600);
    } else {
        std::snprintf(buf, sizeof buf, "%.0f days ago", seconds / 86400);
    }
    return buf;
}

// --- What a start of channel 0 with a configuration file would do ----------

struct Decision {
    std::string file;
    bool readable = false;
    bool checksum_ok = false;  // the library can checksum the file (not empty)
    uint32_t file_crc = 0;
    int bus = 0;
    int channel = 0;
    bool crc_mux_check = false;
    bool checksum_equal = false;
    bool counters_running = false;
    std::string verdict;  // "no-programming", "programming", "start-fails"
    std::string sentence;
};

Decision Decide(const std::string& path, const CardState& card) {
    Decision d;
    d.file = path;
    // The one reading kest-config-check decides from too.
    const kest_tools::StartVerdict v = kest_tools::StartVerdict::Read(path);
    d.readable = v.opened;
    if (!d.readable) return d;
    d.bus = v.bus;
    d.channel = v.channel;
    d.crc_mux_check = v.crcMuxCheck;
    d.checksum_ok = v.checksumOk;
    d.file_crc = v.checksum;
    const std::string why = v.startFails;

    d.checksum_equal = d.checksum_ok && card.crc == d.file_crc;
    for (uint64_t c : card.counters) d.counters_running = d.counters_running || c != 0;

    char crcs[128];
    std::snprintf(crcs, sizeof crcs, "the card keeps checksum 0x%08" PRIx64 ", this file's is 0x%08x",
                  card.crc, d.file_crc);
    const std::string interrupt =
        ", interrupting quotes on all 16 channels of the card for the bring-up (three 1 s pauses plus the "
        "snapshot wait) and rebuilding every channel's subscriptions from this file";
    if (!why.empty()) {
        d.verdict = "start-fails";
        d.sentence = "A start with this file will fail before touching the card: " + why + ".";
    } else if (!d.crc_mux_check) {
        d.verdict = "programming";
        d.sentence =
            "A start of channel 0 with this file will program the card again, because crc_mux_check is "
            "not 1 in it" +
            interrupt + ".";
    } else if (!d.checksum_equal) {
        d.verdict = "programming";
        d.sentence =
            std::string("A start of channel 0 with this file will program the card again, because ") + crcs +
            interrupt + ".";
    } else if (!d.counters_running) {
        d.verdict = "programming";
        d.sentence =
            "A start of channel 0 with this file will program the card again: the checksums are equal "
            "but the card's four multicast packet counters are all 0 (its logic receives nothing)" +
            interrupt + ".";
    } else {
        d.verdict = "no-programming";
        char s[256];
        std::snprintf(
            s, sizeof s,
            "A start with this file will not program the card: crc_mux_check is 1, the card keeps this "
            "file's checksum 0x%08x and its multicast packet counters are running.",
            d.file_crc);
        d.sentence = s;
    }
    if (d.channel != 0 && d.verdict != "start-fails") {
        d.sentence =
            "This file names channel " + std::to_string(d.channel) +
            ", and a start on any channel but 0 never programs the card. On channel 0: " + d.sentence;
    }
    return d;
}

// --- Output ------------------------------------------------------------------

void PrintText(uint32_t index, const CardState& first, const CardState* later, double interval,
               const Decision* d) {
    // Everything as last read; the rates from the first read to the last.
    const CardState& s = later != nullptr ? *later : first;
    std::printf("card %u through %s\n", index, kest_tools::CardReader::LibraryPath().c_str());
    const std::string date = BcdDate(s.date);
    std::printf("  design version      0x%08" PRIx64 "\n", s.version);
    std::printf("  design build date   0x%08" PRIx64 "%s%s\n", s.date, date.empty() ? "" : "  ",
                date.c_str());
    std::printf("  config checksum     0x%08" PRIx64 "%s\n", s.crc,
                s.crc == 0 ? "  (no bring-up has stored one)" : "");
    std::printf("  highest instrument  SHFE %" PRIu64 ", INE %" PRIu64 "\n", s.shfe_highest, s.ine_highest);
    std::printf("  last update\n");
    for (int k = 0; k < Kest_U50::FEED_COUNT; ++k) {
        if (s.times[k] == 0) {
            std::printf("    %-9s never\n", Kest_U50::FEEDS[k].name);
        } else {
            std::printf("    %-9s %s  (%s)\n", Kest_U50::FEEDS[k].name, LocalTime(s.times[k]).c_str(),
                        Age(s.taken_at - static_cast<double>(s.times[k])).c_str());
        }
    }
    std::printf("  multicast packets%s\n", later != nullptr ? "                    rate" : "");
    for (int k = 0; k < kest_tools::kMuxCounters; ++k) {
        if (later != nullptr) {
            const double rate = static_cast<double>(s.counters[k] - first.counters[k]) / interval;
            std::printf("    %-9s %20" PRIu64 "  %10.1f/s\n", kest_tools::MuxCounterAt(k).Label().c_str(),
                        s.counters[k], rate);
        } else {
            std::printf("    %-9s %20" PRIu64 "\n", kest_tools::MuxCounterAt(k).Label().c_str(),
                        s.counters[k]);
        }
    }
    if (d != nullptr) {
        std::printf("  configuration file  %s\n", d->file.c_str());
        if (d->checksum_ok) std::printf("    checksum          0x%08x\n", d->file_crc);
        std::printf("    crc_mux_check     %d\n", d->crc_mux_check ? 1 : 0);
        std::printf("  %s\n", d->sentence.c_str());
    }
}

// A reading that is not a number (no rate without an interval) is null.
Json Number(double v) { return std::isfinite(v) ? Json(v) : Json(nullptr); }

void Print(const Json& j) {
    // Texts from files may hold any byte: what is not UTF-8 shows as U+FFFD.
    std::printf("%s\n", j.dump(-1, ' ', true, Json::error_handler_t::replace).c_str());
}

void PrintJson(uint32_t index, const CardState& first, const CardState* later, double interval,
               const Decision* d) {
    const CardState& s = later != nullptr ? *later : first;
    Json j;
    j["tool"] = kTool;
    j["version"] = kest_tools::ToolOptions::Version();
    j["card"] = index;
    j["library"] = kest_tools::CardReader::LibraryPath();
    j["read_at"] = Number(s.taken_at);
    j["design_version"] = s.version;
    j["design_build_date"] = s.date;
    j["config_checksum"] = s.crc;
    j["highest_instrument"] = {{"shfe", s.shfe_highest}, {"ine", s.ine_highest}};
    Json& updates = j["last_update"] = Json::object();
    for (int k = 0; k < Kest_U50::FEED_COUNT; ++k) {
        Json u;
        u["epoch"] = s.times[k];
        if (s.times[k] == 0) {
            u["local"] = nullptr;
            u["age_seconds"] = nullptr;
        } else {
            u["local"] = LocalTime(s.times[k]);
            u["age_seconds"] =
                Number(std::round((s.taken_at - static_cast<double>(s.times[k])) * 1000) / 1000);
        }
        updates[Kest_U50::FEEDS[k].key] = u;
    }
    Json& packets = j["multicast_packets"] = Json::object();
    for (int k = 0; k < kest_tools::kMuxCounters; ++k)
        packets[kest_tools::MuxCounterAt(k).Key()] = s.counters[k];
    if (later != nullptr) {
        j["interval_seconds"] = Number(interval);
        Json& rates = j["multicast_packets_per_second"] = Json::object();
        for (int k = 0; k < kest_tools::kMuxCounters; ++k)
            rates[kest_tools::MuxCounterAt(k).Key()] =
                Number(static_cast<double>(s.counters[k] - first.counters[k]) / interval);
    }
    if (d != nullptr) {
        Json c;
        c["file"] = d->file;
        c["bus"] = d->bus;
        c["channel"] = d->channel;
        c["checksum_ok"] = d->checksum_ok;
        c["checksum"] = d->checksum_ok ? Json(d->file_crc) : Json(nullptr);
        c["crc_mux_check"] = d->crc_mux_check;
        c["checksum_equal"] = d->checksum_equal;
        c["counters_running"] = d->counters_running;
        c["programs_card"] = d->verdict == "programming";
        c["decision"] = d->verdict;
        c["sentence"] = d->sentence;
        j["config"] = c;
    }
    Print(j);
}

void JsonError(uint32_t index, const std::string& error) {
    Print(Json{{"tool", kTool},
               {"version", kest_tools::ToolOptions::Version()},
               {"card", index},
               {"library", kest_tools::CardReader::LibraryPath()},
               {"error", error}});
}

}  // namespace

int main(int argc, char** argv) {
    int64_t card = 0;
    double interval = 0;
    bool json = false;
    std::string config;
    kest_tools::ToolOptions opts(
        kTool, "[OPTION]...",
        "Shows what a card is doing: its design identification, the configuration checksum it keeps from "
        "the\n"
        "last bring-up, the highest SHFE and INE instrument numbers, the four last-update times and the "
        "four\n"
        "multiplexer packet counters. Reads through libenyx-hw-c.so.5 only (a real card or the card model),\n"
        "takes the per-core lock for each read and never writes a register, so it is safe beside running\n"
        "receivers.");
    opts.Whole("card", "N",
               "card index, 0 to 65535 (the first number of device=xilinxN:C);\n"
               "default: the card the --config file names, else 0",
               &card, 0, 65535);
    opts.Real("interval", "S",
              "read the packet counters again after S seconds (0.1 to 3600)\nand show their rates per second",
              &interval, 0.1, 3600);
    opts.Text("config", "FILE",
              "also say what a start of channel 0 with this configuration\n"
              "file would do: leave the card as it runs, or program it again\n"
              "(checksum equal or not, counters zero or not, crc_mux_check)",
              &config);
    opts.Flag("json", "print one JSON object instead of text (errors too)", &json);
    bool prometheus = false, serve = false;
    kest_tools::ListenAddress metricsAt;
    opts.Flag("prometheus",
              "print one scrape in the Prometheus text format instead of\n"
              "text (for node_exporter's textfile collector)",
              &prometheus);
    opts.Custom("metrics", "ADDR:PORT",
                "serve Prometheus metrics at http://ADDR:PORT/metrics, the card\n"
                "read afresh at every scrape, until SIGINT/SIGTERM; :PORT\n"
                "listens on 127.0.0.1, PORT 0 takes a free port",
                [&](const char* text) {
                    serve = true;
                    return kest_tools::ParseListenAddress(text, metricsAt);
                });
    opts.Epilogue(
        "The card model is looked for in the namespace given by KEST_CARDSIM_NAMESPACE (default "
        "\"default\").\n"
        "Exit status: 0 read, 1 the card's library could not be loaded or the card could not be opened or\n"
        "read, 2 bad arguments or an unreadable --config file (a directory included).");
    const std::vector<std::string> operands = opts.Parse(argc, argv);
    if (!operands.empty()) opts.Fail("unexpected argument '" + operands[0] + "' (see " + kTool + " --help)");
    if (prometheus && serve) opts.Fail("--prometheus prints one scrape, --metrics serves them: choose one");
    if ((prometheus || serve) && (json || interval > 0))
        opts.Fail(
            std::string(prometheus ? "--prometheus" : "--metrics") +
            " shows the counters as they are (Prometheus takes the rates): not with --json or --interval");

    // Without --card, look at the card the configuration file names.
    if (!config.empty() && !opts.Given("card")) {
        const kest_tools::StartVerdict v = kest_tools::StartVerdict::Read(config);
        if (v.opened) card = static_cast<uint16_t>(v.bus);
    }
    if (!config.empty()) {
        // A directory passes access() but is no file a start can read.
        struct stat st;
        const int error = access(config.c_str(), R_OK) != 0                       ? errno
                          : stat(config.c_str(), &st) == 0 && S_ISDIR(st.st_mode) ? EISDIR
                                                                                  : 0;
        if (error != 0) {
            const std::string why = config + ": " + std::strerror(error);
            if (json) JsonError(static_cast<uint32_t>(card), "cannot read " + why);
            opts.Fail("cannot read " + why);
        }
    }

    const uint32_t index = static_cast<uint32_t>(card);
    std::string libraryError;
    if (!kest_tools::CardLibrary::Load(libraryError)) {
        if (json) JsonError(index, libraryError);
        std::fprintf(stderr, "%s: %s\n", kTool, libraryError.c_str());
        return kest_tools::kNoCardLibraryExit;
    }
    if (serve) return kest_tools::ServeCardMetrics(index, metricsAt, kTool);
    if (prometheus) {
        bool ok = false;
        std::string error;
        std::fputs(kest_tools::CardMetricsText(index, ok, error).c_str(), stdout);
        if (!ok) std::fprintf(stderr, "%s: %s\n", kTool, error.c_str());
        return ok ? 0 : 1;
    }
    kest_tools::CardReader reader;
    if (!reader.Open(index)) {
        std::string message = reader.Error();
        if (reader.NoCard())
            message += "; " + kest_tools::NoCardHint(index, kest_tools::CardReader::LibraryPath());
        if (json) JsonError(index, reader.Error());
        std::fprintf(stderr, "%s: %s\n", kTool, message.c_str());
        return 1;
    }
    const CardState first = ReadCard(reader);
    CardState second;
    if (interval > 0) {
        std::this_thread::sleep_for(std::chrono::duration<double>(interval));
        second = ReadCard(reader);
    }
    if (!first.ok || (interval > 0 && !second.ok)) {
        const std::string error = "a register read failed: " + std::string(std::strerror(errno));
        if (json) JsonError(index, error);
        std::fprintf(stderr, "%s: %s\n", kTool, error.c_str());
        return 1;
    }
    Decision decision;
    if (!config.empty()) decision = Decide(config, interval > 0 ? second : first);
    const CardState* later = interval > 0 ? &second : nullptr;
    const Decision* d = config.empty() ? nullptr : &decision;
    if (json) {
        PrintJson(index, first, later, interval, d);
    } else {
        PrintText(index, first, later, interval, d);
    }
    return 0;
}
