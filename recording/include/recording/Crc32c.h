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
// Where the processor multiplies carry-less on 256-bit registers
// (VPCLMULQDQ), a buffer of a kilobyte or more is first folded: four
// accumulators of two 16-byte chunks each, moved 128 bytes on by two
// multiplications by constants (x^k modulo the polynomial) and added to the
// data found there, then folded into one chunk that the CRC instruction
// finishes. For blocks coming from memory the folding is faster than the
// three lanes: it reads one stream of wide loads where the lanes read three;
// in the cache the two go at about the same speed. On 128-bit registers alone
// (PCLMULQDQ) the folding is slower than the lanes, so it is not used there.
// bench/recording (kest_bench_recording) prints both paths' speeds.
//
// Header-only, so that the Python module's helper checks blocks with the same
// code as the C++ readers. The states here are raw (no inversion in or out).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>

#if defined(__x86_64__)
#include <immintrin.h>
#include <nmmintrin.h>
#endif

namespace kest_rec {
namespace crc32c_detail {

constexpr uint32_t kPoly = 0x82F63B78u;  // Castagnoli, bits reflected

// a * b modulo the polynomial, both reflected (x^0 is bit 31).
constexpr uint32_t MultModP(uint32_t a, uint32_t b) {
    uint32_t product = 0;
    for (uint32_t m = 1u << 31; m != 0; m >>= 1) {
        if (a & m) product ^= b;
        b = (b & 1) ? (b >> 1) ^ kPoly : b >> 1;
    }
    return product;
}

// x^n modulo the polynomial, reflected.
constexpr uint32_t XPowModP(uint64_t n) {
    uint32_t xn = 1u << 31, x = 1u << 30;  // x^0, x^1
    for (; n != 0; n >>= 1, x = MultModP(x, x))
        if (n & 1) xn = MultModP(x, xn);
    return xn;
}

// What running the register over `bytes` zero bytes does to it, as four
// tables of 256 (one per byte of the register): a linear map.
struct Shift {
    uint32_t table[4][256];
    explicit Shift(size_t bytes) {
        const uint32_t xn = XPowModP(uint64_t{bytes} * 8);
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

// A 16-byte chunk read from memory is, as a polynomial, its first 8 bytes
// times x^64 plus its last 8 (bit 0 of byte 0 the highest power). Moving it d
// bits on multiplies each half by x^(64 + d) and x^d modulo the polynomial; a
// carry-less product of two reflected operands comes out one power short, so
// the keys are x^(63 + d) and x^(d - 1), in the high half of their word.
constexpr uint64_t FoldKey(uint64_t power) { return uint64_t{XPowModP(power)} << 32; }
// constexpr variables, so that the compiler works the keys out: 128 bytes on
// (a round of the four accumulators) and 16 bytes on (one chunk).
constexpr uint64_t kByRound[2] = {FoldKey(63 + 1024), FoldKey(1024 - 1)};
constexpr uint64_t kByChunk[2] = {FoldKey(63 + 128), FoldKey(127)};
constexpr size_t kFoldMin = 1024;  // below, the three lanes cost less than the set-up

#define KEST_CRC_FOLD_TARGET __attribute__((target("sse4.2,pclmul,avx2,vpclmulqdq")))

KEST_CRC_FOLD_TARGET inline __m128i FoldChunk(__m128i acc, __m128i keys, __m128i next) {
    return _mm_xor_si128(
        _mm_xor_si128(_mm_clmulepi64_si128(acc, keys, 0x00), _mm_clmulepi64_si128(acc, keys, 0x11)), next);
}

KEST_CRC_FOLD_TARGET inline __m256i Load32(const uint8_t* p) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

KEST_CRC_FOLD_TARGET inline __m256i FoldPair(__m256i acc, __m256i keys, const uint8_t* next) {
    return _mm256_xor_si256(_mm256_xor_si256(_mm256_clmulepi64_epi128(acc, keys, 0x00),
                                             _mm256_clmulepi64_epi128(acc, keys, 0x11)),
                            Load32(next));
}

// Runs the raw register c over the whole 16-byte chunks of n >= 128 bytes at
// p, four 256-bit accumulators (eight chunks) a round; moves p and n on.
KEST_CRC_FOLD_TARGET inline uint32_t Fold(uint32_t c, const uint8_t*& p, size_t& n) {
    const __m256i by_round =
        _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(kByRound)));
    const __m128i by_chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(kByChunk));
    // The register's state goes into the first four bytes, as the instruction adds it.
    __m256i a0 = _mm256_xor_si256(Load32(p), _mm256_zextsi128_si256(_mm_cvtsi32_si128(static_cast<int>(c))));
    __m256i a1 = Load32(p + 32), a2 = Load32(p + 64), a3 = Load32(p + 96);
    for (p += 128, n -= 128; n >= 128; p += 128, n -= 128) {
        a0 = FoldPair(a0, by_round, p);
        a1 = FoldPair(a1, by_round, p + 32);
        a2 = FoldPair(a2, by_round, p + 64);
        a3 = FoldPair(a3, by_round, p + 96);
    }
    __m128i x = _mm256_castsi256_si128(a0);
    for (const __m128i next :
         {_mm256_extracti128_si256(a0, 1), _mm256_castsi256_si128(a1), _mm256_extracti128_si256(a1, 1),
          _mm256_castsi256_si128(a2), _mm256_extracti128_si256(a2, 1), _mm256_castsi256_si128(a3),
          _mm256_extracti128_si256(a3, 1)})
        x = FoldChunk(x, by_chunk, next);
    for (; n >= 16; p += 16, n -= 16)
        x = FoldChunk(x, by_chunk, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
    // x has the CRC of all that went before it: run a zero register over it.
    const uint64_t lo = static_cast<uint64_t>(_mm_cvtsi128_si64(x));
    const uint64_t hi = static_cast<uint64_t>(_mm_extract_epi64(x, 1));
    return static_cast<uint32_t>(_mm_crc32_u64(_mm_crc32_u64(0, lo), hi));
}

#undef KEST_CRC_FOLD_TARGET

}  // namespace crc32c_detail

// Whether Crc32cHardware folds long buffers with carry-less multiplication.
inline bool HaveCrc32cFold() {
    static const bool have = __builtin_cpu_supports("sse4.2") && __builtin_cpu_supports("pclmul") &&
                             __builtin_cpu_supports("avx2") && __builtin_cpu_supports("vpclmulqdq");
    return have;
}

// Runs the raw register `c` over n bytes with the CRC instruction alone,
// three lanes at a time (callers check HaveCrc32cInstruction first).
__attribute__((target("sse4.2"))) inline uint32_t Crc32cLanes(uint32_t c, const void* data, size_t n) {
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

// Runs the raw register `c` over n bytes, folding first where the processor
// can (callers check HaveCrc32cInstruction first).
inline uint32_t Crc32cHardware(uint32_t c, const void* data, size_t n) {
    if (n >= crc32c_detail::kFoldMin && HaveCrc32cFold()) {
        const uint8_t* p = static_cast<const uint8_t*>(data);
        c = crc32c_detail::Fold(c, p, n);
        data = p;
    }
    return Crc32cLanes(c, data, n);
}
#endif

}  // namespace kest_rec
