// The byte shuffle of version 2's compressed blocks: byte k of every entry,
// then byte k+1, ... Neighbouring entries differ in few bytes (the same
// contracts, near prices, rising times), so the planes are long runs that
// zstd takes at a fraction of their size.
#pragma once

#include <cstddef>
#include <cstdint>

#include "recording/Recording.h"

namespace kest_rec {

inline void ShuffleEntries(const Entry* in, size_t n, uint8_t* out) {
    const uint8_t* src = reinterpret_cast<const uint8_t*>(in);
    for (size_t k = 0; k < sizeof(Entry); ++k) {
        uint8_t* plane = out + k * n;
        for (size_t i = 0; i < n; ++i) plane[i] = src[i * sizeof(Entry) + k];
    }
}

inline void UnshuffleEntries(const uint8_t* in, size_t n, Entry* out) {
    uint8_t* dst = reinterpret_cast<uint8_t*>(out);
    for (size_t k = 0; k < sizeof(Entry); ++k) {
        const uint8_t* plane = in + k * n;
        for (size_t i = 0; i < n; ++i) dst[i * sizeof(Entry) + k] = plane[i];
    }
}

// Block headers carry a CRC of everything after their first 8 bytes.
inline uint32_t BlockHeaderCrc(const BlockHeader& h) {
    return Crc32c(reinterpret_cast<const char*>(&h) + 8, sizeof h - 8);
}
inline uint32_t FileHeaderCrc(const FileHeader& h) { return Crc32c(&h, offsetof(FileHeader, header_crc)); }

}  // namespace kest_rec
