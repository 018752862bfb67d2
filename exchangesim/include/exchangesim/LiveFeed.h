// The exchange's multicast updates of one feed: packets numbered from 1, each
// carrying one instrument's new state (under this feed's instrument number),
// sent on line A and line B. What a packet carries comes from the exchange's
// market (Market), which the two feeds of an exchange share; the feed only
// numbers, sends and loses. Each line loses packets on its own (never both
// the same one, unless a gap is asked for) and may deliver a packet one or
// two places late.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <unordered_map>
#include <vector>

#include "exchangesim/Rng.h"
#include "exchangesim/Universe.h"

namespace kest_exch {

struct LiveUpdate {
    uint32_t packet_no = 0;
    int32_t inst_no = 0;
    bool has_last_price = true;
    int64_t last_price = 0;  // hundredths
    uint32_t volume = 0;
    int64_t turnover = 0;  // hundredths
    uint64_t open_interest = 0;
    BookLevel bid[kBookDepth];  // best first; missing levels are zero
    BookLevel ask[kBookDepth];
    uint32_t update_time = 0;  // HHMMSS, China Standard Time
    uint16_t update_milli_sec = 0;
    uint32_t change_no = 0;
};

struct LineFaults {
    double loss = 0;     // chance that this line misses a packet (the other line then has it)
    double reorder = 0;  // chance that this line delivers a packet one or two packets late
};

struct LiveFeedOptions {
    uint64_t seed = 1;
    LineFaults line_a;
    LineFaults line_b;
    double gap = 0;  // chance per packet that both lines miss it
    uint32_t first_packet_no = 1;
};

class LiveFeed {
public:
    LiveFeed(const Universe& universe, const LiveFeedOptions& opt);

    // Queues the market's state of a contract (found by identifier) to be
    // sent; false when this feed does not list it.
    bool Publish(const Instrument& contract);
    size_t Pending() const { return pending_.size(); }
    // Takes what is queued into this feed's state without sending it (the
    // feed is not received): its next snapshot still shows the market.
    void SkipPending();

    // Sends the next queued state as a packet and appends to each line what
    // arrives on it meanwhile (the new packet and/or late ones). Returns the
    // new packet's number, 0 when nothing was queued.
    uint32_t Step(std::vector<LiveUpdate>& line_a, std::vector<LiveUpdate>& line_b);
    // Delivers what the lines still hold back.
    void Flush(std::vector<LiveUpdate>& line_a, std::vector<LiveUpdate>& line_b);

    // The next `count` packets are missing on both lines.
    void InjectGap(uint32_t count = 1) { forced_gaps_ += count; }

    uint32_t LastPacketNo() const { return next_packet_no_ - 1; }
    // Packet numbers that neither line delivers, in order.
    const std::vector<uint32_t>& Gaps() const { return gaps_; }
    // The feed's current state of an instrument (after the last packet sent).
    const Instrument& State(int32_t inst_no) const { return state_.At(inst_no); }
    const Universe& Current() const { return state_; }

private:
    struct Held {
        LiveUpdate u;
        int countdown;
    };
    struct Line {
        LineFaults faults;
        std::vector<Held> held;
    };
    struct Queued {
        LiveUpdate u;
        int64_t upper_limit, lower_limit, pre_settlement;
        bool has_turnover;
    };
    void Deliver(Line& line, const LiveUpdate* u, bool lost, std::vector<LiveUpdate>& out);
    void Take(const Queued& q);

    Universe state_;
    LiveFeedOptions opt_;
    Rng line_rng_;
    uint32_t next_packet_no_;
    uint32_t forced_gaps_ = 0;
    std::vector<uint32_t> gaps_;
    std::unordered_map<std::string, int32_t> numbers_;  // identifier -> this feed's instrument number
    std::deque<Queued> pending_;
    Line a_, b_;
};

}  // namespace kest_exch
