#include "cardlogic/DmaFraming.h"

#include <cstring>

#include "FpgaDataType.h"
#include "FpgaStructCommon.h"

namespace kest_cardlogic {

std::vector<uint8_t> ToDmaMessage(const std::vector<uint8_t>& frame) {
    std::vector<uint8_t> m(DMA_TCP_FRAME_OFFSET + frame.size());
    WriteDmaMessage(frame, m.data(), m.size());
    return m;
}

size_t WriteDmaMessage(const std::vector<uint8_t>& frame, uint8_t* out, size_t capacity) {
    const size_t size = DMA_TCP_FRAME_OFFSET + frame.size();
    if (size > capacity) return 0;
    const uint32_t kind = DMA_TCP;
    const uint32_t len = static_cast<uint32_t>(size);
    const uint32_t unread = 0;
    std::memcpy(out, &kind, 4);
    std::memcpy(out + 4, &len, 4);
    std::memcpy(out + 8, &unread, 4);
    std::memcpy(out + DMA_TCP_FRAME_OFFSET, frame.data(), frame.size());
    return size;
}

}  // namespace kest_cardlogic
