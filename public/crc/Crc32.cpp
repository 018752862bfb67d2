#include "crc/Crc32.h"

#include <cstring>

namespace Kest_U50 {

namespace {

inline uint32_t ByteStep(const CCrc32::CrcTable& table, uint32_t crc, uint8_t byte) {
    return table[(crc ^ byte) & 0xFFu] ^ (crc >> 8);
}

// Little-endian word at p; memcpy keeps the read free of aliasing and
// alignment assumptions (it compiles to one load).
inline uint32_t LoadLe32(const uint8_t* p) {
    uint32_t word;
    std::memcpy(&word, p, sizeof(word));
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    word = __builtin_bswap32(word);
#endif
    return word;
}

}  // namespace

int32_t CCrc32::calculate_crc32c(uint32_t& crc, const uint8_t* buf, int32_t len) const {
    if (buf == nullptr || len < 1) {
        return -1;
    }
    if (len < 4) {
        return singletable_crc32c(crc, buf, len);
    }
    return multitable_crc32c(crc, buf, len);
}

int32_t CCrc32::singletable_crc32c(uint32_t& crc, const uint8_t* buf, int32_t len) const {
    if (buf == nullptr || len < 1) {
        return -1;
    }
    uint32_t value = crc;
    for (int32_t i = 0; i < len; ++i) {
        value = ByteStep(crc32Table, value, buf[i]);
    }
    crc = value;
    return 0;
}

int32_t CCrc32::multitable_crc32c(uint32_t& crc, const uint8_t* buf, int32_t len) const {
    if (buf == nullptr || len < 1) {
        return -1;
    }
    // 1 to 4: an aligned buffer still takes its first word bytewise.
    const uint32_t init_bytes = 4u - static_cast<uint32_t>(reinterpret_cast<uintptr_t>(buf) & 3u);
    return crc32c_sb8_64_bit(crc, buf, len, init_bytes);
}

int32_t CCrc32::crc32c_sb8_64_bit(uint32_t& crc, const uint8_t* buf, int32_t len, uint32_t init_bytes) const {
    if (buf == nullptr || len < 1) {
        return -1;
    }
    const uint32_t length = static_cast<uint32_t>(len);
    if (init_bytes > length) {
        init_bytes = length;  // a short buffer is all leading bytes
    }
    const uint32_t running_length = ((length - init_bytes) / 8) * 8;
    const uint32_t end_bytes = length - init_bytes - running_length;

    uint32_t value = crc;
    for (uint32_t i = 0; i < init_bytes; ++i) {
        value = ByteStep(sctp_crc_tableil8_o32, value, *buf++);
    }
    for (uint32_t block = 0; block < running_length / 8; ++block) {
        value ^= LoadLe32(buf);
        buf += 4;
        uint32_t t1 = sctp_crc_tableil8_o88[value & 0xFFu] ^ sctp_crc_tableil8_o80[(value >> 8) & 0xFFu];
        uint32_t t2 = value >> 16;
        value = t1 ^ sctp_crc_tableil8_o72[t2 & 0xFFu] ^ sctp_crc_tableil8_o64[(t2 >> 8) & 0xFFu];

        const uint32_t word = LoadLe32(buf);
        buf += 4;
        t1 = sctp_crc_tableil8_o56[word & 0xFFu] ^ sctp_crc_tableil8_o48[(word >> 8) & 0xFFu];
        t2 = word >> 16;
        value ^= t1 ^ sctp_crc_tableil8_o40[t2 & 0xFFu] ^ sctp_crc_tableil8_o32[(t2 >> 8) & 0xFFu];
    }
    for (uint32_t i = 0; i < end_bytes; ++i) {
        value = ByteStep(sctp_crc_tableil8_o32, value, *buf++);
    }
    crc = value;
    return 0;
}

}  // namespace Kest_U50
