// The card's running logic: the arbiter of the two lines alone, then the whole as the host sees it
// through the C interface.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <map>
#include <set>
#include <sstream>

#include "WireReader.h"
#include "cardlogic/LineArbiter.h"
#include "cardlogic/LiveCard.h"
#include "exchangesim/MdqpEncoder.h"
#include "host_access.h"

using kest_sim::LineArbiter;
using kest_sim::LiveCard;
using kest_sim::Universe;
namespace R = Kest_U50::Reg;

namespace {

TEST(LineArbiter, DeliversEachPacketOnceInOrderAndDeclaresGapsWhenBothLinesMovedOn) {
    const std::string far = "A" + std::to_string(1 + LineArbiter::kHold + 5);
    const std::string quiet = "A1 B1 A3 S A4 S A5 S A6 S A7 S A8 S A9 S";  // line B says nothing more
    struct Row {
        const char* name;
        uint32_t next;
        std::string events;  // A<n>/B<n>: packet n on line A/B; S: settle after a batch
        std::vector<uint32_t> delivered, gaps;
        uint64_t duplicates;
    };
    const Row rows[] = {
        {"first copy wins", 1, "A1 B1 S A2 B2 S A3 B3 S A4 B4 S A5 B5 S", {1, 2, 3, 4, 5}, {}, 5},
        {"each line fills the other's losses", 10, "A10 B11 A12 B13 A14 B14 S", {10, 11, 12, 13, 14}, {}, 1},
        {"late packets in order", 1, "A1 A3 A4 A2 A5 B1 B3 B4 B5 S", {1, 2, 3, 4, 5}, {}, 4},
        {"one line only two past: still waiting", 1, "A1 B1 A2 B2 A4 B4 S A5 S", {1, 2}, {}, 3},
        {"both lines two past: a gap; a late copy is old",
         1,
         "A1 B1 A2 B2 A4 B4 S A5 S B5 S A3",
         {1, 2, 4, 5},
         {3},
         5},
        {"a quiet line holds a gap back a while", 1, quiet, {1}, {}, 1},
        {"but not forever", 1, quiet + " A10 S", {1, 3, 4, 5, 6, 7, 8, 9, 10}, {2}, 1},
        {"a far jump gives up what cannot be held, the rest waits",
         1,
         far + " B7",
         {7},
         {1, 2, 3, 4, 5, 6},
         0},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        struct Recorder : kest_sim::ArbiterSink {
            std::vector<uint32_t> delivered, gaps;
            void Deliver(const kest_sim::LiveUpdate& u) override { delivered.push_back(u.packet_no); }
            void Gap(uint32_t p) override { gaps.push_back(p); }
        } rec;
        LineArbiter arb(r.next);
        std::istringstream in(r.events);
        for (std::string e; in >> e;) {
            kest_sim::LiveUpdate u;
            u.packet_no = e == "S" ? 0 : static_cast<uint32_t>(std::stoul(e.substr(1)));
            e == "S" ? arb.Settle(rec) : arb.Offer(e[0] == 'B', u, rec);
        }
        EXPECT_TRUE(rec.delivered == r.delivered && rec.gaps == r.gaps && arb.Duplicates() == r.duplicates)
            << testing::PrintToString(rec.delivered) << " gaps " << testing::PrintToString(rec.gaps)
            << " dups " << arb.Duplicates();
    }
}

KestShfeMdType Quote(const std::vector<uint8_t>& m) {
    return wire::Load<KestShfeMdType>(m, DMA_PAYLOAD_OFFSET);
}

class LiveCardTest : public cardsim_test::CardTest {
protected:
    LiveCardTest() {
        opt_.seed = 9, opt_.shfe_size = 200, opt_.ine_size = 80, opt_.free_run = false;
        opt_.clock_start_ms = 1736130000000, opt_.round_interval_ms = 200, opt_.keepalive_interval_ms = 5;
    }
    void Open(uint32_t ring_bytes = kest_sim::CardOptions{}.a2c_ring_bytes) {
        Make(ring_bytes);
        for (int ch = 0; ch < 16; ++ch) streams_.push_back(cardsim_test::OpenA2c(host_->acc, ch));
        live_ = LiveCard::Open(opt_);
        ASSERT_TRUE(live_);
    }
    void TearDown() override {
        live_.reset();
        for (enyx_hw_a2c_stream* s : streams_) enyx_hw_a2c_stream_destroy(s);
        CardTest::TearDown();
    }
    cardsim_test::Messages Drain(int ch) { return cardsim_test::Drain(streams_[static_cast<size_t>(ch)]); }

