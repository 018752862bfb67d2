// Arbitration of a feed's two multicast lines by packet number: the first
// copy of a packet wins, later copies are dropped, and a packet that neither
// line delivers is declared a gap once both lines have moved past it (or one
// line has moved far past it, for a line that has gone quiet).
#pragma once

#include <cstdint>

#include "exchangesim/LiveFeed.h"

namespace kest_cardlogic {

class ArbiterSink {
public:
    virtual ~ArbiterSink() = default;
    virtual void Deliver(const kest_exch::LiveUpdate& u) = 0;  // in packet-number order
    virtual void Gap(uint32_t packet_no) = 0;                  // in packet-number order too
};

class LineArbiter {
public:
    // A line may deliver a packet this many places late.
    static constexpr uint32_t kLateness = 2;
    // One line alone this far ahead declares the gap.
    static constexpr uint32_t kOneLineReach = 8;
    // Packets held while waiting for a missing one.
    static constexpr uint32_t kHold = 64;

    explicit LineArbiter(uint32_t next_expected = 1) { Reset(next_expected); }
    void Reset(uint32_t next_expected);

    // One arrival on line 0 (A) or 1 (B).
    void Offer(int line, const kest_exch::LiveUpdate& u, ArbiterSink& sink);
    // After a batch of arrivals: declares the gaps both lines have moved past.
    void Settle(ArbiterSink& sink);

    uint32_t NextExpected() const { return next_; }
    uint64_t Delivered() const { return delivered_; }
    uint64_t Duplicates() const { return duplicates_; }
    uint64_t Gaps() const { return gaps_; }

private:
    void SkipOne(ArbiterSink& sink);
    void Drain(ArbiterSink& sink);

    uint32_t next_ = 1;
    uint32_t high_[2] = {0, 0};  // highest packet number seen per line
    bool held_[kHold] = {};
    kest_exch::LiveUpdate pending_[kHold];
    uint32_t held_count_ = 0;
    uint64_t delivered_ = 0, duplicates_ = 0, gaps_ = 0;
};

}  // namespace kest_cardlogic
