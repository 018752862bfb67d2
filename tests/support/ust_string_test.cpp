#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "DateType.h"
#include "string/ust_string_base.h"

using namespace Kest_U50;

namespace {

// The contents; with whole, all N bytes (terminator and tail included).
template <size_t N>
std::string S(const CUstCharArray<N>& s, bool whole = false) {
    return std::string(s.data(), whole ? N : s.Length());
}

// A plain char[M] of c, with a NUL at nulAt if that lies inside.
template <size_t M>
struct SField {
    explicit SField(char c, size_t nulAt = M) {
        std::memset(bytes, c, M);
        if (nulAt < M) bytes[nulAt] = '\0';
    }
    char bytes[M];
};

// The pieces of s split at ch and appended to res, each as "<piece>".
template <size_t M, size_t N>
std::string Split(const CUstCharArray<N>& s, char ch, std::vector<CUstCharArray<M>> res = {}) {
    s.SplitByChar(res, ch);
    std::string out;
    for (const auto& piece : res) {
        out += "<" + S(piece) + ">";
    }
    return out;
}

std::string R(char c, size_t n) { return std::string(n, c); }

// Rows of {what the operations gave, what they must give}.
void Check(const std::vector<std::pair<std::string, std::string>>& rows) {
    for (size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(rows[i].second, rows[i].first) << "row " << i;
    }
}

}  // namespace

TEST(UstCharArray, CopiesTruncateToTheCapacity) {
    CBufferType forty;
    forty.UnSafeCopyFrom("0123456789012345678901234567890123456789");
    CInstrumentType self("abcdef");
    const char embedded[8] = {'a', '\0', 'c', 'd', 'e', 'f', 'g', 'h'};
    Check({
        {S(CInstrumentType("qqqqqqqqqqqqqqqqqqqqqqqqqqqqqqq")), R('q', 31)},
        {S(CInstrumentType("rrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrr")), R('r', 31)},
        {S(CInstrumentType("old").CopyFrom(SField<31>('z').bytes)), R('z', 30)},
        {S(CInstrumentType("old").CopyFrom(SField<31>('z', 0).bytes)), ""},
        {S(CInstrumentType("old").CopyFrom(SField<40>('w', 10).bytes)), R('w', 10)},
        {S(CInstrumentType("old").CopyFrom(SField<40>('w').bytes)), R('w', 31)},
        // A source that fits is copied byte for byte, NULs included.
        {S(CUstCharArray<8>().CopyFrom(embedded), true), std::string("a\0cdefg\0", 8)},
        {S(CAddressType().UnSafeCopyFrom(R('x', 300).c_str())), R('x', 255)},
        {S(CAddressType().UnSafeCopyFrom(R('x', 255).c_str())), R('x', 255)},
        {S(CAddressType("239.3.42.71").UnSafeCopyFrom(nullptr)), "239.3.42.71"},
        {S(CUstCharArray<8>().UnSafeCopyFrom("abcdefghijk").UnSafeCopyFrom("ab"), true),
         std::string("ab\0\0\0\0\0\0", 8)},
        {S(CInstrumentType("junk").CopyFrom(CInstrumentType("abc"), 5, 3)), ""},
        {S(CInstrumentType("junk").CopyFrom(CInstrumentType("abcdefgh"), 5, 3)), "fgh"},
        {S(CInstrumentType("junk").CopyFrom(CInstrumentType("abc"), 1, 0)), ""},
        {S(CInstrumentType().CopyFrom(forty, 0, 100)), "0123456789012345678901234567890"},
        {S(self.CopyFrom(self, 2, 100)), "cdef"},
    });
}

