#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

#include "DateType.h"
#include "string/ust_string_base.h"

using Kest_U50::CAddressType;
using Kest_U50::CBufferType;
using Kest_U50::CFPGADMANameType;
using Kest_U50::CInstrumentListType;
using Kest_U50::CInstrumentType;
using Kest_U50::CUstCharArray;

namespace {

template <size_t N>
std::string Str(const CUstCharArray<N>& s) {
    return std::string(s.data(), s.Length());
}

template <size_t M>
std::vector<std::string> Pieces(const std::vector<CUstCharArray<M>>& v) {
    std::vector<std::string> out;
    for (const auto& piece : v) {
        out.push_back(Str(piece));
    }
    return out;
}

std::string Repeat(char c, size_t n) { return std::string(n, c); }

}  // namespace

TEST(UstCharArrayLayout, IsExactlyACharArray) {
    EXPECT_EQ(32u, sizeof(CInstrumentType));
    EXPECT_EQ(1u, alignof(CInstrumentType));
    EXPECT_EQ(4096u, sizeof(CInstrumentListType));
    EXPECT_TRUE(std::is_standard_layout<CInstrumentListType>::value);
    EXPECT_TRUE(std::is_trivially_copyable<CInstrumentListType>::value);
    EXPECT_TRUE((std::is_same<const char(&)[64], decltype(CFPGADMANameType().data())>::value));

    // A record of several arrays, zero-filled as raw bytes, holds empty strings.
    struct SRecord {
        CInstrumentType a;
        CAddressType b[3];
        CInstrumentListType c;
    };
    alignas(SRecord) unsigned char raw[sizeof(SRecord)];
    std::memset(raw, 0x5A, sizeof(raw));
    std::memset(raw, 0, sizeof(raw));
    const SRecord& record = *reinterpret_cast<const SRecord*>(raw);
    EXPECT_EQ(0u, record.a.Length());
    EXPECT_EQ(0u, record.b[2].Length());
    EXPECT_EQ(0u, record.c.Length());
    EXPECT_EQ(sizeof(CInstrumentType) + 3 * sizeof(CAddressType) + sizeof(CInstrumentListType),
              sizeof(SRecord));
}

TEST(UstCharArrayBasics, DefaultClearSizeAndLength) {
    CInstrumentType s;
    EXPECT_EQ(0u, s.Length());
    EXPECT_EQ('\0', s.data()[0]);
    EXPECT_EQ(32u, s.Size());
    s.CopyFrom("cu2406");
    EXPECT_EQ("cu2406", Str(s));
    s.Clear();
    EXPECT_EQ(0u, s.Length());
    // Clear writes only the first byte.
    EXPECT_EQ('u', s.data()[1]);

    // An array with no terminator reads as its N characters and no further.
    char raw[5] = {'a', 'b', 'c', 'd', 'e'};
    EXPECT_EQ(5u, CUstCharArray<1>::BuffCast(raw).Length());
}

TEST(UstCharArrayCopy, LiteralsAndFixedArrays) {
    EXPECT_EQ("CUSTOM_CHAN", Str(CFPGADMANameType("CUSTOM_CHAN")));
    // A literal of exactly N-1 characters fits whole.
    EXPECT_EQ(Repeat('q', 31), Str(CInstrumentType("qqqqqqqqqqqqqqqqqqqqqqqqqqqqqqq")));
    // A longer literal is cut to N-1.
    EXPECT_EQ(Repeat('r', 31), Str(CInstrumentType("rrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrr")));

    // A char[31] field: empty when its first byte is NUL, at most 30 characters otherwise.
    char field[31];
    std::memset(field, 'z', sizeof(field));
    CInstrumentType inst("previous");
    field[0] = '\0';
    inst.CopyFrom(field);
    EXPECT_EQ("", Str(inst));
    std::memset(field, 'z', sizeof(field));
    inst.CopyFrom(field);
    EXPECT_EQ(Repeat('z', 30), Str(inst));

    // A source that fits is copied byte for byte, embedded NULs included.
    char embedded[8] = {'a', '\0', 'c', 'd', 'e', 'f', 'g', 'h'};
    CUstCharArray<16> verbatim;
    verbatim.CopyFrom(embedded);
    EXPECT_EQ(1u, verbatim.Length());
    EXPECT_EQ(0, std::memcmp(verbatim.data(), embedded, 7));
    EXPECT_EQ('\0', verbatim.data()[7]);

    // A larger source stops at its first NUL or at N-1.
    char wide[40];
    std::memset(wide, 'w', sizeof(wide));
    wide[10] = '\0';
    inst.CopyFrom(wide);
    EXPECT_EQ(Repeat('w', 10), Str(inst));
    std::memset(wide, 'w', sizeof(wide));  // no terminator at all
    inst.CopyFrom(wide);
    EXPECT_EQ(Repeat('w', 31), Str(inst));
}

