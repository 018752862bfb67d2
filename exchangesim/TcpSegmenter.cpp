#include "exchangesim/TcpSegmenter.h"

#include <algorithm>
#include <cstring>

#include "FpgaDataType.h"
#include "FpgaStructCommon.h"

namespace kest_exch {
namespace {

struct Seg {
    size_t off;
    uint32_t len;
};

// Message and field starts of a run of MDQP messages, for aiming cuts.
void ScanMdqp(const std::vector<uint8_t>& s, std::vector<size_t>& messages, std::vector<size_t>& fields) {
    size_t off = 0;
    while (off + sizeof(mdqp_t) <= s.size()) {
        uint16_t len;
        std::memcpy(&len, s.data() + off + offsetof(mdqp_t, length), sizeof len);
        const size_t end = off + sizeof(mdqp_t) + len;
        if (end > s.size()) break;
        messages.push_back(off);
        size_t f = off + sizeof(mdqp_t);
        while (f + sizeof(field_t) <= end) {
            fields.push_back(f);
            uint16_t fsize;
            std::memcpy(&fsize, s.data() + f + offsetof(field_t, field_size), sizeof fsize);
            f += sizeof(field_t) + fsize;
        }
        off = end;
    }
}

std::vector<Seg> Cut(const std::vector<uint8_t>& s, const FaultPlan& plan, uint16_t mss_in, Rng& rng) {
    std::vector<Seg> segs;
    const size_t total = s.size();
    const size_t mss = std::max<size_t>(mss_in, 64);
    if (total == 0) return segs;
    std::vector<size_t> messages, fields;
    ScanMdqp(s, messages, fields);
    std::vector<size_t> targets;
    if (plan.awkward_splits) {
        // Message i is entered (i-1) % 9 bytes deep: every depth from the
        // exact boundary to one byte past its header shows up, again and again.
        for (size_t i = 1; i < messages.size(); ++i) {
            targets.push_back(messages[i] + (i - 1) % 9);
            // A one-byte segment holding just a message's flag byte.
            if (plan.tiny_segments && (i - 1) % 9 == 0) targets.push_back(messages[i] + 1);
        }
        for (size_t f : fields) {
            if (rng.Chance(0.15)) targets.push_back(f + static_cast<size_t>(rng.Range(1, 6)));
        }
        std::sort(targets.begin(), targets.end());
        targets.erase(std::unique(targets.begin(), targets.end()), targets.end());
    }
    auto is_message_start = [&](size_t off) {
        return std::binary_search(messages.begin(), messages.end(), off);
    };

    // The receiver identifies a connection by its first segment: it must
    // hold the opening message whole and more than 44 bytes.
    size_t first = std::min(total, mss);
    if (plan.awkward_splits && messages.size() > 1) {
        const size_t opening = messages[1];
        const size_t r = static_cast<size_t>(rng.Range(0, 8));
        first = std::min(total, std::max<size_t>(opening + 1 + r, 45 + r));
        first = std::min(first, mss);
    }
    segs.push_back({0, static_cast<uint32_t>(first)});
    size_t cur = first;
    size_t ti = 0;
    while (cur < total) {
        size_t next = std::min(total, cur + mss);
        if (plan.awkward_splits) {
            while (ti < targets.size() && targets[ti] <= cur) ++ti;
            if (ti < targets.size() && targets[ti] <= next) next = targets[ti];
        } else if (rng.Chance(0.25)) {
            // A message written on its own goes out with PSH at its end.
            auto it = std::upper_bound(messages.begin(), messages.end(), next);
            if (it != messages.begin() && *(it - 1) > cur) next = *(it - 1);
        }
        if (!plan.tiny_segments && next - cur < 2 && is_message_start(cur) && next < total) {
            next = std::min(total, cur + 2);
        }
        segs.push_back({cur, static_cast<uint32_t>(next - cur)});
        cur = next;
    }
    return segs;
}

class Emitter {
public:
    Emitter(const ConnectionParams& c, const FaultPlan& p, Rng& rng, SegmentedConnection& out,
            const std::vector<uint8_t>& stream)
        : c_(c), p_(p), rng_(rng), out_(out), s_(stream) {}

