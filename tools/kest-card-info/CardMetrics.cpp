#include "CardMetrics.h"

#include <dlfcn.h>
#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "CardReader.h"
#include "FeedTable.h"
#include "FpgaRegisterCommon.h"
#include "MuxCounters.h"

namespace kest_tools {

namespace {

namespace R = Kest_U50::Reg;

std::string Hex(uint64_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08" PRIx64, v);
    return buf;
}

// The card model counts what each channel's ring took and refused; the
// vendor's library has no such counters, so on a real card this is absent.
using RingCounters = int (*)(uint32_t, uint32_t, uint64_t*, uint64_t*);
RingCounters ModelRingCounters() {
    return reinterpret_cast<RingCounters>(dlsym(RTLD_DEFAULT, "kest_cardsim_a2c_counters"));
}

}  // namespace

std::string CardMetricsText(uint32_t index, bool& ok, std::string& error) {
    const std::string card = Label("card", std::to_string(index));
    MetricsText m;
    CardReader reader;
    ok = reader.Open(index);
    uint64_t version = 0, date = 0, crc = 0, shfe = 0, ine = 0, times[Kest_U50::FEED_COUNT] = {},
             packets[kMuxCounters] = {};
    if (ok) {
        auto read = [&](uint32_t reg, uint64_t& v) { ok = reader.Read(reg, v) && ok; };
        read(R::COMPILE_VER, version);
        read(R::COMPILE_DATE, date);
        read(R::CONFIG_CRC, crc);
        read(R::SHFE_INST_COUNT, shfe);
        read(R::INE_INST_COUNT, ine);
        for (uint32_t k = 0; k < R::LAST_UPDATE_TIME_COUNT; ++k) read(R::LAST_UPDATE_TIME_0 + k, times[k]);
        for (int k = 0; k < kMuxCounters; ++k) read(MuxCounterAt(k).reg, packets[k]);
        if (!ok) error = "a register read failed: " + std::string(std::strerror(errno));
    } else {
        error = reader.Error();
    }
    m.Family("kest_card_up", "gauge", "1 when the card could be opened and every register read.");
    m.Sample("kest_card_up", card, ok ? 1.0 : 0.0);
    if (!ok) return m.Text();

    m.Family("kest_card_info", "gauge",
             "The card's design identification and the card library it was read through (value 1).");
    m.Sample("kest_card_info",
             Labels({card, Label("design_version", Hex(version & 0xFFFFFFFFu)),
                     Label("design_build_date", Hex(date & 0xFFFFFFFFu)),
                     Label("library", CardReader::LibraryPath())}),
             1.0);
    m.Family("kest_card_config_checksum", "gauge",
             "The configuration checksum (CRC-32C) the card keeps from the last bring-up; 0 for none.");
    m.Sample("kest_card_config_checksum", card, crc & 0xFFFFFFFFu);
    m.Family("kest_card_highest_instrument_number", "gauge",
             "The highest instrument number of the exchange's snapshot, per exchange.");
    m.Sample("kest_card_highest_instrument_number", Labels({card, Label("exchange", "shfe")}),
             shfe & 0xFFFFFFFFu);
    m.Sample("kest_card_highest_instrument_number", Labels({card, Label("exchange", "ine")}),
             ine & 0xFFFFFFFFu);
    m.Family("kest_card_last_update_timestamp_seconds", "gauge",
             "The feed's last update as the card keeps it, since the epoch; 0 for never.");
    for (int k = 0; k < Kest_U50::FEED_COUNT; ++k)
        m.Sample("kest_card_last_update_timestamp_seconds",
                 Labels({card, Label("feed", Kest_U50::FEEDS[k].key)}), times[k]);
    m.Family("kest_card_multicast_packets_total", "counter",
             "Multicast packets the card's multiplexer counted, per feed depth and multiplexer (line).");
    for (int k = 0; k < kMuxCounters; ++k)
        m.Sample("kest_card_multicast_packets_total",
                 Labels({card, Label("feed", MuxCounterAt(k).Block()),
                         Label("mux", std::to_string(MuxCounterAt(k).mux))}),
                 packets[k]);

    if (RingCounters counters = ModelRingCounters()) {
        uint64_t pushed[Kest_U50::CHANNEL_SIZE] = {}, refused[Kest_U50::CHANNEL_SIZE] = {};
        const int n = counters(index, Kest_U50::CHANNEL_SIZE, pushed, refused);
        if (n > 0) {
            m.Family("kest_card_ring_quotes_total", "counter",
                     "Messages the channel's card-to-host ring took (card model only).");
            for (int c = 0; c < n; ++c)
                m.Sample("kest_card_ring_quotes_total", Labels({card, Label("channel", std::to_string(c))}),
                         pushed[c]);
            m.Family(
                "kest_card_ring_refused_total", "counter",
                "Messages the channel's card-to-host ring refused because it was full (card model only).");
            for (int c = 0; c < n; ++c)
                m.Sample("kest_card_ring_refused_total", Labels({card, Label("channel", std::to_string(c))}),
                         refused[c]);
        }
    }
    return m.Text();
}

int ServeCardMetrics(uint32_t index, const ListenAddress& at, const char* tool) {
    // The server's threads inherit the mask: the signals wait for the main thread.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    MetricsServer server;
    std::string error;
    if (!server.Bind(
            at,
            [index] {
                bool ok = false;
                std::string why;
                return CardMetricsText(index, ok, why);
            },
            error)) {
        std::fprintf(stderr, "%s: --metrics: %s\n", tool, error.c_str());
        return 1;
    }
    server.Start();
    ListenAddress bound = at;
    bound.port = server.Port();
    std::fprintf(stderr, "%s: serving card %u at http://%s/metrics until SIGINT or SIGTERM\n", tool, index,
                 bound.Text().c_str());
    int sig = 0;
    sigwait(&stop, &sig);
    server.Stop();
    return 0;
}

}  // namespace kest_tools
