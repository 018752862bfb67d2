// Readers of what the simulated exchange produces, written from the wire formats rather than from its
// code: frame parser, MDQP message splitter, in-order stream collector. Shared with cardlogic.
#pragma once

#include <cstdint>
#include <cstring>
#include <map>
#include <set>
#include <vector>

namespace wire {

inline uint16_t Be16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
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
    const uint8_t* ip = f + 14;
    if (n < 14 + 20) return r;
    r.ethertype = Be16(f + 12), r.ip_hl = ip[0] & 0x0F, r.ip_len = Be16(ip + 2), r.ip_p = ip[9];
    if (14 + 4u * r.ip_hl > n || 14u + r.ip_len > n) return r;
    r.ip_checksum_ok = InetChecksum(ip, 4u * r.ip_hl) == 0;
    if (r.ip_p != 6) return r.ok = true, r;
    const uint8_t* tcp = ip + 4 * r.ip_hl;
    if (14 + 4u * r.ip_hl + 20 > n) return r;
    r.sport = Be16(tcp), r.dport = Be16(tcp + 2), r.seq = uint32_t{Be16(tcp + 4)} << 16 | Be16(tcp + 6);
    r.doff = tcp[12] >> 4, r.flags = tcp[13];
    r.payload_size = static_cast<int32_t>(r.ip_len) - 4 * r.ip_hl - 4 * r.doff;
    r.payload = tcp + 4 * r.doff;
    // Pseudo-header: addresses, protocol, and the segment's length as ip_len bounds it.
    const uint32_t seg = r.ip_len - 4u * r.ip_hl;
    const uint32_t pseudo = Be16(ip + 12) + Be16(ip + 14) + Be16(ip + 16) + Be16(ip + 18) + 6 + seg;
    r.tcp_checksum_ok = InetChecksum(tcp, seg, pseudo) == 0;
    r.ok = r.payload_size >= 0;
    return r;
}

struct Field {
    uint16_t id;
    std::vector<uint8_t> payload;
};
struct Message {
    uint8_t flag = 0;
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
        Message m{s[off], Load<uint16_t>(s, off + 2), {}};  // the type byte is not checked
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

// Streams of the given server ports by connection (client port), from frames that arrive in order.
struct Connections {
    struct Stream {
        uint16_t server_port;
        uint32_t next_seq;
        std::vector<uint8_t> bytes;
    };
    std::set<uint16_t> server_ports;
    std::map<uint16_t, Stream> streams;
    size_t foreign = 0;

    // false for a segment that does not continue its stream where the last one ended.
    bool Take(const uint8_t* frame, size_t n) {
        const ParsedFrame p = ParseFrame(frame, n);
        if (!p.ok || p.ip_p != 6 || !server_ports.count(p.sport)) return p.ok && ++foreign;
        if (p.payload_size == 0) return true;  // keep-alives (and resets)
        Stream& s = streams.emplace(p.dport, Stream{p.sport, p.seq, {}}).first->second;
        if (s.next_seq != p.seq) return false;
        s.next_seq += static_cast<uint32_t>(p.payload_size);
        s.bytes.insert(s.bytes.end(), p.payload, p.payload + p.payload_size);
        return true;
    }
    // Client ports of the complete snapshots (whole stream, final message last), by topic id.
    std::map<int16_t, std::vector<uint16_t>> Snapshots() const {
        std::map<int16_t, std::vector<uint16_t>> out;
        for (const auto& [port, s] : streams) {
            std::vector<Message> msgs;
            if (SplitMessages(s.bytes, msgs) && !msgs.empty() && msgs.back().flag == 0x01 &&
                !msgs[0].fields.empty() && msgs[0].fields[0].id == 0x1001)
                out[Load<int16_t>(msgs[0].fields[0].payload, 0)].push_back(port);
        }
        return out;
    }
};

}  // namespace wire
