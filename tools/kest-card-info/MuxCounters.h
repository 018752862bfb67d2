// The card's multicast packet counters: one for each multiplexer (mux0 takes
// a feed's line A, mux1 its line B) of each of the card's two blocks, in the
// order 2ps mux0, 2ps mux1, 4ps mux0, 4ps mux1.
#pragma once

#include <cstdint>
#include <string>

#include "FeedTable.h"
#include "FpgaRegisterCommon.h"

namespace kest_tools {

constexpr int kMuxCounters = Kest_U50::FEED_BLOCKS * 2;

struct MuxCounter {
    int block;  // Kest_U50::FEED_BLOCK_NAMES
    int mux;    // 0 or 1
    uint32_t reg;
    std::string Block() const { return Kest_U50::FEED_BLOCK_NAMES[block]; }
    std::string Key() const { return "mux" + std::to_string(mux) + "_" + Block(); }  // "mux0_2ps"
    std::string Label() const { return Block() + " mux" + std::to_string(mux); }     // "2ps mux0"
};

inline MuxCounter MuxCounterAt(int k) {
    namespace R = Kest_U50::Reg;
    const int block = k / 2, mux = k % 2;
    return {block, mux,
            (mux == 0 ? R::MUX0_2PS_PKTS : R::MUX1_2PS_PKTS) +
                static_cast<uint32_t>(block) * R::BLOCK_4PS_OFFSET};
}

}  // namespace kest_tools