    // What a bring-up leaves: the snapshot's table with these subscriptions (else `others`), the lines.
    void BringUp(EMDQPDataType f, const std::map<int32_t, uint32_t>& config, uint32_t others = 0) {
        for (const auto& in : live_->Exchange(f).Instruments()) {
            SInstTableType e = kest_sim::ExpectedEntry(in);
            e.config = config.count(in.inst_no) ? config.at(in.inst_no) : others;
            host_->WriteEntry(f, static_cast<uint32_t>(in.inst_no), e);
        }
        const uint32_t ip_a[] = {R::SHFE2PS_MCAST_IP_A, R::SHFE4PS_MCAST_IP_A, R::INE2PS_MCAST_IP_A,
                                 R::INE4PS_MCAST_IP_A};
        const uint32_t ip_b[] = {R::SHFE2PS_MCAST_IP_B, R::SHFE4PS_MCAST_IP_B, R::INE2PS_MCAST_IP_B,
                                 R::INE4PS_MCAST_IP_B};
        host_->Write(ip_a[f], 0xEF032A47u);
        host_->Write(ip_b[f], 0xEF032A48u);
        host_->Write(R::SHFE2PS_MAX_INST_NO + static_cast<uint32_t>(f), 4000 + static_cast<uint32_t>(f));
        host_->Write(R::LAST_TICK_CHANNEL, 3);
        host_->Write(R::SNAPSHOT_MODE, 0);
        host_->Write(f == SHFE_4PS || f == INE_4PS ? R::LOGIC_START_4PS : R::LOGIC_START_2PS, 1);
    }

