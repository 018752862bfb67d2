#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <set>

#include "HostSide.h"
#include "WireReader.h"
#include "cardlogic/LiveCard.h"

using cardlogic_test::Channel;
using cardlogic_test::Messages;
using kest_sim::LiveCard;
using kest_sim::LiveCardOptions;
namespace R = Kest_U50::Reg;

namespace {

struct Conn {
    uint16_t server_port = 0;
    std::unique_ptr<wire::Reassembler> r;
    uint32_t isn = 0;
    size_t keepalives = 0;
};

// The host's view of the mirrored traffic: frames grouped by client port.
class Mirror {
public:
    void Take(const Messages& msgs) {
        for (const auto& m : msgs) {
            ASSERT_EQ(cardlogic_test::Kind(m), static_cast<uint32_t>(DMA_TCP));
            ASSERT_EQ(cardlogic_test::At<uint32_t>(m, 4), m.size());
            ASSERT_GT(m.size(), DMA_TCP_FRAME_OFFSET + 34);
            const auto p = wire::ParseFrame(m.data() + DMA_TCP_FRAME_OFFSET, m.size() - DMA_TCP_FRAME_OFFSET);
            ASSERT_TRUE(p.ok);
            ++frames;
            if (p.ip_p != 6 || (p.sport != 33022 && p.sport != 22000)) {
                ++foreign;
                continue;
            }
            Conn& c = conns[p.dport];
            if (p.payload_size == 0) {
                ++c.keepalives;
                continue;
            }
            if (!c.r) {
                c.server_port = p.sport;
                c.isn = p.seq;
                c.r.reset(new wire::Reassembler(p.seq));
            }
            ASSERT_TRUE(c.r->Add(p.seq, p.payload, static_cast<size_t>(p.payload_size)));
        }
    }
    // Complete snapshots by topic id: the connection's whole stream, ended
    // by a final message.
    std::map<int16_t, std::vector<uint16_t>> Complete() const {
        std::map<int16_t, std::vector<uint16_t>> out;
        for (const auto& [port, c] : conns) {
            if (!c.r || !c.r->Complete()) continue;
            std::vector<wire::Message> msgs;
            if (!wire::SplitMessages(c.r->Bytes(), msgs) || msgs.empty() || msgs.back().flag != 0x01)
                continue;
            out[wire::Load<int16_t>(msgs[0].fields[0].payload, 0)].push_back(port);
        }
        return out;
    }
    size_t frames = 0, foreign = 0;
    std::map<uint16_t, Conn> conns;
};

class SnapshotPhase : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(kest_sim::CreateCard(0), 0);
        host_.reset(new cardsim_test::Host(0));
        ASSERT_TRUE(host_->ok());
        ch0_.reset(new Channel(host_->acc(), 0));
        ASSERT_TRUE(ch0_->ok());
        opt_.seed = 5;
        opt_.shfe_size = 300;
        opt_.ine_size = 120;
        opt_.free_run = false;
        opt_.round_interval_ms = 200;
        opt_.keepalive_interval_ms = 5;
    }
    void TearDown() override {
        card_.reset();
        ch0_.reset();
        host_.reset();
        kest_sim::RemoveCard(0);
    }
    // Drains channel 0 until `done` holds (or a minute passes, on a machine
    // far slower than any this runs on).
    template <typename Done>
    bool DrainUntil(Mirror& m, Done done) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (std::chrono::steady_clock::now() < deadline) {
            m.Take(ch0_->Drain());
            if (::testing::Test::HasFatalFailure()) return false;
            if (done()) return true;
            usleep(1000);
        }
        return false;
    }

    LiveCardOptions opt_;
    std::unique_ptr<cardsim_test::Host> host_;
    std::unique_ptr<Channel> ch0_;
    std::unique_ptr<LiveCard> card_;
};

TEST_F(SnapshotPhase, MirroredConnectionsCarryEveryFeedsSnapshot) {
    ASSERT_TRUE(kest_sim::ParseFaultPlan("all,loss=0.05,reorder=0.05,dup=0.05", opt_.snapshot_faults));
    card_ = LiveCard::Open(opt_);
    ASSERT_TRUE(card_);
    ASSERT_TRUE(card_->Start());
    host_->Write(R::SNAPSHOT_MODE, R::SNAPSHOT_MODE_ON);
    Mirror m;
    ASSERT_TRUE(DrainUntil(m, [&] {
        size_t kept_alive = 0;
        for (const auto& c : m.conns) kept_alive += c.second.keepalives > 0;
        return m.Complete().size() == 4 && kept_alive >= 4;
    }));
    host_->Write(R::SNAPSHOT_MODE, 0);
    card_->Stop();

    const auto complete = m.Complete();
    const std::map<int16_t, std::pair<EMDQPDataType, uint16_t>> feeds = {{1000, {SHFE_2PS, 33022}},
                                                                         {1101, {SHFE_4PS, 22000}},
                                                                         {5000, {INE_2PS, 33022}},
                                                                         {5101, {INE_4PS, 22000}}};
    for (const auto& [topic, fp] : feeds) {
        ASSERT_TRUE(complete.count(topic)) << topic;
        const Conn& c = m.conns.at(complete.at(topic).front());
        EXPECT_EQ(c.server_port, fp.second) << topic;
        std::vector<wire::Message> msgs;
        ASSERT_TRUE(wire::SplitMessages(c.r->Bytes(), msgs));
        std::vector<SInstTableType> table(4096);
        std::memset(table.data(), 0, table.size() * sizeof(SInstTableType));
        int32_t max_no = -1;
        wire::ApplyFields(msgs, table, max_no);
        const kest_sim::Universe& u = card_->Exchange(fp.first);
        EXPECT_EQ(max_no, u.MaxInstNo());
        for (const auto& in : u.Instruments()) {
            const SInstTableType want = kest_sim::ExpectedEntry(in);
            ASSERT_EQ(std::memcmp(&want, &table[static_cast<size_t>(in.inst_no)], sizeof want), 0)
                << topic << " " << in.inst_id;
        }
    }
    EXPECT_GT(m.foreign, 0u);
    // Feeds sharing a server port are told apart by the client port.
    std::set<uint16_t> ports;
    for (const auto& [topic, list] : complete) ports.insert(list.begin(), list.end());
    EXPECT_GE(ports.size(), 4u);
}

