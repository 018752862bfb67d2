// CRC-32C (Castagnoli, reflected polynomial 0x82F63B78) over a running value
// held by the caller: no initial and no final inversion, so a checksum can be
// carried across several buffers.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace Kest_U50 {

namespace crc32c_detail {

typedef std::array<uint32_t, 256> CrcTable;

constexpr uint32_t POLY_REFLECTED = 0x82F63B78u;

constexpr CrcTable MakeByteTable() {
    CrcTable table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t value = i;
        for (int bit = 0; bit < 8; ++bit) {
            value = (value & 1u) ? (value >> 1) ^ POLY_REFLECTED : value >> 1;
        }
        table[i] = value;
    }
    return table;
}

// One more zero byte pushed through each entry of the previous slice.
constexpr CrcTable MakeNextSlice(const CrcTable& previous) {
    const CrcTable byteTable = MakeByteTable();
    CrcTable table{};
    for (uint32_t i = 0; i < 256; ++i) {
        table[i] = (previous[i] >> 8) ^ byteTable[previous[i] & 0xFFu];
    }
    return table;
}

}  // namespace crc32c_detail

class CCrc32 {
public:
    typedef crc32c_detail::CrcTable CrcTable;

    // Each routine returns 0, or -1 (crc untouched) for a null buffer or a
    // length below 1.
    int32_t calculate_crc32c(uint32_t& crc, const uint8_t* buf, int32_t len) const;
    int32_t singletable_crc32c(uint32_t& crc, const uint8_t* buf, int32_t len) const;
    int32_t multitable_crc32c(uint32_t& crc, const uint8_t* buf, int32_t len) const;
    // init_bytes leading bytes are taken one at a time (to reach a 4-byte
    // boundary), then 8 bytes per step, then the rest one at a time.
    int32_t crc32c_sb8_64_bit(uint32_t& crc, const uint8_t* buf, int32_t len, uint32_t init_bytes) const;

    // Byte table and the seven further slices of slicing-by-8.
    static constexpr CrcTable crc32Table = crc32c_detail::MakeByteTable();
    static constexpr CrcTable sctp_crc_tableil8_o32 = crc32c_detail::MakeByteTable();
    static constexpr CrcTable sctp_crc_tableil8_o40 = crc32c_detail::MakeNextSlice(sctp_crc_tableil8_o32);
    static constexpr CrcTable sctp_crc_tableil8_o48 = crc32c_detail::MakeNextSlice(sctp_crc_tableil8_o40);
    static constexpr CrcTable sctp_crc_tableil8_o56 = crc32c_detail::MakeNextSlice(sctp_crc_tableil8_o48);
    static constexpr CrcTable sctp_crc_tableil8_o64 = crc32c_detail::MakeNextSlice(sctp_crc_tableil8_o56);
    static constexpr CrcTable sctp_crc_tableil8_o72 = crc32c_detail::MakeNextSlice(sctp_crc_tableil8_o64);
    static constexpr CrcTable sctp_crc_tableil8_o80 = crc32c_detail::MakeNextSlice(sctp_crc_tableil8_o72);
    static constexpr CrcTable sctp_crc_tableil8_o88 = crc32c_detail::MakeNextSlice(sctp_crc_tableil8_o80);
};

}  // namespace Kest_U50
