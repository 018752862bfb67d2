// The transform of version 2's compressed blocks before zstd: each entry's
// arrival made the difference from the previous entry's (the first kept as
// it is), then the entries byte-shuffled: byte 0 of every entry, then byte 1,
// ..., byte 159. Neighbouring entries differ in few bytes (the same
// contracts, near prices, close times), so the planes are long runs that zstd
// takes at a fraction of their size. Done 8 entries by 8 bytes at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "recording/Recording.h"

namespace kest_rec {

namespace codec_detail {

// Row i byte j becomes row j byte i (little-endian bytes of 8 words).
inline void Transpose8x8(uint64_t r[8]) {
    for (int i = 0; i < 4; ++i) {
        const uint64_t a = r[i], b = r[i + 4];
        r[i] = (a & 0x00000000FFFFFFFFull) | (b << 32);
        r[i + 4] = (a >> 32) | (b & 0xFFFFFFFF00000000ull);
    }
    for (int i : {0, 1, 4, 5}) {
        const uint64_t a = r[i], b = r[i + 2];
        r[i] = (a & 0x0000FFFF0000FFFFull) | ((b & 0x0000FFFF0000FFFFull) << 16);
        r[i + 2] = ((a >> 16) & 0x0000FFFF0000FFFFull) | (b & 0xFFFF0000FFFF0000ull);
    }
    for (int i : {0, 2, 4, 6}) {
        const uint64_t a = r[i], b = r[i + 1];
        r[i] = (a & 0x00FF00FF00FF00FFull) | ((b & 0x00FF00FF00FF00FFull) << 8);
        r[i + 1] = ((a >> 8) & 0x00FF00FF00FF00FFull) | (b & 0xFF00FF00FF00FF00ull);
    }
}

inline uint64_t Load(const uint8_t* p) {
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
inline void Store(uint8_t* p, uint64_t v) { std::memcpy(p, &v, sizeof v); }

}  // namespace codec_detail

inline void ShuffleEntries(const Entry* in, size_t n, uint8_t* out) {
    using namespace codec_detail;
    const uint8_t* src = reinterpret_cast<const uint8_t*>(in);
    constexpr size_t kSize = sizeof(Entry);
    auto arrival = [in](size_t i) {
        return static_cast<uint64_t>(in[i].arrival_ns) -
               (i > 0 ? static_cast<uint64_t>(in[i - 1].arrival_ns) : 0);
    };
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        for (size_t c = 0; c < kSize / 8; ++c) {
            uint64_t r[8];
            for (int k = 0; k < 8; ++k) r[k] = c == 0 ? arrival(i + k) : Load(src + (i + k) * kSize + c * 8);
            Transpose8x8(r);
            for (int j = 0; j < 8; ++j) Store(out + (c * 8 + j) * n + i, r[j]);
        }
    }
    for (; i < n; ++i) {
        Entry e = in[i];
        e.arrival_ns = static_cast<int64_t>(arrival(i));
        const uint8_t* b = reinterpret_cast<const uint8_t*>(&e);
        for (size_t k = 0; k < kSize; ++k) out[k * n + i] = b[k];
    }
}

inline void UnshuffleEntries(const uint8_t* in, size_t n, Entry* out) {
    using namespace codec_detail;
    uint8_t* dst = reinterpret_cast<uint8_t*>(out);
    constexpr size_t kSize = sizeof(Entry);
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        for (size_t c = 0; c < kSize / 8; ++c) {
            uint64_t r[8];
            for (int j = 0; j < 8; ++j) r[j] = Load(in + (c * 8 + j) * n + i);
            Transpose8x8(r);
            for (int k = 0; k < 8; ++k) Store(dst + (i + k) * kSize + c * 8, r[k]);
        }
    }
    for (; i < n; ++i) {
        for (size_t k = 0; k < kSize; ++k) dst[i * kSize + k] = in[k * n + i];
    }
    uint64_t t = 0;
    for (size_t k = 0; k < n; ++k) {
        t += static_cast<uint64_t>(out[k].arrival_ns);
        out[k].arrival_ns = static_cast<int64_t>(t);
    }
}

// Block headers carry a CRC of everything after their first 8 bytes.
inline uint32_t BlockHeaderCrc(const BlockHeader& h) {
    return Crc32c(reinterpret_cast<const char*>(&h) + 8, sizeof h - 8);
}
inline uint32_t FileHeaderCrc(const FileHeader& h) { return Crc32c(&h, offsetof(FileHeader, header_crc)); }

}  // namespace kest_rec
