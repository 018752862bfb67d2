#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <set>

#include "WireReader.h"
#include "exchangesim/SnapshotMirror.h"

using kest_sim::Frame;
using kest_sim::FrameKind;
using kest_sim::MirrorOptions;
using kest_sim::SnapshotMirror;
using kest_sim::Universe;

namespace {

struct Fixture {
    Universe u[4] = {Universe::Make(SHFE_2PS, 3, 300), Universe::Make(SHFE_4PS, 3, 300),
                     Universe::Make(INE_2PS, 3, 120), Universe::Make(INE_4PS, 3, 120)};
    const Universe* ptr[4] = {&u[0], &u[1], &u[2], &u[3]};
};

// Groups a round's snapshot-port frames by client port and reassembles each.
std::map<uint16_t, std::vector<uint8_t>> Streams(const std::vector<Frame>& frames, const MirrorOptions& o,
                                                 std::map<uint16_t, uint16_t>* server_port_of = nullptr) {
    std::map<uint16_t, uint32_t> isn;
    std::map<uint16_t, wire::Reassembler> rs;
    for (const Frame& f : frames) {
        const auto p = wire::ParseFrame(f.bytes.data(), f.bytes.size());
        EXPECT_TRUE(p.ok);
        if (p.ip_p != 6) continue;
        bool snapshot_port = false;
        for (uint16_t sp : o.snapshot_ports) snapshot_port |= p.sport == sp;
        if (!snapshot_port || p.payload_size == 0) continue;
        if (!isn.count(p.dport)) {
            isn[p.dport] = p.seq;  // a connection's first arrival is its first byte
            rs.emplace(p.dport, wire::Reassembler(p.seq));
            if (server_port_of) (*server_port_of)[p.dport] = p.sport;
        }
        EXPECT_TRUE(rs.at(p.dport).Add(p.seq, p.payload, static_cast<size_t>(p.payload_size)));
    }
    std::map<uint16_t, std::vector<uint8_t>> out;
    for (auto& [port, r] : rs) {
        EXPECT_TRUE(r.Complete()) << port;
        out[port] = r.Bytes();
    }
    return out;
}

int16_t TopicOf(const std::vector<uint8_t>& stream) {
    std::vector<wire::Message> msgs;
    EXPECT_TRUE(wire::SplitMessages(stream, msgs));
    if (msgs.empty() || msgs[0].fields.empty() || msgs[0].fields[0].id != 0x1001) return -1;
    return wire::Load<int16_t>(msgs[0].fields[0].payload, 0);
}

TEST(SnapshotMirror, RoundCarriesEveryFeedOnItsOwnConnection) {
    Fixture fx;
    MirrorOptions o;
    o.seed = 12;
    ASSERT_TRUE(kest_sim::ParseFaultPlan("all", o.faults));
    SnapshotMirror m(fx.ptr, o);
    std::set<uint16_t> all_ports;
    for (uint32_t round = 0; round < 2; ++round) {
        std::map<uint16_t, uint16_t> server_port;
        const auto streams = Streams(m.Round(round), o, &server_port);
        ASSERT_EQ(streams.size(), 4u);
        std::set<int16_t> topics;
        for (const auto& [port, bytes] : streams) {
            EXPECT_TRUE(all_ports.insert(port).second) << "client port reused: " << port;
            const int16_t topic = TopicOf(bytes);
            topics.insert(topic);
            int feed = -1;
            for (int f = 0; f < 4; ++f)
                if (o.topic_ids[f] == topic) feed = f;
            ASSERT_GE(feed, 0);
            EXPECT_EQ(server_port[port], o.snapshot_ports[feed]);
            EXPECT_EQ(bytes, m.Encode(static_cast<EMDQPDataType>(feed), round).bytes);
            // And it decodes to that feed's universe.
            std::vector<wire::Message> msgs;
            ASSERT_TRUE(wire::SplitMessages(bytes, msgs));
            std::vector<SInstTableType> table(4096);
            std::memset(table.data(), 0, table.size() * sizeof(SInstTableType));
            int32_t max_no = -1;
            wire::ApplyFields(msgs, table, max_no);
            EXPECT_EQ(max_no, fx.u[feed].MaxInstNo());
            for (const auto& in : fx.u[feed].Instruments()) {
                const SInstTableType want = kest_sim::ExpectedEntry(in);
                ASSERT_EQ(std::memcmp(&want, &table[static_cast<size_t>(in.inst_no)], sizeof want), 0);
            }
        }
        EXPECT_EQ(topics, (std::set<int16_t>{1000, 1101, 5000, 5101}));
        EXPECT_EQ(m.KeepAlives().size(), 4u);
    }
}

TEST(SnapshotMirror, ConnectionsAreInterleavedAndMaskedFeedsSilent) {
    Fixture fx;
    MirrorOptions o;
    o.feed_mask = 0x05;  // SHFE 2ps and INE 2ps share port 33022
    SnapshotMirror m(fx.ptr, o);
    const auto frames = m.Round(0);
    int switches = 0;
    uint16_t last = 0;
    for (const Frame& f : frames) {
        if (f.kind == FrameKind::kForeign) continue;
        if (last && f.client_port != last) ++switches;
        last = f.client_port;
    }
    EXPECT_GT(switches, 10);
    const auto streams = Streams(frames, o);
    ASSERT_EQ(streams.size(), 2u);
    std::set<int16_t> topics;
    for (const auto& s : streams) topics.insert(TopicOf(s.second));
    EXPECT_EQ(topics, (std::set<int16_t>{1000, 5000}));
}

TEST(SnapshotMirror, ResetConnectionIsFollowedByAFullResend) {
    Fixture fx;
    MirrorOptions o;
    o.faults.rst = true;
    o.feed_mask = 0x01;
    SnapshotMirror m(fx.ptr, o);
    const auto frames = m.Round(0);
    int resets = 0;
    for (const Frame& f : frames) resets += f.kind == FrameKind::kReset;
    EXPECT_EQ(resets, 1);
    // Two connections: the cut one (a prefix) and the complete one.
    std::map<uint16_t, uint32_t> isn;
    std::map<uint16_t, wire::Reassembler> rs;
    for (const Frame& f : frames) {
        const auto p = wire::ParseFrame(f.bytes.data(), f.bytes.size());
        if (f.kind != FrameKind::kData && f.kind != FrameKind::kRetransmit && f.kind != FrameKind::kDuplicate)
            continue;
        if (!rs.count(p.dport)) rs.emplace(p.dport, wire::Reassembler(p.seq));
        ASSERT_TRUE(rs.at(p.dport).Add(p.seq, p.payload, static_cast<size_t>(p.payload_size)));
    }
    ASSERT_EQ(rs.size(), 2u);
    const auto full = m.Encode(SHFE_2PS, 0).bytes;
    int complete = 0;
    for (auto& [port, r] : rs) complete += r.Bytes() == full;
    EXPECT_EQ(complete, 1);
}

TEST(SnapshotMirror, WrappingSequenceNumbers) {
    Fixture fx;
    MirrorOptions o;
    o.wrap_sequence = true;
    o.feed_mask = 0x02;
    SnapshotMirror m(fx.ptr, o);
    const auto frames = m.Round(0);
    bool wrapped = false;
    uint32_t first = 0;
    bool have_first = false;
    for (const Frame& f : frames) {
        if (f.kind == FrameKind::kForeign) continue;
        if (!have_first) {
            first = f.seq;
            have_first = true;
        }
        wrapped |= f.seq < first;
    }
    EXPECT_TRUE(wrapped);
    const auto streams = Streams(frames, o);
    ASSERT_EQ(streams.size(), 1u);
    EXPECT_EQ(streams.begin()->second, m.Encode(SHFE_4PS, 0).bytes);
}

}  // namespace
