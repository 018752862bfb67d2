#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <set>

#include "WireReader.h"
#include "exchangesim/MdqpEncoder.h"

using kest_sim::EncodedSnapshot;
using kest_sim::EncoderOptions;
using kest_sim::Universe;

namespace {

struct Decoded {
    std::vector<wire::Message> msgs;
    std::vector<SInstTableType> table;
    int32_t max_inst_no = -1;
};

Decoded Decode(const EncodedSnapshot& snap) {
    Decoded d;
    EXPECT_TRUE(wire::SplitMessages(snap.bytes, d.msgs));
    d.table.resize(4096);
    std::memset(d.table.data(), 0, d.table.size() * sizeof(SInstTableType));
    wire::ApplyFields(d.msgs, d.table, d.max_inst_no);
    return d;
}

void ExpectTableMatches(const Universe& u, const Decoded& d) {
    ASSERT_EQ(d.max_inst_no, u.MaxInstNo());
    for (const auto& in : u.Instruments()) {
        const SInstTableType want = kest_sim::ExpectedEntry(in);
        const SInstTableType& got = d.table[static_cast<size_t>(in.inst_no)];
        ASSERT_EQ(std::memcmp(&want, &got, sizeof want), 0) << in.inst_id;
        // And straight against the universe's integers.
        ASSERT_EQ(got.last_price, in.has_last_price ? in.last_price : 0) << in.inst_id;
        ASSERT_EQ(got.bid1_price, in.bid_levels ? in.bid[0].price : 0) << in.inst_id;
        ASSERT_EQ(got.ask1_vol, in.ask_levels ? in.ask[0].volume : 0u) << in.inst_id;
    }
}

TEST(MdqpEncoder, StreamHasTheSnapshotShape) {
    const Universe u = Universe::Make(SHFE_2PS, 11, 600);
    EncoderOptions o;
    o.topic_id = 1000;
    o.snap_no = 17;
    o.packet_no = 4242;
    const EncodedSnapshot snap = kest_sim::EncodeSnapshot(u, o);
    const Decoded d = Decode(snap);
    ASSERT_GE(d.msgs.size(), 3u);
    ASSERT_EQ(d.msgs.size(), snap.messages.size());

    const wire::Message& first = d.msgs[0];
    EXPECT_EQ(first.flag, 0x11);
    ASSERT_GE(first.fields.size(), 2u);
    EXPECT_EQ(first.fields[0].id, 0x1001);
    ASSERT_EQ(first.fields[0].payload.size(), 6u);
    EXPECT_EQ(wire::Load<int16_t>(first.fields[0].payload, 0), 1000);
    EXPECT_EQ(wire::Load<int32_t>(first.fields[0].payload, 2), 17);
    EXPECT_EQ(first.fields[1].id, 0x1004);
    ASSERT_EQ(first.fields[1].payload.size(), 4u);
    EXPECT_EQ(wire::Load<int32_t>(first.fields[1].payload, 0), 4242);

    size_t offset = 0;
    std::set<int32_t> seen;
    for (size_t i = 0; i < d.msgs.size(); ++i) {
        const wire::Message& m = d.msgs[i];
        EXPECT_EQ(m.type_id, '2');
        EXPECT_EQ(m.flag, i + 1 == d.msgs.size() ? 0x01 : 0x11) << i;
        EXPECT_EQ(snap.messages[i].offset, offset);
        EXPECT_EQ(snap.messages[i].size, m.length + 8u);
        offset += m.length + 8u;
        // Per instrument: 0x0101, 0x0102, bids best first, then asks best first.
        int32_t cur = -1;
        int stage = 0;  // 1 info, 2 deal, 3 bids, 4 asks
        double prev = 0;
        for (const auto& f : m.fields) {
            if (f.id == 0x0101) {
                ASSERT_EQ(f.payload.size(), sizeof(inst_info_t));
                cur = wire::Load<int32_t>(f.payload, 108);
                EXPECT_TRUE(seen.insert(cur).second) << cur;
                stage = 1;
            } else if (f.id == 0x0102) {
                ASSERT_EQ(f.payload.size(), sizeof(deal_info_t));
                EXPECT_EQ(stage, 1);
                EXPECT_EQ(wire::Load<int32_t>(f.payload, 0), cur);
                stage = 2;
            } else if (f.id == 0x0103) {
                ASSERT_EQ(f.payload.size(), sizeof(price_detail_t));
                EXPECT_EQ(wire::Load<int32_t>(f.payload, 0), cur);
                const char dir = static_cast<char>(f.payload[4]);
                const double px = wire::Load<double>(f.payload, 5);
                if (dir == '0') {
                    EXPECT_TRUE(stage == 2 || stage == 3);
                    if (stage == 3) {
                        EXPECT_LT(px, prev);
                    }
                    stage = 3;
                } else {
                    ASSERT_EQ(dir, '1');
                    EXPECT_GE(stage, 2);
                    if (stage == 4) {
                        EXPECT_GT(px, prev);
                    }
                    stage = 4;
                }
                prev = px;
            }
        }
    }
    EXPECT_EQ(offset, snap.bytes.size());
    EXPECT_EQ(seen.size(), static_cast<size_t>(u.Size()));
    ExpectTableMatches(u, d);
}

TEST(MdqpEncoder, EveryFeedDecodesToItsUniverse) {
    for (int f = 0; f < 4; ++f) {
        const Universe u = Universe::Make(static_cast<EMDQPDataType>(f), 5);
        EncoderOptions o;
        o.seed = 5;
        o.shuffle = f % 2 == 1;
        o.instruments_in_first_message = f >= 2;
        ExpectTableMatches(u, Decode(kest_sim::EncodeSnapshot(u, o)));
    }
}

TEST(MdqpEncoder, BigMessageReachesTheLengthLimit) {
    const Universe u = Universe::Make(SHFE_4PS, 8, 1200);
    EncoderOptions o;
    o.big_message = true;
    o.skipped_fields = true;
    Decoded d = Decode(kest_sim::EncodeSnapshot(u, o));
    size_t at_limit = 0;
    for (const auto& m : d.msgs) at_limit += m.length == 65535;
    EXPECT_EQ(at_limit, 1u);
    ExpectTableMatches(u, d);

    o.skipped_fields = false;
    d = Decode(kest_sim::EncodeSnapshot(u, o));
    uint16_t longest = 0;
    for (const auto& m : d.msgs) longest = std::max(longest, m.length);
    EXPECT_GT(longest, 60000);
    ExpectTableMatches(u, d);
}

TEST(MdqpEncoder, SkippedAndUnknownFieldsWhenAsked) {
    const Universe u = Universe::Make(INE_2PS, 21, 400);
    EncoderOptions o;
    const std::set<uint16_t> known = {0x1001, 0x1004, 0x0101, 0x0102, 0x0103};
    const std::set<uint16_t> skipped = {0x0031, 0x0032, 0x0104, 0x1002, 0x1003};
    auto census = [&](const Decoded& d, size_t& skip, size_t& unknown) {
        skip = unknown = 0;
        for (const auto& m : d.msgs)
            for (const auto& f : m.fields) {
                if (skipped.count(f.id))
                    ++skip;
                else if (!known.count(f.id))
                    ++unknown;
            }
    };
    size_t skip, unknown;
    census(Decode(kest_sim::EncodeSnapshot(u, o)), skip, unknown);
    EXPECT_EQ(skip, 0u);
    EXPECT_EQ(unknown, 0u);
    o.skipped_fields = true;
    o.unknown_field = true;
    const Decoded d = Decode(kest_sim::EncodeSnapshot(u, o));
    census(d, skip, unknown);
    EXPECT_GT(skip, 10u);
    EXPECT_EQ(unknown, 1u);
    ExpectTableMatches(u, d);
}

TEST(MdqpEncoder, FinalMessageVariants) {
    const Universe u = Universe::Make(SHFE_2PS, 2, 50);
    EncoderOptions o;
    o.empty_final_message = true;
    o.packet_no_at_end = true;
    o.packet_no = 99;
    const EncodedSnapshot snap = kest_sim::EncodeSnapshot(u, o);
    const Decoded d = Decode(snap);
    const wire::Message& last = d.msgs.back();
    EXPECT_EQ(last.flag, 0x01);
    ASSERT_EQ(last.fields.size(), 1u);
    EXPECT_EQ(last.fields[0].id, 0x1004);
    EXPECT_EQ(wire::Load<int32_t>(last.fields[0].payload, 0), 99);
    EXPECT_EQ(last.length, 8u);  // the field ends exactly at the message's end
    EXPECT_TRUE(snap.messages.back().inst_nos.empty());
    ExpectTableMatches(u, d);
}

TEST(MdqpEncoder, DeterministicForASeed) {
    const Universe u = Universe::Make(SHFE_2PS, 2, 500);
    EncoderOptions o;
    o.seed = 77;
    o.skipped_fields = true;
    const auto a = kest_sim::EncodeSnapshot(u, o), b = kest_sim::EncodeSnapshot(u, o);
    EXPECT_EQ(a.bytes, b.bytes);
    o.seed = 78;
    const auto c = kest_sim::EncodeSnapshot(u, o);
    EXPECT_NE(a.bytes, c.bytes);
}

TEST(MdqpEncoder, InstrumentInformationCarriesTheFullIdentifier) {
    kest_sim::UniverseOptions uo;
    uo.size = 40;
    uo.long_ids = 3;
    const Universe u = Universe::Make(uo);
    const Decoded d = Decode(kest_sim::EncodeSnapshot(u, EncoderOptions{}));
    std::map<int32_t, std::string> ids;
    for (const auto& m : d.msgs)
        for (const auto& f : m.fields)
            if (f.id == 0x0101) {
                ids[wire::Load<int32_t>(f.payload, 108)] =
                    std::string(reinterpret_cast<const char*>(f.payload.data()),
                                strnlen(reinterpret_cast<const char*>(f.payload.data()), 31));
            }
    for (const auto& in : u.Instruments()) EXPECT_EQ(ids[in.inst_no], in.inst_id);
    ExpectTableMatches(u, d);
}

}  // namespace
