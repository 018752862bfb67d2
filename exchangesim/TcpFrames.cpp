#include "exchangesim/TcpFrames.h"

#include <algorithm>
#include <cstring>

namespace kest_exch {
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

}  // namespace

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

}  // namespace kest_exch
