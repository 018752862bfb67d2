// Fixed-capacity, NUL-terminated character array with the exact layout of
// char[N]. Every operation truncates instead of failing and never touches a
// byte outside the N bytes of the array (apart from reading the source it is
// given), so records that embed many of these stay plain and zero-fillable.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <type_traits>
#include <vector>

namespace Kest_U50 {

namespace ust_detail {

// All M-1 bytes of a source that fits, whatever they hold, then the
// terminator. Kept apart from the class so that it does not depend on N.
template <size_t M>
inline void CopyWhole(char* dst, const char (&src)[M]) {
    constexpr size_t MOVE_SIZE = M - 1;
    std::memmove(dst, src, MOVE_SIZE);
    dst[MOVE_SIZE] = '\0';
}

}  // namespace ust_detail

template <size_t N>
class CUstCharArray {
    static_assert(N >= 1, "a character array holds at least its terminator");

public:
    typedef char CUstArray[N];
    typedef CUstArray RawCharacterSequence;

    CUstCharArray() { Clear(); }

    template <size_t M>
    CUstCharArray(const char (&szData)[M]) {
        _MyCopy(szData);
    }

    void Clear() { m_value[0] = '\0'; }

    // strncpy semantics over the whole array: the unused tail is zeroed.
    CUstCharArray& UnSafeCopyFrom(const char* czBuff) {
        if (czBuff == nullptr) {
            return *this;
        }
        size_t n = 0;
        while (n < N && czBuff[n] != '\0') {
            ++n;
        }
        std::memmove(m_value, czBuff, n);
        std::memset(m_value + n, 0, N - n);
        m_value[N - 1] = '\0';
        return *this;
    }

    template <size_t M>
    CUstCharArray& CopyFrom(const char (&rhs)[M]) {
        return _MyCopy(rhs);
    }

    // M counts the source's terminator; a source that fits is copied byte for
    // byte (embedded NULs included), a longer one stops at its first NUL.
    template <size_t M>
    CUstCharArray& _MyCopy(const char (&szData)[M]) {
        if (szData[0] == '\0') {
            Clear();
            return *this;
        }
        if constexpr (M <= N) {
            ust_detail::CopyWhole(static_cast<char*>(m_value), szData);
        } else {
            size_t move_len = ::strnlen(szData, M);
            if (move_len > N - 1) {
                move_len = N - 1;
            }
            std::memmove(m_value, szData, move_len);
            m_value[move_len] = '\0';
        }
        return *this;
    }

    // Substring [pos, pos + len) of rhs, cut to what rhs holds and to N - 1.
    template <size_t N2>
    CUstCharArray& CopyFrom(const CUstCharArray<N2>& rhs, size_t pos, size_t len) {
        const size_t src_len = rhs.Length();
        if (src_len <= pos) {
            Clear();
            return *this;
        }
        size_t copy_len = len;
        if (copy_len > N - 1) {
            copy_len = N - 1;
        }
        if (copy_len > src_len - pos) {
            copy_len = src_len - pos;
        }
        // rhs may be this very array.
        std::memmove(m_value, rhs.data() + pos, copy_len);
        m_value[copy_len] = '\0';
        return *this;
    }

    CUstCharArray& Append(char cValue) {
        const size_t len = Length();
        if (N < 2 || len > N - 2) {
            return *this;
        }
        m_value[len] = cValue;
        m_value[len + 1] = '\0';
        return *this;
    }

    CUstCharArray& Append(int32_t iValue) {
        uint64_t magnitude = static_cast<uint32_t>(iValue);
        if (iValue < 0) {
            Append('-');
            // Negating as unsigned keeps INT32_MIN representable.
            magnitude = static_cast<uint32_t>(0U - static_cast<uint32_t>(iValue));
        }
        return ParseInt(magnitude, Length());
    }

    template <size_t M>
    CUstCharArray& Append(const char (&szBuff)[M]) {
        return Append(szBuff, M);
    }

    // The appended text is cut to the room left; existing contents stay.
    template <size_t M>
    CUstCharArray& Append(const char (&szBuff)[M], size_t len) {
        if (len > M) {
            len = M;  // never look past the source array
        }
        const size_t src_len = ::strnlen(szBuff, len);
        if (src_len == 0) {
            return *this;
        }
        const size_t pos = Length();
        if (pos >= N) {
            return *this;
        }
        const size_t room = N - pos - 1;
        const size_t copy_len = src_len < room ? src_len : room;
        std::memmove(m_value + pos, szBuff, copy_len);
        m_value[pos + copy_len] = '\0';
        return *this;
    }

