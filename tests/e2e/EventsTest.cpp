// Card events and process signals: the lost-packet event inside and outside
// the ignored minutes, exit requests during polling and during the snapshot
// wait, every start failure, and messages the receive path must drop.
#include <signal.h>

#include <cstring>
#include <ctime>

#include "E2eSupport.h"
#include "FpgaRegisterCommon.h"

namespace e2e {
namespace {

namespace R = Kest_U50::Reg;

class EventsTest : public World {
protected:
    // Starts `start` while another thread waits for `ready` and then asks the
    // process to exit with `signo`; returns what the start returned.
    int32_t InterruptedStart(int signo, const std::function<bool()>& ready,
                             const std::function<int32_t()>& start) {
        std::thread interrupter([&] {
            EXPECT_TRUE(WaitFor(ready));  // on a deadline: a regression fails instead of hanging
            kill(getpid(), signo);
        });
        const int32_t result = start();
        interrupter.join();
        return result;
    }
    // A start whose snapshot never completes ends with -2 when SIGINT comes
    // after `waiting_line` says the wait has begun.
    void ExpectSigintEndsANeverCompletedSnapshot(uint8_t snapshot_feeds, const char* feeds,
                                                 const char* waiting_line) {
        OpenCard(snapshot_feeds);
        ConfigText text;
        for (auto& feed : text.feeds) feed = feeds;
        const std::string path = WriteConfig(text);
        Api api;
        auto waiting = [&] { return Log().find(waiting_line) != std::string::npos; };
        EXPECT_EQ(InterruptedStart(SIGINT, waiting, [&] { return api->KestStart(path.c_str()); }), -2);
        const std::string log = Log();
        EXPECT_EQ(log.find("tcp init finished"), std::string::npos);
        EXPECT_NE(log.find("received signal 2"), std::string::npos);
        EXPECT_NE(log.find("_Init error"), std::string::npos);
        EXPECT_EQ(card_->Model().ReadReg(R::LOGIC_START_2PS), 0u) << "the logic was never started";
    }
};

TEST_F(EventsTest, OtherMessagesAreDroppedAndOnlyALostPacketOutsideTheIgnoredMinutesBringsTheCardUp) {
    Api api;
    Collector spi;
    ASSERT_EQ(api->KestStart(spi, OpenCardWith().c_str()), 0) << Log();
    kest_sim::Card& model = card_->Model();
    // Mirrored frames the card sent after the snapshot was complete.
    ASSERT_TRUE(PollUntil([&] { return api->KestRecv(); }, [&] { return model.A2cStats(0).pending == 0; }));
    uint8_t shortQuote[100] = {}, tcp[200] = {}, tiny[2] = {1, 0};
    const uint32_t udp = DMA_UDP, tcpKind = DMA_TCP;
    std::memcpy(shortQuote, &udp, 4);
    std::memcpy(tcp, &tcpKind, 4);
    U50Event noLoss{};
    noLoss.dma_type = DMA_EVENT;
    noLoss.event_data0 = 0x00000001;
    ASSERT_TRUE(model.PushA2c(0, shortQuote, sizeof(shortQuote)));
    ASSERT_TRUE(model.PushA2c(0, tcp, sizeof(tcp)));
    ASSERT_TRUE(model.PushA2c(0, &noLoss, sizeof(noLoss)));
    ASSERT_TRUE(model.PushA2c(0, tiny, sizeof(tiny)));
    const uint64_t reads = model.Stats().host_reads;
    for (int i = 0; i < 4; ++i) EXPECT_EQ(api->KestRecv(), 0);
    EXPECT_TRUE(spi.quotes.empty());
    EXPECT_EQ(model.Stats().host_reads, reads) << "an event without a loss bit reads no register";
    EXPECT_EQ(model.A2cStats(0).pending, 0u);
    EXPECT_NE(Log().find("short DMA message dropped, type[1] length[100]"), std::string::npos);
    EXPECT_NE(Log().find("short DMA message dropped, length[2]"), std::string::npos);

    const uint64_t starts = model.Stats().card_starts;
    const uint32_t crc = model.ReadReg(R::CONFIG_CRC);
    // Makes one packet of SHFE 2ps go missing on both lines at today's
    // hh:mm:30 UTC and polls until the event (and any bring-up it triggers)
    // has been handled.
    auto loseAPacketAt = [&](int hour, int minute) {
        card_->SetClock((std::time(nullptr) / 86400 * 86400 + hour * 3600 + minute * 60 + 30) *
                        int64_t{1000});
        const uint64_t events = card_->EventsWritten(0);
        card_->InjectGap(SHFE_2PS, 1);
        card_->Step(10);
        ASSERT_GT(card_->EventsWritten(0), events);
        PollUntil([&] { return api->KestRecv(); }, [&] { return model.A2cStats(0).pending == 0; });
    };

    loseAPacketAt(10, 15);
    EXPECT_EQ(model.Stats().card_starts, starts);
    EXPECT_NE(LogLine("received lost pkt event, ignore. event=64 last_update_time[").find("ts[10,15]"),
              std::string::npos);
    EXPECT_TRUE(Flows(api.obj, spi));

    loseAPacketAt(10, 16);
    EXPECT_EQ(model.Stats().card_starts, starts + 1);
    EXPECT_EQ(sleeps.size(), 6u) << "the whole bring-up ran again";
    EXPECT_EQ(model.ReadReg(R::CONFIG_CRC), crc) << "a re-bring-up leaves the checksum as it was";
    EXPECT_EQ(model.ReadReg(R::LOGIC_START_2PS), 1u);
    const std::string line = LogLine("received lost pkt event, event=64 last_update_time[");
    EXPECT_NE(line.find("[W]"), std::string::npos) << line;
    EXPECT_NE(line.find("ts[10,16]"), std::string::npos) << line;
    EXPECT_TRUE(Flows(api.obj, spi));
}

TEST_F(EventsTest, SigtermEndsRecvStartAndEveryLaterPoll) {
    const std::string path = OpenCardWith();
    Api api;
    Collector spi;
    // The signal comes once the loop has delivered a quote.
    const int32_t result = InterruptedStart(
        SIGTERM,
        [&] {
            if (card_->Model().ReadReg(R::LOGIC_START_4PS) == 1 && spi.count == 0) card_->Step(1);
            return spi.count > 0;
        },
        [&] { return api->KestRecvStart(spi, path.c_str()); });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(api->KestRecv(), -1);
    KestShfeMdType record;
    EXPECT_EQ(api->KestRecv(record), -1);
    EXPECT_NE(Log().find("received signal 15"), std::string::npos);
}

TEST_F(EventsTest, SigintDuringTheSnapshotWaitFailsTheStart) {
    ExpectSigintEndsANeverCompletedSnapshot(/*snapshot_feeds=*/0, "enabled", "listening tcp basement data");
}

TEST_F(EventsTest, NoFeedEnabledNeverCompletesTheSnapshot) {
    // Mirrored frames are refused then.
    ExpectSigintEndsANeverCompletedSnapshot(0x0F, "disabled", "both shfe and ine are not subscribed");
}

TEST_F(EventsTest, EveryStartFailureHasItsCodeAndTheObjectCanStillBeStartedTwice) {
    const std::string path = OpenCardWith();
    Api api;
    Collector spi;
    ConfigText noCard;
    noCard.device = "xilinx3:0";
    EXPECT_EQ(api->KestStart(spi, WriteConfig(noCard, "nocard.ini").c_str()), -2);
    EXPECT_NE(Log().find("Reg Init failed"), std::string::npos);

    // The accelerator found is cached for the process; a channel whose
    // streams cannot be opened fails at the DMA step.
    card_->Model().SetFault(kest_sim::Fault::kDuplicateA2cName, true);
    EXPECT_EQ(api->KestStart(spi, path.c_str()), -2);
    EXPECT_NE(Log().find("DMA Init failed"), std::string::npos);
    card_->Model().SetFault(kest_sim::Fault::kDuplicateA2cName, false);

    // A directory reads as an empty configuration but cannot be checksummed.
    EXPECT_EQ(api->KestStart(spi, dir_.Path().c_str()), -2);
    EXPECT_NE(Log().find("Error opening file [" + dir_.Path() + "]."), std::string::npos) << Log();

    EXPECT_EQ(api->KestRecv(), 0) << "a failed start leaves nothing to poll";
    EXPECT_EQ(api->KestStart(spi, path.c_str()), 0);
    // A second start reopens the streams and keeps delivering.
    EXPECT_EQ(api->KestStart(spi, path.c_str()), 0);
    EXPECT_TRUE(Flows(api.obj, spi));
}

}  // namespace
}  // namespace e2e
