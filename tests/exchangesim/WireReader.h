// Independent readers of what the simulated exchange produces, written from
// the wire formats rather than from the exchange's own code: an Ethernet/
// IPv4/TCP frame parser, a reassembler keyed by sequence number and an MDQP
// decoder that applies the host's table rules. Shared with the card tests.
#pragma once

#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "FpgaStructCommon.h"

namespace wire {

inline uint16_t Be16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
inline uint32_t Be32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | p[3];
}

inline uint16_t InetChecksum(const uint8_t* p, size_t n, uint32_t sum = 0) {
    for (size_t i = 0; i + 1 < n; i += 2) sum += static_cast<uint32_t>(p[i] << 8 | p[i + 1]);
    if (n & 1) sum += static_cast<uint32_t>(p[n - 1] << 8);
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint16_t>(~sum);
}

struct ParsedFrame {
    bool ok = false;  // long enough for the headers it declares
    size_t frame_size = 0;
    uint16_t ethertype = 0;
    uint8_t ip_hl = 0;  // words
    uint16_t ip_len = 0;
    uint8_t ip_p = 0;
    uint32_t ip_src = 0, ip_dst = 0;
    bool ip_checksum_ok = false;
    // TCP only
    uint16_t sport = 0, dport = 0;
    uint32_t seq = 0;
    uint8_t doff = 0;  // words
    uint8_t flags = 0;
    bool tcp_checksum_ok = false;
    const uint8_t* payload = nullptr;
    int32_t payload_size = 0;
};

inline ParsedFrame ParseFrame(const uint8_t* f, size_t n) {
    ParsedFrame r;
    r.frame_size = n;
    if (n < 14 + 20) return r;
    r.ethertype = Be16(f + 12);
    const uint8_t* ip = f + 14;
    r.ip_hl = ip[0] & 0x0F;
    r.ip_len = Be16(ip + 2);
    r.ip_p = ip[9];
    r.ip_src = Be32(ip + 12);
    r.ip_dst = Be32(ip + 16);
    if (14 + 4u * r.ip_hl > n || 14u + r.ip_len > n) return r;
    r.ip_checksum_ok = InetChecksum(ip, 4u * r.ip_hl) == 0;
    if (r.ip_p != 6) {
        r.ok = true;
        return r;
    }
    const uint8_t* tcp = ip + 4 * r.ip_hl;
    if (14 + 4u * r.ip_hl + 20 > n) return r;
    r.sport = Be16(tcp);
    r.dport = Be16(tcp + 2);
    r.seq = Be32(tcp + 4);
    r.doff = tcp[12] >> 4;
    r.flags = tcp[13];
    r.payload_size = static_cast<int32_t>(r.ip_len) - 4 * r.ip_hl - 4 * r.doff;
    if (r.payload_size < 0) return r;
    r.payload = tcp + 4 * r.doff;
    // Pseudo-header checksum over the TCP segment as ip_len bounds it.
    const size_t seg = r.ip_len - 4u * r.ip_hl;
    uint8_t pseudo[12];
    std::memcpy(pseudo, ip + 12, 8);
    pseudo[8] = 0;
    pseudo[9] = 6;
    pseudo[10] = static_cast<uint8_t>(seg >> 8);
    pseudo[11] = static_cast<uint8_t>(seg);
    uint32_t sum = 0;
    for (size_t i = 0; i < 12; i += 2) sum += static_cast<uint32_t>(pseudo[i] << 8 | pseudo[i + 1]);
    r.tcp_checksum_ok = InetChecksum(tcp, seg, sum) == 0;
    r.ok = true;
    return r;
}

// Rebuilds a byte stream from segments by sequence number, relative to the
// sequence number of the first byte (so wrap-around is harmless).
class Reassembler {
public:
    explicit Reassembler(uint32_t isn) : isn_(isn) {}
    // false when a segment disagrees with bytes already placed.
    bool Add(uint32_t seq, const uint8_t* p, size_t n) {
        const uint32_t rel = seq - isn_;
        if (buf_.size() < rel + n) {
            buf_.resize(rel + n);
            have_.resize(rel + n, false);
        }
        for (size_t i = 0; i < n; ++i) {
            if (have_[rel + i] && buf_[rel + i] != p[i]) return false;
            buf_[rel + i] = p[i];
            have_[rel + i] = true;
        }
        return true;
    }
    bool Complete() const {
        for (bool b : have_)
            if (!b) return false;
        return true;
    }
    const std::vector<uint8_t>& Bytes() const { return buf_; }

private:
    uint32_t isn_;
    std::vector<uint8_t> buf_;
    std::vector<bool> have_;
};

// One decoded MDQP message.
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

