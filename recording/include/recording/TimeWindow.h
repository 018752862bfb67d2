// The window of arrival times that every selection of records takes
// (kest-record's cat and slice, the card model's replay): half-open, so that
// consecutive windows neither overlap nor leave a gap, and written in one
// text form whose time without a zone is China Standard Time, the exchanges'
// clock, whatever the host's zone.
#pragma once

#include <cstdint>
#include <string>

namespace kest_rec {

struct TimeWindow {
    int64_t from_ns = INT64_MIN;  // first arrival taken (inclusive)
    int64_t to_ns = INT64_MAX;    // first arrival no longer taken (exclusive); INT64_MAX: no end

    bool Contains(int64_t arrival_ns) const { return arrival_ns >= from_ns && arrival_ns < to_ns; }
    // Whether arrivals spread over [min_ns, max_ns] (a block's) may include one in the window.
    bool Overlaps(int64_t min_ns, int64_t max_ns) const { return max_ns >= from_ns && min_ns < to_ns; }
};

// The forms ParseTime takes, for help texts and messages.
constexpr const char* kTimeForms =
    "nanoseconds since the epoch or YYYY-MM-DD[THH:MM[:SS[.fffffffff]]][Z|+hh:mm|-hh:mm]";

// A time of a window from its text: nanoseconds since the epoch (digits), or
// a date, optionally with a time of day (after 'T' or a space), and a zone:
// Z, +hh:mm or -hh:mm, none for China Standard Time (UTC+08:00). Empty when
// done (*ns set), else what is wrong with the text ("has no month 13").
std::string ParseTime(const std::string& text, int64_t* ns);

}  // namespace kest_rec
