// Card events and process signals: the lost-packet event inside and outside
// the ignored minutes, exit requests during polling and during the snapshot
// wait, every start failure, and messages the receive path must drop.
#include <signal.h>

#include <cstring>
#include <ctime>
#include <thread>

#include "E2eSupport.h"
#include "FpgaRegisterCommon.h"

namespace e2e {
namespace {

namespace R = Kest_U50::Reg;

// Milliseconds since the epoch of today's hh:mm:30 UTC (the tests run with TZ=UTC).
int64_t TodayAt(int hour, int minute) {
    const time_t now = time(nullptr);
    return (static_cast<int64_t>(now / 86400) * 86400 + hour * 3600 + minute * 60 + 30) * 1000;
}

class EventsTest : public World {
protected:
    CKestShfeMdApi& StartChannel0(Collector& spi) {
        const std::string path = OpenCardWith();
        CKestShfeMdApi& api = CKestShfeMdApi::CreateKestShfeMdApi();
        EXPECT_EQ(api.KestStart(spi, path.c_str()), 0) << Log();
        return api;
    }
    // Makes one packet of SHFE 2ps go missing on both lines at the given
    // time, and polls until the event has been handled.
    void LoseAPacketAt(CKestShfeMdApi& api, int hour, int minute) {
        card_->SetClock(TodayAt(hour, minute));
        const uint64_t events = card_->EventsWritten(0);
        card_->InjectGap(SHFE_2PS, 1);
        card_->Step(10);
        ASSERT_GT(card_->EventsWritten(0), events);
        // Draining the ring handles the event (and any bring-up it triggers).
        PollUntil([&] { return api.KestRecv(); }, [&] { return card_->Model().A2cStats(0).pending == 0; });
    }
};

TEST_F(EventsTest, LostPacketInAnIgnoredMinuteOnlyLogs) {
    Collector spi;
    CKestShfeMdApi& api = StartChannel0(spi);
    const uint64_t starts = card_->Model().Stats().card_starts;
    LoseAPacketAt(api, 10, 15);
    EXPECT_EQ(card_->Model().Stats().card_starts, starts);
    const std::string log = Log();
    EXPECT_NE(log.find("received lost pkt event, ignore. event=64 last_update_time["), std::string::npos) << log;
    EXPECT_NE(log.find("ts[10,15]"), std::string::npos);
    // Quotes keep flowing.
    spi.quotes.clear();
    card_->Step(10);
    EXPECT_TRUE(PollUntil([&] { return api.KestRecv(); }, [&] { return !spi.quotes.empty(); }));
    CKestShfeMdApi::DestroyKestShfeMdApi(api);
}

TEST_F(EventsTest, LostPacketOutsideTheIgnoredMinutesBringsTheCardUpAgainInsideThePoll) {
    Collector spi;
    CKestShfeMdApi& api = StartChannel0(spi);
    const uint64_t starts = card_->Model().Stats().card_starts;
    const uint64_t crc = card_->Model().ReadReg(R::CONFIG_CRC);
    LoseAPacketAt(api, 10, 16);
    EXPECT_EQ(card_->Model().Stats().card_starts, starts + 1);
    EXPECT_EQ(card_->Model().ReadReg(R::CONFIG_CRC), crc) << "a re-bring-up leaves the checksum as it was";
    EXPECT_EQ(card_->Model().ReadReg(R::LOGIC_START_2PS), 1u);
    const std::string log = Log();
    EXPECT_NE(log.find("[W]"), std::string::npos);
    EXPECT_NE(log.find("received lost pkt event, event=64 last_update_time["), std::string::npos) << log;
    EXPECT_NE(log.find("ts[10,16]"), std::string::npos);
    EXPECT_EQ(Sleeps().size(), 6u) << "the whole bring-up ran again";
    // Live again after the new bring-up.
    spi.quotes.clear();
    card_->Step(10);
    EXPECT_TRUE(PollUntil([&] { return api.KestRecv(); }, [&] { return !spi.quotes.empty(); }));
    CKestShfeMdApi::DestroyKestShfeMdApi(api);
}

TEST_F(EventsTest, SigtermEndsRecvStartAndEveryLaterPoll) {
    const std::string path = OpenCardWith();
    CKestShfeMdApi& api = CKestShfeMdApi::CreateKestShfeMdApi();
    Collector spi;
    std::atomic<bool> started{false};
    std::thread killer([&] {
        while (!started.load()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        card_->Step(20);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        kill(getpid(), SIGTERM);
    });
    // The journal shows when the bring-up reached the logical start.
    std::thread watcher([&] {
        while (card_->Model().ReadReg(R::LOGIC_START_4PS) != 1) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        started.store(true);
    });
    EXPECT_EQ(api.KestRecvStart(spi, path.c_str()), 0);
    killer.join();
    watcher.join();
    EXPECT_GT(spi.quotes.size(), 0u);
    EXPECT_EQ(api.KestRecv(), -1);
    KestShfeMdType record;
    EXPECT_EQ(api.KestRecv(record), -1);
    EXPECT_NE(Log().find("received signal 15"), std::string::npos);
    CKestShfeMdApi::DestroyKestShfeMdApi(api);
}

TEST_F(EventsTest, SigintDuringTheSnapshotWaitFailsTheStart) {
    OpenCard(/*snapshot_feeds=*/0);  // the exchange never sends a snapshot
    ConfigText text;
    CKestShfeMdApi& api = CKestShfeMdApi::CreateKestShfeMdApi();
    Collector spi;
    std::thread interrupter([&] {
        while (card_->Model().ReadReg(R::MCAST_PROGRAMMED) != 0 || card_->Model().ReadReg(R::SNAPSHOT_MODE) != 0xF)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        kill(getpid(), SIGINT);
    });
    EXPECT_EQ(api.KestStart(spi, WriteConfig(text).c_str()), -2);
    interrupter.join();
    const std::string log = Log();
    EXPECT_NE(log.find("listening tcp basement data"), std::string::npos);
    EXPECT_EQ(log.find("tcp init finished"), std::string::npos);
    EXPECT_NE(log.find("received signal 2"), std::string::npos);
    EXPECT_NE(log.find("_Init error"), std::string::npos);
    EXPECT_EQ(card_->Model().ReadReg(R::LOGIC_START_2PS), 0u) << "the logic was never started";
    CKestShfeMdApi::DestroyKestShfeMdApi(api);
}

TEST_F(EventsTest, NoFeedEnabledNeverCompletesTheSnapshot) {
    OpenCard();
    ConfigText text;
    for (auto& feed : text.feeds) feed = "disabled";
    CKestShfeMdApi& api = CKestShfeMdApi::CreateKestShfeMdApi();
    // Mirrored frames may still sit in the ring when they are counted, so wait
    // for the product to have taken one; the deadline turns a regression into
    // a failure instead of a hang.
    std::thread interrupter([&] {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (Log().find("both shfe and ine are not subscribed") == std::string::npos &&
               std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        kill(getpid(), SIGINT);
    });
    EXPECT_EQ(api.KestStart(WriteConfig(text).c_str()), -2);
    interrupter.join();
    EXPECT_NE(Log().find("both shfe and ine are not subscribed"), std::string::npos);
    EXPECT_EQ(Log().find("tcp init finished"), std::string::npos);
    CKestShfeMdApi::DestroyKestShfeMdApi(api);
}

TEST_F(EventsTest, EveryStartFailureHasItsCode) {
    const std::string path = OpenCardWith();
    CKestShfeMdApi& api = CKestShfeMdApi::CreateKestShfeMdApi();
    Collector spi;
    EXPECT_EQ(api.KestStart(spi, nullptr), -1);
    EXPECT_EQ(api.KestStart(dir_.File("missing.ini").c_str()), -2);

    ConfigText noCard;
    noCard.device = "xilinx3:0";
    EXPECT_EQ(api.KestStart(spi, WriteConfig(noCard, "nocard.ini").c_str()), -2);
    EXPECT_NE(Log().find("Reg Init failed"), std::string::npos);

    // The accelerator found is cached for the process; a channel whose
    // streams cannot be opened fails at the DMA step.
    card_->Model().SetFault(kest_sim::Fault::kDuplicateA2cName, true);
    EXPECT_EQ(api.KestStart(spi, path.c_str()), -2);
    EXPECT_NE(Log().find("DMA Init failed"), std::string::npos);
    card_->Model().SetFault(kest_sim::Fault::kDuplicateA2cName, false);

    // A directory reads as an empty configuration but cannot be checksummed.
    EXPECT_EQ(api.KestStart(spi, dir_.Path().c_str()), -2);
    EXPECT_NE(Log().find("Error opening file [" + dir_.Path() + "]."), std::string::npos) << Log();

    EXPECT_EQ(api.KestRecv(), 0) << "a failed start leaves nothing to poll";
    EXPECT_EQ(api.KestStart(spi, path.c_str()), 0) << "and the object can still be started";
    CKestShfeMdApi::DestroyKestShfeMdApi(api);
}

TEST_F(EventsTest, ASecondStartReopensTheStreamsAndKeepsDelivering) {
    Collector spi;
    CKestShfeMdApi& api = StartChannel0(spi);
    EXPECT_EQ(api.KestStart(spi, WriteConfig(ConfigText()).c_str()), 0);
    card_->Step(10);
    EXPECT_TRUE(PollUntil([&] { return api.KestRecv(); }, [&] { return !spi.quotes.empty(); }));
    CKestShfeMdApi::DestroyKestShfeMdApi(api);
}

TEST_F(EventsTest, MessagesOtherThanQuotesAreDropped) {
    Collector spi;
    CKestShfeMdApi& api = StartChannel0(spi);
    kest_sim::Card& model = card_->Model();
    // Mirrored frames the card sent after the snapshot was complete.
    ASSERT_TRUE(PollUntil([&] { return api.KestRecv(); }, [&] { return model.A2cStats(0).pending == 0; }));
    uint8_t shortQuote[100] = {};
    const uint32_t udp = DMA_UDP;
    std::memcpy(shortQuote, &udp, 4);
    uint8_t tcp[200] = {};
    const uint32_t tcpKind = DMA_TCP;
    std::memcpy(tcp, &tcpKind, 4);
    U50Event noLoss{};
    noLoss.dma_type = DMA_EVENT;
    noLoss.event_data0 = 0x00000001;
    uint8_t tiny[2] = {1, 0};
    ASSERT_TRUE(model.PushA2c(0, shortQuote, sizeof(shortQuote)));
    ASSERT_TRUE(model.PushA2c(0, tcp, sizeof(tcp)));
    ASSERT_TRUE(model.PushA2c(0, &noLoss, sizeof(noLoss)));
    ASSERT_TRUE(model.PushA2c(0, tiny, sizeof(tiny)));
    const uint64_t reads = model.Stats().host_reads;
    for (int i = 0; i < 4; ++i) EXPECT_EQ(api.KestRecv(), 0);
    EXPECT_TRUE(spi.quotes.empty());
    EXPECT_EQ(model.Stats().host_reads, reads) << "an event without a loss bit reads no register";
    EXPECT_EQ(model.A2cStats(0).pending, 0u);
    EXPECT_NE(Log().find("short DMA message dropped, type[1] length[100]"), std::string::npos);
    EXPECT_NE(Log().find("short DMA message dropped, length[2]"), std::string::npos);
    CKestShfeMdApi::DestroyKestShfeMdApi(api);
}

}  // namespace
}  // namespace e2e
