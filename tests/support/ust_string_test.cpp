// Truncation boundaries of the fixed-capacity strings: every operation cuts
// to the capacity and reads nothing past either array.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "DateType.h"
#include "string/ust_string_base.h"

using namespace Kest_U50;

namespace {

template <size_t N>
std::string S(const CUstCharArray<N>& s) {
    return std::string(s.data(), s.Length());
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
    for (const auto& piece : res) out += "<" + S(piece) + ">";
    return out;
}

std::string R(char c, size_t n) { return std::string(n, c); }

}  // namespace

TEST(UstCharArray, EveryOperationCutsAtTheCapacity) {
    CBufferType forty;
    forty.UnSafeCopyFrom("0123456789012345678901234567890123456789");
    CInstrumentType self("abcdef");
    CFPGADMANameType c62;
    c62.UnSafeCopyFrom(R('c', 62).c_str());
    const std::pair<std::string, std::string> rows[] = {
        // {what the operations gave, what they must give}
        {S(CInstrumentType("qqqqqqqqqqqqqqqqqqqqqqqqqqqqqqq")), R('q', 31)},
        {S(CInstrumentType("rrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrr")), R('r', 31)},
        {S(CInstrumentType().CopyFrom(SField<31>('z').bytes)), R('z', 30)},
        {S(CInstrumentType().CopyFrom(SField<40>('w', 10).bytes)), R('w', 10)},
        {S(CInstrumentType().CopyFrom(SField<40>('w').bytes)), R('w', 31)},
        {S(CAddressType().UnSafeCopyFrom(R('x', 255).c_str())), R('x', 255)},
        {S(CInstrumentType("junk").CopyFrom(CInstrumentType("abc"), 3, 1)), ""},
        {S(CInstrumentType("junk").CopyFrom(CInstrumentType("abcdefgh"), 5, 100)), "fgh"},
        {S(CInstrumentType().CopyFrom(forty, 0, 100)), "0123456789012345678901234567890"},
        {S(self.CopyFrom(self, 2, 100)), "cdef"},
        // Appends cut the appended text only.
        {S(CFPGADMANameType(c62).Append('d')), R('c', 62) + "d"},
        {S(CFPGADMANameType(c62).Append('d').Append('e')), R('c', 62) + "d"},
        {S(CUstCharArray<1>().Append('a')), ""},
        {S(CUstCharArray<8>("abcde").Append("123456").Append("z")), "abcde12"},
        {S(CInstrumentType("a").Append(SField<4>('w').bytes, 1000)), "awwww"},  // never past the source
        {S(CInstrumentType().Append(INT32_MIN)), "-2147483648"},
        // Digits that do not fit are lost from the most significant end.
        {S(CUstCharArray<8>("abcd").Append(123456)), "abcd456"},
        {S(CUstCharArray<8>("abcdef").Append(0)), "abcdef0"},
        {S(CUstCharArray<8>("abcdef").Append(-7)), "abcdef-"},
        {S(CUstCharArray<8>("abcdefg").Append(9).Append(0).Append(-1)), "abcdefg"},
        {S(CInstrumentType("abcdefgh").ParseInt(42, 2)), "ab42"},
        {S(CInstrumentType().ParseInt(UINT64_MAX, 0)), "18446744073709551615"},
        {S(CUstCharArray<8>("abc").ParseInt(12345, 1000).ParseInt(0, SIZE_MAX)), "abc"},
        // An array without terminator is read as its N characters.
        {std::to_string(CUstCharArray<1>::BuffCast(SField<5>('a').bytes).Length()), "5"},
        {std::to_string(CUstCharArray<1>::BuffCast(SField<3>('1').bytes).ToInt32()), "111"},
        // Only an exact match compares equal; past the capacity reads as NUL.
        {std::to_string(CInstrumentListType("all,").Comp("all") != 0), "1"},
        {std::to_string(CInstrumentListType("all").Comp("all")), "0"},
        {std::to_string(CUstCharArray<2>("a").Comp("abcdef") != 0), "1"},
        {std::to_string(CUstCharArray<1>::BuffCast(SField<2>('a').bytes).Comp("aa")), "0"},
        // Split pieces: empty ones between separators, none after the last;
        // each cut to its capacity, appended to what the vector held.
        {Split<256>(CAddressType("239.3.42.71:21000"), ':'), "<239.3.42.71><21000>"},
        {Split<256>(CAddressType(""), ':'), ""},
        {Split<32>(CInstrumentListType(",cu2406,,al2407,"), ','), "<><cu2406><><al2407>"},
        {Split<32>(CInstrumentListType("x,y"), ',', {CInstrumentType("old")}), "<old><x><y>"},
        {Split<4>(CInstrumentListType("abcdef,gh,ijkl"), ','), "<abc><gh><ijk>"},
    };
    for (const auto& r : rows) EXPECT_EQ(r.second, r.first) << "row " << &r - rows;
}
