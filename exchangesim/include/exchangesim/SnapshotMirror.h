// The snapshot connections of all feeds as a mirror port sees them: each
// round opens a fresh connection per feed (new client port, new initial
// sequence number), sends the feed's whole snapshot on it, and the frames of
// the connections arrive interleaved, with the faults of the plan.
#pragma once

#include <cstdint>
#include <vector>

#include "exchangesim/MdqpEncoder.h"
#include "exchangesim/TcpSegmenter.h"
#include "exchangesim/Universe.h"

namespace kest_exch {

struct MirrorOptions {
    uint64_t seed = 1;
    FaultPlan faults;
    uint8_t feed_mask = 0x0F;  // feeds whose snapshot is sent (feed bits)
    int16_t topic_ids[4] = {1000, 1101, 5000, 5101};
    uint16_t snapshot_ports[4] = {33022, 22000, 33022, 22000};
    uint16_t first_client_port = 41000;
    uint16_t mss = 1460;
    bool wrap_sequence = false;  // initial sequence numbers close to 2^32, so each stream wraps
    EncoderOptions encoder;      // topic_id, snap_no, packet_no and seed are set per feed and round
    // Packet number each feed's snapshot reports (0x1004): the last update
    // it reflects. Negative: 1000 x (round + 1) + feed.
    int32_t packet_nos[4] = {-1, -1, -1, -1};
};

class SnapshotMirror {
public:
    // universes[f] is the universe of feed f (nullptr: the feed sends nothing).
    SnapshotMirror(const Universe* const universes[4], const MirrorOptions& opt);

    // Frames of round `round` (from 0), in arrival order.
    std::vector<Frame> Round(uint32_t round);
    // One keep-alive per connection of the last round, in feed order.
    std::vector<Frame> KeepAlives() const;

    // The encoded snapshot a feed sends in a round (what Round segments).
    EncodedSnapshot Encode(EMDQPDataType feed, uint32_t round) const;

    const MirrorOptions& Options() const { return opt_; }

private:
    uint16_t NextClientPort();

    const Universe* universes_[4];
    MirrorOptions opt_;
    uint16_t next_port_;
    struct Open {
        ConnectionParams conn;
        uint32_t next_seq;
    };
    std::vector<Open> last_round_;
};

}  // namespace kest_exch
