// What the simulated exchange makes: universes, snapshot messages, TCP segments under fault plans, the
// two lines of the live feed; checked with readers written from the wire formats.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <tuple>

#include "WireReader.h"
#include "exchangesim/LiveFeed.h"
#include "exchangesim/MdqpEncoder.h"
#include "exchangesim/SnapshotMirror.h"
#include "exchangesim/TcpSegmenter.h"

using kest_sim::ConnectionParams;
using kest_sim::FaultPlan;
using kest_sim::Frame;
using kest_sim::LiveFeed;
using kest_sim::Universe;

namespace {

TEST(Universe, SizedUniqueWithOrderedBooksAndTheAwkwardCases) {
    const std::tuple<EMDQPDataType, int32_t, int32_t> sizes[] = {{SHFE_2PS, 0, 4000},
                                                                 {INE_4PS, 0, 900},
                                                                 {SHFE_2PS, 250, 250},
                                                                 {SHFE_4PS, 9000, 4096},
                                                                 {INE_2PS, 5000, 1024}};
    for (auto [feed, asked, want] : sizes) {
        SCOPED_TRACE(std::string(kest_sim::FeedName(feed)) + " " + std::to_string(asked));
        const Universe u = Universe::Make(feed, 7, asked);
        EXPECT_EQ(u.Size(), want);
        std::set<std::string> ids;
        int awkward[5] = {};  // no last price, no codec price, no turnover, empty book, short book
        for (int32_t i = 0; i < u.Size(); ++i) {
            const kest_sim::Instrument& in = u.At(i);
            EXPECT_TRUE(ids.insert(in.inst_id).second) << in.inst_id;
            EXPECT_TRUE(in.ref_price > 0 && in.ref_price % in.price_tick == 0) << in.inst_id;
            // Books: best first, strictly ordered, on ticks, never crossed.
            for (int l = 0; l < in.bid_levels; ++l)
                EXPECT_TRUE(in.bid[l].price >= in.price_tick && in.bid[l].price % in.price_tick == 0 &&
                            (l == 0 || in.bid[l].price < in.bid[l - 1].price))
                    << in.inst_id;
            for (int l = 1; l < in.ask_levels; ++l)
                EXPECT_GT(in.ask[l].price, in.ask[l - 1].price) << in.inst_id;
            EXPECT_TRUE(in.bid_levels == 0 || in.ask_levels == 0 || in.bid[0].price < in.ask[0].price);
            awkward[0] += !in.has_last_price;
            awkward[1] += !in.has_codec_price;
            awkward[2] += !in.has_turnover;
            awkward[3] += in.bid_levels == 0 && in.ask_levels == 0;
            awkward[4] +=
                (in.bid_levels > 0 && in.bid_levels < 5) || (in.ask_levels > 0 && in.ask_levels < 5);
        }
        for (int n : awkward) EXPECT_TRUE(want < 4000 || n > 5) << "an awkward case is missing";
    }
}

struct Variant {
    const char* name;
    EMDQPDataType feed;
    int32_t size, long_ids;
    bool shuffle, first, big, skipped, unknown, empty_final, packet_at_end;
};

class Encoder : public ::testing::TestWithParam<Variant> {};

// Each variant has the snapshot's shape: opening identification and packet number, every instrument
// once under its whole identifier, 0x01 last. What the fields hold, for each feed, is the product's
// snapshot tests': they compare the product's tables with the universe.
TEST_P(Encoder, StreamHasTheSnapshotShapeWithEveryInstrumentOnce) {
    const Variant& v = GetParam();
    kest_sim::UniverseOptions uo;
    uo.feed = v.feed, uo.seed = 5, uo.size = v.size, uo.long_ids = v.long_ids;
    const kest_sim::Universe u = kest_sim::Universe::Make(uo);
    kest_sim::EncoderOptions o;
    o.topic_id = 1234, o.snap_no = 17, o.packet_no = 4242, o.seed = 5;
    o.shuffle = v.shuffle, o.instruments_in_first_message = v.first, o.big_message = v.big;
    o.skipped_fields = v.skipped, o.unknown_field = v.unknown, o.empty_final_message = v.empty_final;
    o.packet_no_at_end = v.packet_at_end;
    const kest_sim::EncodedSnapshot snap = kest_sim::EncodeSnapshot(u, o);
    std::vector<wire::Message> msgs;
    ASSERT_TRUE(wire::SplitMessages(snap.bytes, msgs));
    ASSERT_EQ(msgs.size(), snap.messages.size());
    ASSERT_GE(msgs.size(), 2u);
    const auto& open = msgs[0].fields;
    ASSERT_TRUE(open.size() >= 2 && open[0].payload.size() == 6 && open[1].payload.size() == 4);
    EXPECT_EQ(std::make_tuple(open[0].id, wire::Load<int16_t>(open[0].payload, 0),
                              wire::Load<int32_t>(open[0].payload, 2), open[1].id,
                              wire::Load<int32_t>(open[1].payload, 0)),
              std::make_tuple(0x1001, 1234, 17, 0x1004, 4242));

    const std::set<uint16_t> known = {0x1001, 0x1004, 0x0101, 0x0102, 0x0103};
    const std::set<uint16_t> skippable = {0x0031, 0x0032, 0x0104, 0x1002, 0x1003};
    size_t offset = 0, skipped = 0, unknown = 0, at_limit = 0, longest = 0;
    std::set<int32_t> seen;
    bool in_order = true;
    for (size_t i = 0; i < msgs.size(); ++i) {
        SCOPED_TRACE(i);
        const wire::Message& m = msgs[i];
        EXPECT_EQ(m.type_id, '2');
        EXPECT_EQ(m.flag, i + 1 == msgs.size() ? 0x01 : 0x11);
        EXPECT_EQ(snap.messages[i].offset, offset);
        offset += m.length + 8u;
        at_limit += m.length == 65535;
        longest = std::max<size_t>(longest, m.length);
        std::vector<int32_t> insts;
        for (const auto& f : m.fields) {
            skipped += skippable.count(f.id);
            unknown += !skippable.count(f.id) && !known.count(f.id);
            if (f.id != 0x0101) continue;
            ASSERT_GE(f.payload.size(), 112u);
            insts.push_back(wire::Load<int32_t>(f.payload, 108));
            in_order &= seen.empty() || insts.back() > *seen.rbegin();
            EXPECT_TRUE(seen.insert(insts.back()).second) << insts.back();
            // The identifier field holds the whole identifier, up to 31 characters.
            const char* id = reinterpret_cast<const char*>(f.payload.data());
            EXPECT_EQ(std::string(id, strnlen(id, 31)), u.At(insts.back()).inst_id);
        }
        EXPECT_EQ(insts, snap.messages[i].inst_nos);
    }
    EXPECT_EQ(offset, snap.bytes.size());
    EXPECT_EQ(seen.size(), static_cast<size_t>(u.Size()));
    EXPECT_NE(in_order, v.shuffle);
    EXPECT_EQ(!snap.messages[0].inst_nos.empty(), v.first);
    EXPECT_EQ(skipped > 10, v.skipped);
    EXPECT_EQ(unknown, v.unknown ? 1u : 0u);
    // With fields to pad it, one message fills the 65535-byte length exactly.
    EXPECT_EQ(at_limit, v.big && v.skipped ? 1u : 0u);
    EXPECT_EQ(longest > 60000, v.big);
    const wire::Message& last = msgs.back();
    EXPECT_EQ(snap.messages.back().inst_nos.empty(), v.empty_final);
    EXPECT_EQ(!last.fields.empty() && last.fields.back().id == 0x1004 &&
                  wire::Load<int32_t>(last.fields.back().payload, 0) == 4242,
              v.packet_at_end);
    EXPECT_EQ(last.length == 8, v.empty_final && v.packet_at_end) << "the number alone, ending the message";
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Variants, Encoder, ::testing::Values(
    //      name              feed      size  long shuffle first  big    skip   unknown empty  pkt_end
    Variant{"plain",          SHFE_2PS, 600,  0,   false,  false, false, false, false,  false, false},
    Variant{"shuffled_first", INE_4PS,  0,    0,   true,   true,  false, false, false,  false, false},
    Variant{"big_padded",     SHFE_4PS, 1200, 0,   false,  false, true,  true,  false,  false, false},
    Variant{"big",            SHFE_4PS, 1200, 0,   false,  false, true,  false, false,  false, false},
    Variant{"skip_unknown",   INE_2PS,  400,  0,   false,  false, false, true,  true,   false, false},
    Variant{"final_variants", SHFE_2PS, 50,   0,   false,  false, false, false, false,  true,  true},
    Variant{"long_ids",       SHFE_2PS, 40,   3,   false,  false, false, false, false,  false, false}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

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

// Under every fault plan the frames are padded IPv4/TCP with good checksums and carry the plan's faults.
// That they rebuild the stream, up to any reset, is the snapshot tests': they feed the product these
// connections under each kind of fault and compare its tables with the universe.
TEST_P(FaultCases, FramesAreWellFormedAndCarryThePlansFaults) {
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
        std::set<int> foreign;  // protocols, and -1 for the client's own ACKs
        bool ip_options = false, tcp_options = false;
        for (const Frame& f : sc.frames) {
            const auto p = wire::ParseFrame(f.bytes.data(), f.bytes.size());
            ASSERT_TRUE(p.ok && p.ethertype == 0x0800 && p.ip_checksum_ok);
            // The frame is the IP packet, padded with zeroes to 60 bytes when shorter.
            EXPECT_EQ(f.bytes.size(), std::max<size_t>(60, 14u + p.ip_len));
            EXPECT_TRUE(std::all_of(f.bytes.begin() + 14 + p.ip_len, f.bytes.end(),
                                    [](uint8_t b) { return b == 0; }));
            if (p.ip_p != 6 || p.sport != c.server_port || p.dport != c.client_port) {
                foreign.insert(p.ip_p == 6 && p.sport == c.client_port && p.dport == c.server_port ? -1
                                                                                                   : p.ip_p);
                continue;
            }
            ip_options |= p.ip_hl > 5;
            tcp_options |= p.doff > 5;
            EXPECT_TRUE(p.tcp_checksum_ok && (p.flags & kest_sim::kTcpAck) && p.payload_size <= c.mss);
            EXPECT_LE(f.bytes.size(), 1600u) << "fits a receiver's 1600-byte out-of-order slot";
        }
        EXPECT_EQ(ip_options, plan.ip_options);
        EXPECT_EQ(tcp_options, plan.tcp_options);
        EXPECT_TRUE(plan.foreign < 0.3 || foreign == std::set<int>({-1, 1, 2, 6, 17, 47}))
            << "every kind of foreign frame";
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
        const ConnectionParams c;
        for (const Frame& f : kest_sim::TcpSegmenter(c, plan).Segment(Stream()).frames) {
            const auto p = wire::ParseFrame(f.bytes.data(), f.bytes.size());
            const size_t offset = p.seq - c.initial_seq, size = static_cast<size_t>(p.payload_size);
            const size_t depth = offset - *std::prev(starts.upper_bound(offset));
            depths.insert(depth);
            one_byte_at_start |= depth == 0 && size == 1;
            // The opening segment holds the whole first message.
            EXPECT_TRUE(offset != 0 || size > Snapshot().messages[0].size);
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

// Each line loses and delays packets on its own; a packet is missing on both only as a gap.
TEST(LiveFeed, EveryPacketButTheGapsReachesALineOnceAtMostTwoPlacesLate) {
    kest_sim::LiveFeedOptions o;
    o.line_a = o.line_b = {0.3, 0.1};  // loss, reorder
    o.gap = 0.005;
    LiveFeed feed(Universe::Make(SHFE_2PS, 5, 500), o);
    std::vector<kest_sim::LiveUpdate> lines[2];
    for (uint32_t i = 1; i <= 3000; ++i) {
        if (i == 101) feed.InjectGap(3);
        EXPECT_EQ(feed.Step(1736136000000 + i, lines[0], lines[1]), i) << "numbered from 1";
    }
    feed.Flush(lines[0], lines[1]);
    std::set<uint32_t> on[2];
    size_t only[2] = {0, 0}, late = 0;
    for (int l = 0; l < 2; ++l) {
        uint32_t highest = 0;
        for (const auto& x : lines[l]) {
            EXPECT_TRUE(on[l].insert(x.packet_no).second) << "line repeats " << x.packet_no;
            late += x.packet_no < highest;
            EXPECT_LE(highest - std::min(highest, x.packet_no), 2u);
            highest = std::max(highest, x.packet_no);
        }
    }
    const std::set<uint32_t> gaps(feed.Gaps().begin(), feed.Gaps().end());
    EXPECT_TRUE(gaps.count(101) && gaps.count(102) && gaps.count(103));
    EXPECT_GT(gaps.size(), 3u);
    for (uint32_t p = 1; p <= 3000; ++p) {
        ASSERT_NE(on[0].count(p) || on[1].count(p), gaps.count(p) == 1) << "packet " << p;
        for (int l = 0; l < 2; ++l) only[l] += on[l].count(p) && !on[1 - l].count(p);
    }
    EXPECT_TRUE(only[0] > 300 && only[1] > 300 && late > 50) << only[0] << " " << only[1] << " " << late;
}

// What the exchange sends for a seed: a mirrored snapshot round (universe, encoder, segmenter).
std::string Exchange(uint64_t seed) {
    const Universe u = Universe::Make(SHFE_2PS, seed, 300);
    const Universe* all[4] = {&u, nullptr, nullptr, nullptr};
    kest_sim::MirrorOptions o;
    o.seed = seed;
    o.encoder.skipped_fields = true;
    kest_sim::ParseFaultPlan("all,seed=" + std::to_string(seed), o.faults);
    std::string out;
    for (const auto& f : kest_sim::SnapshotMirror(all, o).Round(0))
        out.append(f.bytes.begin(), f.bytes.end());
    return out;
}

// Corpora and test expectations rely on a seed giving the same output, and another seed another.
TEST(Determinism, SameSeedSameOutputOtherSeedOther) {
    EXPECT_EQ(Exchange(3), Exchange(3));
    EXPECT_NE(Exchange(3), Exchange(4));
}

}  // namespace
