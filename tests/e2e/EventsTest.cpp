// Card events and process signals: the lost-packet event inside and outside
// the ignored minutes, exit requests during polling and during the snapshot
// wait, every start failure, and messages the receive path must drop.
#include <signal.h>

#include <ctime>

#include "E2eSupport.h"
#include "FpgaRegisterCommon.h"
#ifdef KEST_TEST_METRICS
#include "RecvMetrics.h"
#endif

namespace e2e {
namespace {

namespace R = Kest_U50::Reg;

#ifdef KEST_TEST_METRICS
// One sample of what kest-md-recv --metrics serves, or -1.
long Sample(const std::string& text, const std::string& re) {
    std::smatch m;
    return std::regex_search(text, m, std::regex("(?:^|\n)" + re + " ([0-9]+)\n")) ? std::stol(m[1]) : -1;
}
#endif

class EventsTest : public World {
protected:
    // Runs `start` while another thread waits for `ready`, then sends `signo`.
    int32_t InterruptedStart(int signo, const std::function<bool()>& ready,
                             const std::function<int32_t()>& start) {
        std::thread interrupter([&] {
            EXPECT_TRUE(PollUntil([] { return usleep(2000); }, ready));  // on a deadline, not hanging
            kill(getpid(), signo);
        });
        const int32_t result = start();
        interrupter.join();
        return result;
    }
};

TEST_F(EventsTest, OtherMessagesAreDroppedAndOnlyALostPacketOutsideTheIgnoredMinutesBringsTheCardUp) {
    Api api;
    Collector spi;
    ASSERT_EQ(api->KestStart(spi, OpenCardWith().c_str()), 0) << Log();
    kest_sim::Card& model = card_->Model();
    // Mirrored frames the card sent after the snapshot was complete.
    ASSERT_TRUE(Drained(api.obj));
    uint32_t shortQuote[25] = {DMA_UDP}, tcp[50] = {DMA_TCP};
    const uint8_t tiny[2] = {1, 0};
    const U50Event noLoss{DMA_EVENT, 0, 0x00000001, 0, 0, 0, 0, 0};
    ASSERT_TRUE(model.PushA2c(0, shortQuote, sizeof(shortQuote)) && model.PushA2c(0, tcp, sizeof(tcp)) &&
                model.PushA2c(0, &noLoss, sizeof(noLoss)) && model.PushA2c(0, tiny, sizeof(tiny)));
    const uint64_t reads = model.Stats().host_reads;
    for (int i = 0; i < 4; ++i) EXPECT_EQ(api->KestRecv(), 0);
    EXPECT_TRUE(spi.quotes.empty());
    EXPECT_EQ(model.Stats().host_reads, reads) << "an event without a loss bit reads no register";
    EXPECT_EQ(model.A2cStats(0).pending, 0u);
    EXPECT_TRUE(Logged("short DMA message dropped, type[1] length[100]"));
    EXPECT_TRUE(Logged("short DMA message dropped, length[2]"));

    const uint64_t starts = model.Stats().card_starts;
    const uint32_t crc = model.ReadReg(R::CONFIG_CRC);
#ifdef KEST_TEST_METRICS
    // kest-md-recv's metrics read this log from here on: the start's own bring-up is no re-bring-up.
    RecvMetrics metrics(0, 0, "callback", "test");
    metrics.Started(true, Kest_U50::CCommonLog::GetInstance().GetLogFileName());
#endif
    // One SHFE 2ps packet lost on both lines at today's hh:mm:30 UTC, polled until handled.
    auto loseAPacketAt = [&](int hour, int minute) {
        card_->SetClock((std::time(nullptr) / 86400 * 86400 + hour * 3600 + minute * 60 + 30) *
                        int64_t{1000});
        const uint64_t events = card_->EventsWritten(0);
        card_->InjectGap(SHFE_2PS, 1);
        card_->Step(10);
        ASSERT_GT(card_->EventsWritten(0), events);
        EXPECT_TRUE(Drained(api.obj))
            << "waited for the poll to take the lost-packet event at " << hour << ":" << minute;
    };
    loseAPacketAt(10, 15);
    EXPECT_EQ(model.Stats().card_starts, starts);
    EXPECT_TRUE(
        LogMatches(R"(\] (?=.*ts\[10,15\]).*received lost pkt event, ignore\. event=64 last_update_time\[)"));
    EXPECT_TRUE(Flows(api.obj, spi));

    loseAPacketAt(10, 16);
    EXPECT_EQ(model.Stats().card_starts, starts + 1);
    EXPECT_EQ(sleeps.size(), 6u) << "the whole bring-up ran again";
    EXPECT_EQ(model.ReadReg(R::CONFIG_CRC), crc) << "a re-bring-up leaves the checksum as it was";
    EXPECT_EQ(model.ReadReg(R::LOGIC_START_2PS), 1u);
    EXPECT_TRUE(
        LogMatches(R"(\[W\] (?=.*ts\[10,16\]).*received lost pkt event, event=64 last_update_time\[)"));
    EXPECT_TRUE(Flows(api.obj, spi));
#ifdef KEST_TEST_METRICS
    const std::string scrape = metrics.Render();
    EXPECT_EQ(Sample(scrape, R"(kest_lost_packet_events_total\{[^}]*handling="ignored"\})"), 1) << scrape;
    EXPECT_EQ(Sample(scrape, R"(kest_lost_packet_events_total\{[^}]*handling="handled"\})"), 1) << scrape;
    EXPECT_EQ(Sample(scrape, R"(kest_rebringups_total\{[^}]*\})"), 1) << scrape;
#endif
}

// A zone in which the host's clock reads hour:minute:00 now; times on that
// clock's day as seconds since the epoch, at the middle of the minute.
class HostClock {
public:
    HostClock(int hour, int minute) : now_(std::time(nullptr)), at_(hour * 60 + minute) {
        int64_t offset = ((int64_t{at_} * 60 - now_ % 86400) % 86400 + 86400) % 86400;  // local - UTC
        if (offset > 43200) offset -= 86400;
        const int64_t a = offset < 0 ? -offset : offset;
        // Zone offsets count west of Greenwich as positive.
        const std::string tz = "HOST" + std::string(offset < 0 ? "+" : "-") + std::to_string(a / 3600) + ":" +
                               std::to_string(a / 60 % 60) + ":" + std::to_string(a % 60);
        setenv("TZ", tz.c_str(), 1);
        tzset();
    }
    int64_t At(int hour, int minute) const { return now_ + (hour * 60 + minute - at_) * 60 + 30; }

private:
    int64_t now_;
    int at_;
};

TEST_F(EventsTest, TheIgnoredMinuteIsTheNewestOfTheCardsFourLastUpdateTimesNotTheHostsClock) {
    Api api;
    Collector spi;
    ASSERT_EQ(api->KestStart(spi, OpenCardWith().c_str()), 0) << Log();
    kest_sim::Card& model = card_->Model();
    ASSERT_TRUE(Drained(api.obj));
    // The card's four times as it holds them, then a lost-packet event polled until it is taken; the
    // number of bring-ups it caused.
    auto loseAPacketWith = [&](const std::vector<int64_t>& times) -> uint64_t {
        for (uint32_t k = 0; k < 4; ++k)
            model.WriteReg(R::LAST_UPDATE_TIME_0 + k, static_cast<uint64_t>(times[k]));
        const uint64_t starts = model.Stats().card_starts;
        const U50Event loss{DMA_EVENT, 0, 0x00004000, 0, 0, 0, 0, 0};
        EXPECT_TRUE(model.PushA2c(0, &loss, sizeof loss));
        EXPECT_TRUE(Drained(api.obj)) << "waited for the poll to take the lost-packet event";
        return model.Stats().card_starts - starts;
    };
    // The log line the event gave, empty when there is none.
    auto lineOf = [&](const std::vector<int64_t>& times, bool ignored, const char* ts) {
        std::string text = std::string("received lost pkt event") + (ignored ? ", ignore." : ",") +
                           " event=16384 last_update_time[";
        for (size_t k = 0; k < 4; ++k)
            text += (k ? "," : "") + std::to_string(static_cast<uint32_t>(times[k]));
        text += std::string("] ts[") + ts + "]";
        const std::string log = Log();
        const size_t at = log.find(text);
        if (at == std::string::npos) return std::string();
        const size_t begin = log.rfind('\n', at);
        return log.substr(begin == std::string::npos ? 0 : begin + 1, log.find('\n', at) - begin - 1);
    };

    // The host's clock outside every ignored minute; the card's newest time, in one register at a time,
    // in the 15:xx window; the other three older and not ignored, or before the epoch.
    {
        const HostClock host(16, 5);
        for (size_t newest = 0; newest < 4; ++newest) {
            SCOPED_TRACE("the newest time in register " + std::to_string(newest));
            std::vector<int64_t> times = {host.At(14, 10), -host.At(15, 30), host.At(14, 40)};
            times.insert(times.begin() + static_cast<long>(newest), host.At(15, 30));
            EXPECT_EQ(loseAPacketWith(times), 0u) << "an event the card's clock puts at 15:30 is ignored";
            EXPECT_NE(lineOf(times, true, "15,30").find("[I]"), std::string::npos) << Log();
        }
    }
    // The host's clock inside the 15:xx window; the card's newest time at 16:30, the others older in the
    // window.
    {
        const HostClock host(15, 5);
        const std::vector<int64_t> times = {host.At(15, 20), host.At(15, 40), host.At(16, 30),
                                            host.At(15, 0)};
        EXPECT_EQ(loseAPacketWith(times), 1u) << "an event the card's clock puts at 16:30 brings the card up";
        EXPECT_NE(lineOf(times, false, "16,30").find("[W]"), std::string::npos) << Log();
        EXPECT_TRUE(Flows(api.obj, spi));
    }
}

TEST_F(EventsTest, OnTheExchangesClockALostPacketAtTheNightCloseIsIgnoredAndNothingFollowsUntilTheDay) {
    // A receiver in the exchange's zone, as at the exchange; the market in
    // its sessions, stepped on the simulated clock.
    setenv("TZ", "Asia/Shanghai", 1);
    tzset();
    kest_cardlogic::LiveCardOptions options = Options();
    options.sessions = true;
    OpenCard(options);
    Api api;
    Collector spi;
    ASSERT_EQ(api->KestStart(spi, WriteConfig(ConfigText()).c_str()), 0) << Log();
    kest_sim::Card& model = card_->Model();
    ASSERT_TRUE(Drained(api.obj));
    const uint64_t starts = model.Stats().card_starts;

    // 2025-01-03 02:29:59.750 CST: the last slice of the night (au, ag, sc) ends at 02:30:00.000.
    const int64_t close = 1735842600000LL;
    card_->SetClock(close - 250);
    card_->InjectGap(SHFE_4PS, 1);
    const uint64_t events = card_->EventsWritten(0);
    card_->Step(3);
    ASSERT_GT(card_->EventsWritten(0), events) << "the lost packet was in the night's last slice";
    Drained(api.obj);
    EXPECT_EQ(model.Stats().card_starts, starts) << "no bring-up at 02:30";
    EXPECT_TRUE(LogMatches(
        R"(\] (?=.*ts\[2,30\]).*received lost pkt event, ignore\. event=16384 last_update_time\[)"))
        << Log();

    // The rest of the night's last slice, then nothing between the sessions:
    // the clock runs an hour and a half on without another quote.
    card_->Step(1000000);
    EXPECT_GT(card_->ClockMs(), close + 3600 * 1000);
    Drained(api.obj);
    ASSERT_FALSE(spi.quotes.empty());
    for (const auto& q : spi.quotes) ASSERT_EQ(q.update_time, 23000u) << q.inst_id << " after the close";
}

TEST_F(EventsTest, SigtermEndsRecvStartAndEveryLaterPoll) {
    const std::string path = OpenCardWith();
    Api api;
    Collector spi;
    // The signal comes once the loop has delivered a quote.
    auto delivered = [&] {
        if (card_->Model().ReadReg(R::LOGIC_START_4PS) == 1 && spi.count == 0) card_->Step(1);
        return spi.count > 0;
    };
    EXPECT_EQ(InterruptedStart(SIGTERM, delivered, [&] { return api->KestRecvStart(spi, path.c_str()); }), 0);
    KestShfeMdType record;
    EXPECT_EQ(api->KestRecv(), -1);
    EXPECT_EQ(api->KestRecv(record), -1);
    EXPECT_TRUE(Logged("received signal 15"));
}

TEST_F(EventsTest, SigintDuringTheSnapshotWaitFailsTheStart) {
    OpenCard(Options(/*snapshot_feeds=*/0));  // the snapshot never completes
    const std::string path = WriteConfig(ConfigText());
    Api api;
    auto waiting = [&] { return Logged("listening tcp basement data"); };
    EXPECT_EQ(InterruptedStart(SIGINT, waiting, [&] { return api->KestStart(path.c_str()); }), -2);
    EXPECT_FALSE(Logged("tcp init finished"));
    EXPECT_TRUE(Logged("received signal 2"));
    EXPECT_TRUE(Logged("_Init error"));
    EXPECT_EQ(card_->Model().ReadReg(R::LOGIC_START_2PS), 0u) << "the logic was never started";
}

TEST_F(EventsTest, EveryStartFailureHasItsCodeAndTheObjectCanStillBeStartedTwice) {
    const std::string path = OpenCardWith();
    Api api;
    Collector spi;
    ConfigText noCard;
    noCard.device = "xilinx3:0";
    EXPECT_EQ(api->KestStart(spi, WriteConfig(noCard, "nocard.ini").c_str()), -2);
    EXPECT_TRUE(Logged("Reg Init failed"));
    // The accelerator found is cached for the process; streams that cannot be opened fail the DMA step.
    card_->Model().SetFault(kest_sim::Fault::kDuplicateA2cName, true);
    EXPECT_EQ(api->KestStart(spi, path.c_str()), -2);
    EXPECT_TRUE(Logged("DMA Init failed"));
    card_->Model().SetFault(kest_sim::Fault::kDuplicateA2cName, false);
    // A directory reads as an empty configuration but cannot be checksummed.
    EXPECT_EQ(api->KestStart(spi, dir_.Path().c_str()), -2);
    EXPECT_TRUE(Logged("Error opening file [" + dir_.Path() + "].")) << Log();

    EXPECT_EQ(api->KestRecv(), 0) << "a failed start leaves nothing to poll";
    EXPECT_EQ(api->KestStart(spi, path.c_str()), 0);
    EXPECT_EQ(api->KestStart(spi, path.c_str()), 0) << "a second start reopens the streams";
    EXPECT_TRUE(Flows(api.obj, spi));
}

}  // namespace
}  // namespace e2e
