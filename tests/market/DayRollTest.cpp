// Where the simulated exchange's trading day rolls: at the night call
// auction (from 20:55 CST on), so that the auction's indicative quotes show
// nothing traded yet, the opening print is the new day's first deal, and the
// night session's figures run on through midnight into the day session.
// The boundary is written out here, apart from the simulator's own rule, so
// that a fault there shows.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "exchangesim/Market.h"
#include "exchangesim/Sessions.h"
#include "exchangesim/Universe.h"

namespace {

using namespace kest_exch;

constexpr int64_t kMinute = 60 * 1000, kHour = 60 * kMinute, kDay = 24 * kHour;
constexpr int64_t kCst = 8 * kHour;
constexpr int64_t kRollTod = 20 * kHour + 55 * kMinute;  // a moment after 20:55:00.000 CST is the next day's

int64_t FloorDiv(int64_t a, int64_t b) { return a >= 0 ? a / b : -((-a + b - 1) / b); }
// Counts the night auctions up to a moment: equal for two moments of one trading day.
int64_t TradingDayNo(int64_t epoch_ms) { return FloorDiv(epoch_ms + kCst - kRollTod - 1, kDay); }
int64_t Tod(int64_t epoch_ms) { return ((epoch_ms + kCst) % kDay + kDay) % kDay; }

struct Last {
    int64_t at = -1;  // slice end of the contract's last change
    uint32_t volume = 0;
    int64_t turnover = 0;
};

TEST(MarketDayRoll, TheNightAuctionStartsTheNewDayFromNothingAndMidnightAndTheDayOpenCarryItOn) {
    const Universe listing = Universe::Make(SHFE_4PS, 7, 400);
    MarketOptions mo;
    mo.seed = 7;
    mo.rate = 60;
    mo.sessions = true;
    Market market(listing, mo);
    std::vector<Last> last(market.Contracts().size());
    uint64_t auctionQuotes = 0, openingPrints = 0, secondNightAuctions = 0, acrossMidnight = 0,
             intoDaySession = 0, rolled = 0;
    std::vector<int32_t> fast, slow;
    // From 20:50 CST of 2025-01-02 past the opening print of the next night.
    const int64_t start = 1735822200000LL;
    for (int64_t end = start + Market::kSliceMs; end <= start + kDay + 10 * kMinute;
         end += Market::kSliceMs) {
        market.Slice(end, fast, slow);
        for (int32_t c : fast) {
            const Instrument& in = market.Contracts()[static_cast<size_t>(c)];
            Last& l = last[static_cast<size_t>(c)];
            const std::string where = in.inst_id + " at " + std::to_string(in.update_time) + "." +
                                      std::to_string(in.update_mill_sec) + " on day " +
                                      std::to_string(TradingDayNo(end) - TradingDayNo(start));
            const Phase phase = PhaseAt(market.NightOf(c), end);
            const bool newDay =
                l.at < 0 ? TradingDayNo(end) > TradingDayNo(start) : TradingDayNo(end) > TradingDayNo(l.at);
            if (phase == Phase::kAuction && newDay) {
                // Nothing has traded yet on the day the auction opens.
                EXPECT_EQ(in.volume, 0u) << where << ": the auction shows the last day's volume";
                EXPECT_EQ(in.turnover, 0) << where << ": the auction shows the last day's turnover";
                ++auctionQuotes;
                if (TradingDayNo(end) - TradingDayNo(start) == 2) ++secondNightAuctions;
            }
            if (phase == Phase::kOpenPrint && in.volume > 0) {
                // The opening print is the day's first deal, at one price.
                EXPECT_EQ(in.turnover, static_cast<int64_t>(in.volume) * in.last_price * in.volume_multiple)
                    << where << ": the opening print's turnover is not its own deal's";
                ++openingPrints;
            }
            if (l.at >= 0 && !newDay) {
                EXPECT_GE(in.volume, l.volume) << where << ": volume fell within the trading day";
                EXPECT_GE(in.turnover, l.turnover) << where << ": turnover fell within the trading day";
                if (l.volume > 0 && Tod(l.at) > 21 * kHour && Tod(end) < 3 * kHour) ++acrossMidnight;
                if (l.volume > 0 && Tod(l.at) < 9 * kHour && Tod(end) > 9 * kHour) ++intoDaySession;
            }
            if (l.at >= 0 && newDay) ++rolled;
            l.at = end;
            l.volume = in.volume;
            l.turnover = in.turnover;
        }
    }
    // What was awaited: each check met its case, on both nights.
    EXPECT_GT(auctionQuotes, 0u) << "no auction quote of a new trading day";
    EXPECT_GT(secondNightAuctions, 0u) << "no auction quote on the second night";
    EXPECT_GT(openingPrints, 0u) << "no opening print with a deal";
    EXPECT_GT(acrossMidnight, 0u) << "no contract traded on across midnight";
    EXPECT_GT(intoDaySession, 0u) << "no contract went from the night into the day session";
    EXPECT_GT(rolled, 0u) << "no contract changed on two trading days";
}

}  // namespace
