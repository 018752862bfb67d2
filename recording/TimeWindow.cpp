#include "recording/TimeWindow.h"

#include <cerrno>
#include <cstdlib>

#include "recording/ChinaTime.h"

namespace kest_rec {

namespace {

// Reads 1 to `most` decimal digits at *p; false when there is none.
bool Digits(const char*& p, int most, int64_t* value, int* count = nullptr) {
    int n = 0;
    int64_t v = 0;
    while (n < most && *p >= '0' && *p <= '9') v = v * 10 + (*p++ - '0'), ++n;
    if (count != nullptr) *count = n;
    *value = v;
    return n > 0;
}

bool Sum(int64_t a, int64_t b, int64_t* out) { return !__builtin_add_overflow(a, b, out); }

}  // namespace

std::string ParseTime(const std::string& text, int64_t* ns) {
    const std::string wants = std::string("wants ") + kTimeForms;
    const char* p = text.c_str();
    if (text.find_first_not_of("0123456789") == std::string::npos ||
        (text[0] == '-' && text.size() > 1 && text.find_first_not_of("0123456789", 1) == std::string::npos)) {
        if (text.empty()) return wants;
        char* end = nullptr;
        errno = 0;
        const long long v = std::strtoll(p, &end, 10);
        if (errno != 0) return "is out of range of nanoseconds since the epoch";
        *ns = v;
        return std::string();
    }
    int64_t y, mo, d, h = 0, mi = 0, s = 0, frac = 0;
    if (!Digits(p, 4, &y) || *p++ != '-' || !Digits(p, 2, &mo) || *p++ != '-' || !Digits(p, 2, &d))
        return wants;
    if (*p == 'T' || *p == ' ') {
        ++p;
        if (!Digits(p, 2, &h) || *p++ != ':' || !Digits(p, 2, &mi)) return wants;
        if (*p == ':') {
            ++p;
            if (!Digits(p, 2, &s)) return wants;
            if (*p == '.') {
                ++p;
                int places = 0;
                if (!Digits(p, 9, &frac, &places)) return wants;
                for (; places < 9; ++places) frac *= 10;
            }
        }
    }
    int64_t offset_s = kChinaOffsetS;
    if (*p == 'Z') {
        offset_s = 0;
        ++p;
    } else if (*p == '+' || *p == '-') {
        const int64_t sign = *p++ == '-' ? -1 : 1;
        int64_t oh, om;
        if (!Digits(p, 2, &oh) || *p++ != ':' || !Digits(p, 2, &om) || oh > 23 || om > 59)
            return "has a zone that is not +hh:mm or -hh:mm";
        offset_s = sign * (oh * 3600 + om * 60);
    }
    if (*p != '\0') return "has more after the time (" + wants.substr(6) + ")";
    const CivilDate date{y, static_cast<unsigned>(mo), static_cast<unsigned>(d)};
    const CivilDate back = CivilFromDays(DaysFromCivil(date.year, date.month, date.day));
    if (mo < 1 || mo > 12 || d < 1 || back.month != date.month || back.day != date.day)
        return "is not a date of the calendar";
    if (h > 23 || mi > 59 || s > 60) return "is not a time of day";
    const int64_t seconds =
        DaysFromCivil(y, date.month, date.day) * 86400 + h * 3600 + mi * 60 + s - offset_s;
    int64_t whole;
    if (__builtin_mul_overflow(seconds, int64_t{1000000000}, &whole) || !Sum(whole, frac, ns))
        return "is out of range of nanoseconds since the epoch";
    return std::string();
}

}  // namespace kest_rec
