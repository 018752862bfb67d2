#include "exchangesim/TcpSegmenter.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "FpgaDataType.h"
#include "FpgaStructCommon.h"

namespace kest_sim {
namespace {

void Put16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}
void Put32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

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

bool FaultPlan::Any() const {
    return reorder > 0 || duplicate > 0 || loss > 0 || awkward_splits || tiny_segments || rst ||
           foreign > 0 || ip_options || tcp_options;
}

bool ParseFaultPlan(const std::string& text, FaultPlan& plan, std::string* error) {
    std::stringstream ss(text);
    std::string item;
    auto fail = [&](const std::string& why) {
        if (error) *error = why;
        return false;
    };
    while (std::getline(ss, item, ',')) {
        if (item.empty()) continue;
        const size_t eq = item.find('=');
        const std::string key = item.substr(0, eq);
        const std::string val = eq == std::string::npos ? "" : item.substr(eq + 1);
        char* end = nullptr;
        const double num = val.empty() ? 0.0 : std::strtod(val.c_str(), &end);
        const bool has_num = !val.empty() && end && *end == 0;
        auto prob = [&](double& dst) {
            if (!has_num || num < 0 || num > 1) return fail("bad probability in '" + item + "'");
            dst = num;
            return true;
        };
        if (key == "none") {
            plan = FaultPlan{};
        } else if (key == "all") {
            plan.reorder = 0.03;
            plan.duplicate = 0.03;
            plan.loss = 0.03;
            plan.awkward_splits = true;
            plan.foreign = 0.05;
            plan.ip_options = true;
            plan.tcp_options = true;
        } else if (key == "reorder") {
            if (!prob(plan.reorder)) return false;
        } else if (key == "dup" || key == "duplicate") {
            if (!prob(plan.duplicate)) return false;
        } else if (key == "loss") {
            if (!prob(plan.loss)) return false;
        } else if (key == "foreign") {
            if (!prob(plan.foreign)) return false;
        } else if (key == "window") {
            if (!has_num || num < 1 || num > 1000) return fail("bad window in '" + item + "'");
            plan.window = static_cast<int>(num);
        } else if (key == "seed") {
            if (!has_num) return fail("bad seed in '" + item + "'");
            plan.seed = std::strtoull(val.c_str(), nullptr, 10);
        } else if (key == "awkward") {
            plan.awkward_splits = true;
        } else if (key == "tiny") {
            plan.tiny_segments = true;
        } else if (key == "rst") {
            plan.rst = true;
        } else if (key == "ipopt") {
            plan.ip_options = true;
        } else if (key == "tcpopt") {
            plan.tcp_options = true;
        } else {
            return fail("unknown fault '" + key + "'");
        }
    }
    return true;
}

std::string FormatFaultPlan(const FaultPlan& p) {
    std::ostringstream o;
    o << "seed=" << p.seed << ",reorder=" << p.reorder << ",dup=" << p.duplicate << ",loss=" << p.loss
      << ",window=" << p.window << ",foreign=" << p.foreign;
    if (p.awkward_splits) o << ",awkward";
    if (p.tiny_segments) o << ",tiny";
    if (p.rst) o << ",rst";
    if (p.ip_options) o << ",ipopt";
    if (p.tcp_options) o << ",tcpopt";
    return o.str();
}

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

uint32_t ChecksumAdd(uint32_t sum, const uint8_t* data, size_t size) {
    for (size_t i = 0; i + 1 < size; i += 2) sum += static_cast<uint32_t>(data[i] << 8 | data[i + 1]);
    if (size & 1) sum += static_cast<uint32_t>(data[size - 1] << 8);
    return sum;
}

uint16_t ChecksumFinish(uint32_t sum) {
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint16_t>(~sum & 0xFFFF);
}

namespace {

// Ethernet + IPv4 header (+ options) for a payload of l4_size bytes; returns
// the offset of the layer-4 header.
size_t PutIpv4(std::vector<uint8_t>& f, const uint8_t* src_mac, const uint8_t* dst_mac, uint32_t src_ip,
               uint32_t dst_ip, uint8_t proto, uint16_t ip_id, uint8_t opt_bytes, size_t l4_size) {
    static const uint8_t kDefaultMac[6] = {0x02, 0, 0, 0, 0, 0x01};
    opt_bytes = static_cast<uint8_t>(std::min<int>(opt_bytes / 4 * 4, 40));
    const size_t ihl = 20 + opt_bytes;
    const size_t ip_total = ihl + l4_size;
    f.assign(std::max(kEthHeader + ip_total, kMinEthernetFrame), 0);
    std::memcpy(f.data(), dst_mac ? dst_mac : kDefaultMac, 6);
    std::memcpy(f.data() + 6, src_mac ? src_mac : kDefaultMac, 6);
    Put16(f.data() + 12, 0x0800);
    uint8_t* ip = f.data() + kEthHeader;
    ip[0] = static_cast<uint8_t>(0x40 | (ihl / 4));
    ip[1] = 0;
    Put16(ip + 2, static_cast<uint16_t>(ip_total));
    Put16(ip + 4, ip_id);
    Put16(ip + 6, 0x4000);  // DF
    ip[8] = 64;
    ip[9] = proto;
    Put32(ip + 12, src_ip);
    Put32(ip + 16, dst_ip);
    if (opt_bytes > 0) {
        // Router alert, then no-ops, closed by end-of-options.
        ip[20] = 0x94;
        ip[21] = 4;
        for (size_t k = 24; k < ihl; ++k) ip[k] = 1;
        ip[ihl - 1] = 0;
    }
    Put16(ip + 10, ChecksumFinish(ChecksumAdd(0, ip, ihl)));
    return kEthHeader + ihl;
}

uint16_t L4Checksum(const uint8_t* l4, size_t size, uint32_t src_ip, uint32_t dst_ip, uint8_t proto) {
    uint8_t pseudo[12];
    Put32(pseudo, src_ip);
    Put32(pseudo + 4, dst_ip);
    pseudo[8] = 0;
    pseudo[9] = proto;
    Put16(pseudo + 10, static_cast<uint16_t>(size));
    return ChecksumFinish(ChecksumAdd(ChecksumAdd(0, pseudo, sizeof pseudo), l4, size));
}

}  // namespace

TcpFrameFields ServerSegment(const ConnectionParams& c, uint32_t seq, uint8_t flags) {
    TcpFrameFields t;
    t.src_mac = c.server_mac;
    t.dst_mac = c.client_mac;
    t.src_ip = c.server_ip;
    t.dst_ip = c.client_ip;
    t.src_port = c.server_port;
    t.dst_port = c.client_port;
    t.seq = seq;
    t.ack = c.ack_seq;
    t.flags = flags;
    return t;
}

std::vector<uint8_t> BuildTcpFrame(const TcpFrameFields& t) {
    const uint8_t topt = static_cast<uint8_t>(std::min<int>(t.tcp_option_bytes / 4 * 4, 40));
    const size_t thl = 20 + topt;
    std::vector<uint8_t> f;
    const size_t l4 = PutIpv4(f, t.src_mac, t.dst_mac, t.src_ip, t.dst_ip, 6, t.ip_id, t.ip_option_bytes,
                              thl + t.payload_size);
    uint8_t* tcp = f.data() + l4;
    Put16(tcp, t.src_port);
    Put16(tcp + 2, t.dst_port);
    Put32(tcp + 4, t.seq);
    Put32(tcp + 8, t.ack);
    tcp[12] = static_cast<uint8_t>((thl / 4) << 4);
    tcp[13] = t.flags;
    Put16(tcp + 14, 502);  // window, scaled
    if (topt > 0) {
        // NOP, NOP, timestamps; the rest no-ops.
        for (size_t k = 20; k < thl; ++k) tcp[k] = 1;
        if (topt >= 12) {
            tcp[22] = 8;
            tcp[23] = 10;
            Put32(tcp + 24, 0x01020304u ^ t.seq);
            Put32(tcp + 28, 0x0A0B0C0Du);
        }
    }
    if (t.payload_size > 0) std::memcpy(tcp + thl, t.payload, t.payload_size);
    Put16(tcp + 16, L4Checksum(tcp, thl + t.payload_size, t.src_ip, t.dst_ip, 6));
    return f;
}

std::vector<uint8_t> BuildForeignFrame(Rng& rng, const ConnectionParams* conn) {
    std::vector<uint8_t> f;
    uint8_t payload[400];
    const size_t psize = static_cast<size_t>(rng.Range(0, sizeof payload));
    for (size_t k = 0; k < psize; ++k) payload[k] = static_cast<uint8_t>(rng.Next());
    const uint16_t ip_id = static_cast<uint16_t>(rng.Next());
    const uint32_t lan = 0xAC140A00u | static_cast<uint32_t>(rng.Range(2, 250));
    switch (rng.Range(0, conn ? 5 : 4)) {
        case 0: {  // UDP to a multicast group
            const size_t l4 = PutIpv4(f, nullptr, nullptr, lan, 0xEF032A47u, 17, ip_id, 0, 8 + psize);
            uint8_t* u = f.data() + l4;
            Put16(u, 5000);
            Put16(u + 2, 21000);
            Put16(u + 4, static_cast<uint16_t>(8 + psize));
            std::memcpy(u + 8, payload, psize);
            Put16(u + 6, L4Checksum(u, 8 + psize, lan, 0xEF032A47u, 17));
            break;
        }
        case 1: {  // ICMP echo request
            const size_t l4 = PutIpv4(f, nullptr, nullptr, lan, 0xAC140A65u, 1, ip_id, 0, 8 + 56);
            uint8_t* c = f.data() + l4;
            c[0] = 8;
            Put16(c + 4, 0x1234);
            Put16(c + 6, static_cast<uint16_t>(rng.Next()));
            std::memcpy(c + 8, payload, std::min<size_t>(psize, 56));
            Put16(c + 2, ChecksumFinish(ChecksumAdd(0, c, 64)));
            break;
        }
        case 2: {  // IGMPv2 membership report
            const size_t l4 = PutIpv4(f, nullptr, nullptr, lan, 0xEF032A47u, 2, ip_id, 4, 8);
            uint8_t* g = f.data() + l4;
            g[0] = 0x16;
            Put32(g + 4, 0xEF032A47u);
            Put16(g + 2, ChecksumFinish(ChecksumAdd(0, g, 8)));
            break;
        }
        case 3: {  // GRE
            const size_t l4 = PutIpv4(f, nullptr, nullptr, lan, 0xAC140A65u, 47, ip_id, 0, 4 + psize);
            Put16(f.data() + l4 + 2, 0x0800);
            std::memcpy(f.data() + l4 + 4, payload, psize);
            break;
        }
        case 4: {  // TCP of an unrelated service
            TcpFrameFields t;
            t.src_ip = lan;
            t.dst_ip = 0xAC140A65u;
            t.src_port = rng.Chance(0.5) ? 443 : 8080;
            t.dst_port = static_cast<uint16_t>(rng.Range(32768, 60999));
            t.seq = static_cast<uint32_t>(rng.Next());
            t.ack = static_cast<uint32_t>(rng.Next());
            t.flags = kTcpAck | kTcpPsh;
            t.ip_id = ip_id;
            t.payload = payload;
            t.payload_size = psize;
            f = BuildTcpFrame(t);
            break;
        }
        default: {  // the client's own ACK on the snapshot connection
            TcpFrameFields t;
            t.src_mac = conn->client_mac;
            t.dst_mac = conn->server_mac;
            t.src_ip = conn->client_ip;
            t.dst_ip = conn->server_ip;
            t.src_port = conn->client_port;
            t.dst_port = conn->server_port;
            t.seq = conn->ack_seq;
            t.ack = conn->initial_seq + static_cast<uint32_t>(rng.Range(0, 1 << 20));
            t.flags = kTcpAck;
            t.ip_id = ip_id;
            f = BuildTcpFrame(t);
            break;
        }
    }
    return f;
}

std::vector<uint8_t> ToDmaMessage(const std::vector<uint8_t>& frame) {
    std::vector<uint8_t> m(DMA_TCP_FRAME_OFFSET + frame.size());
    WriteDmaMessage(frame, m.data(), m.size());
    return m;
}

size_t WriteDmaMessage(const std::vector<uint8_t>& frame, uint8_t* out, size_t capacity) {
    const size_t size = DMA_TCP_FRAME_OFFSET + frame.size();
    if (size > capacity) return 0;
    const uint32_t kind = DMA_TCP;
    const uint32_t len = static_cast<uint32_t>(size);
    const uint32_t unread = 0;
    std::memcpy(out, &kind, 4);
    std::memcpy(out + 4, &len, 4);
    std::memcpy(out + 8, &unread, 4);
    std::memcpy(out + DMA_TCP_FRAME_OFFSET, frame.data(), frame.size());
    return size;
}

}  // namespace kest_sim