TEST_F(SnapshotPhase, OnlyWhileTheHostAsksAndEachRoundOnFreshConnections) {
    card_ = LiveCard::Open(opt_);
    ASSERT_TRUE(card_);
    ASSERT_TRUE(card_->Start());
    usleep(100 * 1000);
    EXPECT_EQ(card_->FramesMirrored(), 0u);
    EXPECT_TRUE(ch0_->Drain().empty());

    host_->Write(R::SNAPSHOT_MODE, R::SNAPSHOT_MODE_ON);
    Mirror m;
    ASSERT_TRUE(DrainUntil(m, [&] {
        const auto c = m.Complete();
        if (c.size() != 4) return false;
        for (const auto& kv : c) {
            if (kv.second.size() < 3) return false;
        }
        return true;
    }));
    EXPECT_GE(card_->SnapshotRounds(), 3u);
    for (const auto& kv : m.Complete()) {
        const std::set<uint16_t> distinct(kv.second.begin(), kv.second.end());
        EXPECT_EQ(distinct.size(), kv.second.size()) << "a round reused a connection of topic " << kv.first;
    }

    // Out of the snapshot phase, the mirroring stops (a frame in flight may still land).
    host_->Write(R::SNAPSHOT_MODE, 0);
    usleep(500 * 1000);
    ch0_->Drain();
    const uint64_t after = card_->FramesMirrored();
    usleep(300 * 1000);
    EXPECT_EQ(card_->FramesMirrored(), after);
    EXPECT_TRUE(ch0_->Drain().empty());
    card_->Stop();
}

TEST_F(SnapshotPhase, OnlyTheConfiguredFeedsAreMirrored) {
    opt_.snapshot_feeds = 0x02;
    opt_.topic_ids[SHFE_4PS] = 1234;
    opt_.snapshot_ports[SHFE_4PS] = 22000;
    card_ = LiveCard::Open(opt_);
    ASSERT_TRUE(card_);
    ASSERT_TRUE(card_->Start());
    host_->Write(R::SNAPSHOT_MODE, R::SNAPSHOT_MODE_ON);
    Mirror m;
    ASSERT_TRUE(DrainUntil(m, [&] { return m.Complete().count(1234) > 0; }));
    host_->Write(R::SNAPSHOT_MODE, 0);
    card_->Stop();
    const auto complete = m.Complete();
    EXPECT_EQ(complete.size(), 1u);
    for (const auto& [port, c] : m.conns) {
        if (c.r) {
            EXPECT_EQ(c.server_port, 22000);
        }
    }
}

TEST_F(SnapshotPhase, ANewBringUpMirrorsTheExchangeAsItIsNow) {
    card_ = LiveCard::Open(opt_);
    ASSERT_TRUE(card_);
    ASSERT_TRUE(card_->Start());
    // A running 2ps block with SHFE 2ps live: the exchange moves on.
    host_->Write(cardlogic_test::IpA(SHFE_2PS), 0xEF032A47u);
    host_->Write(R::SNAPSHOT_MODE, 0);
    host_->Write(R::LOGIC_START_2PS, 1);
    ASSERT_EQ(card_->Step(50), 50u);
    // The host starts over.
    host_->Write(R::CARD_START, 1);
    host_->Write(R::SNAPSHOT_MODE, R::SNAPSHOT_MODE_ON);
    Mirror m;
    ASSERT_TRUE(DrainUntil(m, [&] { return m.Complete().count(1000) > 0; }));
    host_->Write(R::SNAPSHOT_MODE, 0);
    card_->Stop();
    EXPECT_FALSE(card_->BlockRunning(0));

    const Conn& c = m.conns.at(m.Complete().at(1000).front());
    std::vector<wire::Message> msgs;
    ASSERT_TRUE(wire::SplitMessages(c.r->Bytes(), msgs));
    ASSERT_GE(msgs[0].fields.size(), 2u);
    ASSERT_EQ(msgs[0].fields[1].id, 0x1004);
    EXPECT_EQ(wire::Load<int32_t>(msgs[0].fields[1].payload, 0), 50)
        << "the last packet the snapshot reflects";
    std::vector<SInstTableType> table(4096);
    std::memset(table.data(), 0, table.size() * sizeof(SInstTableType));
    int32_t max_no = -1;
    wire::ApplyFields(msgs, table, max_no);
    const kest_sim::Universe& now = card_->Exchange(SHFE_2PS);
    const kest_sim::Universe start = kest_sim::Universe::Make(SHFE_2PS, opt_.seed, opt_.shfe_size);
    int moved = 0;
    for (const auto& in : now.Instruments()) {
        const SInstTableType want = kest_sim::ExpectedEntry(in);
        ASSERT_EQ(std::memcmp(&want, &table[static_cast<size_t>(in.inst_no)], sizeof want), 0) << in.inst_id;
        moved += in.change_no != start.At(in.inst_no).change_no;
    }
    EXPECT_GT(moved, 0);
}

}  // namespace
