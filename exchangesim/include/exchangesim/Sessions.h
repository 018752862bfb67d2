// The exchange's clock and trading sessions. Quote times are China Standard
// Time (UTC+8, no daylight saving) whatever the host's zone.
//
// Day session 09:00-10:15, 10:30-11:30, 13:30-15:00; a night session from
// 21:00 to 23:00, 01:00 or 02:30 by product group, or none. Each trading day
// opens with a call auction: 20:55-20:59 for products with a night session,
// 08:55-08:59 for the others (indicative prices, then the opening print at
// :59:00). A session's last updates carry its closing minute (10:15:00.000,
// 15:00:00.000, 02:30:00.000), as on the exchange.
#pragma once

#include <cstdint>
#include <string>

namespace kest_exch {

constexpr int64_t kDayMs = 86400000;

// Milliseconds since midnight, China Standard Time.
int64_t CstDayMs(int64_t epoch_ms);
// HHMMSS and milliseconds of a moment, China Standard Time.
void CstTimeOfDay(int64_t epoch_ms, uint32_t& hhmmss, uint16_t& milli);

enum class NightClose { kNone, k2300, k0100, k0230 };
NightClose NightSessionOf(const std::string& product);  // by product code ("cu", "sc", ...)
const char* NightCloseName(NightClose n);               // "none", "23:00", "01:00", "02:30"

enum class Phase {
    kClosed,
    kAuction,    // orders collected: indicative prices only
    kOpenPrint,  // the auction's match: the opening print
    kTrading,
};
// The phase of a product at a moment (a time stamp of the exchange: the
// opening bound of each window is excluded, the closing bound included).
Phase PhaseAt(NightClose night, int64_t epoch_ms);
// The trading day a moment belongs to, as days since 1970-01-01 of its CST
// date: from the auction of the night session on, the next calendar day
// (weekends and holidays are not simulated).
int64_t TradingDay(int64_t epoch_ms);

// --clock: epoch seconds, a CST time of day "HH:MM[:SS]" (today, CST), or a
// CST date and time "YYYY-MM-DDTHH:MM[:SS]". False with the reason.
bool ParseClock(const std::string& text, int64_t now_epoch_s, int64_t& epoch_s, std::string* error);

}  // namespace kest_exch
