// Ethernet + IPv4 + TCP frames of a snapshot connection as the card mirrors
// them (network-order headers, short frames padded to 60 bytes), and frames
// of other protocols and ports.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "exchangesim/Rng.h"

namespace kest_exch {

struct ConnectionParams {
    uint32_t server_ip = 0xAC140A0Bu;  // 172.20.10.11, host order
    uint32_t client_ip = 0xAC140A65u;  // 172.20.10.101
    uint16_t server_port = 33022;
    uint16_t client_port = 40000;
    uint32_t initial_seq = 1000000;  // sequence number of the stream's first byte
    uint32_t ack_seq = 777;          // the client's side, constant (it sends nothing)
    uint16_t mss = 1460;
    uint8_t server_mac[6] = {0x00, 0x1B, 0x21, 0x0A, 0x0B, 0x0C};
    uint8_t client_mac[6] = {0x00, 0x0A, 0x35, 0x00, 0x00, 0x01};
};

// --- Frame building ----------------------------------------------------------
constexpr size_t kMinEthernetFrame = 60;
constexpr size_t kEthHeader = 14;

struct TcpFrameFields {
    const uint8_t* src_mac = nullptr;
    const uint8_t* dst_mac = nullptr;
    uint32_t src_ip = 0, dst_ip = 0;  // host order
    uint16_t src_port = 0, dst_port = 0;
    uint32_t seq = 0, ack = 0;
    uint8_t flags = 0x10;  // ACK
    uint16_t ip_id = 0;
    uint8_t ip_option_bytes = 0;   // 0..40, multiple of 4
    uint8_t tcp_option_bytes = 0;  // 0..40, multiple of 4
    const uint8_t* payload = nullptr;
    size_t payload_size = 0;
};
constexpr uint8_t kTcpFin = 0x01, kTcpSyn = 0x02, kTcpRst = 0x04, kTcpPsh = 0x08, kTcpAck = 0x10;

// A segment the server sends on the connection, without options or payload.
TcpFrameFields ServerSegment(const ConnectionParams& conn, uint32_t seq, uint8_t flags);
std::vector<uint8_t> BuildTcpFrame(const TcpFrameFields& frame);
// A frame that is not part of any snapshot connection: UDP, ICMP, IGMP,
// GRE, or TCP of another port (including the client's own ACKs when a
// connection is given).
std::vector<uint8_t> BuildForeignFrame(Rng& rng, const ConnectionParams* conn = nullptr);

// Internet checksum (RFC 1071) over a byte run, folded, not complemented.
uint32_t ChecksumAdd(uint32_t sum, const uint8_t* data, size_t size);
uint16_t ChecksumFinish(uint32_t sum);

}  // namespace kest_exch
