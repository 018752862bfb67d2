#include <gtest/gtest.h>

#include <set>
#include <string>
#include <tuple>

#include "exchangesim/Universe.h"

using kest_sim::Universe;

namespace {

TEST(Universe, DenseUniqueBoundedWithOrderedBooksAndTheAwkwardCases) {
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
            EXPECT_EQ(in.inst_no, i);
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

}  // namespace