TEST(UstCharArrayCopy, UnSafeCopyFrom) {
    const std::string longText = Repeat('x', 300);
    CAddressType addr;
    addr.UnSafeCopyFrom(longText.c_str());
    EXPECT_EQ(255u, addr.Length());
    EXPECT_EQ(Repeat('x', 255), Str(addr));

    for (size_t len : {254u, 255u, 256u}) {
        const std::string text = Repeat('y', len);
        addr.UnSafeCopyFrom(text.c_str());
        EXPECT_EQ(len < 255 ? len : 255u, addr.Length()) << len;
    }

    addr.UnSafeCopyFrom("239.3.42.71:21000");
    addr.UnSafeCopyFrom(nullptr);
    EXPECT_EQ("239.3.42.71:21000", Str(addr));

    // The rest of the array is zero-filled, as strncpy does.
    CUstCharArray<8> small;
    small.UnSafeCopyFrom("abcdefghijk");
    small.UnSafeCopyFrom("ab");
    for (size_t i = 2; i < 8; ++i) {
        EXPECT_EQ('\0', small.data()[i]) << i;
    }
}

TEST(UstCharArrayCopy, Substring) {
    CInstrumentType out("junk");
    out.CopyFrom(CInstrumentType("abc"), 5, 3);
    EXPECT_EQ("", Str(out));
    out.CopyFrom(CInstrumentType("abcdefgh"), 5, 3);
    EXPECT_EQ("fgh", Str(out));
    out.CopyFrom(CInstrumentType("abc"), 3, 1);  // pos == length
    EXPECT_EQ("", Str(out));
    out.CopyFrom(CInstrumentType("abc"), 1, 0);  // zero length inside the source
    EXPECT_EQ("", Str(out));
    out.CopyFrom(CInstrumentType("abcdef"), 2, 100);  // cut to what the source holds
    EXPECT_EQ("cdef", Str(out));

    CBufferType forty;
    forty.UnSafeCopyFrom("0123456789012345678901234567890123456789");
    out.CopyFrom(forty, 0, 100);
    EXPECT_EQ("0123456789012345678901234567890", Str(out));

    // The source may be the destination itself.
    CInstrumentType self("abcdef");
    self.CopyFrom(self, 2, 100);
    EXPECT_EQ("cdef", Str(self));
}

TEST(UstCharArrayAppend, Character) {
    CFPGADMANameType name;
    name.UnSafeCopyFrom(Repeat('c', 62).c_str());
    name.Append('d');
    EXPECT_EQ(63u, name.Length());
    EXPECT_EQ('d', name.data()[62]);
    name.Append('e');
    EXPECT_EQ(63u, name.Length());
    EXPECT_EQ('d', name.data()[62]);

    CUstCharArray<2> tiny;
    tiny.Append('a').Append('b');
    EXPECT_EQ("a", Str(tiny));
    CUstCharArray<1> none;
    none.Append('a');
    EXPECT_EQ(0u, none.Length());
}

TEST(UstCharArrayAppend, TextWithLength) {
    CInstrumentType s("ab");
    s.Append("cdef", 2);
    EXPECT_EQ("abcd", Str(s));
    s.Append("xyz", 0);
    EXPECT_EQ("abcd", Str(s));
    s.Append("");
    EXPECT_EQ("abcd", Str(s));

    // The appended text is cut, never the existing contents.
    CUstCharArray<8> eight("abcde");
    eight.Append("123456");
    EXPECT_EQ("abcde12", Str(eight));
    eight.Append("z");
    EXPECT_EQ("abcde12", Str(eight));

    // A length beyond the source array reads no further than the array.
    const char unterminated[4] = {'w', 'x', 'y', 'z'};
    CInstrumentType t("a");
    t.Append(unterminated, 1000);
    EXPECT_EQ("awxyz", Str(t));
}

