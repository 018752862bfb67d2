#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>

#include "WireReader.h"
#include "exchangesim/MdqpEncoder.h"
#include "exchangesim/TcpSegmenter.h"

using kest_sim::ConnectionParams;
using kest_sim::FaultPlan;
using kest_sim::Frame;
using kest_sim::FrameKind;
using kest_sim::SegmentedConnection;
using kest_sim::TcpSegmenter;

namespace {

const kest_sim::EncodedSnapshot& Snapshot() {
    static const kest_sim::EncodedSnapshot snap = [] {
        kest_sim::EncoderOptions o;
        o.big_message = true;
        o.skipped_fields = true;
        o.unknown_field = true;
        return kest_sim::EncodeSnapshot(kest_sim::Universe::Make(SHFE_2PS, 4, 900), o);
    }();
    return snap;
}

bool Ours(const wire::ParsedFrame& p, const ConnectionParams& c) {
    return p.ip_p == 6 && p.sport == c.server_port && p.dport == c.client_port;
}

// What a receiver that only observes the segments (and keeps at most
// `window` of them ahead of a hole) goes through. Returns false, with a
// reason, as soon as such a receiver would lose the stream.
bool ReceiverKeepsUp(const std::vector<Frame>& frames, const ConnectionParams& c, int window,
                     std::string& why) {
    bool opened = false;
    uint32_t next = 0;
    std::map<uint32_t, uint32_t> held;  // relative seq -> size
    int inserted = 0;
    for (const Frame& f : frames) {
        const auto p = wire::ParseFrame(f.bytes.data(), f.bytes.size());
        if (!Ours(p, c) || p.payload_size == 0) continue;
        const uint32_t rel = p.seq - c.initial_seq;
        if (!opened) {
            if (rel != 0) return why = "first segment is not the stream's start", false;
            if (p.payload_size <= 44) return why = "first segment too short", false;
            opened = true;
            next = static_cast<uint32_t>(p.payload_size);
            continue;
        }
        if (rel == next) {
            next += static_cast<uint32_t>(p.payload_size);
            while (!held.empty() && held.begin()->first <= next) {
                if (held.begin()->first == next) next += held.begin()->second;
                held.erase(held.begin());
            }
            if (held.empty()) inserted = 0;
        } else if (rel > next) {
            if (!held.empty() && inserted > window - 1) return why = "more than window segments held", false;
            if (held.emplace(rel, static_cast<uint32_t>(p.payload_size)).second) ++inserted;
        }
    }
    if (!held.empty()) return why = "segments still held at the end", false;
    return true;
}

struct Case {
    const char* name;
    const char* plan;
};

class FaultCases : public ::testing::TestWithParam<Case> {};

TEST_P(FaultCases, FramesReassembleToTheStream) {
    FaultPlan plan;
    std::string err;
    ASSERT_TRUE(kest_sim::ParseFaultPlan(GetParam().plan, plan, &err)) << err;
    for (uint64_t seed = 1; seed <= 6; ++seed) {
        plan.seed = seed;
        ConnectionParams c;
        c.client_port = static_cast<uint16_t>(45000 + seed);
        c.initial_seq = seed == 3 ? 0xFFFFFF00u : static_cast<uint32_t>(seed * 7777777);
        const SegmentedConnection sc = TcpSegmenter(c, plan).Segment(Snapshot().bytes);
        ASSERT_FALSE(sc.reset);
        EXPECT_EQ(sc.stream_bytes, Snapshot().bytes.size());
        EXPECT_EQ(sc.next_seq, c.initial_seq + static_cast<uint32_t>(Snapshot().bytes.size()));
        wire::Reassembler r(c.initial_seq);
        size_t data_frames = 0;
        for (const Frame& f : sc.frames) {
            const auto p = wire::ParseFrame(f.bytes.data(), f.bytes.size());
            ASSERT_TRUE(p.ok);
            if (f.kind == FrameKind::kForeign) {
                EXPECT_FALSE(Ours(p, c));
                continue;
            }
            ASSERT_TRUE(Ours(p, c));
            EXPECT_EQ(p.seq, f.seq);
            EXPECT_EQ(static_cast<uint32_t>(p.payload_size), f.payload_size);
            EXPECT_LE(p.payload_size, c.mss);
            ASSERT_TRUE(r.Add(p.seq, p.payload, static_cast<size_t>(p.payload_size)));
            ++data_frames;
        }
        EXPECT_GE(data_frames, sc.segments);
        ASSERT_TRUE(r.Complete());
        EXPECT_EQ(r.Bytes(), Snapshot().bytes) << GetParam().name << " seed " << seed;
        std::string why;
        EXPECT_TRUE(ReceiverKeepsUp(sc.frames, c, plan.window, why)) << GetParam().name << ": " << why;
    }
}

INSTANTIATE_TEST_SUITE_P(Plans, FaultCases,
                         ::testing::Values(Case{"clean", "none"}, Case{"reorder", "reorder=0.2"},
                                           Case{"duplicates", "dup=0.2"}, Case{"loss", "loss=0.1"},
                                           Case{"small_window", "loss=0.2,reorder=0.2,dup=0.2,window=4"},
                                           Case{"awkward", "awkward"}, Case{"tiny", "awkward,tiny"},
                                           Case{"foreign", "foreign=0.3"}, Case{"options", "ipopt,tcpopt"},
                                           Case{"all", "all,loss=0.08,reorder=0.08,dup=0.08"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(TcpSegmenter, HeadersLengthsAndPadding) {
    FaultPlan plan;
    ASSERT_TRUE(kest_sim::ParseFaultPlan("all,awkward,tiny,seed=9", plan));
    ConnectionParams c;
    const SegmentedConnection sc = TcpSegmenter(c, plan).Segment(Snapshot().bytes);
    bool ip_options = false, tcp_options = false, short_frame = false;
    for (const Frame& f : sc.frames) {
        const auto p = wire::ParseFrame(f.bytes.data(), f.bytes.size());
        ASSERT_TRUE(p.ok);
        EXPECT_EQ(p.ethertype, 0x0800);
        EXPECT_GE(p.ip_hl, 5);
        EXPECT_TRUE(p.ip_checksum_ok);
        // The frame is the IP packet, padded to 60 bytes when shorter.
        EXPECT_EQ(f.bytes.size(), std::max<size_t>(60, 14u + p.ip_len));
        for (size_t k = 14u + p.ip_len; k < f.bytes.size(); ++k) ASSERT_EQ(f.bytes[k], 0) << "padding";
        short_frame = short_frame || 14u + p.ip_len < 60;
        if (!Ours(p, c)) continue;
        ip_options = ip_options || p.ip_hl > 5;
        tcp_options = tcp_options || p.doff > 5;
        EXPECT_GE(p.doff, 5);
        EXPECT_TRUE(p.tcp_checksum_ok);
        EXPECT_EQ(p.payload_size, static_cast<int32_t>(p.ip_len) - 4 * p.ip_hl - 4 * p.doff);
        EXPECT_TRUE(p.flags & kest_sim::kTcpAck);
        EXPECT_EQ(p.ip_src, c.server_ip);
        EXPECT_EQ(p.ip_dst, c.client_ip);
        EXPECT_LE(f.bytes.size(), 1600u);  // fits a receiver's 1600-byte out-of-order slot
    }
    EXPECT_TRUE(ip_options);
    EXPECT_TRUE(tcp_options);
    EXPECT_TRUE(short_frame);
}

TEST(TcpSegmenter, AwkwardSplitsEnterHeadersAtEveryDepth) {
    FaultPlan plan;
    plan.awkward_splits = true;
    ConnectionParams c;
    const SegmentedConnection sc = TcpSegmenter(c, plan).Segment(Snapshot().bytes);
    std::set<size_t> starts;
    for (const auto& m : Snapshot().messages) starts.insert(m.offset);
    std::set<size_t> depths;
    size_t first_size = 0;
    for (const Frame& f : sc.frames) {
        if (f.stream_offset == 0) first_size = f.payload_size;
        // Depth of this segment's start into the message it falls in.
        auto it = starts.upper_bound(f.stream_offset);
        const size_t depth = f.stream_offset - *std::prev(it);
        if (depth <= 8) depths.insert(depth);
        // Without `tiny`, a segment that starts a message carries at least
        // the flag and the type bytes.
        if (depth == 0 && f.stream_offset + f.payload_size < Snapshot().bytes.size()) {
            EXPECT_GE(f.payload_size, 2u);
        }
    }
    for (size_t k = 0; k <= 8; ++k)
        EXPECT_TRUE(depths.count(k)) << "no segment starts " << k << " bytes into a header";
    // The opening segment holds the whole first message and more than 44 bytes.
    EXPECT_GT(first_size, 44u);
    EXPECT_GT(first_size, Snapshot().messages[0].size);

    plan.tiny_segments = true;
    const SegmentedConnection tiny = TcpSegmenter(c, plan).Segment(Snapshot().bytes);
    bool one_byte_at_start = false;
    for (const Frame& f : tiny.frames)
        one_byte_at_start |= f.payload_size == 1 && starts.count(f.stream_offset);
    EXPECT_TRUE(one_byte_at_start);
}

TEST(TcpSegmenter, ResetCutsTheConnection) {
    FaultPlan plan;
    plan.rst = true;
    ConnectionParams c;
    c.initial_seq = 5000;
    const SegmentedConnection sc = TcpSegmenter(c, plan).Segment(Snapshot().bytes);
    ASSERT_TRUE(sc.reset);
    ASSERT_GT(sc.stream_bytes, 0u);
    ASSERT_LT(sc.stream_bytes, Snapshot().bytes.size());
    const Frame& last =
        sc.frames.back().kind == FrameKind::kForeign ? sc.frames[sc.frames.size() - 2] : sc.frames.back();
    const auto p = wire::ParseFrame(last.bytes.data(), last.bytes.size());
    EXPECT_EQ(p.flags & (kest_sim::kTcpRst | kest_sim::kTcpAck), kest_sim::kTcpRst | kest_sim::kTcpAck);
    EXPECT_EQ(p.seq, c.initial_seq + sc.stream_bytes);
    EXPECT_EQ(p.payload_size, 0);
    wire::Reassembler r(c.initial_seq);
    for (const Frame& f : sc.frames) {
        const auto q = wire::ParseFrame(f.bytes.data(), f.bytes.size());
        if (Ours(q, c) && q.payload_size > 0) {
            ASSERT_TRUE(r.Add(q.seq, q.payload, static_cast<size_t>(q.payload_size)));
        }
    }
    ASSERT_TRUE(r.Complete());
    ASSERT_EQ(r.Bytes().size(), sc.stream_bytes);
    EXPECT_TRUE(std::equal(r.Bytes().begin(), r.Bytes().end(), Snapshot().bytes.begin()));
}

TEST(TcpSegmenter, ForeignFramesCoverOtherProtocolsAndPorts) {
    FaultPlan plan;
    plan.foreign = 0.5;
    ConnectionParams c;
    const SegmentedConnection sc = TcpSegmenter(c, plan).Segment(Snapshot().bytes);
    std::set<int> protocols;
    bool client_ack = false, other_port = false;
    for (const Frame& f : sc.frames) {
        if (f.kind != FrameKind::kForeign) continue;
        const auto p = wire::ParseFrame(f.bytes.data(), f.bytes.size());
        ASSERT_TRUE(p.ok);
        protocols.insert(p.ip_p);
        if (p.ip_p == 6) {
            EXPECT_NE(p.sport, c.server_port);
            client_ack |= p.sport == c.client_port && p.dport == c.server_port;
            other_port |= p.sport != c.client_port;
        }
    }
    for (int proto : {1, 2, 6, 17, 47}) EXPECT_TRUE(protocols.count(proto)) << proto;
    EXPECT_TRUE(client_ack);
    EXPECT_TRUE(other_port);
}

TEST(TcpSegmenter, DeterministicForASeed) {
    FaultPlan plan;
    ASSERT_TRUE(kest_sim::ParseFaultPlan("all,seed=5", plan));
    ConnectionParams c;
    const auto a = TcpSegmenter(c, plan).Segment(Snapshot().bytes);
    const auto b = TcpSegmenter(c, plan).Segment(Snapshot().bytes);
    ASSERT_EQ(a.frames.size(), b.frames.size());
    for (size_t i = 0; i < a.frames.size(); ++i) ASSERT_EQ(a.frames[i].bytes, b.frames[i].bytes);
    plan.seed = 6;
    const auto d = TcpSegmenter(c, plan).Segment(Snapshot().bytes);
    bool differ = d.frames.size() != a.frames.size();
    for (size_t i = 0; !differ && i < a.frames.size(); ++i) differ = a.frames[i].bytes != d.frames[i].bytes;
    EXPECT_TRUE(differ);
}

TEST(TcpSegmenter, DmaMessageAndKeepAlive) {
    ConnectionParams c;
    c.initial_seq = 10;
    const TcpSegmenter seg(c, FaultPlan{});
    const Frame ka = seg.KeepAlive(0);  // wraps to 0xFFFFFFFF
    const auto p = wire::ParseFrame(ka.bytes.data(), ka.bytes.size());
    EXPECT_EQ(p.payload_size, 0);
    EXPECT_EQ(p.seq, 0xFFFFFFFFu);
    EXPECT_EQ(p.sport, c.server_port);
    EXPECT_EQ(p.flags, kest_sim::kTcpAck);
    EXPECT_EQ(ka.bytes.size(), 60u);

    const std::vector<uint8_t> msg = kest_sim::ToDmaMessage(ka.bytes);
    ASSERT_EQ(msg.size(), 12 + ka.bytes.size());
    EXPECT_EQ(wire::Load<uint32_t>(msg, 0), 2u);
    EXPECT_EQ(wire::Load<uint32_t>(msg, 4), msg.size());
    EXPECT_TRUE(std::equal(ka.bytes.begin(), ka.bytes.end(), msg.begin() + 12));
    uint8_t small[40];
    EXPECT_EQ(kest_sim::WriteDmaMessage(ka.bytes, small, sizeof small), 0u);
}

TEST(FaultPlanText, ParsesAndRejects) {
    FaultPlan p;
    std::string err;
    ASSERT_TRUE(kest_sim::ParseFaultPlan(
        "reorder=0.5,dup=0.25,loss=0.125,window=7,awkward,rst,foreign=0.1,seed=3", p, &err));
    EXPECT_DOUBLE_EQ(p.reorder, 0.5);
    EXPECT_DOUBLE_EQ(p.duplicate, 0.25);
    EXPECT_DOUBLE_EQ(p.loss, 0.125);
    EXPECT_EQ(p.window, 7);
    EXPECT_TRUE(p.awkward_splits && p.rst);
    EXPECT_EQ(p.seed, 3u);
    FaultPlan q;
    ASSERT_TRUE(kest_sim::ParseFaultPlan(kest_sim::FormatFaultPlan(p), q, &err)) << err;
    EXPECT_EQ(kest_sim::FormatFaultPlan(q), kest_sim::FormatFaultPlan(p));
    EXPECT_FALSE(kest_sim::ParseFaultPlan("loss=2", p, &err));
    EXPECT_FALSE(kest_sim::ParseFaultPlan("bogus", p, &err));
    EXPECT_FALSE(kest_sim::ParseFaultPlan("window=x", p, &err));
    ASSERT_TRUE(kest_sim::ParseFaultPlan("none", p));
    EXPECT_FALSE(p.Any());
}

}  // namespace
