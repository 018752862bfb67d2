// CRC-32C: the published check value, and the sliced routines against the
// single-table one at every alignment, length and count of leading bytes.
#include "crc/Crc32.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

using Kest_U50::CCrc32;

namespace {

typedef int32_t (CCrc32::*Routine)(uint32_t&, const uint8_t*, int32_t) const;
const Routine ROUTINES[] = {&CCrc32::calculate_crc32c, &CCrc32::singletable_crc32c,
                            &CCrc32::multitable_crc32c};

}  // namespace

TEST(Crc32c, EveryRoutineGivesTheCheckValueAndRefusesAnEmptyBuffer) {
    const uint8_t* text = reinterpret_cast<const uint8_t*>("123456789");
    for (Routine routine : ROUTINES) {
        // The register runs from the caller's value: the conventional form
        // starts from all ones and inverts the result.
        uint32_t crc = 0xFFFFFFFFu;
        ASSERT_EQ(0, (CCrc32().*routine)(crc, text, 9));
        EXPECT_EQ(-1, (CCrc32().*routine)(crc, text, 0));
        EXPECT_EQ(-1, (CCrc32().*routine)(crc, text, -1));
        EXPECT_EQ(-1, (CCrc32().*routine)(crc, nullptr, 9));
        EXPECT_EQ(-1, CCrc32().crc32c_sb8_64_bit(crc, text, 0, 1));
        EXPECT_EQ(0xE3069283u, ~crc);
    }
}

TEST(Crc32c, SlicedRoutinesMatchTheSingleTableAtEveryAlignmentLengthAndSplit) {
    const CCrc32 crc32;
    std::vector<uint8_t> source(1 << 16);
    std::generate(source.begin(), source.end(), std::mt19937(7));
    for (size_t offset = 0; offset < 8; ++offset) {
        for (int32_t len = 1; len <= 150; ++len) {
            // Sized exactly, so that any read past the end is caught by ASan.
            std::vector<uint8_t> buffer(offset + len);
            std::memcpy(buffer.data() + offset, source.data(), len);
            const uint32_t seed = len * 2654435761u;  // as carried in from earlier buffers
            uint32_t expected = seed;
            ASSERT_EQ(0, crc32.singletable_crc32c(expected, source.data(), len));
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
    uint32_t crc = 0, expected = 0;
    const int32_t len = static_cast<int32_t>(source.size() - 1);
    ASSERT_EQ(0, crc32.calculate_crc32c(crc, source.data() + 1, len));
    ASSERT_EQ(0, crc32.singletable_crc32c(expected, source.data() + 1, len));
    EXPECT_EQ(expected, crc);
}
