// China Standard Time, the exchanges' clock (UTC+08:00 all year, no daylight
// saving), and the proleptic Gregorian calendar arithmetic every date of this
// system goes through: header-only, so that rooms which do not link the
// recording library use it too.
#pragma once

#include <cstdint>

namespace kest_rec {

constexpr int64_t kChinaOffsetS = 8 * 3600;  // China Standard Time minus UTC

struct CivilDate {
    int64_t year;
    unsigned month;  // 1..12
    unsigned day;    // 1..31
};

// Days since 1970-01-01 of a civil date.
constexpr int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

// The civil date of a count of days since 1970-01-01.
constexpr CivilDate CivilFromDays(int64_t z) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned d = doy - (153 * mp + 2) / 5 + 1;
    const unsigned m = mp < 10 ? mp + 3 : mp - 9;
    return {static_cast<int64_t>(yoe) + era * 400 + (m <= 2), m, d};
}

// The whole seconds of a time in nanoseconds, rounded down, and the
// nanoseconds past them (0 to 999999999): defined for every int64_t, a
// damaged file's arrival times included.
constexpr int64_t FloorSeconds(int64_t ns) { return ns / 1000000000 - (ns % 1000000000 < 0 ? 1 : 0); }
constexpr int64_t NanosPastSecond(int64_t ns) { return (ns % 1000000000 + 1000000000) % 1000000000; }

// 0 Monday ... 6 Sunday of a count of days since 1970-01-01 (a Thursday).
constexpr int Weekday(int64_t days) { return static_cast<int>(((days % 7) + 7 + 3) % 7); }

static_assert(DaysFromCivil(1970, 1, 1) == 0 && DaysFromCivil(2000, 3, 1) == 11017, "civil days");
static_assert(CivilFromDays(11017).year == 2000 && CivilFromDays(11017).month == 3, "civil date");
static_assert(FloorSeconds(-1) == -1 && NanosPastSecond(-1) == 999999999 &&
                  FloorSeconds(INT64_MIN) == -9223372037 && NanosPastSecond(INT64_MIN) == 145224192,
              "seconds rounded down");
static_assert(Weekday(DaysFromCivil(2025, 1, 6)) == 0, "2025-01-06 was a Monday");

}  // namespace kest_rec