    void Data(const Seg& seg, FrameKind kind, bool last) {
        Foreign();
        Frame f;
        f.kind = kind;
        f.seq = c_.initial_seq + static_cast<uint32_t>(seg.off);
        f.stream_offset = seg.off;
        f.payload_size = seg.len;
        f.client_port = c_.client_port;
        TcpFrameFields t = Fields(f.seq, static_cast<uint8_t>(kTcpAck | (last ? kTcpPsh : 0)));
        t.payload = s_.data() + seg.off;
        t.payload_size = seg.len;
        f.bytes = BuildTcpFrame(t);
        out_.frames.push_back(std::move(f));
    }
    void Control(uint32_t seq, uint8_t flags, FrameKind kind) {
        Frame f;
        f.kind = kind;
        f.seq = seq;
        f.client_port = c_.client_port;
        f.bytes = BuildTcpFrame(Fields(seq, flags));
        out_.frames.push_back(std::move(f));
    }
    void Foreign() {
        if (!rng_.Chance(p_.foreign)) return;
        Frame f;
        f.kind = FrameKind::kForeign;
        f.bytes = BuildForeignFrame(rng_, &c_);
        out_.frames.push_back(std::move(f));
    }

private:
    TcpFrameFields Fields(uint32_t seq, uint8_t flags) {
        TcpFrameFields t = ServerSegment(c_, seq, flags);
        t.ip_id = ip_id_++;
        if (p_.ip_options && rng_.Chance(0.3))
            t.ip_option_bytes = static_cast<uint8_t>(4 * rng_.Range(1, 10));
        if (p_.tcp_options && rng_.Chance(0.3))
            t.tcp_option_bytes = static_cast<uint8_t>(4 * rng_.Range(1, 10));
        return t;
    }
    const ConnectionParams& c_;
    const FaultPlan& p_;
    Rng& rng_;
    SegmentedConnection& out_;
    const std::vector<uint8_t>& s_;
    uint16_t ip_id_ = 1;
};

}  // namespace

TcpSegmenter::TcpSegmenter(const ConnectionParams& conn, const FaultPlan& plan) : conn_(conn), plan_(plan) {
    if (plan_.window < 1) plan_.window = 1;
}

SegmentedConnection TcpSegmenter::Segment(const std::vector<uint8_t>& stream) const {
    SegmentedConnection out;
    Rng rng(MixSeed(plan_.seed, (static_cast<uint64_t>(conn_.client_port) << 32) ^ conn_.initial_seq));
    const std::vector<Seg> segs = Cut(stream, plan_, conn_.mss, rng);
    const size_t n = segs.size();
    out.segments = n;
    Emitter em(conn_, plan_, rng, out, stream);

    size_t stop = n;  // segments sent before the reset
    if (plan_.rst && n >= 4)
        stop = static_cast<size_t>(rng.Range(static_cast<int64_t>(n / 4), static_cast<int64_t>(3 * n / 4)));
    const size_t window = static_cast<size_t>(plan_.window);

    // Segment 0 opens the connection and must arrive first: a receiver takes
    // whatever arrives first on a new port as the stream's beginning.
    if (stop > 0) em.Data(segs[0], FrameKind::kData, n == 1);
    // Duplicates waiting to be sent again, with the number of in-order
    // segments still to go before them. They are flushed before any episode
    // so that they always arrive as old duplicates.
    std::vector<std::pair<size_t, int>> later;
    auto flush = [&]() {
        for (auto& d : later) em.Data(segs[d.first], FrameKind::kDuplicate, false);
        later.clear();
    };
    size_t i = 1;
    while (i < stop) {
        const size_t left = stop - i;
        if (left >= 2 && rng.Chance(plan_.loss)) {
            flush();
            // Segment i is lost; up to `window` later ones arrive (with the
            // odd duplicate among them) before its retransmission.
            const size_t k =
                static_cast<size_t>(rng.Range(1, static_cast<int64_t>(std::min(window, left - 1))));
            size_t arrivals = 0;
            for (size_t j = 1; j <= k; ++j) {
                em.Data(segs[i + j], FrameKind::kData, i + j + 1 == n);
                ++arrivals;
                if (arrivals < window && rng.Chance(plan_.duplicate) && k - j < window - arrivals) {
                    const size_t d = i + static_cast<size_t>(rng.Range(1, static_cast<int64_t>(j)));
                    em.Data(segs[d], FrameKind::kDuplicate, false);
                    ++arrivals;
                }
            }
            em.Data(segs[i], FrameKind::kRetransmit, i + 1 == n);
            i += k + 1;
        } else if (left >= 2 && rng.Chance(plan_.reorder)) {
            flush();
            const size_t k =
                static_cast<size_t>(rng.Range(2, static_cast<int64_t>(std::min(window + 1, left))));
            std::vector<size_t> perm(k);
            for (size_t j = 0; j < k; ++j) perm[j] = i + j;
            for (size_t j = k; j > 1; --j)
                std::swap(perm[j - 1], perm[static_cast<size_t>(rng.Range(0, static_cast<int64_t>(j) - 1))]);
            if (std::is_sorted(perm.begin(), perm.end())) std::swap(perm[0], perm[k - 1]);
            for (size_t idx : perm) em.Data(segs[idx], FrameKind::kData, idx + 1 == n);
            i += k;
        } else {
            em.Data(segs[i], FrameKind::kData, i + 1 == n);
            for (auto it = later.begin(); it != later.end();) {
                if (--it->second < 0) {
                    em.Data(segs[it->first], FrameKind::kDuplicate, false);
                    it = later.erase(it);
                } else {
                    ++it;
                }
            }
            if (rng.Chance(plan_.duplicate)) later.emplace_back(i, static_cast<int>(rng.Range(0, 3)));
            ++i;
        }
    }
    flush();
    if (stop < n) {
        out.reset = true;
        out.stream_bytes = segs[stop].off;
        em.Control(conn_.initial_seq + static_cast<uint32_t>(out.stream_bytes), kTcpRst | kTcpAck,
                   FrameKind::kReset);
    } else {
        out.stream_bytes = stream.size();
    }
    em.Foreign();
    out.next_seq = conn_.initial_seq + static_cast<uint32_t>(out.stream_bytes);
    return out;
}

Frame TcpSegmenter::KeepAlive(uint32_t next_seq) const {
    Frame f;
    f.kind = FrameKind::kKeepAlive;
    f.seq = next_seq - 1;
    f.client_port = conn_.client_port;
    f.bytes = BuildTcpFrame(ServerSegment(conn_, f.seq, kTcpAck));
    return f;
}

}  // namespace kest_exch
