#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "cardlogic/LineArbiter.h"

using kest_sim::LineArbiter;

namespace {

struct Recorder : kest_sim::ArbiterSink {
    std::vector<uint32_t> delivered, gaps;
    void Deliver(const kest_sim::LiveUpdate& u) override { delivered.push_back(u.packet_no); }
    void Gap(uint32_t p) override { gaps.push_back(p); }
};

// "1-3,7" is 1, 2, 3, 7.
std::vector<uint32_t> Seq(const std::string& text) {
    std::vector<uint32_t> v;
    std::istringstream in(text);
    for (std::string part; std::getline(in, part, ',');) {
        const size_t dash = part.find('-');
        const uint32_t last =
            static_cast<uint32_t>(std::stoul(dash == std::string::npos ? part : part.substr(dash + 1)));
        for (uint32_t p = static_cast<uint32_t>(std::stoul(part)); p <= last; ++p) v.push_back(p);
    }
    return v;
}

TEST(LineArbiter, DeliversEachPacketOnceInOrderAndDeclaresGapsWhenBothLinesMovedOn) {
    const std::string far = std::to_string(1 + LineArbiter::kHold + 5);
    struct Row {
        const char* name;
        uint32_t next;
        std::string events;  // A<n>/B<n>: packet n on line A/B; S: settle after a batch
        const char *delivered, *gaps;
        uint64_t duplicates;
    };
    const Row rows[] = {
        {"first copy wins", 1, "A1 B1 S A2 B2 S A3 B3 S A4 B4 S A5 B5 S", "1-5", "", 5},
        {"each line fills the other's losses", 10, "A10 B11 A12 B13 A14 B14 S", "10-14", "", 1},
        {"late packets in order", 1, "A1 A3 A4 A2 A5 B1 B3 B4 B5 S", "1-5", "", 4},
        {"one past on both lines may still come", 1, "A1 B1 A2 B2 A4 B4 S", "1-2", "", 3},
        {"one line only two past: still waiting", 1, "A1 B1 A2 B2 A4 B4 S A5 S", "1-2", "", 3},
        {"both lines two past: a gap", 1, "A1 B1 A2 B2 A4 B4 S A5 S B5 S", "1-2,4-5", "3", 4},
        {"a late copy of a gap is old", 1, "A1 B1 A2 B2 A4 B4 S A5 S B5 S A3", "1-2,4-5", "3", 5},
        {"a quiet line holds a gap back a while", 1, "A1 B1 A3 S A4 S A5 S A6 S A7 S A8 S A9 S", "1", "", 1},
        {"but not forever", 1, "A1 B1 A3 S A4 S A5 S A6 S A7 S A8 S A9 S A10 S", "1,3-10", "2", 1},
        {"a far jump gives up what cannot be held", 1, "A" + far, "", "1-6", 0},
        {"and the rest still waits", 1, "A" + far + " B7", "7", "1-6", 0},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        LineArbiter arb(r.next);
        Recorder rec;
        std::istringstream in(r.events);
        for (std::string e; in >> e;) {
            if (e == "S") {
                arb.Settle(rec);
            } else {
                kest_sim::LiveUpdate u;
                u.packet_no = static_cast<uint32_t>(std::stoul(e.substr(1)));
                arb.Offer(e[0] == 'B', u, rec);
            }
        }
        EXPECT_EQ(rec.delivered, Seq(r.delivered));
        EXPECT_EQ(rec.gaps, Seq(r.gaps));
        EXPECT_EQ(arb.Duplicates(), r.duplicates);
        EXPECT_EQ(arb.Delivered(), rec.delivered.size());
        EXPECT_EQ(arb.Gaps(), rec.gaps.size());
    }
}

}  // namespace
