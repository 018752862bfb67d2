// The exchange's multicast updates of one feed: a seeded stream of packets
// numbered from 1, each carrying one instrument's new state, sent on line A
// and line B. Each line loses packets on its own (never both the same one,
// unless a gap is asked for) and may deliver a packet one or two places late.
#pragma once

#include <cstdint>
#include <vector>

#include "exchangesim/Rng.h"
#include "exchangesim/Universe.h"

namespace kest_sim {

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
    uint32_t update_time = 0;  // HHMMSS, local time
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

    // Makes the next packet, stamped with `now_ms` (milliseconds since the
    // epoch), and appends to each line what arrives on it meanwhile (the new
    // packet and/or late ones). Returns the new packet's number.
    uint32_t Step(int64_t now_ms, std::vector<LiveUpdate>& line_a, std::vector<LiveUpdate>& line_b);
    // Delivers what the lines still hold back.
    void Flush(std::vector<LiveUpdate>& line_a, std::vector<LiveUpdate>& line_b);

    // The next `count` packets are missing on both lines.
    void InjectGap(uint32_t count = 1) { forced_gaps_ += count; }

    uint32_t LastPacketNo() const { return next_packet_no_ - 1; }
    // Packet numbers that neither line delivers, in order.
    const std::vector<uint32_t>& Gaps() const { return gaps_; }
    // The exchange's current state of an instrument (after the last packet).
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
    void Deliver(Line& line, const LiveUpdate* u, bool lost, std::vector<LiveUpdate>& out);
    void Move(Instrument& in, LiveUpdate& u, int64_t now_ms);

    Universe state_;
    LiveFeedOptions opt_;
    Rng rng_;
    Rng line_rng_;
    uint32_t next_packet_no_;
    uint32_t forced_gaps_ = 0;
    std::vector<uint32_t> gaps_;
    std::vector<int32_t> active_;  // futures: most updates are theirs
    Line a_, b_;
};

// HHMMSS and milliseconds of a time in milliseconds since the epoch, local time.
void LocalTimeOfDay(int64_t ms, uint32_t& hhmmss, uint16_t& milli);

}  // namespace kest_sim
