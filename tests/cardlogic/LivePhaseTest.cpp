#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <map>
#include <set>

#include "HostSide.h"
#include "cardlogic/LiveCard.h"

using cardlogic_test::Channel;
using cardlogic_test::Messages;
using kest_sim::LiveCard;
using kest_sim::LiveCardOptions;
using kest_sim::Universe;
namespace R = Kest_U50::Reg;

namespace {

class LivePhase : public ::testing::Test {
protected:
    void SetUp() override {
        opt_.seed = 9;
        opt_.shfe_size = 200;
        opt_.ine_size = 80;
        opt_.free_run = false;
        opt_.clock_start_ms = 1736130000000;
    }
    void TearDown() override {
        card_.reset();
        channels_.clear();
        host_.reset();
        kest_sim::RemoveCard(0);
    }
    void Open(uint32_t ring_bytes = 4u << 20) {
        kest_sim::CardOptions co;
        co.a2c_ring_bytes = ring_bytes;
        ASSERT_EQ(kest_sim::CreateCard(0, co), 0);
        host_.reset(new cardsim_test::Host(0));
        ASSERT_TRUE(host_->ok());
        for (int ch = 0; ch < 16; ++ch) {
            channels_.emplace_back(new Channel(host_->acc(), ch));
            ASSERT_TRUE(channels_.back()->ok());
        }
        card_ = LiveCard::Open(opt_);
        ASSERT_TRUE(card_);
    }
    // What the host leaves in the card after a bring-up: the snapshot's
    // table with the given subscription words (default `all_config` for
    // entries not listed), the feed's lines, the limits and the logical start.
    void BringUp(EMDQPDataType f, const std::map<int32_t, uint32_t>& config, uint32_t all_config = 0) {
        const Universe& u = card_->Exchange(f);
        for (const auto& in : u.Instruments()) {
            SInstTableType e = kest_sim::ExpectedEntry(in);
            auto it = config.find(in.inst_no);
            e.config = it != config.end() ? it->second : all_config;
            cardlogic_test::WriteEntry(*host_, f, static_cast<uint32_t>(in.inst_no), e);
        }
        host_->Write(cardlogic_test::IpA(f), 0xEF032A47u);
        host_->Write(cardlogic_test::IpB(f), 0xEF032A48u);
        host_->Write(R::SHFE2PS_MAX_INST_NO + static_cast<uint32_t>(f), 4000 + static_cast<uint32_t>(f));
        host_->Write(R::LAST_TICK_CHANNEL, 3);
        host_->Write(R::SNAPSHOT_MODE, 0);
        const bool four = f == SHFE_4PS || f == INE_4PS;
        host_->Write(four ? R::LOGIC_START_4PS : R::LOGIC_START_2PS, 1);
    }
    Messages Drain(int ch) { return channels_[static_cast<size_t>(ch)]->Drain(); }