    // Decimal digits of iValue from start_pos on. Digits that do not fit
    // before index N - 1 are dropped from the most significant end.
    CUstCharArray& ParseInt(uint64_t iValue, size_t start_pos) {
        const int r = _ParseIntRight(iValue, start_pos);
        if (static_cast<int64_t>(r) < _Signed(start_pos)) {
            return *this;
        }
        const size_t from = static_cast<size_t>(r) + 1;
        std::memmove(m_value + start_pos, m_value + from, N - from);
        return *this;
    }

    // Writes the digits right-aligned, ending at index N - 2, and returns the
    // index just before the first digit.
    int _ParseIntRight(uint64_t iValue, size_t start_pos) {
        const int64_t start = _Signed(start_pos);
        m_value[N - 1] = '\0';
        int64_t i = static_cast<int64_t>(N) - 2;
        if (iValue == 0 && start <= i) {
            m_value[i] = '0';
            return static_cast<int>(i - 1);
        }
        while (iValue != 0 && start <= i) {
            m_value[i] = static_cast<char>('0' + iValue % 10);
            iValue /= 10;
            --i;
        }
        return static_cast<int>(i);
    }

    size_t Length() const { return ::strnlen(m_value, N); }

    size_t Size() const { return N; }

    const CUstArray& data() const { return m_value; }

    // atoi over the contents; an array without terminator is read as its N
    // characters and no further.
    int32_t ToInt32() const {
        if (std::memchr(m_value, '\0', N) != nullptr) {
            return static_cast<int32_t>(std::strtol(m_value, nullptr, 10));
        }
        char bounded[N + 1];
        std::memcpy(bounded, m_value, N);
        bounded[N] = '\0';
        return static_cast<int32_t>(std::strtol(bounded, nullptr, 10));
    }

    // Compares over the literal's full length, its terminator included, so
    // only an exact match gives 0. Positions past this array's capacity read
    // as NUL.
    template <size_t M>
    int Comp(const char (&rhs)[M]) const {
        const CUstCharArray<M>& view = CUstCharArray<M>::BuffCast(rhs);
        constexpr size_t COMP_SIZE = M;
        for (size_t i = 0; i < COMP_SIZE; ++i) {
            const signed char mine = static_cast<signed char>(i < N ? m_value[i] : '\0');
            const signed char theirs = static_cast<signed char>(view.data()[i]);
            if (mine != theirs) {
                return theirs > mine ? 1 : -1;
            }
            if (theirs == '\0') {
                return 0;
            }
        }
        return 0;
    }

    // The array itself seen through this class; no copy is made.
    template <size_t M>
    static CUstCharArray<M>& BuffCast(char (&szData)[M]) {
        return reinterpret_cast<CUstCharArray<M>&>(szData);
    }

    template <size_t M>
    static const CUstCharArray<M>& BuffCast(const char (&szData)[M]) {
        return reinterpret_cast<const CUstCharArray<M>&>(szData);
    }

    // Appends one piece per separator (empty pieces included) and one for the
    // text after the last separator if there is any; res is not cleared.
    template <size_t M>
    void SplitByChar(std::vector<CUstCharArray<M>>& res, char ch) const {
        const CUstCharArray source(*this);
        const size_t len = source.Length();
        size_t start = 0;
        for (size_t i = 0; i < len; ++i) {
            if (source.m_value[i] == ch) {
                CUstCharArray<M> piece;
                piece.CopyFrom(source, start, i - start);
                res.push_back(piece);
                start = i + 1;
            }
        }
        if (Length() > start) {
            CUstCharArray<M> piece;
            piece.CopyFrom(source, start, N);
            res.push_back(piece);
        }
    }

private:
    // Positions beyond the array are clamped to N; every caller treats N and
    // anything larger alike (nothing fits there).
    static int64_t _Signed(size_t pos) { return static_cast<int64_t>(pos < N ? pos : N); }

    RawCharacterSequence m_value;
};

// BuffCast and the raw zero-filling of records that embed these arrays rely
// on the class being nothing but its char[N].
static_assert(sizeof(CUstCharArray<1>) == 1 && alignof(CUstCharArray<1>) == 1, "layout of char[1]");
static_assert(sizeof(CUstCharArray<31>) == 31 && alignof(CUstCharArray<31>) == 1, "layout of char[31]");
static_assert(std::is_standard_layout<CUstCharArray<32>>::value, "standard layout");
static_assert(std::is_trivially_copyable<CUstCharArray<32>>::value, "copyable as bytes");

}  // namespace Kest_U50
