// The host's side of the card for these tests: register writes through the
// C interface, the instrument-table protocol, and draining a channel.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <memory>
#include <vector>

#include "FpgaRegisterCommon.h"
#include "FpgaStructCommon.h"
#include "host_access.h"

namespace cardlogic_test {

namespace R = Kest_U50::Reg;

inline uint32_t TableWriteAddr(EMDQPDataType f) {
    static const uint32_t kRegs[] = {R::SHFE2PS_TABLE_WADDR, R::SHFE4PS_TABLE_WADDR, R::INE2PS_TABLE_WADDR,
                                     R::INE4PS_TABLE_WADDR};
    return kRegs[f];
}
inline uint32_t IpA(EMDQPDataType f) {
    static const uint32_t kRegs[] = {R::SHFE2PS_MCAST_IP_A, R::SHFE4PS_MCAST_IP_A, R::INE2PS_MCAST_IP_A,
                                     R::INE4PS_MCAST_IP_A};
    return kRegs[f];
}
inline uint32_t IpB(EMDQPDataType f) {
    static const uint32_t kRegs[] = {R::SHFE2PS_MCAST_IP_B, R::SHFE4PS_MCAST_IP_B, R::INE2PS_MCAST_IP_B,
                                     R::INE4PS_MCAST_IP_B};
    return kRegs[f];
}

using Messages = std::vector<std::vector<uint8_t>>;

inline void Collect(const uint8_t* data, uint32_t size, void* opaque) {
    static_cast<Messages*>(opaque)->emplace_back(data, data + size);
}

// A channel's card-to-host stream, opened the way the product opens it.
class Channel {
public:
    Channel(enyx_hw_accelerator* acc, int channel) : s_(cardsim_test::OpenA2c(acc, channel)) {}
    ~Channel() {
        if (s_) enyx_hw_a2c_stream_destroy(s_);
    }
    bool ok() const { return s_ != nullptr; }
    // Everything pending, in order.
    Messages Drain() {
        Messages out;
        while (enyx_hw_a2c_stream_poll_once(s_, Collect, &out) == 1) {
        }
        return out;
    }

private:
    enyx_hw_a2c_stream* s_;
};

template <typename T>
T At(const std::vector<uint8_t>& m, size_t off) {
    T v;
    std::memcpy(&v, m.data() + off, sizeof v);
    return v;
}

inline uint32_t Kind(const std::vector<uint8_t>& m) {
    return m.size() >= 4 ? At<uint32_t>(m, 0) : 0xFFFFFFFFu;
}

inline KestShfeMdType Quote(const std::vector<uint8_t>& m) {
    KestShfeMdType q;
    std::memcpy(&q, m.data() + DMA_PAYLOAD_OFFSET, sizeof q);
    return q;
}

// Writes one entry word by word through the table protocol, as the host does.
inline void WriteEntry(cardsim_test::Host& host, EMDQPDataType f, uint32_t index, const SInstTableType& e) {
    uint32_t words[64];
    std::memcpy(words, &e, sizeof words);
    for (uint32_t w = 0; w < 64; ++w) host.WriteTableWord(TableWriteAddr(f), index * 64 + w, words[w]);
}

}  // namespace cardlogic_test
