#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "WireReader.h"
#include "exchangesim/MdqpEncoder.h"
#include "exchangesim/TcpSegmenter.h"

using kest_sim::ConnectionParams;
using kest_sim::FaultPlan;
using kest_sim::Frame;
using kest_sim::FrameKind;

namespace {

const kest_sim::EncodedSnapshot& Snapshot() {
    static const kest_sim::EncodedSnapshot snap = [] {
        kest_sim::EncoderOptions o;
        o.big_message = o.skipped_fields = o.unknown_field = true;
        return kest_sim::EncodeSnapshot(kest_sim::Universe::Make(SHFE_2PS, 4, 900), o);
    }();
    return snap;
}
const std::vector<uint8_t>& Stream() { return Snapshot().bytes; }

class FaultCases : public ::testing::TestWithParam<const char*> {};

// Under every fault plan the frames are well-formed padded IPv4/TCP that rebuild the stream (up to the
// reset).
TEST_P(FaultCases, FramesAreWellFormedAndRebuildTheStream) {
    for (uint32_t seed = 1; seed <= 6; ++seed) {
        SCOPED_TRACE(seed);
        ConnectionParams c;
        c.client_port = static_cast<uint16_t>(45000 + seed);
        c.initial_seq = seed == 3 ? 0xFFFFFF00u : seed * 7777777;
        FaultPlan plan;
        ASSERT_TRUE(
            kest_sim::ParseFaultPlan(GetParam() + std::string(",seed=") + std::to_string(seed), plan));
        const kest_sim::SegmentedConnection sc = kest_sim::TcpSegmenter(c, plan).Segment(Stream());
        ASSERT_EQ(sc.reset, plan.rst);
        EXPECT_EQ(sc.next_seq, c.initial_seq + static_cast<uint32_t>(sc.stream_bytes));
        wire::Connections conns({c.server_port});
        std::set<int> foreign;  // protocols, and -1 for the client's own ACKs
        bool ip_options = false, tcp_options = false;
        for (const Frame& f : sc.frames) {
            const auto p = wire::ParseFrame(f.bytes.data(), f.bytes.size());
            ASSERT_TRUE(p.ok && p.ethertype == 0x0800 && p.ip_checksum_ok);
            // The frame is the IP packet, padded with zeroes to 60 bytes when shorter.
            EXPECT_EQ(f.bytes.size(), std::max<size_t>(60, 14u + p.ip_len));
            EXPECT_TRUE(std::all_of(f.bytes.begin() + 14 + p.ip_len, f.bytes.end(),
                                    [](uint8_t b) { return b == 0; }));
            ASSERT_TRUE(conns.Take(f.bytes.data(), f.bytes.size()));
            const bool ours = p.ip_p == 6 && p.sport == c.server_port && p.dport == c.client_port;
            ASSERT_EQ(ours, f.kind != FrameKind::kForeign);
            if (!ours) {
                foreign.insert(p.ip_p == 6 && p.sport == c.client_port && p.dport == c.server_port ? -1
                                                                                                   : p.ip_p);
                continue;
            }
            ip_options |= p.ip_hl > 5;
            tcp_options |= p.doff > 5;
            EXPECT_TRUE(p.tcp_checksum_ok && (p.flags & kest_sim::kTcpAck));
            EXPECT_TRUE(p.seq == f.seq && p.payload_size == static_cast<int32_t>(f.payload_size));
            EXPECT_LE(p.payload_size, c.mss);
            EXPECT_LE(f.bytes.size(), 1600u) << "fits a receiver's 1600-byte out-of-order slot";
        }
        EXPECT_EQ(ip_options, plan.ip_options);
        EXPECT_EQ(tcp_options, plan.tcp_options);
        EXPECT_TRUE(plan.foreign < 0.3 || foreign == std::set<int>({-1, 1, 2, 6, 17, 47}))
            << "every kind of foreign frame";
        const wire::Reassembler& r = conns.streams.at(c.client_port);
        EXPECT_TRUE(r.Complete());
        EXPECT_EQ(r.Bytes(), std::vector<uint8_t>(Stream().begin(), Stream().begin() + sc.stream_bytes));
        if (sc.reset) {
            const auto p = wire::ParseFrame(sc.frames.back().bytes.data(), sc.frames.back().bytes.size());
            EXPECT_EQ(p.flags, kest_sim::kTcpRst | kest_sim::kTcpAck);
            EXPECT_EQ(p.seq, sc.next_seq);
            EXPECT_TRUE(sc.stream_bytes > 0 && sc.stream_bytes < Stream().size());
        } else {
            EXPECT_EQ(sc.stream_bytes, Stream().size());
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Plans, FaultCases,
                         ::testing::Values("none", "reorder=0.2", "dup=0.2", "loss=0.1",
                                           "loss=0.2,reorder=0.2,dup=0.2,window=4", "awkward", "awkward,tiny",
                                           "foreign=0.3", "ipopt,tcpopt", "rst",
                                           "all,awkward,tiny,loss=0.08,reorder=0.08,dup=0.08"));

TEST(TcpSegmenter, AwkwardSplitsEnterHeadersAtEveryDepth) {
    std::set<size_t> starts;
    for (const auto& m : Snapshot().messages) starts.insert(m.offset);
    for (const bool tiny : {false, true}) {
        FaultPlan plan;
        plan.awkward_splits = true;
        plan.tiny_segments = tiny;
        std::set<size_t> depths;
        bool one_byte_at_start = false;
        for (const Frame& f : kest_sim::TcpSegmenter(ConnectionParams{}, plan).Segment(Stream()).frames) {
            const size_t depth = f.stream_offset - *std::prev(starts.upper_bound(f.stream_offset));
            depths.insert(depth);
            one_byte_at_start |= depth == 0 && f.payload_size == 1;
            // The opening segment holds the whole first message.
            EXPECT_TRUE(f.stream_offset != 0 || f.payload_size > Snapshot().messages[0].size);
        }
        for (size_t k = 0; k <= 8; ++k)
            EXPECT_TRUE(depths.count(k)) << "no segment starts " << k << " bytes in";
        // Only `tiny` cuts a segment holding just a message's flag byte.
        EXPECT_EQ(one_byte_at_start, tiny);
    }
}

TEST(FaultPlanText, ParsesFormatsAndRejects) {
    FaultPlan p, q;
    ASSERT_TRUE(kest_sim::ParseFaultPlan(
        "reorder=0.5,dup=0.25,loss=0.125,window=7,awkward,rst,foreign=0.1,seed=3", p));
    EXPECT_TRUE(p.reorder == 0.5 && p.duplicate == 0.25 && p.loss == 0.125 && p.window == 7 &&
                p.foreign == 0.1 && p.awkward_splits && p.rst && !p.tiny_segments && p.seed == 3);
    ASSERT_TRUE(kest_sim::ParseFaultPlan(kest_sim::FormatFaultPlan(p), q));
    EXPECT_EQ(kest_sim::FormatFaultPlan(q), kest_sim::FormatFaultPlan(p));
    for (const char* bad : {"loss=2", "bogus", "window=x", "reorder=-0.1"}) {
        std::string err;
        EXPECT_FALSE(kest_sim::ParseFaultPlan(bad, p, &err) || err.empty()) << bad;
    }
    ASSERT_TRUE(kest_sim::ParseFaultPlan("all,none", p));
    EXPECT_FALSE(p.Any());
}

}  // namespace