TEST(UstCharArrayAppend, SignedNumbers) {
    EXPECT_EQ("CUSTOM_CHAN0_DATA", Str(CFPGADMANameType("CUSTOM_CHAN").Append(0).Append("_DATA")));
    EXPECT_EQ("CUSTOM_CHAN12_DATA", Str(CFPGADMANameType("CUSTOM_CHAN").Append(12).Append("_DATA")));
    EXPECT_EQ("CUSTOM_CHAN-12_DATA", Str(CFPGADMANameType("CUSTOM_CHAN").Append(-12).Append("_DATA")));
    EXPECT_EQ("-2147483648", Str(CInstrumentType().Append(INT32_MIN)));
    EXPECT_EQ("2147483647", Str(CInstrumentType().Append(INT32_MAX)));
    EXPECT_EQ("channel15", Str(CInstrumentType("channel").Append(15)));

    // Only the least significant digits survive when the room runs out.
    CUstCharArray<8> eight("abcd");
    eight.Append(123456);
    EXPECT_EQ("abcd456", Str(eight));
    CUstCharArray<8> nearlyFull("abcdef");
    nearlyFull.Append(0);
    EXPECT_EQ("abcdef0", Str(nearlyFull));
    CUstCharArray<8> forMinus("abcdef");
    forMinus.Append(-7);
    EXPECT_EQ("abcdef-", Str(forMinus));
    CUstCharArray<8> full("abcdefg");
    full.Append(9).Append(0).Append(-1);
    EXPECT_EQ("abcdefg", Str(full));
}

TEST(UstCharArrayAppend, ParseIntAtPosition) {
    CInstrumentType s("abcdefgh");
    s.ParseInt(42, 2);
    EXPECT_EQ("ab42", Str(s));
    s.ParseInt(0, 0);
    EXPECT_EQ("0", Str(s));
    s.ParseInt(UINT64_MAX, 0);
    EXPECT_EQ("18446744073709551615", Str(s));

    CUstCharArray<8> eight("abcdefg");
    eight.ParseInt(5, 7);  // array full: nothing is appended
    EXPECT_EQ("abcdefg", Str(eight));
    eight.ParseInt(5, 6);
    EXPECT_EQ("abcdef5", Str(eight));
    eight.ParseInt(0, 6);
    EXPECT_EQ("abcdef0", Str(eight));
    eight.ParseInt(77, 5);
    EXPECT_EQ("abcde77", Str(eight));
    // A position far past the end writes nothing outside the array.
    CUstCharArray<8> far("abc");
    far.ParseInt(12345, 1000);
    far.ParseInt(0, SIZE_MAX);
    EXPECT_EQ("abc", Str(far));
}

TEST(UstCharArrayCompare, AgainstLiterals) {
    EXPECT_EQ(0, CInstrumentListType("all").Comp("all"));
    EXPECT_NE(0, CInstrumentListType("ALL").Comp("all"));
    EXPECT_NE(0, CInstrumentListType("all ").Comp("all"));
    EXPECT_NE(0, CInstrumentListType("all,").Comp("all"));
    EXPECT_NE(0, CInstrumentListType("al").Comp("all"));
    EXPECT_NE(0, CInstrumentListType("").Comp("all"));
    EXPECT_EQ(0, CInstrumentListType("").Comp(""));

    // The sign follows the literal's character, taken as signed char.
    EXPECT_EQ(1, CInstrumentType("alk").Comp("all"));
    EXPECT_EQ(-1, CInstrumentType("alm").Comp("all"));
    EXPECT_EQ(1, CInstrumentType("al").Comp("all"));
    EXPECT_EQ(-1, CInstrumentType("alls").Comp("all"));
    const char high[2] = {static_cast<char>(0x80), '\0'};
    EXPECT_EQ(1, CInstrumentType(high).Comp("a"));

    // A literal longer than the array compares without reading past it.
    EXPECT_EQ(1, CUstCharArray<2>("a").Comp("abcdef"));
    char pair[2] = {'a', 'b'};
    EXPECT_EQ(0, CUstCharArray<1>::BuffCast(pair).Comp("ab"));
}