    kest_sim::LiveCardOptions opt_;
    std::vector<enyx_hw_a2c_stream*> streams_;
    std::unique_ptr<LiveCard> live_;
};

// Only the configured feeds, under their topics, round after round on fresh connections once the host
// asks; each snapshot is the exchange as it is now, with its last packet number. (That mirroring stops
// with the snapshot phase, the DMA form of the frames and the mirror under faults are the end-to-end and
// snapshot tests'.)
TEST_F(LiveCardTest, MirrorsTheConfiguredFeedsSnapshotsAsTheyAreNowOnlyWhileAsked) {
    opt_.snapshot_feeds = 0x0D;  // all but SHFE 4ps
    opt_.topic_ids[SHFE_2PS] = 1234;
    Open();
    ASSERT_TRUE(live_->Start());
    BringUp(SHFE_2PS, {});
    ASSERT_EQ(live_->Step(50), 50u);
    host_->Write(R::CARD_START, 1);
    usleep(100 * 1000);
    EXPECT_TRUE(Drain(0).empty()) << "nothing before the host asks";

    host_->Write(R::SNAPSHOT_MODE, R::SNAPSHOT_MODE_ON);
    wire::Connections conns{{33022, 22000}, {}, 0};
    // Until three rounds of each feed (a minute is far more than any run needs).
    for (auto end = std::chrono::steady_clock::now() + std::chrono::minutes(1);; usleep(1000)) {
        for (const auto& m : Drain(0))
            ASSERT_TRUE(conns.Take(m.data() + DMA_TCP_FRAME_OFFSET, m.size() - DMA_TCP_FRAME_OFFSET));
        const auto snaps = conns.Snapshots();
        if (snaps.size() >= 3 &&
            std::all_of(snaps.begin(), snaps.end(), [](auto& kv) { return kv.second.size() >= 3; }))
            break;
        ASSERT_LT(std::chrono::steady_clock::now(), end) << "rounds missing";
    }
    const std::map<int16_t, EMDQPDataType> feeds = {{1234, SHFE_2PS}, {5000, INE_2PS}, {5101, INE_4PS}};
    ASSERT_EQ(conns.Snapshots().size(), feeds.size());
    for (const auto& [topic, ports] : conns.Snapshots()) {
        SCOPED_TRACE(topic);
        const EMDQPDataType f = feeds.at(topic);
        // Each round on fresh connections: new client ports.
        EXPECT_EQ(std::set<uint16_t>(ports.begin(), ports.end()).size(), ports.size());
        EXPECT_EQ(conns.streams.at(ports[0]).server_port, f == INE_4PS ? 22000 : 33022);
        std::vector<wire::Message> msgs;
        ASSERT_TRUE(wire::SplitMessages(conns.streams.at(ports[0]).bytes, msgs));
        ASSERT_EQ(msgs.at(0).fields.at(1).id, 0x1004);  // the packet number, as it is now
        EXPECT_EQ(wire::Load<int32_t>(msgs[0].fields[1].payload, 0), f == SHFE_2PS ? 50 : 0);
        // Every instrument's deal once, as the exchange has it now: the packets since the start included.
        const Universe& now = live_->Exchange(f);
        std::set<int32_t> deals;
        for (const auto& m : msgs) {
            for (const auto& field : m.fields) {
                if (field.id != 0x0102) continue;
                const int32_t no = wire::Load<int32_t>(field.payload, 0);
                ASSERT_TRUE(no >= 0 && no < now.Size() && deals.insert(no).second) << no;
                const deal_info_t want = kest_sim::MakeDealInfo(now.At(no));
                EXPECT_TRUE(field.payload.size() == sizeof want &&
                            !memcmp(field.payload.data(), &want, sizeof want))
                    << now.At(no).inst_id;
            }
        }
        EXPECT_EQ(deals.size(), static_cast<size_t>(now.Size()));
    }
}

// Which channels get which quotes from a configuration file is the end-to-end tests' (sixteen processes,
// each its own list).
TEST_F(LiveCardTest, QuotesCarryTheBooksFieldsAndTheLastTickFlagOnlyOnItsChannel) {
    Open();
    const Universe before = live_->Exchange(SHFE_2PS);
    std::vector<int32_t> f;  // two futures: they update most
    for (const auto& in : before.Instruments())
        if (in.product_class == '1' && f.size() < 2) f.push_back(in.inst_no);
    BringUp(SHFE_2PS, {{f[0], 0x8000000Au}, {f[1], 0x80000008u}});  // channels 1 and 3; 3
    ASSERT_EQ(live_->Step(3000), 3000u);
    std::map<std::pair<int, int32_t>, std::vector<KestShfeMdType>> got;  // by channel and instrument
    for (int ch : {1, 3}) {
        for (const auto& m : Drain(ch)) {
            ASSERT_EQ(m.size(), DMA_QUOTE_MSG_SIZE);
            const KestShfeMdType q = Quote(m);
            EXPECT_EQ(q.last_tick_flag, ch == 3) << "channel 3 is the last-tick channel";
            got[{ch, static_cast<int32_t>(q.inst_no)}].push_back(q);
        }
    }
    EXPECT_EQ((got[{1, f[0]}].size()), (got[{3, f[0]}].size()));
    EXPECT_TRUE((got[{1, f[1]}].empty() && Drain(0).empty() && Drain(2).empty()))
        << "only subscribed channels";
    // One quote per update, change numbers following the snapshot's, with the book as it is now.
    for (int32_t inst : f) {
        const auto& qs = got[{3, inst}];
        ASSERT_FALSE(qs.empty());
        for (size_t i = 0; i < qs.size(); ++i) EXPECT_EQ(qs[i].change_no, before.At(inst).change_no + 1 + i);
        const KestShfeMdType& q = qs.back();
        const kest_sim::Instrument& now = live_->Exchange(SHFE_2PS).At(inst);
        EXPECT_TRUE(q.last_px == now.last_price && q.volume == now.volume && q.turnover == now.turnover &&
                    q.open_interest == static_cast<int64_t>(now.open_interest) &&
                    q.bid1_px == now.bid[0].price && q.bid1_vol == now.bid[0].volume &&
                    q.ask5_px == now.ask[4].price)
            << now.inst_id;
    }
}

TEST_F(LiveCardTest, ArbitratesLossyReorderingLinesIntoOneOrderedStream) {
    opt_.line_a = opt_.line_b = {0.3, 0.15};  // loss, reorder
    Open();
    const Universe before = live_->Exchange(SHFE_4PS);
    BringUp(SHFE_4PS, {}, 0x80000001u);
    ASSERT_EQ(live_->Step(4000), 4000u);
    // Every packet applied once but the last few, which may wait for a late copy; no gap.
    const uint64_t updates = live_->Updates(SHFE_4PS);
    EXPECT_TRUE(updates >= 3996 && updates <= 4000 && live_->Duplicates(SHFE_4PS) > 1000 &&
                live_->Gaps(SHFE_4PS) == 0);
    std::map<uint32_t, uint32_t> last;  // none lost, none twice: per instrument the change numbers run on
    for (const auto& m : Drain(0)) {
        const KestShfeMdType q = Quote(m);
        auto it = last.emplace(q.inst_no, before.At(static_cast<int32_t>(q.inst_no)).change_no).first;
        ASSERT_EQ(q.change_no, ++it->second) << "instrument " << q.inst_no;
    }
}

// SHFE 2ps's bit on channel 0, and what the product makes of it, are the end-to-end event tests'.
TEST_F(LiveCardTest, GapOnBothLinesRaisesTheFeedsLostPacketEventOnEveryChannel) {
    Open();
    BringUp(INE_4PS, {});
    live_->Step(20);
    live_->InjectGap(INE_4PS, 2);
    live_->Step(20);
    EXPECT_EQ(live_->Gaps(INE_4PS), 2u);
    // Nothing is subscribed: events only, each with the feed's lost-packet bit.
    using Event = std::tuple<uint32_t, size_t, uint32_t>;  // kind, size, event word
    for (int ch = 0; ch < 16; ++ch) {
        std::vector<Event> got;
        for (const auto& m : Drain(ch))
            got.emplace_back(wire::Load<uint32_t>(m, 0), m.size(), wire::Load<uint32_t>(m, 8));
        EXPECT_EQ(got, std::vector<Event>(2, {DMA_EVENT, 32, 0x40000000u})) << ch;
    }
}

TEST_F(LiveCardTest, ClockDrivesUpdateTimesAndTheLastUpdateRegisters) {
    opt_.clock_step_ms = 250;
    Open();
    BringUp(INE_4PS, {}, 0x80000004u);  // all on channel 2
    struct tm t {};
    t.tm_year = 125, t.tm_mon = 5, t.tm_mday = 3, t.tm_hour = 10, t.tm_min = 15, t.tm_isdst = -1;
    const int64_t base = static_cast<int64_t>(mktime(&t)) * 1000;  // 10:15:00.000 local time
    live_->SetClock(base);
    live_->Step(6);
    live_->SetClock(base + 3600 * 1000);  // a jump shows in the next update
    live_->Step(1);
    std::vector<uint64_t> times;
    for (const auto& m : Drain(2))
        times.push_back(Quote(m).update_time * 1000ull + Quote(m).update_milli_sec);
    EXPECT_EQ(times, (std::vector<uint64_t>{101500250, 101500500, 101500750, 101501000, 101501250, 101501500,
                                            111500250}));
    for (int f = 0; f < 4; ++f)
        EXPECT_EQ(host_->Read(R::LAST_UPDATE_TIME_0 + f), f == INE_4PS ? (base + 3600250) / 1000 : 0) << f;
}

// A full ring refuses quotes without blocking; a card start stops the logic until the next logical
// start (none in the snapshot phase) and restarts the line counters.
TEST_F(LiveCardTest, FullRingRefusesQuotesAndCardStartStopsTheLogic) {
    Open(4096);
    BringUp(SHFE_2PS, {}, 0x80000020u);  // channel 5
    EXPECT_EQ(live_->Step(500), 500u);
    const uint64_t written = live_->QuotesWritten(5);
    EXPECT_TRUE(live_->QuotesRefused(5) > 0 && written + live_->QuotesRefused(5) == live_->Updates(SHFE_2PS));
    EXPECT_EQ(Drain(5).size(), written);
    host_->Write(R::CARD_START, 1);
    EXPECT_TRUE(live_->Step(10) == 0 && !live_->BlockRunning(0));
    host_->Write(R::SNAPSHOT_MODE, R::SNAPSHOT_MODE_ON);
    host_->Write(R::LOGIC_START_2PS, 1);
    EXPECT_EQ(live_->Step(10), 0u);
    host_->Write(R::SNAPSHOT_MODE, 0);
    EXPECT_EQ(live_->Step(10), 10u);
    EXPECT_EQ(live_->QuotesWritten(5), written + 10) << "room again: quotes flow again";
    EXPECT_EQ(Drain(5).size(), 10u);
    EXPECT_EQ(host_->Read(R::MUX0_2PS_PKTS), 10u);
}

}  // namespace
