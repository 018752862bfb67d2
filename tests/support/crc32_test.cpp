#include "crc/Crc32.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

using Kest_U50::CCrc32;

namespace {

// Bit-at-a-time CRC-32C register update, the definition the tables must agree with.
uint32_t BitwiseCrc32c(uint32_t crc, const uint8_t* data, size_t len) {
    for (size_t i = 0; i < len; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 1u) ? (crc >> 1) ^ 0x82F63B78u : crc >> 1;
        }
    }
    return crc;
}

std::vector<uint8_t> RandomBytes(size_t n, uint32_t seed) {
    std::mt19937 gen(seed);
    std::vector<uint8_t> out(n);
    for (auto& b : out) {
        b = static_cast<uint8_t>(gen());
    }
    return out;
}

const uint8_t* Bytes(const char* text) { return reinterpret_cast<const uint8_t*>(text); }

}  // namespace

TEST(Crc32cVectors, PublishedValues) {
    CCrc32 crc32;
    uint32_t crc = 0;
    ASSERT_EQ(0, crc32.calculate_crc32c(crc, Bytes("abc"), 3));
    EXPECT_EQ(0x562F9CCDu, crc);

    crc = 0;
    ASSERT_EQ(0, crc32.calculate_crc32c(crc, Bytes("123456789"), 9));
    EXPECT_EQ(0x58E3FA20u, crc);

    crc = 0xFFFFFFFFu;
    ASSERT_EQ(0, crc32.calculate_crc32c(crc, Bytes("123456789"), 9));
    EXPECT_EQ(0xE3069283u, ~crc);
}

TEST(Crc32cVectors, Rfc3720Examples) {
    // The iSCSI examples use the conventional form: start from all ones,
    // invert the result.
    uint8_t zeros[32] = {};
    uint8_t ones[32];
    uint8_t up[32];
    uint8_t down[32];
    for (int i = 0; i < 32; ++i) {
        ones[i] = 0xFF;
        up[i] = static_cast<uint8_t>(i);
        down[i] = static_cast<uint8_t>(31 - i);
    }
    CCrc32 crc32;
    const struct {
        const uint8_t* data;
        uint32_t expected;
    } cases[] = {{zeros, 0x8A9136AAu}, {ones, 0x62A8AB43u}, {up, 0x46DD794Eu}, {down, 0x113FDB5Cu}};
    for (const auto& c : cases) {
        uint32_t crc = 0xFFFFFFFFu;
        ASSERT_EQ(0, crc32.calculate_crc32c(crc, c.data, 32));
        EXPECT_EQ(c.expected, ~crc);
    }
}

TEST(Crc32cTables, MatchTheBitwiseDefinition) {
    const CCrc32::CrcTable* slices[] = {&CCrc32::sctp_crc_tableil8_o32, &CCrc32::sctp_crc_tableil8_o40,
                                        &CCrc32::sctp_crc_tableil8_o48, &CCrc32::sctp_crc_tableil8_o56,
                                        &CCrc32::sctp_crc_tableil8_o64, &CCrc32::sctp_crc_tableil8_o72,
                                        &CCrc32::sctp_crc_tableil8_o80, &CCrc32::sctp_crc_tableil8_o88};
    for (uint32_t i = 0; i < 256; ++i) {
        // Slice k holds the register after byte i followed by k zero bytes.
        uint8_t message[8] = {static_cast<uint8_t>(i)};
        EXPECT_EQ(BitwiseCrc32c(0, message, 1), CCrc32::crc32Table[i]) << i;
        for (size_t k = 0; k < 8; ++k) {
            EXPECT_EQ(BitwiseCrc32c(0, message, k + 1), (*slices[k])[i]) << "slice " << k << " entry " << i;
        }
    }
    EXPECT_EQ(0xF26B8303u, CCrc32::crc32Table[1]);
}

