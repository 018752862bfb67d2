// What a mirror port sees on a real network besides the stream, as a seeded
// plan: reordering, duplicates, losses healed by retransmission, awkward
// segment boundaries, resets and unrelated frames; and its text form.
#pragma once

#include <cstdint>
#include <string>

namespace kest_exch {

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

}  // namespace kest_exch
