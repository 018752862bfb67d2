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

#include "exchangesim/FaultPlan.h"
#include "exchangesim/Rng.h"
#include "exchangesim/TcpFrames.h"

namespace kest_exch {

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

}  // namespace kest_exch
