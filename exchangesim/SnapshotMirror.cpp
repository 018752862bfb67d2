#include "exchangesim/SnapshotMirror.h"

#include <algorithm>

#include "FpgaDataType.h"

namespace kest_exch {

SnapshotMirror::SnapshotMirror(const Universe* const universes[4], const MirrorOptions& opt)
    : opt_(opt), next_port_(opt.first_client_port) {
    for (int f = 0; f < 4; ++f) universes_[f] = universes[f];
}

uint16_t SnapshotMirror::NextClientPort() {
    for (;;) {
        uint16_t p = next_port_++;
        if (next_port_ < 1024) next_port_ = 1024;
        bool clash = p < 1024;
        for (uint16_t s : opt_.snapshot_ports) clash = clash || p == s;
        if (!clash) return p;
    }
}

EncodedSnapshot SnapshotMirror::Encode(EMDQPDataType feed, uint32_t round) const {
    EncoderOptions e = opt_.encoder;
    e.topic_id = opt_.topic_ids[feed];
    e.snap_no = static_cast<int32_t>(round + 1);
    e.packet_no =
        opt_.packet_nos[feed] >= 0 ? opt_.packet_nos[feed] : static_cast<int32_t>(1000 * (round + 1) + feed);
    e.seed = MixSeed(opt_.seed, 0x5000 + round * 4 + static_cast<uint32_t>(feed));
    return EncodeSnapshot(*universes_[feed], e);
}

std::vector<Frame> SnapshotMirror::Round(uint32_t round) {
    Rng rng(MixSeed(opt_.seed, 0x7000 + round));
    std::vector<std::vector<Frame>> per_feed(4);
    last_round_.clear();
    for (int f = 0; f < 4; ++f) {
        if (universes_[f] == nullptr || !(opt_.feed_mask & (1u << f))) continue;
        const EncodedSnapshot snap = Encode(static_cast<EMDQPDataType>(f), round);
        FaultPlan plan = opt_.faults;
        plan.seed = MixSeed(opt_.faults.seed, 0x9000 + round * 4 + static_cast<uint32_t>(f));
        // A reset connection is followed by a new one that sends the snapshot again.
        for (int attempt = 0; attempt < 4; ++attempt) {
            ConnectionParams c;
            c.server_port = opt_.snapshot_ports[f];
            c.client_port = NextClientPort();
            c.mss = opt_.mss;
            c.server_ip = 0xAC140A0Bu + static_cast<uint32_t>(f & 1);
            const uint64_t span = 0xFFFFFFFFull - snap.bytes.size() - 1;
            if (opt_.wrap_sequence) {
                c.initial_seq = static_cast<uint32_t>(
                    0x100000000ull -
                    static_cast<uint64_t>(rng.Range(1, static_cast<int64_t>(snap.bytes.size()) - 1)));
            } else {
                c.initial_seq = static_cast<uint32_t>(rng.Range(0, static_cast<int64_t>(span)));
            }
            c.ack_seq = static_cast<uint32_t>(rng.Next());
            TcpSegmenter seg(c, plan);
            SegmentedConnection sc = seg.Segment(snap.bytes);
            per_feed[static_cast<size_t>(f)].insert(per_feed[static_cast<size_t>(f)].end(),
                                                    std::make_move_iterator(sc.frames.begin()),
                                                    std::make_move_iterator(sc.frames.end()));
            if (!sc.reset) {
                last_round_.push_back({c, sc.next_seq});
                break;
            }
            plan.rst = false;
        }
    }
    // Interleave, keeping each connection's order; picks are weighted by what
    // is left so that the connections end at about the same time.
    std::vector<Frame> out;
    size_t total = 0;
    for (auto& v : per_feed) total += v.size();
    out.reserve(total);
    size_t pos[4] = {0, 0, 0, 0};
    while (out.size() < total) {
        size_t left = total - out.size();
        uint64_t pick = static_cast<uint64_t>(rng.Range(0, static_cast<int64_t>(left) - 1));
        for (size_t f = 0; f < 4; ++f) {
            const size_t rem = per_feed[f].size() - pos[f];
            if (pick < rem) {
                out.push_back(std::move(per_feed[f][pos[f]++]));
                break;
            }
            pick -= rem;
        }
    }
    return out;
}

std::vector<Frame> SnapshotMirror::KeepAlives() const {
    std::vector<Frame> out;
    for (const auto& o : last_round_) out.push_back(TcpSegmenter(o.conn, FaultPlan{}).KeepAlive(o.next_seq));
    return out;
}

}  // namespace kest_exch