TEST(UstCharArray, AppendsCutTheAppendedTextOnly) {
    CFPGADMANameType c62;
    c62.UnSafeCopyFrom(R('c', 62).c_str());
    Check({
        {S(CFPGADMANameType(c62).Append('d')), R('c', 62) + "d"},
        {S(CFPGADMANameType(c62).Append('d').Append('e')), R('c', 62) + "d"},
        {S(CUstCharArray<1>().Append('a')), ""},
        {S(CInstrumentType("ab").Append("cdef", 2).Append("xyz", 0).Append("")), "abcd"},
        {S(CUstCharArray<8>("abcde").Append("123456").Append("z")), "abcde12"},
        {S(CInstrumentType("a").Append(SField<4>('w').bytes, 1000)), "awwww"},  // never past the source
        {S(CFPGADMANameType("CUSTOM_CHAN").Append(0).Append("_DATA")), "CUSTOM_CHAN0_DATA"},
        {S(CFPGADMANameType("CUSTOM_CHAN").Append(12).Append("_DATA")), "CUSTOM_CHAN12_DATA"},
        {S(CFPGADMANameType("CUSTOM_CHAN").Append(-12).Append("_DATA")), "CUSTOM_CHAN-12_DATA"},
        {S(CInstrumentType().Append(INT32_MIN)), "-2147483648"},
        // Digits that do not fit are lost from the most significant end.
        {S(CUstCharArray<8>("abcd").Append(123456)), "abcd456"},
        {S(CUstCharArray<8>("abcdef").Append(0)), "abcdef0"},
        {S(CUstCharArray<8>("abcdef").Append(-7)), "abcdef-"},
        {S(CUstCharArray<8>("abcdefg").Append(9).Append(0).Append(-1)), "abcdefg"},
        {S(CInstrumentType("abcdefgh").ParseInt(42, 2)), "ab42"},
        {S(CInstrumentType().ParseInt(UINT64_MAX, 0)), "18446744073709551615"},
        {S(CUstCharArray<8>("abcdefg").ParseInt(77, 5)), "abcde77"},
        {S(CUstCharArray<8>("abc").ParseInt(12345, 1000).ParseInt(0, SIZE_MAX)), "abc"},
    });
}

TEST(UstCharArray, CompareConvertAndView) {
    const char high[2] = {static_cast<char>(0x80), '\0'};
    const auto str = [](long v) { return std::to_string(v); };
    Check({
        // Only an exact match is 0; the sign follows the literal's (signed) character.
        {str(CInstrumentListType("all").Comp("all")), "0"},
        {str(CInstrumentListType("ALL").Comp("all")), "1"},
        {str(CInstrumentListType("all ").Comp("all")), "-1"},
        {str(CInstrumentListType("al").Comp("all")), "1"},
        {str(CInstrumentType(high).Comp("a")), "1"},
        // Nothing is read past either array.
        {str(CUstCharArray<2>("a").Comp("abcdef")), "1"},
        {str(CUstCharArray<1>::BuffCast(SField<2>('a').bytes).Comp("aa")), "0"},
        {str(CUstCharArray<1>::BuffCast(SField<5>('a').bytes).Length()), "5"},
        {str(CUstCharArray<1>::BuffCast(SField<3>('1').bytes).ToInt32()), "111"},
        {str(CInstrumentType("  -42xyz").ToInt32()), "-42"},
        {str(CInstrumentType("abc").ToInt32()), "0"},
    });
    char raw[32] = "rb2410";  // a view is the array itself
    EXPECT_EQ(static_cast<void*>(raw), &CUstCharArray<1>::BuffCast(raw).Append('x'));
    EXPECT_STREQ("rb2410x", raw);
}

TEST(UstCharArray, SplitByChar) {
    Check({
        {Split<256>(CAddressType("239.3.42.71:21000"), ':'), "<239.3.42.71><21000>"},
        {Split<256>(CAddressType("239.3.42.71"), ':'), "<239.3.42.71>"},
        {Split<256>(CAddressType(""), ':'), ""},
        {Split<32>(CInstrumentListType("cu2406,,al2407,"), ','), "<cu2406><><al2407>"},
        {Split<32>(CInstrumentListType(",a"), ','), "<><a>"},
        {Split<32>(CInstrumentListType(","), ','), "<>"},
        {Split<32>(CInstrumentListType("x,y"), ',', {CInstrumentType("old")}), "<old><x><y>"},
        {Split<4>(CInstrumentListType("abcdef,gh,ijkl"), ','), "<abc><gh><ijk>"},
    });
}
