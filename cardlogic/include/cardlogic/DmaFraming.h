// The card's DMA form of a mirrored Ethernet frame, as the host's snapshot
// path takes it from a card-to-host ring.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kest_cardlogic {

// The card's DMA form of a mirrored frame: kind word 2, length word (the
// whole message), one unread word, the frame from byte 12.
std::vector<uint8_t> ToDmaMessage(const std::vector<uint8_t>& frame);
// The same into a caller's buffer; returns the message size, or 0 when it
// does not fit.
size_t WriteDmaMessage(const std::vector<uint8_t>& frame, uint8_t* out, size_t capacity);

}  // namespace kest_cardlogic