    LiveCardOptions opt_;
    std::unique_ptr<cardsim_test::Host> host_;
    std::vector<std::unique_ptr<Channel>> channels_;
    std::unique_ptr<LiveCard> card_;
};

TEST_F(LivePhase, QuotesGoOnlyToSubscribedChannelsWithTheBooksFields) {
    Open();
    const Universe before = card_->Exchange(SHFE_2PS);
    // Two busy instruments (futures update most): the first two futures.
    std::vector<int32_t> futures;
    for (const auto& in : before.Instruments())
        if (in.product_class == '1' && futures.size() < 2) futures.push_back(in.inst_no);
    const int32_t a = futures[0], b = futures[1];
    BringUp(SHFE_2PS, {{a, 0x80000000u | (1u << 1) | (1u << 3)}, {b, 0x80000000u | (1u << 3)}});
    // INE 2ps is in the block but its lines are 0: not live.
    ASSERT_EQ(card_->Step(3000), 3000u);
    EXPECT_TRUE(card_->BlockRunning(0));
    EXPECT_FALSE(card_->BlockRunning(1));
    EXPECT_TRUE(card_->FeedLive(SHFE_2PS));
    EXPECT_FALSE(card_->FeedLive(INE_2PS));

    const Messages ch1 = Drain(1), ch3 = Drain(3);
    for (int ch : {0, 2, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15})
        EXPECT_TRUE(Drain(ch).empty()) << "channel " << ch;
    ASSERT_FALSE(ch1.empty());
    std::map<int32_t, std::vector<KestShfeMdType>> on3;
    for (const auto& m : ch3) {
        ASSERT_EQ(cardlogic_test::Kind(m), static_cast<uint32_t>(DMA_UDP));
        ASSERT_EQ(m.size(), DMA_QUOTE_MSG_SIZE);
        ASSERT_EQ(cardlogic_test::At<uint32_t>(m, 4), DMA_QUOTE_MSG_SIZE);
        const KestShfeMdType q = cardlogic_test::Quote(m);
        ASSERT_TRUE(q.inst_no == static_cast<uint32_t>(a) || q.inst_no == static_cast<uint32_t>(b))
            << q.inst_no;
        EXPECT_TRUE(q.last_tick_flag) << "channel 3 is the last-tick channel";
        EXPECT_EQ(q.max_inst_no, 4000u);
        EXPECT_EQ(q.type, SHFE_2PS);
        on3[static_cast<int32_t>(q.inst_no)].push_back(q);
    }
    size_t a_on_1 = 0;
    for (const auto& m : ch1) {
        const KestShfeMdType q = cardlogic_test::Quote(m);
        ASSERT_EQ(q.inst_no, static_cast<uint32_t>(a));
        EXPECT_FALSE(q.last_tick_flag);
        ++a_on_1;
    }
    EXPECT_EQ(a_on_1, on3[a].size());
    EXPECT_EQ(card_->QuotesFor(SHFE_2PS, a), 2 * on3[a].size());
    EXPECT_EQ(card_->QuotesFor(SHFE_2PS, b), on3[b].size());
    EXPECT_EQ(card_->QuotesWritten(3), ch3.size());
    EXPECT_EQ(card_->QuotesWritten(1), ch1.size());

    // Each update of an instrument is one quote, change numbers following on
    // from the snapshot's; the last one is the exchange's state now.
    for (int32_t inst : {a, b}) {
        const auto& qs = on3[inst];
        ASSERT_FALSE(qs.empty());
        for (size_t i = 0; i < qs.size(); ++i) EXPECT_EQ(qs[i].change_no, before.At(inst).change_no + 1 + i);
        const KestShfeMdType& q = qs.back();
        const kest_sim::Instrument& now = card_->Exchange(SHFE_2PS).At(inst);
        EXPECT_EQ(std::string(q.inst_id), before.At(inst).inst_id.substr(0, 15));
        EXPECT_EQ(q.last_px, now.last_price);
        EXPECT_EQ(q.volume, now.volume);
        EXPECT_EQ(q.turnover, now.turnover);
        EXPECT_EQ(q.open_interest, static_cast<int64_t>(now.open_interest));
        EXPECT_EQ(q.bid1_px, now.bid_levels > 0 ? now.bid[0].price : 0);
        EXPECT_EQ(q.bid1_vol, now.bid_levels > 0 ? now.bid[0].volume : 0u);
        EXPECT_EQ(q.ask5_px, now.ask_levels > 4 ? now.ask[4].price : 0);
        EXPECT_EQ(q.change_no, now.change_no);
        // The card's table keeps the book it quoted, and the host's word 0.
        const SInstTableType e = card_->Model().ReadTableEntry(SHFE_2PS, static_cast<uint32_t>(inst));
        EXPECT_EQ(e.last_price, q.last_px);
        EXPECT_EQ(e.ask1_price, q.ask1_px);
        EXPECT_EQ(static_cast<uint64_t>(e.turnover), static_cast<uint64_t>(q.turnover));
        EXPECT_EQ(e.config & 0xFFFFu, inst == a ? 0x000Au : 0x0008u);
        EXPECT_STREQ(e.inst_id, before.At(inst).inst_id.c_str());
    }
}

TEST_F(LivePhase, ArbitrationOverLossyReorderingLines) {
    opt_.line_a.loss = 0.3;
    opt_.line_b.loss = 0.3;
    opt_.line_a.reorder = 0.15;
    opt_.line_b.reorder = 0.15;
    Open();
    const Universe before = card_->Exchange(SHFE_4PS);
    BringUp(SHFE_4PS, {}, 0x80000001u);  // every entry on channel 0
    const size_t made = card_->Step(4000);
    ASSERT_EQ(made, 4000u);
    EXPECT_EQ(card_->Gaps(SHFE_4PS), 0u);
    // Every packet is applied exactly once (the last ones may still be held
    // for a late copy), the second copies are dropped.
    EXPECT_GE(card_->Updates(SHFE_4PS), made - 4);
    EXPECT_LE(card_->Updates(SHFE_4PS), made);
    EXPECT_GT(card_->Duplicates(SHFE_4PS), 1000u);
    // Line counters count what arrived on each line.
    const uint64_t a = host_->Read(R::MUX0_4PS_PKTS), b = host_->Read(R::MUX1_4PS_PKTS);
    EXPECT_LT(a, made);
    EXPECT_LT(b, made);
    // Every arrival was applied or dropped as a second copy, but for the few
    // still held behind a late packet.
    const uint64_t settled = card_->Updates(SHFE_4PS) + card_->Duplicates(SHFE_4PS);
    EXPECT_GE(a + b, settled);
    EXPECT_LE(a + b - settled, 8u);
    EXPECT_EQ(host_->Read(R::MUX0_2PS_PKTS), 0u);
    // In order, none lost, none twice: per instrument the change numbers run on.
    std::map<uint32_t, uint32_t> last;
    for (const auto& m : Drain(0)) {
        const KestShfeMdType q = cardlogic_test::Quote(m);
        auto it = last.find(q.inst_no);
        const uint32_t prev =
            it == last.end() ? before.At(static_cast<int32_t>(q.inst_no)).change_no : it->second;
        ASSERT_EQ(q.change_no, prev + 1) << "instrument " << q.inst_no;
        last[q.inst_no] = q.change_no;
    }
}

TEST_F(LivePhase, GapOnBothLinesRaisesTheFeedsLostPacketEventOnEveryChannel) {
    Open();
    BringUp(SHFE_2PS, {});
    BringUp(INE_4PS, {});
    card_->Step(20);
    for (int ch = 0; ch < 16; ++ch) EXPECT_TRUE(Drain(ch).empty());
    card_->InjectGap(INE_4PS);
    card_->Step(20);
    EXPECT_EQ(card_->Gaps(INE_4PS), 1u);
    EXPECT_EQ(card_->Gaps(SHFE_2PS), 0u);
    card_->InjectGap(SHFE_2PS, 2);
    card_->Step(20);
    EXPECT_EQ(card_->Gaps(SHFE_2PS), 2u);
    for (int ch = 0; ch < 16; ++ch) {
        const Messages ms = Drain(ch);
        ASSERT_EQ(ms.size(), 3u) << "channel " << ch;
        const uint32_t want[] = {0x40000000u, 0x00000040u, 0x00000040u};
        for (size_t i = 0; i < 3; ++i) {
            ASSERT_EQ(cardlogic_test::Kind(ms[i]), static_cast<uint32_t>(DMA_EVENT));
            ASSERT_EQ(ms[i].size(), sizeof(U50Event));
            U50Event ev;
            std::memcpy(&ev, ms[i].data(), sizeof ev);
            EXPECT_EQ(ev.event_data0, want[i]);
            EXPECT_NE(ev.event_data0 & Kest_U50::LOST_PKT_EVENT_MASK, 0u);
        }
        EXPECT_EQ(card_->EventsWritten(ch), 3u);
    }
}

TEST_F(LivePhase, ClockDrivesUpdateTimesAndTheLastUpdateRegisters) {
    opt_.clock_step_ms = 250;
    Open();
    BringUp(SHFE_4PS, {}, 0x80000004u);  // all on channel 2
    // 10:15:00.000 local time of some day.
    struct tm t {};
    t.tm_year = 125;
    t.tm_mon = 5;
    t.tm_mday = 3;
    t.tm_hour = 10;
    t.tm_min = 15;
    t.tm_isdst = -1;
    const int64_t base = static_cast<int64_t>(mktime(&t)) * 1000;
    card_->SetClock(base);
    EXPECT_EQ(card_->ClockMs(), base);
    card_->Step(6);  // 10:15:00.250 .. 10:15:01.500
    EXPECT_EQ(card_->ClockMs(), base + 1500);
    EXPECT_EQ(host_->Read(R::LAST_UPDATE_TIME_0 + SHFE_4PS), static_cast<uint64_t>((base + 1500) / 1000));
    EXPECT_EQ(host_->Read(R::LAST_UPDATE_TIME_0 + SHFE_2PS), 0u);
    EXPECT_EQ(host_->Read(R::LAST_UPDATE_TIME_0 + INE_2PS), 0u);
    EXPECT_EQ(host_->Read(R::LAST_UPDATE_TIME_0 + INE_4PS), 0u);
    const Messages ms = Drain(2);
    ASSERT_EQ(ms.size(), 6u);
    for (size_t i = 0; i < ms.size(); ++i) {
        const KestShfeMdType q = cardlogic_test::Quote(ms[i]);
        EXPECT_EQ(q.update_time, i < 3 ? 101500u : 101501u);
        EXPECT_EQ(q.update_milli_sec, ((i + 1) * 250) % 1000);
    }
    // Jumping the clock shows in the next update only.
    card_->SetClock(base + 3600 * 1000);
    card_->Step(1);
    EXPECT_EQ(host_->Read(R::LAST_UPDATE_TIME_0 + SHFE_4PS),
              static_cast<uint64_t>((base + 3600 * 1000 + 250) / 1000));
    EXPECT_EQ(cardlogic_test::Quote(Drain(2).at(0)).update_time, 111500u);
}

TEST_F(LivePhase, RestartStopsTheLogicAndALogicalStartResumesIt) {
    Open();
    BringUp(SHFE_2PS, {}, 0x80000001u);
    EXPECT_EQ(card_->Step(10), 10u);
    host_->Write(R::CARD_START, 1);
    EXPECT_EQ(host_->Read(R::LOGIC_START_2PS), 0u);
    EXPECT_EQ(card_->Step(10), 0u);
    EXPECT_FALSE(card_->BlockRunning(0));
    // Snapshot phase: nothing runs even with the logical start set.
    host_->Write(R::SNAPSHOT_MODE, R::SNAPSHOT_MODE_ON);
    host_->Write(R::LOGIC_START_2PS, 1);
    EXPECT_EQ(card_->Step(10), 0u);
    host_->Write(R::SNAPSHOT_MODE, 0);
    EXPECT_EQ(card_->Step(10), 10u);
    EXPECT_TRUE(card_->BlockRunning(0));
    EXPECT_EQ(Drain(0).size(), 20u);
    // The line counters restarted with the logic.
    EXPECT_EQ(host_->Read(R::MUX0_2PS_PKTS), 10u);
}

TEST_F(LivePhase, FullRingRefusesQuotesWithoutBlocking) {
    Open(4096);
    BringUp(SHFE_2PS, {}, 0x80000020u);  // channel 5
    const size_t made = card_->Step(500);
    EXPECT_EQ(made, 500u);
    EXPECT_GT(card_->QuotesRefused(5), 0u);
    EXPECT_EQ(card_->QuotesWritten(5) + card_->QuotesRefused(5), card_->Updates(SHFE_2PS));
    EXPECT_GE(card_->Model().A2cStats(5).refused, card_->QuotesRefused(5));
    EXPECT_EQ(Drain(5).size(), card_->QuotesWritten(5));
    // Room again: quotes flow again.
    const uint64_t before = card_->QuotesWritten(5);
    card_->Step(5);
    EXPECT_EQ(card_->QuotesWritten(5), before + 5);
}

TEST_F(LivePhase, FreeRunningThreadQuotesAtItsRate) {
    opt_.free_run = true;
    opt_.updates_per_second = 2000;
    Open();
    BringUp(INE_2PS, {}, 0x80000001u);
    ASSERT_TRUE(card_->Start());
    size_t got = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (got < 200 && std::chrono::steady_clock::now() < deadline) {
        for (const auto& m : Drain(0)) {
            ASSERT_EQ(cardlogic_test::Kind(m), static_cast<uint32_t>(DMA_UDP));
            const KestShfeMdType q = cardlogic_test::Quote(m);
            ASSERT_LT(q.inst_no, 80u);
            ASSERT_EQ(q.type, INE_2PS);
            ++got;
        }
        usleep(2000);
    }
    card_->Stop();
    EXPECT_GE(got, 200u);
    EXPECT_TRUE(card_->BlockRunning(0));
    EXPECT_GT(host_->Read(R::MUX0_2PS_PKTS), 0u);
}

}  // namespace
