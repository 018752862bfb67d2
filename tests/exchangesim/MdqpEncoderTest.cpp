#include <gtest/gtest.h>

#include <set>
#include <tuple>

#include "WireReader.h"
#include "exchangesim/MdqpEncoder.h"

namespace {

struct Variant {
    const char* name;
    EMDQPDataType feed;
    int32_t size, long_ids;
    bool shuffle, first, big, skipped, unknown, empty_final, packet_at_end;
};

class Encoder : public ::testing::TestWithParam<Variant> {};

// Each variant decodes to its universe (fields and levels in the order the host's rules need) and
// has the snapshot's shape: opening identification and packet number, each instrument once, 0x01 last.
TEST_P(Encoder, StreamHasTheSnapshotShapeAndDecodesToTheUniverse) {
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
    const wire::Decoded d = wire::Decode(snap.bytes);
    ASSERT_TRUE(wire::MatchesUniverse(d, u));
    ASSERT_EQ(d.msgs.size(), snap.messages.size());
    ASSERT_GE(d.msgs.size(), 2u);
    const auto& open = d.msgs[0].fields;
    ASSERT_TRUE(open.size() >= 2 && open[0].payload.size() == 6 && open[1].payload.size() == 4);
    EXPECT_EQ(std::make_tuple(open[0].id, wire::Load<int16_t>(open[0].payload, 0),
                              wire::Load<int32_t>(open[0].payload, 2), open[1].id,
                              wire::Load<int32_t>(open[1].payload, 0)),
              std::make_tuple(0x1001, 1234, 17, 0x1004, 4242));

    const std::set<uint16_t> known = {0x1001, 0x1004, 0x0101, 0x0102, 0x0103};
    const std::set<uint16_t> skippable = {0x0031, 0x0032, 0x0104, 0x1002, 0x1003};
    size_t offset = 0, skipped = 0, unknown = 0, at_limit = 0, longest = 0;
    std::set<int32_t> seen;
    for (size_t i = 0; i < d.msgs.size(); ++i) {
        SCOPED_TRACE(i);
        const wire::Message& m = d.msgs[i];
        EXPECT_EQ(m.type_id, '2');
        EXPECT_EQ(m.flag, i + 1 == d.msgs.size() ? 0x01 : 0x11);
        EXPECT_EQ(snap.messages[i].offset, offset);
        EXPECT_EQ(snap.messages[i].size, m.length + 8u);
        offset += m.length + 8u;
        at_limit += m.length == 65535;
        longest = std::max<size_t>(longest, m.length);
        std::vector<int32_t> insts;
        for (const auto& f : m.fields) {
            skipped += skippable.count(f.id);
            unknown += !skippable.count(f.id) && !known.count(f.id);
            if (f.id != 0x0101) continue;
            insts.push_back(wire::Load<int32_t>(f.payload, 108));
            EXPECT_TRUE(seen.insert(insts.back()).second) << insts.back();
            // The identifier field holds the whole identifier, up to 31 characters.
            const char* id = reinterpret_cast<const char*>(f.payload.data());
            EXPECT_EQ(std::string(id, strnlen(id, 31)), u.At(insts.back()).inst_id);
        }
        EXPECT_EQ(insts, snap.messages[i].inst_nos);
    }
    EXPECT_EQ(offset, snap.bytes.size());
    EXPECT_EQ(skipped > 10, v.skipped);
    EXPECT_EQ(unknown, v.unknown ? 1u : 0u);
    // With fields to pad it, one message fills the 65535-byte length exactly.
    EXPECT_EQ(at_limit, v.big && v.skipped ? 1u : 0u);
    EXPECT_EQ(longest > 60000, v.big);
    const wire::Message& last = d.msgs.back();
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
    Variant{"shfe4ps",        SHFE_4PS, 0,    0,   true,   false, false, false, false,  false, false},
    Variant{"ine2ps",         INE_2PS,  0,    0,   false,  true,  false, false, false,  false, false},
    Variant{"ine4ps",         INE_4PS,  0,    0,   true,   true,  false, false, false,  false, false},
    Variant{"big_padded",     SHFE_4PS, 1200, 0,   false,  false, true,  true,  false,  false, false},
    Variant{"big",            SHFE_4PS, 1200, 0,   false,  false, true,  false, false,  false, false},
    Variant{"skip_unknown",   INE_2PS,  400,  0,   false,  false, false, true,  true,   false, false},
    Variant{"final_variants", SHFE_2PS, 50,   0,   false,  false, false, false, false,  true,  true},
    Variant{"long_ids",       SHFE_2PS, 40,   3,   false,  false, false, false, false,  false, false}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

}  // namespace
