#include <gtest/gtest.h>

#include <map>
#include <set>

#include "exchangesim/LiveFeed.h"

using kest_sim::LiveFeed;
using kest_sim::LiveFeedOptions;
using kest_sim::LiveUpdate;
using kest_sim::Universe;

namespace {

constexpr int64_t kNoon = 1736136000000;  // a Monday, in milliseconds

struct Delivery {
    std::vector<LiveUpdate> a, b;
    std::vector<uint32_t> made;
};

Delivery Drive(LiveFeed& feed, int n) {
    Delivery r;
    for (int i = 0; i < n; ++i) r.made.push_back(feed.Step(kNoon + i, r.a, r.b));
    feed.Flush(r.a, r.b);
    return r;
}

TEST(LiveFeed, PacketsAreNumberedFromOneAndCoveredByALine) {
    const Universe u = Universe::Make(SHFE_2PS, 5, 500);
    LiveFeedOptions o;
    o.line_a.loss = 0.3;
    o.line_b.loss = 0.3;
    o.line_a.reorder = 0.1;
    o.line_b.reorder = 0.1;
    LiveFeed feed(u, o);
    const Delivery r = Drive(feed, 3000);
    for (size_t i = 0; i < r.made.size(); ++i) ASSERT_EQ(r.made[i], i + 1);
    std::set<uint32_t> on_a, on_b;
    for (const auto& x : r.a)
        EXPECT_TRUE(on_a.insert(x.packet_no).second) << "line A repeats " << x.packet_no;
    for (const auto& x : r.b) EXPECT_TRUE(on_b.insert(x.packet_no).second);
    size_t only_a = 0, only_b = 0;
    for (uint32_t p = 1; p <= 3000; ++p) {
        ASSERT_TRUE(on_a.count(p) || on_b.count(p)) << "packet " << p << " missing on both lines";
        only_a += on_a.count(p) && !on_b.count(p);
        only_b += on_b.count(p) && !on_a.count(p);
    }
    EXPECT_GT(only_a, 300u);
    EXPECT_GT(only_b, 300u);
    EXPECT_TRUE(feed.Gaps().empty());
    // Reordering is by a packet or two, never more.
    size_t late = 0;
    for (const auto* line : {&r.a, &r.b}) {
        uint32_t highest = 0;
        for (const auto& x : *line) {
            if (x.packet_no < highest) {
                ++late;
                EXPECT_LE(highest - x.packet_no, 2u);
            }
            highest = std::max(highest, x.packet_no);
        }
    }
    EXPECT_GT(late, 50u);
}

TEST(LiveFeed, GapsAreMissingOnBothLines) {
    const Universe u = Universe::Make(INE_2PS, 5, 200);
    LiveFeedOptions o;
    o.line_a.loss = 0.2;
    o.gap = 0.01;
    LiveFeed feed(u, o);
    std::vector<LiveUpdate> a, b;
    for (int i = 0; i < 100; ++i) feed.Step(kNoon, a, b);
    feed.InjectGap(3);
    for (int i = 0; i < 900; ++i) feed.Step(kNoon, a, b);
    feed.Flush(a, b);
    std::set<uint32_t> got;
    for (const auto& x : a) got.insert(x.packet_no);
    for (const auto& x : b) got.insert(x.packet_no);
    const std::set<uint32_t> gaps(feed.Gaps().begin(), feed.Gaps().end());
    EXPECT_TRUE(gaps.count(101) && gaps.count(102) && gaps.count(103));
    EXPECT_GT(gaps.size(), 3u);
    for (uint32_t p = 1; p <= 1000; ++p) EXPECT_NE(got.count(p), gaps.count(p)) << p;
}

TEST(LiveFeed, UpdatesMoveTheBookConsistently) {
    const Universe u = Universe::Make(SHFE_4PS, 9, 400);
    LiveFeed feed(u, LiveFeedOptions{});
    std::map<int32_t, uint32_t> change;
    for (const auto& in : u.Instruments()) change[in.inst_no] = in.change_no;
    std::vector<LiveUpdate> a, b;
    for (int i = 0; i < 2000; ++i) {
        a.clear();
        b.clear();
        feed.Step(kNoon + 250 * i, a, b);
        ASSERT_EQ(a.size(), 1u);
        const LiveUpdate& x = a[0];
        const auto& in = u.At(x.inst_no);
        EXPECT_EQ(x.change_no, ++change[x.inst_no]);
        EXPECT_EQ(x.last_price % in.price_tick, 0);
        EXPECT_GE(x.last_price, in.lower_limit);
        EXPECT_LE(x.last_price, in.upper_limit);
        EXPECT_EQ(x.update_milli_sec, (250 * i) % 1000);
        int bids = 0, asks = 0;
        for (int l = 0; l < kest_sim::kBookDepth; ++l) {
            if (x.bid[l].price) {
                ++bids;
                EXPECT_EQ(x.bid[l].price % in.price_tick, 0);
                if (l) {
                    EXPECT_LT(x.bid[l].price, x.bid[l - 1].price);
                }
            }
            if (x.ask[l].price) {
                ++asks;
                if (l) {
                    EXPECT_GT(x.ask[l].price, x.ask[l - 1].price);
                }
            }
        }
        EXPECT_GT(asks, 0);
        if (bids) {
            EXPECT_LT(x.bid[0].price, x.ask[0].price);
        }
        const auto& now = feed.State(x.inst_no);
        EXPECT_EQ(now.last_price, x.last_price);
        EXPECT_EQ(now.volume, x.volume);
        EXPECT_EQ(now.turnover, x.turnover);
    }
    // Volume and turnover never fall.
    for (const auto& in : u.Instruments()) {
        EXPECT_GE(feed.State(in.inst_no).volume, in.volume);
        EXPECT_GE(feed.State(in.inst_no).turnover, in.turnover);
    }
}

TEST(LiveFeed, DeterministicForASeed) {
    const Universe u = Universe::Make(SHFE_2PS, 5, 300);
    LiveFeedOptions o;
    o.line_a.loss = 0.1;
    o.line_b.reorder = 0.1;
    o.seed = 3;
    LiveFeed f1(u, o), f2(u, o);
    const Delivery r1 = Drive(f1, 500), r2 = Drive(f2, 500);
    ASSERT_EQ(r1.a.size(), r2.a.size());
    ASSERT_EQ(r1.b.size(), r2.b.size());
    for (size_t i = 0; i < r1.a.size(); ++i) {
        EXPECT_EQ(r1.a[i].packet_no, r2.a[i].packet_no);
        EXPECT_EQ(r1.a[i].inst_no, r2.a[i].inst_no);
        EXPECT_EQ(r1.a[i].last_price, r2.a[i].last_price);
    }
    o.seed = 4;
    LiveFeed f3(u, o);
    const Delivery r3 = Drive(f3, 500);
    int differ = 0;
    for (size_t i = 0; i < std::min(r1.a.size(), r3.a.size()); ++i)
        differ += r1.a[i].inst_no != r3.a[i].inst_no;
    EXPECT_GT(differ, 100);
}

TEST(LiveFeed, TimeOfDayIsLocal) {
    uint32_t hhmmss = 0;
    uint16_t ms = 0;
    // Build a local 10:15:30.250 and read it back.
    struct tm t {};
    t.tm_year = 125;
    t.tm_mon = 0;
    t.tm_mday = 6;
    t.tm_hour = 10;
    t.tm_min = 15;
    t.tm_sec = 30;
    t.tm_isdst = -1;
    const int64_t secs = static_cast<int64_t>(mktime(&t));
    kest_sim::LocalTimeOfDay(secs * 1000 + 250, hhmmss, ms);
    EXPECT_EQ(hhmmss, 101530u);
    EXPECT_EQ(ms, 250);
}

}  // namespace
