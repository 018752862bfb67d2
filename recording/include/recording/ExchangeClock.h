// The exchange's clock of a recording file: the host's, or the line its
// header holds where a card model ran a simulated clock (recording/FORMAT.md),
// and the trading dates and times it gives an entry.
#pragma once

#include <cstdint>
#include <string>

#include "recording/Recording.h"

namespace kest_rec {

constexpr uint32_t kMaxExchangeRateMilli = 10000000;  // 10000 exchange seconds a second
constexpr int64_t kLastExchangeS = 4102444800;        // 2100-01-01T00:00:00Z, the latest anchor time

inline bool HasExchangeClock(const FileHeader& h) { return h.exchange_anchor_s != 0; }

// What makes the header's exchange fields not a clock, naming the field;
// empty when they are one or all zero.
std::string ExchangeClockProblem(const FileHeader& h);

// An arrival on the exchange's clock: the header's line, or the arrival
// itself where the exchange keeps the host's time. Rounded down to the
// nanosecond.
int64_t ExchangeNs(const FileHeader& h, int64_t arrival_ns);

// When the exchange stamped the entry's record (nanoseconds since 1970,
// UTC): its update time (China Standard Time of day) on the day that puts it
// nearest ExchangeNs of the arrival; that time itself when the update time
// is no time of day (or the time is outside years 1970 to 2200). The line only has to pick the day: a
// simulated clock that stood still through a bring-up is still dated right.
int64_t StampNs(const FileHeader& h, const Entry& e);

// The entry's trading date (YYYYMMDD, TradingDate's rule): of its stamp
// where the header holds an exchange clock, else of its arrival on the host.
uint32_t EntryTradingDate(const FileHeader& h, const Entry& e);

}  // namespace kest_rec
