#include "crc/Crc32.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

using Kest_U50::CCrc32;

namespace {

// Bit-at-a-time register update from the reflected polynomial: the
// definition every table-driven path must agree with.
uint32_t BitwiseCrc32c(uint32_t crc, const uint8_t* data, size_t len) {
    for (size_t i = 0; i < len; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 1u) ? (crc >> 1) ^ 0x82F63B78u : crc >> 1;
        }
    }
    return crc;
}

typedef int32_t (CCrc32::*Routine)(uint32_t&, const uint8_t*, int32_t) const;
const Routine ROUTINES[] = {&CCrc32::calculate_crc32c, &CCrc32::singletable_crc32c,
                            &CCrc32::multitable_crc32c};

}  // namespace

TEST(Crc32c, PublishedValues) {
    // The raw register runs from the caller's value; the published check
    // value is of the conventional form, from all ones and inverted.
    const uint8_t* text = reinterpret_cast<const uint8_t*>("abc123456789");
    uint32_t crc[3] = {0, 0, 0xFFFFFFFFu};
    ASSERT_EQ(0, CCrc32().calculate_crc32c(crc[0], text, 3));
    ASSERT_EQ(0, CCrc32().calculate_crc32c(crc[1], text + 3, 9));
    ASSERT_EQ(0, CCrc32().calculate_crc32c(crc[2], text + 3, 9));
    EXPECT_EQ(0x562F9CCDu, crc[0]);
    EXPECT_EQ(0x58E3FA20u, crc[1]);
    EXPECT_EQ(0xE3069283u, ~crc[2]);
}

TEST(Crc32c, NullOrEmptyBufferIsRefusedAndLeavesTheValue) {
    const uint8_t data[16] = {1, 2, 3};
    const std::pair<const uint8_t*, int32_t> rows[] = {
        {data, 0}, {data, -1}, {data, INT32_MIN}, {nullptr, 9}};
    for (const auto& r : rows) {
        uint32_t crc = 0x12345678u;
        for (Routine routine : ROUTINES) {
            EXPECT_EQ(-1, (CCrc32().*routine)(crc, r.first, r.second)) << r.second;
        }
        EXPECT_EQ(-1, CCrc32().crc32c_sb8_64_bit(crc, r.first, r.second, 1)) << r.second;
        EXPECT_EQ(0x12345678u, crc) << r.second;
    }
}

TEST(Crc32c, EveryRoutineAlignmentLengthAndRunningValueMatchesTheDefinition) {
    const CCrc32 crc32;
    std::vector<uint8_t> source(1 << 16);
    std::generate(source.begin(), source.end(), std::mt19937(7));
    for (size_t offset = 0; offset < 8; ++offset) {
        for (int32_t len = 1; len <= 150; ++len) {
            // Sized exactly, so that any read past the end is caught by ASan.
            std::vector<uint8_t> buffer(offset + len);
            std::memcpy(buffer.data() + offset, source.data(), len);
            const uint32_t seed = len * 2654435761u;  // as carried in from earlier buffers
            const uint32_t expected = BitwiseCrc32c(seed, source.data(), len);
            SCOPED_TRACE(testing::Message() << "offset " << offset << " len " << len);
            for (Routine routine : ROUTINES) {
                uint32_t crc = seed;
                ASSERT_EQ(0, (crc32.*routine)(crc, buffer.data() + offset, len));
                EXPECT_EQ(expected, crc);
            }
            // Any count of leading bytes, even more than the buffer holds.
            for (uint32_t init = 0; init <= 9; ++init) {
                uint32_t crc = seed;
                ASSERT_EQ(0, crc32.crc32c_sb8_64_bit(crc, buffer.data() + offset, len, init));
                EXPECT_EQ(expected, crc) << "leading bytes " << init;
            }
        }
    }
    // A long buffer meets every entry of every table.
    uint32_t crc = 0;
    ASSERT_EQ(0, crc32.calculate_crc32c(crc, source.data() + 1, static_cast<int32_t>(source.size() - 1)));
    EXPECT_EQ(BitwiseCrc32c(0, source.data() + 1, source.size() - 1), crc);
}