// Splits a stream into messages; false when a message or field runs past
// its bounds or bytes are left over.
inline bool SplitMessages(const std::vector<uint8_t>& s, std::vector<Message>& out) {
    size_t off = 0;
    while (off < s.size()) {
        if (off + 8 > s.size()) return false;
        Message m;
        m.flag = s[off];
        m.type_id = static_cast<int8_t>(s[off + 1]);
        m.length = static_cast<uint16_t>(s[off + 2] | s[off + 3] << 8);
        const size_t end = off + 8 + m.length;
        if (end > s.size()) return false;
        size_t f = off + 8;
        while (f < end) {
            if (f + 4 > end) return false;
            Field fl;
            fl.id = static_cast<uint16_t>(s[f] | s[f + 1] << 8);
            const uint16_t size = static_cast<uint16_t>(s[f + 2] | s[f + 3] << 8);
            if (f + 4 + size > end) return false;
            fl.payload.assign(s.begin() + static_cast<long>(f + 4),
                              s.begin() + static_cast<long>(f + 4 + size));
            m.fields.push_back(std::move(fl));
            f += 4 + size;
        }
        out.push_back(std::move(m));
        off = end;
    }
    return true;
}

template <typename T>
T Load(const std::vector<uint8_t>& p, size_t off) {
    T v;
    std::memcpy(&v, p.data() + off, sizeof v);
    return v;
}

constexpr double kNoValue = 1.7976931348623157e308;

inline int32_t Px(double v) { return v == kNoValue ? 0 : static_cast<int32_t>(v * 100 + 0.5); }

// The host's table after decoding a stream's instrument fields on top of
// `table` (4096 entries). Offsets are those of the wire layout.
inline void ApplyFields(const std::vector<Message>& msgs, std::vector<SInstTableType>& table,
                        int32_t& max_inst_no) {
    for (const Message& m : msgs) {
        for (const Field& f : m.fields) {
            if (f.id == 0x0101 && f.payload.size() >= 112) {
                const int32_t no = Load<int32_t>(f.payload, 108);
                if (no < 0 || no >= static_cast<int32_t>(table.size())) continue;
                if (no > max_inst_no) max_inst_no = no;
                SInstTableType& e = table[static_cast<size_t>(no)];
                e.price_tick = Px(Load<double>(f.payload, 92));
                e.codec_price = Px(Load<double>(f.payload, 100));
                e.vol_multiple = Load<uint32_t>(f.payload, 72);
                if (f.payload[0] == 0) {
                    e.inst_id[0] = 0;
                } else {
                    std::memcpy(e.inst_id, f.payload.data(), 30);
                    e.inst_id[30] = 0;
                }
            } else if (f.id == 0x0102 && f.payload.size() >= 154) {
                const int32_t no = Load<int32_t>(f.payload, 0);
                if (no < 0 || no >= static_cast<int32_t>(table.size())) continue;
                SInstTableType& e = table[static_cast<size_t>(no)];
                const double last = Load<double>(f.payload, 4);
                e.last_price = last >= kNoValue ? 0 : static_cast<int32_t>(last * 100 + 0.5);
                const double turnover = Load<double>(f.payload, 16);
                e.turnover = turnover >= kNoValue ? 0 : static_cast<uint64_t>(turnover * 100 + 0.5);
                e.open_interest = static_cast<uint64_t>(Load<double>(f.payload, 24) + 0.5);
                e.volume = Load<uint32_t>(f.payload, 12);
                e.update_mill_sec = Load<uint32_t>(f.payload, 146);
                e.change_no = Load<uint32_t>(f.payload, 150);
            } else if (f.id == 0x0103 && f.payload.size() >= 17) {
                const int32_t no = Load<int32_t>(f.payload, 0);
                if (no < 0 || no >= static_cast<int32_t>(table.size())) continue;
                SInstTableType& e = table[static_cast<size_t>(no)];
                const char dir = static_cast<char>(f.payload[4]);
                const int32_t px = Px(Load<double>(f.payload, 5));
                const uint32_t vol = Load<uint32_t>(f.payload, 13);
                // Words of level 1..5 within the entry: bids at 15,13,11,9,7; asks at 25,23,21,19,17.
                uint32_t words[64];
                std::memcpy(words, &e, sizeof words);
                const int first = dir == '0' ? 15 : dir == '1' ? 25 : -1;
                if (first < 0) continue;
                int w = first - 8;  // level 5
                for (int lvl = 0; lvl < 4; ++lvl) {
                    if (static_cast<int32_t>(words[first - 2 * lvl]) < 1) {
                        w = first - 2 * lvl;
                        break;
                    }
                }
                words[w] = static_cast<uint32_t>(px);
                words[w + 1] = vol;
                std::memcpy(&e, words, sizeof words);
            }
        }
    }
}

}  // namespace wire
