// A whole trading day of the simulated exchange (night auction, night and day
// sessions, the next night's roll), per seed, checked update by update as
// the two feeds of each exchange send it: what any real exchange day obeys.
#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "exchangesim/LiveFeed.h"
#include "exchangesim/Market.h"
#include "exchangesim/Sessions.h"
#include "exchangesim/Universe.h"

namespace {

using namespace kest_exch;

constexpr int64_t kHour = 3600 * 1000;

struct Seen {  // one contract on one feed
    uint32_t change_no = 0;
    uint32_t volume = 0;
    int64_t turnover = 0;
    int64_t day = -1;
    uint64_t updates = 0;
};

struct DayStats {
    uint64_t updates = 0, matched = 0, limit_states = 0, auction_prints = 0, rolls = 0, closing_stamps = 0;
    std::map<std::string, uint64_t> volume, updates_by_contract;  // 4ps, by identifier
    std::map<std::string, uint64_t> night_updates;                // by product
};

std::string Product(const std::string& id) {
    size_t n = 0;
    while (n < id.size() && std::isalpha(static_cast<unsigned char>(id[n]))) ++n;
    return id.substr(0, n);
}

bool SameMarket(const LiveUpdate& a, const LiveUpdate& b) {
    bool same = a.last_price == b.last_price && a.volume == b.volume && a.turnover == b.turnover &&
                a.open_interest == b.open_interest && a.update_time == b.update_time &&
                a.update_milli_sec == b.update_milli_sec && a.change_no == b.change_no;
    for (int i = 0; i < kBookDepth; ++i)
        same = same && a.bid[i].price == b.bid[i].price && a.bid[i].volume == b.bid[i].volume &&
               a.ask[i].price == b.ask[i].price && a.ask[i].volume == b.ask[i].volume;
    return same;
}

// Whether the exchange may send a quote of a product whose night session
// ends night_end stamped at a CST time of day (ms): the call auction and the
// sessions, each window's opening bound excluded and its closing bound
// included. Written out here, apart from the simulator's own table, so that
// a fault there shows.
int NightEnd(const std::string& product) {  // minutes after midnight; -1: no night session
    for (const char* p : {"rb", "hc", "ru", "fu", "bu", "sp", "br", "lu", "nr"})
        if (product == p) return 23 * 60;
    for (const char* p : {"cu", "al", "zn", "pb", "ni", "sn", "ss", "ao", "bc"})
        if (product == p) return 60;
    for (const char* p : {"au", "ag", "sc"})
        if (product == p) return 150;
    return -1;
}
bool MaySend(int night_end, int64_t tod) {
    auto in = [tod](int h0, int m0, int h1, int m1) {
        return tod > (h0 * 60 + m0) * 60000LL && tod <= (h1 * 60 + m1) * 60000LL;
    };
    const bool day = in(9, 0, 10, 15) || in(10, 30, 11, 30) || in(13, 30, 15, 0);
    if (night_end < 0) return day || in(8, 55, 8, 59);
    const bool night =
        night_end == 23 * 60 ? in(21, 0, 23, 0) : in(21, 0, 24, 0) || tod == 0 || in(0, 0, 0, night_end);
    return day || night || in(20, 55, 20, 59);
}

// The exchange time of an update carried at slice_end: the latest moment not
// after it with the update's CST time of day.
int64_t UpdateEpoch(const LiveUpdate& u, int64_t slice_end) {
    const int64_t tod =
        (u.update_time / 10000 * 3600 + u.update_time / 100 % 100 * 60 + u.update_time % 100) * 1000 +
        u.update_milli_sec;
    return slice_end - ((CstDayMs(slice_end) - tod) % kDayMs + kDayMs) % kDayMs;
}

// One exchange (its 2ps and 4ps feed) from 20:50 CST of 2025-01-02 for 25 hours.
void RunDay(bool ine, uint64_t seed, double rate, double shock, DayStats& st) {
    const EMDQPDataType slowFeed = ine ? INE_2PS : SHFE_2PS, fastFeed = ine ? INE_4PS : SHFE_4PS;
    const int32_t size = ine ? 200 : 700;
    const Universe slowU = Universe::Make(slowFeed, seed, size), fastU = Universe::Make(fastFeed, seed, size);
    MarketOptions mo;
    mo.seed = seed;
    mo.rate = rate;
    mo.sessions = true;
    mo.shock = shock;
    Market market(slowU, mo);
    LiveFeed slow(slowU, LiveFeedOptions{}), fast(fastU, LiveFeedOptions{});

    // Per feed by its own instrument number: the product's night and the
    // 4ps number of the same contract (the feeds number apart).
    std::vector<int> night[2];
    std::vector<NightClose> group[2];
    std::vector<int32_t> toFast(static_cast<size_t>(slowU.Size()));
    std::map<std::string, int32_t> fastNo;
    for (const Instrument& in : fastU.Instruments()) {
        fastNo[in.inst_id] = in.inst_no;
        night[1].push_back(NightEnd(Product(in.underlying_id)));
        group[1].push_back(NightSessionOf(Product(in.underlying_id)));
    }
    for (const Instrument& in : slowU.Instruments()) {
        toFast[static_cast<size_t>(in.inst_no)] = fastNo.at(in.inst_id);
        night[0].push_back(NightEnd(Product(in.underlying_id)));
        group[0].push_back(NightSessionOf(Product(in.underlying_id)));
    }
    std::vector<Seen> seen[2] = {std::vector<Seen>(slowU.Instruments().size()),
                                 std::vector<Seen>(fastU.Instruments().size())};
    std::vector<std::deque<LiveUpdate>> recent(fastU.Instruments().size());  // the 4ps feed's last states
    std::vector<uint64_t> fastUpdates(fastU.Instruments().size()), nightUpdates(fastU.Instruments().size());
    std::vector<int32_t> fastC, slowC;
    std::vector<LiveUpdate> a, b;
    const int64_t start = 1735822200000LL;  // 2025-01-02 20:50:00 CST
    for (int64_t end = start + Market::kSliceMs; end <= start + 25 * kHour; end += Market::kSliceMs) {
        market.Slice(end, fastC, slowC);
        for (int32_t c : fastC) fast.Publish(market.Contracts()[static_cast<size_t>(c)]);
        for (int32_t c : slowC) slow.Publish(market.Contracts()[static_cast<size_t>(c)]);
        for (int f = 1; f >= 0; --f) {  // the 4ps feed first: it carries every change
            LiveFeed& feed = f ? fast : slow;
            while (feed.Pending() > 0) {
                a.clear();
                b.clear();
                ASSERT_NE(feed.Step(a, b), 0u);
                ASSERT_EQ(a.size(), 1u);
                const LiveUpdate& u = a[0];
                const Instrument& in = feed.State(u.inst_no);  // this feed's own numbering
                const size_t no = static_cast<size_t>(u.inst_no);
                const int64_t at = UpdateEpoch(u, end);
                const Phase phase = PhaseAt(group[f][no], at);
                // Made only for a failure's message.
                auto where = [&] {
                    return in.inst_id + " on " + FeedName(f ? fastFeed : slowFeed) + " at " +
                           std::to_string(u.update_time) + "." + std::to_string(u.update_milli_sec);
                };
                ++st.updates;
                ASSERT_LE(end - at, Market::kSlowMs) << where() << ": carried late";
                // Sessions: nothing outside them but the call auction; the
                // 2ps feed sends on its 500 ms boundaries only.
                ASSERT_TRUE(MaySend(night[f][no], CstDayMs(at)))
                    << where() << ": outside the product's sessions";
                ASSERT_NE(phase, Phase::kClosed) << where();
                if (f == 0) {
                    ASSERT_EQ(end % Market::kSlowMs, 0)
                        << where() << ": the 2ps feed sent between its boundaries";
                }
                if (phase == Phase::kOpenPrint) ++st.auction_prints;
                if (u.update_time == 101500 || u.update_time == 150000 || u.update_time == 23000)
                    ++st.closing_stamps;
                // The book: ordered sides, never crossed (the auction shows one price on both).
                const int64_t bid1 = u.bid[0].price, ask1 = u.ask[0].price;
                if (phase == Phase::kAuction) {
                    ASSERT_TRUE(bid1 == ask1 && bid1 > 0 && u.bid[1].price == 0 && u.ask[1].price == 0)
                        << where() << ": an auction shows one indicative price";
                } else if (bid1 > 0 && ask1 > 0) {
                    ASSERT_LT(bid1, ask1) << where() << ": crossed or locked book";
                }
                for (int i = 1; i < kBookDepth; ++i) {
                    if (u.bid[i].price > 0) {
                        ASSERT_LT(u.bid[i].price, u.bid[i - 1].price) << where();
                    }
                    if (u.ask[i].price > 0) {
                        ASSERT_GT(u.ask[i].price, u.ask[i - 1].price) << where();
                    }
                }
                // Limits: every price inside them; at a limit the book is one-sided.
                for (int64_t px :
                     {u.last_price, u.bid[0].price, u.bid[4].price, u.ask[0].price, u.ask[4].price}) {
                    if (px == 0) continue;
                    ASSERT_GE(px, in.lower_limit) << where() << ": below the lower limit";
                    ASSERT_LE(px, in.upper_limit) << where() << ": above the upper limit";
                }
                if (phase == Phase::kTrading && bid1 == in.upper_limit) {
                    ASSERT_EQ(ask1, 0) << where() << ": limit up with sellers";
                    ++st.limit_states;
                }
                if (phase == Phase::kTrading && ask1 == in.lower_limit) {
                    ASSERT_EQ(bid1, 0) << where() << ": limit down with buyers";
                    ++st.limit_states;
                }
                // Per contract and trading day: change numbers strictly up,
                // volume and turnover never down, turnover = volume x price x multiple.
                Seen& s = seen[f][no];
                const int64_t day = TradingDay(at);
                if (s.updates > 0) {
                    ASSERT_GT(u.change_no, s.change_no) << where() << ": change number not increasing";
                    if (day == s.day) {
                        ASSERT_GE(u.volume, s.volume) << where() << ": volume fell within the day";
                        ASSERT_GE(u.turnover, s.turnover) << where() << ": turnover fell within the day";
                        if (f == 1 && u.change_no == s.change_no + 1) {
                            ASSERT_EQ(u.turnover - s.turnover, static_cast<int64_t>(u.volume - s.volume) *
                                                                   u.last_price * in.volume_multiple)
                                << where() << ": turnover does not follow volume x price x multiple";
                        }
                    } else {
                        ASSERT_GT(day, s.day) << where();
                        ++st.rolls;
                        ASSERT_LT(u.volume, 1000u) << where() << ": the new trading day starts from nothing";
                    }
                }
                s.change_no = u.change_no;
                s.volume = u.volume;
                s.turnover = u.turnover;
                s.day = day;
                ++s.updates;
                // One market: a state the 2ps feed carries is one the 4ps feed carried.
                if (f == 1) {
                    auto& r = recent[no];
                    r.push_back(u);
                    if (r.size() > 4) r.pop_front();
                    ++fastUpdates[no];
                    const int64_t tod = CstDayMs(at);
                    if (tod > 21 * kHour || tod < 3 * kHour) ++nightUpdates[no];
                } else {
                    const auto& r = recent[static_cast<size_t>(toFast[no])];
                    const auto hit = std::find_if(
                        r.begin(), r.end(), [&](const LiveUpdate& x) { return x.change_no == u.change_no; });
                    ASSERT_TRUE(hit != r.end())
                        << where() << ": change " << u.change_no << " never on the 4ps feed";
                    LiveUpdate mine = *hit;
                    mine.inst_no = u.inst_no;
                    mine.packet_no = u.packet_no;
                    ASSERT_TRUE(SameMarket(mine, u)) << where() << ": the feeds show different markets";
                    ++st.matched;
                }
            }
        }
    }
    // Each feed's snapshot now is what it sent last.
    for (int f = 0; f < 2; ++f) {
        const LiveFeed& feed = f ? fast : slow;
        for (const Instrument& in : feed.Current().Instruments()) {
            const Seen& s = seen[f][static_cast<size_t>(in.inst_no)];
            if (s.updates > 0) {
                EXPECT_EQ(in.change_no, s.change_no) << in.inst_id;
            }
        }
    }
    for (const Instrument& in : fast.Current().Instruments()) {
        const size_t no = static_cast<size_t>(in.inst_no);
        st.updates_by_contract[in.inst_id] = fastUpdates[no];
        st.volume[in.inst_id] = seen[1][no].volume;  // of the last trading day seen
        if (nightUpdates[no] > 0) st.night_updates[Product(in.underlying_id)] += nightUpdates[no];
    }
}

class MarketDay : public ::testing::TestWithParam<uint64_t> {};

TEST_P(MarketDay, EachExchangeKeepsOneOrderlyMarketOnBothFeedsThroughItsSessions) {
    const uint64_t seed = GetParam();
    // Limit moves are rare on a real day; the shocks are raised here so that
    // every run meets some.
    DayStats shfe, ine;
    RunDay(false, seed, 60, 2e-4, shfe);
    if (HasFatalFailure()) return;
    RunDay(true, seed, 40, 2e-4, ine);
    if (HasFatalFailure()) return;
    for (const DayStats* d : {&shfe, &ine}) {
        EXPECT_GT(d->matched, d->updates / 5) << "the 2ps feeds carried too little to compare";
        EXPECT_GT(d->limit_states, 0u) << "no limit state was met: the limit checks never ran";
        EXPECT_GT(d->auction_prints, 0u) << "no opening print";
        EXPECT_GT(d->rolls, 0u) << "no trading day rolled";
        EXPECT_GT(d->closing_stamps, 0u) << "no update at a session's close";
    }
    // Night sessions by product group; ec has none.
    EXPECT_GT(shfe.night_updates.at("au"), 0u);
    EXPECT_GT(ine.night_updates.at("sc"), 0u);
    EXPECT_EQ(ine.night_updates.count("ec"), 0u) << "ec traded at night";
    // Activity: the main contract leads its product, by updates and volume.
    for (const auto& [main, stats] :
         {std::make_pair(std::string("rb2505"), &shfe), std::make_pair(std::string("cu2502"), &shfe),
          std::make_pair(std::string("au2506"), &shfe), std::make_pair(std::string("sc2502"), &ine)}) {
        const std::string p = Product(main);
        uint64_t productVolume = 0, busiest = 0;
        std::string busiestId;
        for (const auto& [id, n] : stats->updates_by_contract) {
            if (Product(id) != p || id.size() > 6) continue;  // the product's futures
            productVolume += stats->volume.at(id);
            if (n > busiest) busiest = n, busiestId = id;
        }
        EXPECT_EQ(busiestId, main) << "busiest contract of " << p;
        EXPECT_GT(stats->volume.at(main) * 2, productVolume)
            << main << " carries most of " << p << "'s volume";
    }
    const uint64_t rb = shfe.updates_by_contract.at("rb2505"), far = shfe.updates_by_contract.at("rb2512");
    EXPECT_GT(rb, far * 20) << "far months trade little";
}

INSTANTIATE_TEST_SUITE_P(Seeds, MarketDay, ::testing::Values(1u, 2u, 3u));

}  // namespace
