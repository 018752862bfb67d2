#include <gtest/gtest.h>

#include <vector>

#include "cardlogic/LineArbiter.h"

using kest_sim::LineArbiter;
using kest_sim::LiveUpdate;

namespace {

struct Recorder : kest_sim::ArbiterSink {
    std::vector<uint32_t> delivered, gaps;
    void Deliver(const LiveUpdate& u) override { delivered.push_back(u.packet_no); }
    void Gap(uint32_t p) override { gaps.push_back(p); }
};

LiveUpdate P(uint32_t n) {
    LiveUpdate u;
    u.packet_no = n;
    u.inst_no = static_cast<int32_t>(n % 7);
    return u;
}

std::vector<uint32_t> Range(uint32_t a, uint32_t b) {
    std::vector<uint32_t> v;
    for (uint32_t i = a; i <= b; ++i) v.push_back(i);
    return v;
}

TEST(LineArbiter, FirstCopyWinsAndSecondIsDropped) {
    LineArbiter arb(1);
    Recorder r;
    for (uint32_t p = 1; p <= 5; ++p) {
        arb.Offer(0, P(p), r);
        arb.Offer(1, P(p), r);
        arb.Settle(r);
    }
    EXPECT_EQ(r.delivered, Range(1, 5));
    EXPECT_TRUE(r.gaps.empty());
    EXPECT_EQ(arb.Duplicates(), 5u);
    EXPECT_EQ(arb.Delivered(), 5u);
}

TEST(LineArbiter, EachLineFillsTheOthersLosses) {
    LineArbiter arb(10);
    Recorder r;
    // A misses 11 and 13, B misses 10 and 12: every packet is on one line.
    const std::vector<std::pair<int, uint32_t>> arrivals = {{0, 10}, {1, 11}, {0, 12},
                                                            {1, 13}, {0, 14}, {1, 14}};
    for (auto [line, p] : arrivals) arb.Offer(line, P(p), r);
    arb.Settle(r);
    EXPECT_EQ(r.delivered, Range(10, 14));
    EXPECT_TRUE(r.gaps.empty());
}

TEST(LineArbiter, LatePacketsAreDeliveredInOrder) {
    LineArbiter arb(1);
    Recorder r;
    // Line A delivers 2 after 3 and 4; line B lost 2.
    for (uint32_t p : {1u, 3u, 4u, 2u, 5u}) arb.Offer(0, P(p), r);
    for (uint32_t p : {1u, 3u, 4u, 5u}) arb.Offer(1, P(p), r);
    arb.Settle(r);
    EXPECT_EQ(r.delivered, Range(1, 5));
    EXPECT_TRUE(r.gaps.empty());
}

TEST(LineArbiter, MissingOnBothLinesIsAGapOnceBothMovedOn) {
    LineArbiter arb(1);
    Recorder r;
    for (uint32_t p : {1u, 2u, 4u}) {
        arb.Offer(0, P(p), r);
        arb.Offer(1, P(p), r);
    }
    arb.Settle(r);
    // 3 could still come late: both lines are only one past it.
    EXPECT_TRUE(r.gaps.empty());
    EXPECT_EQ(r.delivered, Range(1, 2));
    arb.Offer(0, P(5), r);
    arb.Settle(r);
    EXPECT_TRUE(r.gaps.empty()) << "line B has not moved past 3 + 2 yet";
    arb.Offer(1, P(5), r);
    arb.Settle(r);
    EXPECT_EQ(r.gaps, std::vector<uint32_t>{3});
    EXPECT_EQ(r.delivered, (std::vector<uint32_t>{1, 2, 4, 5}));
    // A late copy of the gap is now old.
    arb.Offer(0, P(3), r);
    EXPECT_EQ(r.delivered.size(), 4u);
    EXPECT_EQ(arb.Gaps(), 1u);
}

TEST(LineArbiter, OneQuietLineDoesNotHoldUpGapsForever) {
    LineArbiter arb(1);
    Recorder r;
    arb.Offer(0, P(1), r);
    arb.Offer(1, P(1), r);
    // Line B goes silent; A misses 2.
    for (uint32_t p = 3; p <= 9; ++p) {
        arb.Offer(0, P(p), r);
        arb.Settle(r);
    }
    EXPECT_TRUE(r.gaps.empty());
    arb.Offer(0, P(10), r);
    arb.Settle(r);
    EXPECT_EQ(r.gaps, std::vector<uint32_t>{2});
    EXPECT_EQ(r.delivered, (std::vector<uint32_t>{1, 3, 4, 5, 6, 7, 8, 9, 10}));
}

TEST(LineArbiter, FarJumpGivesUpWhatCannotBeHeld) {
    LineArbiter arb(1);
    Recorder r;
    const uint32_t far = 1 + LineArbiter::kHold + 5;
    arb.Offer(0, P(far), r);
    // Everything more than kHold behind is a gap at once; the rest waits.
    EXPECT_EQ(r.gaps, Range(1, 6));
    EXPECT_TRUE(r.delivered.empty());
    arb.Offer(1, P(7), r);
    EXPECT_EQ(r.delivered, std::vector<uint32_t>{7});
    EXPECT_EQ(arb.NextExpected(), 8u);
}

}  // namespace