TEST(UstCharArrayView, BuffCastAliasesTheArray) {
    char raw[32] = "rb2410";
    CInstrumentType& view = CUstCharArray<1>::BuffCast(raw);
    EXPECT_EQ(static_cast<void*>(raw), static_cast<void*>(&view));
    EXPECT_EQ("rb2410", Str(view));
    view.Append('x');
    EXPECT_STREQ("rb2410x", raw);

    const char constant[4] = "all";
    const CUstCharArray<4>& constView = CUstCharArray<1>::BuffCast(constant);
    EXPECT_EQ(static_cast<const void*>(constant), static_cast<const void*>(&constView));
    EXPECT_EQ(3u, constView.Length());
    EXPECT_EQ(0, constView.Comp("all"));
}

TEST(UstCharArrayConvert, ToInt32) {
    EXPECT_EQ(-42, CInstrumentType("  -42xyz").ToInt32());
    EXPECT_EQ(7, CInstrumentType("+7").ToInt32());
    EXPECT_EQ(0, CInstrumentType("").ToInt32());
    EXPECT_EQ(0, CInstrumentType("abc").ToInt32());
    char digits[3] = {'1', '2', '3'};  // no terminator
    EXPECT_EQ(123, CUstCharArray<1>::BuffCast(digits).ToInt32());
}

TEST(UstCharArraySplit, Addresses) {
    std::vector<CAddressType> parts;
    CAddressType("239.3.42.71:21000").SplitByChar(parts, ':');
    EXPECT_EQ((std::vector<std::string>{"239.3.42.71", "21000"}), Pieces(parts));

    parts.clear();
    CAddressType("239.3.42.71").SplitByChar(parts, ':');
    EXPECT_EQ((std::vector<std::string>{"239.3.42.71"}), Pieces(parts));

    parts.clear();
    CAddressType("").SplitByChar(parts, ':');
    EXPECT_TRUE(parts.empty());
}

TEST(UstCharArraySplit, InstrumentLists) {
    std::vector<CInstrumentType> insts;
    CInstrumentListType("cu2406,,al2407,").SplitByChar(insts, ',');
    EXPECT_EQ((std::vector<std::string>{"cu2406", "", "al2407"}), Pieces(insts));

    insts.clear();
    CInstrumentListType("a,,b").SplitByChar(insts, ',');
    EXPECT_EQ((std::vector<std::string>{"a", "", "b"}), Pieces(insts));

    insts.clear();
    CInstrumentListType(",a").SplitByChar(insts, ',');
    EXPECT_EQ((std::vector<std::string>{"", "a"}), Pieces(insts));

    insts.clear();
    CInstrumentListType(",").SplitByChar(insts, ',');
    EXPECT_EQ((std::vector<std::string>{""}), Pieces(insts));

    // The result is appended to, not replaced.
    CInstrumentListType("x,y").SplitByChar(insts, ',');
    EXPECT_EQ((std::vector<std::string>{"", "x", "y"}), Pieces(insts));

    // Pieces longer than M-1 are cut.
    std::vector<CUstCharArray<4>> shortPieces;
    CInstrumentListType("abcdef,gh,ijkl").SplitByChar(shortPieces, ',');
    EXPECT_EQ((std::vector<std::string>{"abc", "gh", "ijk"}), Pieces(shortPieces));

    // A list filling the whole capacity splits into every piece.
    CInstrumentListType big;
    while (big.Length() + 7 <= big.Size() - 1) {
        big.Append("rb2410,");
    }
    std::vector<CInstrumentType> many;
    big.SplitByChar(many, ',');
    EXPECT_EQ(big.Length() / 7, many.size());
    for (const auto& piece : many) {
        EXPECT_EQ("rb2410", Str(piece));
    }
}
