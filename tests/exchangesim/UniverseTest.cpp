#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <map>
#include <set>
#include <string>

#include "exchangesim/Universe.h"

using kest_sim::Instrument;
using kest_sim::Universe;

namespace {

std::string Product(const std::string& id) {
    size_t i = 0;
    while (i < id.size() && std::isalpha(static_cast<unsigned char>(id[i]))) ++i;
    return id.substr(0, i);
}

TEST(Universe, NumbersAreDenseAndIdentifiersUnique) {
    for (int f = 0; f < 4; ++f) {
        const auto feed = static_cast<EMDQPDataType>(f);
        const Universe u = Universe::Make(feed, 42);
        EXPECT_EQ(u.Size(), kest_sim::IsIneFeed(feed) ? 900 : 4000) << kest_sim::FeedName(feed);
        std::set<std::string> ids;
        for (int32_t i = 0; i < u.Size(); ++i) {
            EXPECT_EQ(u.At(i).inst_no, i);
            EXPECT_TRUE(ids.insert(u.At(i).inst_id).second) << u.At(i).inst_id;
        }
    }
}

TEST(Universe, SizeIsConfigurableAndIneStaysWithinItsTable) {
    EXPECT_EQ(Universe::Make(SHFE_2PS, 1, 250).Size(), 250);
    EXPECT_EQ(Universe::Make(SHFE_4PS, 1, 4096).Size(), 4096);
    EXPECT_EQ(Universe::Make(SHFE_4PS, 1, 9000).Size(), 4096);
    const Universe ine = Universe::Make(INE_2PS, 1, 5000);
    EXPECT_EQ(ine.Size(), 1024);
    EXPECT_LE(ine.MaxInstNo(), 1023);
}

TEST(Universe, ProductsAndMagnitudesAreRealistic) {
    const Universe shfe = Universe::Make(SHFE_2PS, 7);
    std::map<std::string, const Instrument*> by_id;
    for (const auto& in : shfe.Instruments()) by_id[in.inst_id] = &in;
    for (const char* p : {"cu", "al", "zn", "pb", "ni", "sn", "au", "ag", "rb", "hc", "ru", "fu", "bu", "sp",
                          "ss", "ao", "br"}) {
        for (int m = 1; m <= 12; ++m) {
            char id[16];
            std::snprintf(id, sizeof id, "%s25%02d", p, m);
            EXPECT_TRUE(by_id.count(id)) << id;
        }
    }
    const Instrument& cu = *by_id.at("cu2501");
    EXPECT_EQ(cu.price_tick, 1000);  // 10 yuan
    EXPECT_GT(cu.ref_price, 6000000);
    EXPECT_LT(cu.ref_price, 8500000);
    EXPECT_EQ(cu.volume_multiple, 5);
    const Instrument& au = *by_id.at("au2502");
    EXPECT_EQ(au.price_tick, 2);  // 0.02
    EXPECT_GT(au.ref_price, 50000);
    EXPECT_LT(au.ref_price, 62000);

    int long_options = 0;
    for (const auto& in : shfe.Instruments()) {
        EXPECT_EQ(in.ref_price % in.price_tick, 0) << in.inst_id;
        EXPECT_GT(in.ref_price, 0) << in.inst_id;
        if (in.product_class == '2') {
            EXPECT_GT(in.inst_id.size(), 6u);
            EXPECT_TRUE(in.options_type == 'C' || in.options_type == 'P');
            EXPECT_EQ(in.inst_id.substr(0, 6), in.underlying_id);
            ++long_options;
        } else {
            EXPECT_EQ(in.inst_id.size(), 6u) << in.inst_id;
        }
        // Books: best first, strictly ordered, never crossed, prices on ticks.
        for (int i = 0; i < in.bid_levels; ++i) {
            EXPECT_GE(in.bid[i].price, in.price_tick);
            EXPECT_EQ(in.bid[i].price % in.price_tick, 0);
            if (i > 0) {
                EXPECT_LT(in.bid[i].price, in.bid[i - 1].price);
            }
        }
        for (int i = 1; i < in.ask_levels; ++i) {
            EXPECT_GT(in.ask[i].price, in.ask[i - 1].price);
        }
        if (in.bid_levels > 0 && in.ask_levels > 0) {
            EXPECT_LT(in.bid[0].price, in.ask[0].price) << in.inst_id;
        }
    }
    EXPECT_GT(long_options, 3000);

    const Universe ine = Universe::Make(INE_4PS, 7);
    bool sc_option = false;
    for (const auto& in : ine.Instruments()) {
        const std::string p = Product(in.inst_id);
        EXPECT_TRUE(p == "sc" || p == "lu" || p == "nr" || p == "bc" || p == "ec") << in.inst_id;
        if (in.inst_id == "sc2502") {
            EXPECT_EQ(in.price_tick, 10);
            EXPECT_GT(in.ref_price, 40000);
            EXPECT_LT(in.ref_price, 65000);
        }
        sc_option = sc_option || (p == "sc" && in.product_class == '2');
    }
    EXPECT_TRUE(sc_option);
}

TEST(Universe, HasTheAwkwardCasesTheDecoderMustHandle) {
    const Universe u = Universe::Make(SHFE_2PS, 3);
    int no_last = 0, no_codec = 0, no_turnover = 0, empty_book = 0, short_book = 0;
    for (const auto& in : u.Instruments()) {
        no_last += !in.has_last_price;
        no_codec += !in.has_codec_price;
        no_turnover += !in.has_turnover;
        empty_book += in.bid_levels == 0 && in.ask_levels == 0;
        short_book += (in.bid_levels > 0 && in.bid_levels < 5) || (in.ask_levels > 0 && in.ask_levels < 5);
    }
    EXPECT_GT(no_last, 10);
    EXPECT_GT(no_codec, 10);
    EXPECT_GT(no_turnover, 5);
    EXPECT_GT(empty_book, 10);
    EXPECT_GT(short_book, 10);
}

TEST(Universe, SameSeedSameUniverseOtherSeedOther) {
    const Universe a = Universe::Make(SHFE_4PS, 99), b = Universe::Make(SHFE_4PS, 99),
                   c = Universe::Make(SHFE_4PS, 100);
    ASSERT_EQ(a.Size(), b.Size());
    int differ = 0;
    for (int32_t i = 0; i < a.Size(); ++i) {
        EXPECT_EQ(a.At(i).inst_id, b.At(i).inst_id);
        EXPECT_EQ(a.At(i).last_price, b.At(i).last_price);
        EXPECT_EQ(a.At(i).bid[0].volume, b.At(i).bid[0].volume);
        differ += a.At(i).inst_id != c.At(i).inst_id || a.At(i).last_price != c.At(i).last_price;
    }
    EXPECT_GT(differ, a.Size() / 2);
}

TEST(Universe, LongIdentifiersWhenAsked) {
    kest_sim::UniverseOptions o;
    o.feed = SHFE_2PS;
    o.size = 300;
    o.long_ids = 4;
    const Universe u = Universe::Make(o);
    size_t longest = 0;
    int over15 = 0;
    for (const auto& in : u.Instruments()) {
        longest = std::max(longest, in.inst_id.size());
        over15 += in.inst_id.size() > 15;
    }
    EXPECT_EQ(over15, 4);
    EXPECT_LE(longest, 31u);
}

// ExpectedEntry against hand-made instruments: every rule stated once.
class ExpectedEntryTest : public ::testing::Test {
protected:
    Instrument Base() {
        Instrument in;
        in.inst_no = 5;
        in.inst_id = "cu2503";
        in.price_tick = 1000;
        in.ref_price = 7201000;
        in.volume_multiple = 5;
        in.last_price = 7203000;
        in.volume = 12;
        in.turnover = 123450;  // 1234.50
        in.open_interest = 777;
        in.change_no = 31;
        in.update_mill_sec = 500;
        in.bid_levels = 2;
        in.bid[0] = {7202000, 3};
        in.bid[1] = {7201000, 4};
        in.ask_levels = 1;
        in.ask[0] = {7204000, 9};
        return in;
    }
};

TEST_F(ExpectedEntryTest, PlainRecord) {
    const SInstTableType e = kest_sim::ExpectedEntry(Base());
    EXPECT_EQ(e.config, 0u);
    EXPECT_EQ(e.price_tick, 1000);
    EXPECT_EQ(e.codec_price, 7201000);
    EXPECT_EQ(e.vol_multiple, 5u);
    EXPECT_STREQ(e.inst_id, "cu2503");
    EXPECT_EQ(e.last_price, 7203000);
    EXPECT_EQ(static_cast<uint64_t>(e.turnover), 123450u);
    EXPECT_EQ(static_cast<uint64_t>(e.open_interest), 777u);
    EXPECT_EQ(e.volume, 12u);
    EXPECT_EQ(e.change_no, 31u);
    EXPECT_EQ(e.update_mill_sec, 500u);
    EXPECT_EQ(e.updatetime, 0u);
    EXPECT_EQ(e.bid1_price, 7202000);
    EXPECT_EQ(e.bid1_vol, 3u);
    EXPECT_EQ(e.bid2_price, 7201000);
    EXPECT_EQ(e.bid3_price, 0);
    EXPECT_EQ(e.ask1_price, 7204000);
    EXPECT_EQ(e.ask1_vol, 9u);
    EXPECT_EQ(e.ask2_price, 0);
}

TEST_F(ExpectedEntryTest, NoValueMarkersGiveZero) {
    Instrument in = Base();
    in.has_codec_price = false;
    in.has_last_price = false;
    in.has_turnover = false;
    const SInstTableType e = kest_sim::ExpectedEntry(in);
    EXPECT_EQ(e.codec_price, 0);
    EXPECT_EQ(e.last_price, 0);
    EXPECT_EQ(static_cast<uint64_t>(e.turnover), 0u);
}

TEST_F(ExpectedEntryTest, IdentifierKeepsThirtyCharacters) {
    Instrument in = Base();
    in.inst_id = "ABCDEFGHIJKLMNOPQRSTUVWXYZ01234";  // 31, fills the field
    const SInstTableType e = kest_sim::ExpectedEntry(in);
    EXPECT_EQ(std::string(e.inst_id), "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123");
}

TEST_F(ExpectedEntryTest, LevelsFillOnTopOfAPriorEntry) {
    // A prior entry with bid levels 1..3 filled: new bids land on 4, then
    // all further ones on 5, each overwriting the last.
    SInstTableType prior;
    std::memset(&prior, 0, sizeof prior);
    prior.config = 0x80000004u;
    prior.updatetime = 99;
    prior.bid1_price = 100;
    prior.bid2_price = 90;
    prior.bid3_price = 80;
    prior.ask1_price = 0;  // empty: counted free
    prior.ask2_price = -5;
    Instrument in = Base();
    in.bid_levels = 3;
    in.bid[0] = {7202000, 3};
    in.bid[1] = {7201000, 4};
    in.bid[2] = {7200000, 5};
    in.ask_levels = 2;
    in.ask[0] = {7204000, 9};
    in.ask[1] = {7205000, 8};
    const SInstTableType e = kest_sim::ExpectedEntry(in, &prior);
    EXPECT_EQ(e.config, 0x80000004u);
    EXPECT_EQ(e.updatetime, 99u);
    EXPECT_EQ(e.bid1_price, 100);
    EXPECT_EQ(e.bid3_price, 80);
    EXPECT_EQ(e.bid4_price, 7202000);
    EXPECT_EQ(e.bid5_price, 7200000);
    EXPECT_EQ(e.bid5_vol, 5u);
    EXPECT_EQ(e.ask1_price, 7204000);
    EXPECT_EQ(e.ask2_price, 7205000);
}

TEST_F(ExpectedEntryTest, SixthDetailOverwritesLevelFive) {
    SInstTableType prior;
    std::memset(&prior, 0, sizeof prior);
    prior.bid1_price = 1;
    prior.bid2_price = 1;
    prior.bid3_price = 1;
    prior.bid4_price = 1;
    prior.bid5_price = 1;
    Instrument in = Base();
    in.bid_levels = 1;
    in.bid[0] = {4321, 6};
    const SInstTableType e = kest_sim::ExpectedEntry(in, &prior);
    EXPECT_EQ(e.bid4_price, 1);
    EXPECT_EQ(e.bid5_price, 4321);
    EXPECT_EQ(e.bid5_vol, 6u);
}

TEST(Feeds, NamesAndDefaults) {
    EMDQPDataType f;
    ASSERT_TRUE(kest_sim::ParseFeed("ine4ps", f));
    EXPECT_EQ(f, INE_4PS);
    EXPECT_FALSE(kest_sim::ParseFeed("ine5ps", f));
    EXPECT_EQ(kest_sim::DefaultTopicId(SHFE_2PS), 1000);
    EXPECT_EQ(kest_sim::DefaultTopicId(SHFE_4PS), 1101);
    EXPECT_EQ(kest_sim::DefaultTopicId(INE_2PS), 5000);
    EXPECT_EQ(kest_sim::DefaultTopicId(INE_4PS), 5101);
    EXPECT_EQ(kest_sim::DefaultSnapshotPort(SHFE_2PS), 33022);
    EXPECT_EQ(kest_sim::DefaultSnapshotPort(INE_4PS), 22000);
}

}  // namespace