TEST(Crc32cInput, RejectsNullAndEmptyBuffers) {
    CCrc32 crc32;
    const uint8_t data[16] = {1, 2, 3};
    for (int32_t len : {0, -1, INT32_MIN}) {
        uint32_t crc = 0x12345678u;
        EXPECT_EQ(-1, crc32.calculate_crc32c(crc, data, len));
        EXPECT_EQ(-1, crc32.singletable_crc32c(crc, data, len));
        EXPECT_EQ(-1, crc32.multitable_crc32c(crc, data, len));
        EXPECT_EQ(-1, crc32.crc32c_sb8_64_bit(crc, data, len, 4));
        EXPECT_EQ(0x12345678u, crc);
    }
    uint32_t crc = 0x12345678u;
    EXPECT_EQ(-1, crc32.calculate_crc32c(crc, nullptr, 9));
    EXPECT_EQ(-1, crc32.singletable_crc32c(crc, nullptr, 9));
    EXPECT_EQ(-1, crc32.multitable_crc32c(crc, nullptr, 9));
    EXPECT_EQ(-1, crc32.crc32c_sb8_64_bit(crc, nullptr, 9, 1));
    EXPECT_EQ(0x12345678u, crc);
}

TEST(Crc32cPaths, EveryAlignmentAndLengthMatchesTheReference) {
    CCrc32 crc32;
    const std::vector<uint8_t> source = RandomBytes(160, 7);
    for (size_t offset = 0; offset < 8; ++offset) {
        for (size_t len = 1; len <= 150; ++len) {
            // Sized exactly so that any read past the end is caught by ASan.
            std::vector<uint8_t> buffer(offset + len);
            std::memcpy(buffer.data() + offset, source.data(), len);
            const uint8_t* start = buffer.data() + offset;
            const uint32_t seed = static_cast<uint32_t>(len * 2654435761u);
            const uint32_t expected = BitwiseCrc32c(seed, source.data(), len);

            uint32_t crc = seed;
            ASSERT_EQ(0, crc32.calculate_crc32c(crc, start, static_cast<int32_t>(len)));
            EXPECT_EQ(expected, crc) << "offset " << offset << " len " << len;

            crc = seed;
            ASSERT_EQ(0, crc32.singletable_crc32c(crc, start, static_cast<int32_t>(len)));
            EXPECT_EQ(expected, crc) << "single, offset " << offset << " len " << len;

            crc = seed;
            ASSERT_EQ(0, crc32.multitable_crc32c(crc, start, static_cast<int32_t>(len)));
            EXPECT_EQ(expected, crc) << "multi, offset " << offset << " len " << len;

            // Any count of leading bytes gives the same value, even more than the buffer holds.
            for (uint32_t init = 0; init <= 9; ++init) {
                crc = seed;
                ASSERT_EQ(0, crc32.crc32c_sb8_64_bit(crc, start, static_cast<int32_t>(len), init));
                EXPECT_EQ(expected, crc) << "sb8, offset " << offset << " len " << len << " init " << init;
            }
        }
    }
}

TEST(Crc32cPaths, EverySplitIntoTwoCallsMatchesOneCall) {
    CCrc32 crc32;
    const std::vector<uint8_t> source = RandomBytes(67, 11);
    for (size_t offset = 0; offset < 8; ++offset) {
        std::vector<uint8_t> buffer(offset + source.size());
        std::memcpy(buffer.data() + offset, source.data(), source.size());
        const uint8_t* start = buffer.data() + offset;
        const uint32_t expected = BitwiseCrc32c(0, source.data(), source.size());
        for (size_t split = 1; split < source.size(); ++split) {
            uint32_t crc = 0;
            ASSERT_EQ(0, crc32.calculate_crc32c(crc, start, static_cast<int32_t>(split)));
            ASSERT_EQ(
                0, crc32.calculate_crc32c(crc, start + split, static_cast<int32_t>(source.size() - split)));
            EXPECT_EQ(expected, crc) << "offset " << offset << " split " << split;
        }
    }
}

TEST(Crc32cPaths, LargeBuffer) {
    CCrc32 crc32;
    const std::vector<uint8_t> data = RandomBytes(1 << 20, 3);
    uint32_t crc = 0;
    ASSERT_EQ(0, crc32.calculate_crc32c(crc, data.data() + 1, static_cast<int32_t>(data.size() - 1)));
    EXPECT_EQ(BitwiseCrc32c(0, data.data() + 1, data.size() - 1), crc);
}

TEST(Crc32cPaths, AlignedFourBytes) {
    CCrc32 crc32;
    alignas(8) const uint8_t word[4] = {'1', '2', '3', '4'};
    uint32_t crc = 0;
    ASSERT_EQ(0, crc32.multitable_crc32c(crc, word, 4));
    EXPECT_EQ(BitwiseCrc32c(0, word, 4), crc);
}
