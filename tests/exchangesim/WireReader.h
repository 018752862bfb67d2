// Readers of what the simulated exchange produces, written from the wire formats rather than from
// its code: frame parser, reassembler, MDQP decoder with the host's table rules. Shared with cardlogic.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <set>
#include <vector>

#include "FpgaStructCommon.h"
#include "exchangesim/Universe.h"

namespace wire {

inline uint16_t Be16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
inline uint32_t Be32(const uint8_t* p) { return static_cast<uint32_t>(Be16(p)) << 16 | Be16(p + 2); }
inline uint16_t InetChecksum(const uint8_t* p, size_t n, uint32_t sum = 0) {
    for (size_t i = 0; i < n; i += 2) sum += static_cast<uint32_t>(p[i] << 8 | (i + 1 < n ? p[i + 1] : 0));
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint16_t>(~sum);
}

struct ParsedFrame {
    bool ok = false;  // long enough for the headers it declares
    uint16_t ethertype = 0, ip_len = 0, sport = 0, dport = 0;
    uint8_t ip_hl = 0, ip_p = 0, doff = 0, flags = 0;  // header lengths in words
    uint32_t seq = 0;
    bool ip_checksum_ok = false, tcp_checksum_ok = false;
    const uint8_t* payload = nullptr;
    int32_t payload_size = 0;
};

inline ParsedFrame ParseFrame(const uint8_t* f, size_t n) {
    ParsedFrame r;
    if (n < 14 + 20) return r;
    const uint8_t* ip = f + 14;
    r.ethertype = Be16(f + 12), r.ip_hl = ip[0] & 0x0F, r.ip_len = Be16(ip + 2), r.ip_p = ip[9];
    if (14 + 4u * r.ip_hl > n || 14u + r.ip_len > n) return r;
    r.ip_checksum_ok = InetChecksum(ip, 4u * r.ip_hl) == 0;
    if (r.ip_p != 6) return r.ok = true, r;
    const uint8_t* tcp = ip + 4 * r.ip_hl;
    if (14 + 4u * r.ip_hl + 20 > n) return r;
    r.sport = Be16(tcp), r.dport = Be16(tcp + 2), r.seq = Be32(tcp + 4), r.doff = tcp[12] >> 4,
    r.flags = tcp[13];
    r.payload_size = static_cast<int32_t>(r.ip_len) - 4 * r.ip_hl - 4 * r.doff;
    if (r.payload_size < 0) return r;
    r.payload = tcp + 4 * r.doff;
    // Pseudo-header: addresses, protocol, and the segment's length as ip_len bounds it.
    const uint32_t seg = r.ip_len - 4u * r.ip_hl;
    const uint32_t pseudo = Be16(ip + 12) + Be16(ip + 14) + Be16(ip + 16) + Be16(ip + 18) + 6 + seg;
    r.tcp_checksum_ok = InetChecksum(tcp, seg, pseudo) == 0;
    r.ok = true;
    return r;
}

// Rebuilds a stream by sequence number relative to the first byte's (so wrap-around is harmless).
struct Reassembler {
    explicit Reassembler(uint32_t first) : isn(first) {}
    // false when a segment disagrees with bytes already placed.
    bool Add(uint32_t seq, const uint8_t* p, size_t n) {
        const uint32_t rel = seq - isn;
        if (bytes.size() < rel + n) bytes.resize(rel + n), have.resize(rel + n, false);
        for (size_t i = 0; i < n; ++i) {
            if (have[rel + i] && bytes[rel + i] != p[i]) return false;
            bytes[rel + i] = p[i], have[rel + i] = true;
        }
        return true;
    }
    bool Complete() const { return std::find(have.begin(), have.end(), false) == have.end(); }
    uint32_t isn;
    std::vector<uint8_t> bytes;
    std::vector<bool> have;
};

struct Field {
    uint16_t id;
    std::vector<uint8_t> payload;
};
struct Message {
    uint8_t flag = 0;
    int8_t type_id = 0;
    uint16_t length = 0;
    std::vector<Field> fields;
};

template <typename T>
T Load(const std::vector<uint8_t>& p, size_t off) {
    T v;
    std::memcpy(&v, p.data() + off, sizeof v);
    return v;
}

// Splits a stream into messages; false when a message or field runs past its bounds.
inline bool SplitMessages(const std::vector<uint8_t>& s, std::vector<Message>& out) {
    for (size_t off = 0; off < s.size();) {
        if (off + 8 > s.size()) return false;
        Message m{s[off], static_cast<int8_t>(s[off + 1]), Load<uint16_t>(s, off + 2), {}};
        const size_t end = off + 8 + m.length;
        if (end > s.size()) return false;
        for (size_t f = off + 8; f < end;) {
            const uint16_t size = f + 4 <= end ? Load<uint16_t>(s, f + 2) : 0xFFFF;
            if (f + 4 + size > end) return false;
            m.fields.push_back(
                {Load<uint16_t>(s, f), {s.begin() + long(f + 4), s.begin() + long(f + 4 + size)}});
            f += 4 + size;
        }
        out.push_back(std::move(m));
        off = end;
    }
    return true;
}

constexpr double kNoValue = 1.7976931348623157e308;
inline int64_t Hundredths(double v) { return v >= kNoValue ? 0 : static_cast<int64_t>(v * 100 + 0.5); }

// A stream decoded with the host's rules into a fresh 4096-entry table.
struct Decoded {
    bool ok = false;
    std::vector<Message> msgs;
    std::vector<SInstTableType> table = std::vector<SInstTableType>(4096);
    int32_t max_inst_no = -1;
};

inline Decoded Decode(const std::vector<uint8_t>& stream) {
    Decoded d;
    d.ok = SplitMessages(stream, d.msgs);
    for (const Message& m : d.msgs) {
        for (const Field& f : m.fields) {
            // Offsets are those of the wire layout; the instrument number is at 108 (0x0101) or 0.
            const size_t need = f.id == 0x0101 ? 112 : f.id == 0x0102 ? 154 : f.id == 0x0103 ? 17 : SIZE_MAX;
            if (f.payload.size() < need) continue;
            const int32_t no = Load<int32_t>(f.payload, f.id == 0x0101 ? 108 : 0);
            if (no < 0 || no >= 4096) continue;
            SInstTableType& e = d.table[static_cast<size_t>(no)];
            if (f.id == 0x0101) {
                d.max_inst_no = std::max(d.max_inst_no, no);
                e.price_tick = static_cast<int32_t>(Hundredths(Load<double>(f.payload, 92)));
                e.codec_price = static_cast<int32_t>(Hundredths(Load<double>(f.payload, 100)));
                e.vol_multiple = Load<uint32_t>(f.payload, 72);
                e.inst_id[f.payload[0] == 0 ? 0 : 30] = 0;  // 30 characters kept
                if (f.payload[0] != 0) std::memcpy(e.inst_id, f.payload.data(), 30);
            } else if (f.id == 0x0102) {
                e.last_price = static_cast<int32_t>(Hundredths(Load<double>(f.payload, 4)));
                e.turnover = static_cast<uint64_t>(Hundredths(Load<double>(f.payload, 16)));
                e.open_interest = static_cast<uint64_t>(Load<double>(f.payload, 24) + 0.5);
                e.volume = Load<uint32_t>(f.payload, 12);
                e.update_mill_sec = Load<uint32_t>(f.payload, 146);
                e.change_no = Load<uint32_t>(f.payload, 150);
            } else if (f.payload[4] == '0' || f.payload[4] == '1') {
                // Levels 1..5 are words 15,13,11,9,7 (bids) or 25,..,17 (asks): the first
                // empty one of 1..4 is filled, else level 5 is overwritten.
                uint32_t words[64];
                std::memcpy(words, &e, sizeof words);
                const int first = f.payload[4] == '0' ? 15 : 25;
                int w = first - 8;
                for (int lvl = 3; lvl >= 0; --lvl)
                    w = static_cast<int32_t>(words[first - 2 * lvl]) < 1 ? first - 2 * lvl : w;
                words[w] = static_cast<uint32_t>(Hundredths(Load<double>(f.payload, 5)));
                words[w + 1] = Load<uint32_t>(f.payload, 13);
                std::memcpy(&e, words, sizeof words);
            }
        }
    }
    return d;
}

// The decoded table holds exactly the universe's instruments, as the exchange expects them.
inline ::testing::AssertionResult MatchesUniverse(const Decoded& d, const kest_sim::Universe& u) {
    if (!d.ok) return ::testing::AssertionFailure() << "stream does not split into messages";
    if (d.max_inst_no != u.MaxInstNo()) return ::testing::AssertionFailure() << "max " << d.max_inst_no;
    for (const auto& in : u.Instruments()) {
        const SInstTableType want = kest_sim::ExpectedEntry(in);
        const SInstTableType& got = d.table[static_cast<size_t>(in.inst_no)];
        if (std::memcmp(&want, &got, sizeof want) != 0)
            return ::testing::AssertionFailure() << in.inst_id << " decodes otherwise";
    }
    return ::testing::AssertionSuccess();
}

// Frames of the given server ports by connection (client port), each rebuilt from its first arrival.
struct Connections {
    explicit Connections(std::set<uint16_t> ports) : server_ports(std::move(ports)) {}
    std::set<uint16_t> server_ports;
    std::map<uint16_t, Reassembler> streams;
    std::map<uint16_t, uint16_t> server_port_of;
    std::map<uint16_t, size_t> empty_segments;  // keep-alives (and resets)
    size_t foreign = 0;

    bool Take(const uint8_t* frame, size_t n) {
        const ParsedFrame p = ParseFrame(frame, n);
        if (!p.ok || p.ip_p != 6 || !server_ports.count(p.sport)) return p.ok && ++foreign;
        if (p.payload_size == 0) return ++empty_segments[p.dport];
        server_port_of[p.dport] = p.sport;
        return streams.emplace(p.dport, Reassembler(p.seq))
            .first->second.Add(p.seq, p.payload, p.payload_size);
    }
    // Client ports of the complete snapshots (whole stream, final message last), by topic id.
    std::map<int16_t, std::vector<uint16_t>> Snapshots() const {
        std::map<int16_t, std::vector<uint16_t>> out;
        for (const auto& [port, r] : streams) {
            std::vector<Message> msgs;
            if (r.Complete() && SplitMessages(r.bytes, msgs) && !msgs.empty() && msgs.back().flag == 0x01 &&
                !msgs[0].fields.empty() && msgs[0].fields[0].id == 0x1001)
                out[Load<int16_t>(msgs[0].fields[0].payload, 0)].push_back(port);
        }
        return out;
    }
};

}  // namespace wire
