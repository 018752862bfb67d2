#include "cardlogic/LineArbiter.h"

namespace kest_cardlogic {

void LineArbiter::Reset(uint32_t next_expected) {
    next_ = next_expected;
    high_[0] = high_[1] = next_expected - 1;
    for (bool& h : held_) h = false;
    held_count_ = 0;
}

void LineArbiter::Drain(ArbiterSink& sink) {
    while (held_count_ > 0 && held_[next_ % kHold] && pending_[next_ % kHold].packet_no == next_) {
        held_[next_ % kHold] = false;
        --held_count_;
        ++delivered_;
        sink.Deliver(pending_[next_ % kHold]);
        ++next_;
    }
}

void LineArbiter::SkipOne(ArbiterSink& sink) {
    ++gaps_;
    sink.Gap(next_);
    ++next_;
    Drain(sink);
}

void LineArbiter::Offer(int line, const kest_exch::LiveUpdate& u, ArbiterSink& sink) {
    const uint32_t p = u.packet_no;
    if (p > high_[line & 1]) high_[line & 1] = p;
    if (p < next_) {
        ++duplicates_;
        return;
    }
    // Ahead of a hole: make room by giving up the oldest missing packets.
    while (p - next_ >= kHold) SkipOne(sink);
    if (p == next_) {
        ++delivered_;
        sink.Deliver(u);
        ++next_;
        Drain(sink);
        return;
    }
    const uint32_t slot = p % kHold;
    if (held_[slot] && pending_[slot].packet_no == p) {
        ++duplicates_;
        return;
    }
    held_[slot] = true;
    pending_[slot] = u;
    ++held_count_;
}

void LineArbiter::Settle(ArbiterSink& sink) {
    for (;;) {
        const uint32_t both = high_[0] < high_[1] ? high_[0] : high_[1];
        const uint32_t either = high_[0] > high_[1] ? high_[0] : high_[1];
        const bool missing = either >= next_;  // something after next_ was seen
        if (!missing) return;
        if (both >= next_ + kLateness || either >= next_ + kOneLineReach) {
            SkipOne(sink);
        } else {
            return;
        }
    }
}

}  // namespace kest_cardlogic
