// Fixed-capacity strings: every operation cuts to the capacity and keeps the
// layout of char[N], whatever it is given.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "string/ust_string_base.h"

namespace {

using Kest_U50::CUstCharArray;

std::string Bytes(const CUstCharArray<8>& s) { return std::string(s.data(), sizeof s); }

TEST(FixedString, CopiesAndAppendsAreCutToTheCapacityAndTheTailIsZeroed) {
    static_assert(sizeof(CUstCharArray<8>) == 8, "the layout of char[8]");
    CUstCharArray<8> s;
    s.UnSafeCopyFrom("abcdefghij");
    EXPECT_EQ(Bytes(s), std::string("abcdefg\0", 8));
    s.UnSafeCopyFrom("xy");
    EXPECT_EQ(Bytes(s), std::string("xy\0\0\0\0\0\0", 8));
    s.Append("12345678");
    EXPECT_STREQ(s.data(), "xy12345");
    s.Append('z');
    EXPECT_STREQ(s.data(), "xy12345");
    s.CopyFrom(s, 2, 3);
    EXPECT_STREQ(s.data(), "123");
    s.CopyFrom(s, 5, 1);
    EXPECT_STREQ(s.data(), "");

    CUstCharArray<16> n("id");
    n.Append(static_cast<int32_t>(INT32_MIN));
    EXPECT_STREQ(n.data(), "id-2147483648");
    CUstCharArray<6> cut;
    cut.Append(static_cast<int32_t>(1234567));  // the most significant digits go
    EXPECT_STREQ(cut.data(), "34567");
    CUstCharArray<6> zero("a");
    zero.Append(static_cast<int32_t>(0));
    EXPECT_STREQ(zero.data(), "a0");
}

TEST(FixedString, SplitNumbersAndExactComparison) {
    const CUstCharArray<64> line("239.3.42.71:21000::x");
    std::vector<CUstCharArray<8>> parts;
    line.SplitByChar(parts, ':');
    ASSERT_EQ(parts.size(), 4u);
    EXPECT_STREQ(parts[0].data(), "239.3.4");  // cut to the piece's capacity
    EXPECT_STREQ(parts[1].data(), "21000");
    EXPECT_STREQ(parts[2].data(), "");
    EXPECT_STREQ(parts[3].data(), "x");
    EXPECT_EQ(parts[1].ToInt32(), 21000);
    EXPECT_EQ(CUstCharArray<8>(" -42x").ToInt32(), -42);
    EXPECT_EQ(CUstCharArray<8>().ToInt32(), 0);

    const CUstCharArray<8> cu("cu");
    EXPECT_EQ(cu.Comp("cu"), 0);
    EXPECT_NE(cu.Comp("cu2"), 0);
    EXPECT_NE(cu.Comp("c"), 0);
    EXPECT_NE(CUstCharArray<8>("cu2").Comp("cu"), 0);
    EXPECT_EQ(CUstCharArray<2>("c").Comp("cu"), 1);  // past the capacity reads as NUL
}

}  // namespace
