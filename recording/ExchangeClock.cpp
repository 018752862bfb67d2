#include "recording/ExchangeClock.h"

#include "recording/ChinaTime.h"
#include "recording/QuoteCsv.h"

namespace kest_rec {

namespace {

constexpr int64_t kDayMs = 86400000;
constexpr int64_t kLastStampMs = INT64_C(7258118400000);  // 2200-01-01T00:00:00Z

int64_t FloorDiv(int64_t a, int64_t b) { return a / b - (a % b < 0 ? 1 : 0); }

}  // namespace

int64_t ExchangeNs(const FileHeader& h, int64_t arrival_ns) {
    if (!HasExchangeClock(h)) return arrival_ns;
    const __int128 since = static_cast<__int128>(arrival_ns) - int64_t{h.exchange_anchor_s} * 1000000000;
    const __int128 scaled = since * h.exchange_rate_milli;
    // Rounded down, and held to 64 bits: a time past them means nothing here.
    const __int128 x = h.exchange_anchor_ns + scaled / 1000 - (scaled % 1000 < 0 ? 1 : 0);
    return x > INT64_MAX ? INT64_MAX : x < INT64_MIN ? INT64_MIN : static_cast<int64_t>(x);
}

int64_t StampNs(const FileHeader& h, const Entry& e) {
    const int64_t near = ExchangeNs(h, e.arrival_ns);
    const int64_t near_ms = FloorDiv(near, 1000000);
    const uint32_t t = e.record.update_time;
    const uint32_t hh = t / 10000, mm = t / 100 % 100, ss = t % 100, milli = e.record.update_milli_sec;
    // (Past the year 2200 the day's nanoseconds could leave 64 bits.)
    if (hh > 23 || mm > 59 || ss > 59 || milli > 999 || near_ms < 0 || near_ms > kLastStampMs) return near;
    const int64_t of_day = ((hh * 60 + mm) * 60 + ss) * int64_t{1000} + milli;
    const int64_t local = near_ms + kChinaOffsetS * 1000;
    int64_t stamp = FloorDiv(local, kDayMs) * kDayMs + of_day;
    if (stamp - local > kDayMs / 2) stamp -= kDayMs;
    if (local - stamp > kDayMs / 2) stamp += kDayMs;
    return (stamp - kChinaOffsetS * 1000) * 1000000;
}

uint32_t EntryTradingDate(const FileHeader& h, const Entry& e) {
    return TradingDate(HasExchangeClock(h) ? StampNs(h, e) : e.arrival_ns);
}

}  // namespace kest_rec
