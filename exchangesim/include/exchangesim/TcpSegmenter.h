// Cuts a snapshot byte stream into the TCP segments of one connection, as
// the card mirrors them: Ethernet + IPv4 + TCP + payload, network-order
// headers, short frames padded to 60 bytes. A seeded FaultPlan adds what a
// mirror port sees on a real network: reordering, duplicates, losses healed
// by retransmission, awkward segment boundaries, resets and unrelated frames.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "exchangesim/Rng.h"

namespace kest_sim {

struct FaultPlan {
    uint64_t seed = 1;
    double reorder = 0;    // chance per segment that a reordering episode starts there
    double duplicate = 0;  // chance per segment that it is sent twice
    double loss = 0;       // chance per segment that it is lost and retransmitted later
    // A receiver holds at most this many segments ahead of a missing one
    // (out-of-order arrivals, duplicates of held segments included).
    int window = 20;
    bool awkward_splits = false;  // cut 1..8 bytes into MDQP headers and into field headers
    bool tiny_segments = false;   // also 1-byte segments that start at a message boundary
    bool rst = false;             // reset the connection (RST+ACK) once, part-way through
    double foreign = 0;           // chance, before each segment, of a frame of another protocol or port
    bool ip_options = false;      // some frames carry IPv4 options (ip_hl > 5)
    bool tcp_options = false;     // some frames carry TCP options (doff > 5)

    bool Any() const;
};

// "reorder=0.05,dup=0.02,loss=0.02,window=20,awkward,tiny,rst,foreign=0.1,ipopt,tcpopt,seed=7",
// or "none" / "all" (a preset exercising every fault but the reset). Returns
// false (and a message) on an unknown key or a bad number.
bool ParseFaultPlan(const std::string& text, FaultPlan& plan, std::string* error = nullptr);
std::string FormatFaultPlan(const FaultPlan& plan);

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

enum class FrameKind : uint8_t {
    kData,        // a segment of the stream, first transmission
    kRetransmit,  // a segment sent again after its loss
    kDuplicate,   // a segment sent twice
    kReset,       // RST+ACK from the server
    kKeepAlive,   // zero-payload ACK one byte behind the stream
    kForeign,     // another protocol, or TCP of another port or direction
};

struct Frame {
    std::vector<uint8_t> bytes;  // Ethernet frame, at least 60 bytes
    FrameKind kind = FrameKind::kData;
    uint32_t seq = 0;
    size_t stream_offset = 0;  // of the first payload byte
    uint32_t payload_size = 0;
    uint16_t client_port = 0;  // connection it belongs to (0 for foreign frames)
};

struct SegmentedConnection {
    std::vector<Frame> frames;  // in delivery order
    bool reset = false;         // an RST+ACK cut the connection short
    size_t stream_bytes = 0;    // bytes of the stream sent before the end or the reset
    size_t segments = 0;        // distinct segments
    uint32_t next_seq = 0;      // sequence number after the last byte sent
};

class TcpSegmenter {
public:
    TcpSegmenter(const ConnectionParams& conn, const FaultPlan& plan);

    // The whole stream on this connection (or up to the reset, when the
    // plan has one). The stream must be a run of MDQP messages when the plan
    // asks for awkward splits; otherwise any bytes do.
    SegmentedConnection Segment(const std::vector<uint8_t>& stream) const;

    // The zero-payload ACK a sender's keep-alive timer produces.
    Frame KeepAlive(uint32_t next_seq) const;

    const ConnectionParams& Connection() const { return conn_; }
    const FaultPlan& Plan() const { return plan_; }

private:
    ConnectionParams conn_;
    FaultPlan plan_;
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

// The card's DMA form of a mirrored frame: kind word 2, length word (the
// whole message), one unread word, the frame from byte 12.
std::vector<uint8_t> ToDmaMessage(const std::vector<uint8_t>& frame);
// The same into a caller's buffer; returns the message size, or 0 when it
// does not fit.
size_t WriteDmaMessage(const std::vector<uint8_t>& frame, uint8_t* out, size_t capacity);

// Internet checksum (RFC 1071) over a byte run, folded, not complemented.
uint32_t ChecksumAdd(uint32_t sum, const uint8_t* data, size_t size);
uint16_t ChecksumFinish(uint32_t sum);

}  // namespace kest_sim
