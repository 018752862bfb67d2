#include "exchangesim/Sessions.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "recording/ChinaTime.h"

namespace kest_exch {
namespace {

constexpr int64_t M(int h, int m) { return (h * 60LL + m) * 60000; }

struct Window {
    int64_t open, close;  // (open, close] in CST ms of the day
};
const Window kDay[] = {{M(9, 0), M(10, 15)}, {M(10, 30), M(11, 30)}, {M(13, 30), M(15, 0)}};

bool In(const Window& w, int64_t t) { return t > w.open && t <= w.close; }

constexpr int64_t kCstOffsetMs = kest_rec::kChinaOffsetS * 1000;

bool ParseTimeOfDay(const char* s, int64_t& secs) {
    int h = 0, m = 0, sec = 0, n = 0;
    if (std::sscanf(s, "%2d:%2d%n", &h, &m, &n) != 2) return false;
    if (s[n] == ':') {
        int n2 = 0;
        if (std::sscanf(s + n + 1, "%2d%n", &sec, &n2) != 1) return false;
        n += 1 + n2;
    }
    if (s[n] != 0 || h > 23 || m > 59 || sec > 59 || h < 0 || m < 0 || sec < 0) return false;
    secs = h * 3600LL + m * 60 + sec;
    return true;
}

}  // namespace

int64_t CstDayMs(int64_t epoch_ms) { return ((epoch_ms + kCstOffsetMs) % kDayMs + kDayMs) % kDayMs; }

void CstTimeOfDay(int64_t epoch_ms, uint32_t& hhmmss, uint16_t& milli) {
    const int64_t t = CstDayMs(epoch_ms);
    const int64_t s = t / 1000;
    hhmmss = static_cast<uint32_t>(s / 3600 * 10000 + s / 60 % 60 * 100 + s % 60);
    milli = static_cast<uint16_t>(t % 1000);
}

NightClose NightSessionOf(const std::string& product) {
    static const char* const k0230[] = {"au", "ag", "sc"};
    static const char* const k0100[] = {"cu", "al", "zn", "pb", "ni", "sn", "ss", "ao", "bc"};
    static const char* const k2300[] = {"rb", "hc", "ru", "fu", "bu", "sp", "br", "lu", "nr"};
    for (const char* p : k0230)
        if (product == p) return NightClose::k0230;
    for (const char* p : k0100)
        if (product == p) return NightClose::k0100;
    for (const char* p : k2300)
        if (product == p) return NightClose::k2300;
    return NightClose::kNone;  // ec and anything unknown: day session only
}

const char* NightCloseName(NightClose n) {
    switch (n) {
        case NightClose::k2300:
            return "23:00";
        case NightClose::k0100:
            return "01:00";
        case NightClose::k0230:
            return "02:30";
        case NightClose::kNone:
            break;
    }
    return "none";
}

Phase PhaseAt(NightClose night, int64_t epoch_ms) {
    const int64_t t = CstDayMs(epoch_ms);
    const int64_t auction = night == NightClose::kNone ? M(8, 55) : M(20, 55);
    if (t > auction && t < auction + M(0, 4)) return Phase::kAuction;
    if (t == auction + M(0, 4)) return Phase::kOpenPrint;
    for (const Window& w : kDay)
        if (In(w, t)) return Phase::kTrading;
    switch (night) {
        case NightClose::k2300:
            if (In({M(21, 0), M(23, 0)}, t)) return Phase::kTrading;
            break;
        case NightClose::k0100:
        case NightClose::k0230: {
            const int64_t close = night == NightClose::k0100 ? M(1, 0) : M(2, 30);
            if (t > M(21, 0) || t <= close) return Phase::kTrading;
            break;
        }
        case NightClose::kNone:
            break;
    }
    return Phase::kClosed;
}

int64_t TradingDay(int64_t epoch_ms) {
    const int64_t local = epoch_ms + kCstOffsetMs;
    const int64_t day = (local >= 0 ? local : local - kDayMs + 1) / kDayMs;
    return CstDayMs(epoch_ms) > M(20, 55) ? day + 1 : day;
}

bool ParseClock(const std::string& text, int64_t now_epoch_s, int64_t& epoch_s, std::string* error) {
    const char* s = text.c_str();
    int64_t secs = 0;
    if (ParseTimeOfDay(s, secs)) {
        const int64_t today = (now_epoch_s * 1000 + kCstOffsetMs) / kDayMs;
        epoch_s = today * 86400 + secs - kCstOffsetMs / 1000;
        return true;
    }
    int y = 0, mo = 0, d = 0, n = 0;
    if (std::sscanf(s, "%4d-%2d-%2dT%n", &y, &mo, &d, &n) == 3 && n > 0) {
        if (y < 1970 || mo < 1 || mo > 12 || d < 1 || d > 31 || !ParseTimeOfDay(s + n, secs)) {
            if (error) *error = "wants a date and time such as 2025-01-02T20:50";
            return false;
        }
        epoch_s = kest_rec::DaysFromCivil(y, static_cast<unsigned>(mo), static_cast<unsigned>(d)) * 86400 +
                  secs - kCstOffsetMs / 1000;
        return true;
    }
    char* end = nullptr;
    errno = 0;
    const long long v = std::strtoll(s, &end, 10);
    if (*s != 0 && end != nullptr && *end == 0 && errno == 0 && v >= 1 && v <= 4102444800LL) {
        epoch_s = v;
        return true;
    }
    if (error)
        *error =
            "wants seconds since 1970 (1 to 4102444800), a China Standard Time of day such as 20:50, "
            "or a date and time such as 2025-01-02T20:50";
    return false;
}

}  // namespace kest_exch
