// CRC-32C with the SSE4.2 instruction, three streams at a time.
//
// The instruction takes 3 cycles and can start one every cycle, so one chain
// of it runs at a third of what the core can do. A buffer is cut into three
// lanes whose CRCs run side by side; the first lane's CRC is then moved past
// the other two (multiplied by x^(8 * lane bytes) modulo the polynomial, four
// table lookups) and combined with them by XOR. A recording's block of 40 KiB
// is checked about three times faster than by one chain: on every read of a
// block, which is most of what a reader does per entry.
//
// Header-only, so that the Python module's helper checks blocks with the same
// code as the C++ readers. The states here are raw (no inversion in or out).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__x86_64__)
#include <nmmintrin.h>
#endif

namespace kest_rec {
namespace crc32c_detail {

constexpr uint32_t kPoly = 0x82F63B78u;  // Castagnoli, bits reflected

// a * b modulo the polynomial, both reflected (x^0 is bit 31).
inline uint32_t MultModP(uint32_t a, uint32_t b) {
    uint32_t product = 0;
    for (uint32_t m = 1u << 31; m != 0; m >>= 1) {
        if (a & m) product ^= b;
        b = (b & 1) ? (b >> 1) ^ kPoly : b >> 1;
    }
    return product;
}

// What running the register over `bytes` zero bytes does to it, as four
// tables of 256 (one per byte of the register): a linear map.
struct Shift {
    uint32_t table[4][256];
    explicit Shift(size_t bytes) {
        uint32_t xn = 1u << 31, x = 1u << 30;  // x^0, x^1
        for (uint64_t k = uint64_t{bytes} * 8; k != 0; k >>= 1, x = MultModP(x, x))
            if (k & 1) xn = MultModP(x, xn);
        for (uint32_t i = 0; i < 4; ++i)
            for (uint32_t v = 0; v < 256; ++v) table[i][v] = MultModP(xn, v << (8 * i));
    }
    uint32_t operator()(uint32_t c) const {
        return table[0][c & 0xFF] ^ table[1][(c >> 8) & 0xFF] ^ table[2][(c >> 16) & 0xFF] ^
               table[3][c >> 24];
    }
};

constexpr size_t kLongLane = 2048;
constexpr size_t kShortLane = 256;

inline const Shift& LongShift() {
    static const Shift s(kLongLane);
    return s;
}
inline const Shift& ShortShift() {
    static const Shift s(kShortLane);
    return s;
}

}  // namespace crc32c_detail

#if defined(__x86_64__)
inline bool HaveCrc32cInstruction() {
    static const bool have = __builtin_cpu_supports("sse4.2");
    return have;
}

namespace crc32c_detail {

__attribute__((target("sse4.2"))) inline uint64_t Load8(const uint8_t* p) {
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// Whole groups of three lanes of `lane` bytes from p; moves p and n on.
__attribute__((target("sse4.2"))) inline uint64_t Lanes(uint64_t c0, const uint8_t*& p, size_t& n,
                                                        size_t lane, const Shift& shift) {
    for (; n >= 3 * lane; n -= 3 * lane) {
        uint64_t c1 = 0, c2 = 0;
        for (const uint8_t* end = p + lane; p < end; p += 8) {
            c0 = _mm_crc32_u64(c0, Load8(p));
            c1 = _mm_crc32_u64(c1, Load8(p + lane));
            c2 = _mm_crc32_u64(c2, Load8(p + 2 * lane));
        }
        p += 2 * lane;
        c0 = shift(static_cast<uint32_t>(c0)) ^ c1;
        c0 = shift(static_cast<uint32_t>(c0)) ^ c2;
    }
    return c0;
}

}  // namespace crc32c_detail

// Runs the raw register `c` over n bytes with the instruction (callers check
// HaveCrc32cInstruction first).
__attribute__((target("sse4.2"))) inline uint32_t Crc32cHardware(uint32_t c, const void* data, size_t n) {
    using namespace crc32c_detail;
    const uint8_t* p = static_cast<const uint8_t*>(data);
    uint64_t c0 = c;
    if (n >= 3 * kShortLane) {
        c0 = Lanes(c0, p, n, kLongLane, LongShift());
        c0 = Lanes(c0, p, n, kShortLane, ShortShift());
    }
    for (; n >= 8; n -= 8, p += 8) c0 = _mm_crc32_u64(c0, Load8(p));
    uint32_t c32 = static_cast<uint32_t>(c0);
    for (; n > 0; --n) c32 = _mm_crc32_u8(c32, *p++);
    return c32;
}
#endif

}  // namespace kest_rec
