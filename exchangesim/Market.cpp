#include "exchangesim/Market.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>

namespace kest_exch {
namespace {

struct Activity {
    const char* code;
    double weight;   // share of the exchange's order flow, relative
    double day_vol;  // a day's standard deviation of the price, in percent
    int main_month;  // the month of the main contract (the most traded)
};

// Where a trading day's order flow goes (late 2024 shape): the main
// contracts of rb, ag, au, cu, ni, sc lead their exchanges.
const Activity kActivity[] = {
    {"rb", 10, 1.2, 5},  {"ag", 8, 1.6, 6}, {"au", 6, 1.0, 6},  {"cu", 6, 1.1, 2}, {"ni", 5, 1.6, 2},
    {"al", 4, 0.9, 2},   {"zn", 3, 1.1, 2}, {"ru", 3, 1.5, 5},  {"hc", 3, 1.2, 5}, {"fu", 3, 1.6, 5},
    {"ao", 3, 2.0, 5},   {"sp", 2, 1.2, 5}, {"bu", 2, 1.2, 6},  {"ss", 2, 0.9, 2}, {"sn", 2, 1.5, 2},
    {"br", 1.5, 1.8, 5}, {"pb", 1, 0.8, 2}, {"sc", 10, 1.8, 2}, {"ec", 5, 4.0, 4}, {"lu", 3, 1.8, 5},
    {"nr", 1, 1.4, 5},   {"bc", 1, 1.1, 2},
};

// Slices of continuous trading in a day, about (night and day sessions).
constexpr double kSlicesPerDay = 100000;

std::string ProductCode(const Instrument& in) {
    const std::string& id = in.product_class == '2' ? in.underlying_id : in.inst_id;
    size_t n = 0;
    while (n < id.size() && std::isalpha(static_cast<unsigned char>(id[n]))) ++n;
    return id.substr(0, n);
}

int MonthOf(const Instrument& in) {
    const std::string& id = in.product_class == '2' ? in.underlying_id : in.inst_id;
    size_t n = 0;
    while (n < id.size() && std::isalpha(static_cast<unsigned char>(id[n]))) ++n;
    return id.size() >= n + 4 ? std::atoi(id.substr(n + 2, 2).c_str()) : 0;
}

int64_t RoundTick(int64_t v, int64_t tick) {
    if (tick <= 0) return v;
    const int64_t r = (v + tick / 2) / tick * tick;
    return r < tick ? tick : r;
}

// The order flow's rush after each open and before each close.
double Shape(int64_t epoch_ms, bool sessions) {
    if (!sessions) return 1.0;
    const int64_t t = CstDayMs(epoch_ms) / 60000;  // minutes
    for (int64_t open : {21 * 60, 9 * 60, 10 * 60 + 30, 13 * 60 + 30})
        if (t >= open && t < open + 10) return 2.0;
    for (int64_t close : {15 * 60, 23 * 60, 1 * 60, 2 * 60 + 30})
        if (t >= close - 10 && t < close) return 1.5;
    return 1.0;
}

}  // namespace

Market::Market(const Universe& listing, const MarketOptions& opt)
    : opt_(opt), rng_(MixSeed(opt.seed, 0x3A11 + static_cast<uint64_t>(IsIneFeed(listing.Feed())))) {
    contracts_ = listing.Instruments();
    info_.resize(contracts_.size());
    slow_dirty_.assign(contracts_.size(), 0);
    for (size_t i = 0; i < contracts_.size(); ++i) {
        const Instrument& in = contracts_[i];
        const std::string code = ProductCode(in);
        size_t p = 0;
        while (p < products_.size() && products_[p].code != code) ++p;
        if (p == products_.size()) {
            ProductState ps;
            ps.code = code;
            ps.night = NightSessionOf(code);
            for (const Activity& a : kActivity) {
                if (code == a.code) {
                    ps.weight = a.weight;
                    ps.day_vol = a.day_vol;
                }
            }
            products_.push_back(ps);
        }
        info_[i].product = static_cast<int32_t>(p);
        info_[i].option = in.product_class == '2';
        products_[p].contracts.push_back(static_cast<int32_t>(i));
    }
    for (ProductState& ps : products_) {
        int main_month = 1;
        for (const Activity& a : kActivity)
            if (ps.code == a.code) main_month = a.main_month;
        size_t options = 0;
        int64_t base = 0;
        for (int32_t c : ps.contracts) {
            const Instrument& in = contracts_[static_cast<size_t>(c)];
            if (in.product_class == '2') {
                ++options;
            } else if (base == 0 || in.ref_price < base) {
                base = in.ref_price;
                ps.tick = in.price_tick;
            }
        }
        ps.price = base;
        // A walk of one step a slice at most: the day's variance in ticks
        // spread over the day's slices (a coarse tick moves rarely, a fine
        // one often, in steps of several ticks when it must).
        const double ticks = ps.day_vol / 100.0 * static_cast<double>(base) /
                             static_cast<double>(std::max<int64_t>(ps.tick, 1));
        ps.step_ticks = 1;
        double chance = ticks * ticks / kSlicesPerDay;
        while (chance > 1) {
            ++ps.step_ticks;
            chance = ticks * ticks / kSlicesPerDay / static_cast<double>(ps.step_ticks * ps.step_ticks);
        }
        ps.step_chance = chance;
        double sum = 0;
        for (int32_t c : ps.contracts) {
            ContractInfo& ci = info_[static_cast<size_t>(c)];
            const Instrument& in = contracts_[static_cast<size_t>(c)];
            if (ci.option) {
                ci.weight = 0.25 / static_cast<double>(options);
            } else {
                const int d = std::abs(MonthOf(in) - main_month);
                ci.weight = d == 0 ? 1.0 : d == 1 ? 0.12 : 0.01;
                ci.offset = in.ref_price - base;
            }
            sum += ci.weight;
            ps.cumulative.push_back(sum);
        }
    }
}

NightClose Market::NightOf(int32_t i) const {
    return products_[static_cast<size_t>(info_[static_cast<size_t>(i)].product)].night;
}

void Market::Roll(int32_t i) {
    Instrument& in = contracts_[static_cast<size_t>(i)];
    const int64_t t = in.price_tick;
    in.pre_settlement = in.has_last_price && in.last_price > 0 ? in.last_price : in.ref_price;
    in.upper_limit = RoundTick(in.pre_settlement * 108 / 100, t);
    in.lower_limit = std::max(RoundTick(in.pre_settlement * 92 / 100, t), t);
    in.volume = 0;
    in.turnover = 0;
    in.has_turnover = true;
}

int64_t Market::TargetPrice(int32_t i) {
    const Instrument& in = contracts_[static_cast<size_t>(i)];
    const ContractInfo& ci = info_[static_cast<size_t>(i)];
    const int64_t t = in.price_tick;
    int64_t px;
    if (ci.option) {
        px = (in.has_last_price && in.last_price > 0 ? in.last_price : in.ref_price) + t * rng_.Range(-2, 2);
    } else {
        px = RoundTick(products_[static_cast<size_t>(ci.product)].price + ci.offset, t) +
             t * rng_.Range(-1, 1);
    }
    return std::min(std::max(px, std::max(in.lower_limit, t)), in.upper_limit);
}

void Market::MakeBook(Instrument& in, const ContractInfo& ci, int64_t px) {
    const int64_t t = in.price_tick;
    const int64_t lo = std::max(in.lower_limit, t), hi = in.upper_limit;
    const bool busy = ci.weight >= 0.5;
    const uint32_t maxVol = ci.option ? 30 : busy ? 400 : 60;
    const int depth = ci.option ? static_cast<int>(rng_.Range(1, kBookDepth)) : kBookDepth;
    int64_t b, a;
    if (px >= hi) {  // limit up: buyers queue at the limit, nobody sells
        b = hi;
        a = 0;
    } else if (px <= lo) {  // limit down
        b = 0;
        a = lo;
    } else {
        const int64_t spread = busy ? (rng_.Chance(0.85) ? 1 : 2) : rng_.Range(1, ci.option ? 4 : 3);
        b = px - t * rng_.Range(0, 1);
        a = b + spread * t;
        if (a > hi) a = hi;
        if (b >= a) b = a - t;
        if (b < lo) b = 0;
    }
    in.bid_levels = 0;
    for (int i = 0; b > 0 && i < depth && b >= lo; ++i) {
        const uint32_t v = static_cast<uint32_t>(rng_.Range(1, maxVol)) * (i == 0 && a == 0 ? 20u : 1u);
        in.bid[i] = BookLevel{b, v};
        ++in.bid_levels;
        b -= t * rng_.Range(1, 2);
    }
    in.ask_levels = 0;
    for (int i = 0; a > 0 && i < depth && a <= hi; ++i) {
        const uint32_t v =
            static_cast<uint32_t>(rng_.Range(1, maxVol)) * (i == 0 && in.bid_levels == 0 ? 20u : 1u);
        in.ask[i] = BookLevel{a, v};
        ++in.ask_levels;
        a += t * rng_.Range(1, 2);
    }
    for (int i = in.bid_levels; i < kBookDepth; ++i) in.bid[i] = BookLevel{};
    for (int i = in.ask_levels; i < kBookDepth; ++i) in.ask[i] = BookLevel{};
}

void Market::Change(int32_t i, int64_t end_ms, Phase phase) {
    Instrument& in = contracts_[static_cast<size_t>(i)];
    ContractInfo& ci = info_[static_cast<size_t>(i)];
    ci.last_change_slice = slice_no_;
    const int64_t t = in.price_tick;
    if (phase == Phase::kAuction) {
        // Indicative: the one price the orders collected so far would match at.
        const int64_t px = TargetPrice(i);
        for (int k = 0; k < kBookDepth; ++k) in.bid[k] = in.ask[k] = BookLevel{};
        const uint32_t matched = static_cast<uint32_t>(rng_.Range(1, 200));
        in.bid[0] = BookLevel{px, matched};
        in.ask[0] = BookLevel{px, matched};
        in.bid_levels = in.ask_levels = 1;
    } else {
        int64_t px;
        uint32_t dv = 0;
        if (phase == Phase::kOpenPrint) {
            px = in.bid_levels == 1 && in.ask_levels == 1 && in.bid[0].price == in.ask[0].price
                     ? in.bid[0].price
                     : TargetPrice(i);
            px = std::min(std::max(px, std::max(in.lower_limit, t)), in.upper_limit);
            dv = in.bid_levels == 1 ? in.bid[0].volume : static_cast<uint32_t>(rng_.Range(1, 200));
        } else {
            px = TargetPrice(i);
            if (rng_.Chance(0.7)) {
                const int64_t most = ci.option ? 5 : ci.weight >= 0.5 ? 60 : ci.weight >= 0.1 ? 15 : 4;
                dv = static_cast<uint32_t>(rng_.Range(1, most));
            } else {
                px = in.has_last_price && in.last_price > 0 ? in.last_price : px;  // only the book moves
                px = std::min(std::max(px, std::max(in.lower_limit, t)), in.upper_limit);
            }
        }
        if (dv > 0) {
            in.has_last_price = true;
            in.last_price = px;
            in.volume += dv;
            in.has_turnover = true;
            in.turnover += static_cast<int64_t>(dv) * px * in.volume_multiple;
            const int64_t oi =
                static_cast<int64_t>(in.open_interest) + rng_.Range(-static_cast<int64_t>(dv), dv);
            in.open_interest = static_cast<uint64_t>(std::max<int64_t>(0, oi));
        }
        MakeBook(in, ci, px);
    }
    ++in.change_no;
    uint16_t milli = 0;
    CstTimeOfDay(end_ms, in.update_time, milli);
    in.update_mill_sec = milli;
}

void Market::Slice(int64_t end_ms, std::vector<int32_t>& fast, std::vector<int32_t>& slow) {
    ++slice_no_;
    fast.clear();
    slow.clear();
    const int64_t day = opt_.sessions ? TradingDay(end_ms) : 0;
    double trading_weight = 0;
    std::vector<Phase> phases(products_.size(), Phase::kTrading);
    for (size_t p = 0; p < products_.size(); ++p) {
        ProductState& ps = products_[p];
        if (opt_.sessions) {
            phases[p] = PhaseAt(ps.night, end_ms);
            if (ps.trading_day != day) {
                if (ps.trading_day >= 0)
                    for (int32_t c : ps.contracts) Roll(c);
                ps.trading_day = day;
            }
        }
        if (phases[p] == Phase::kClosed) continue;
        if (rng_.Chance(ps.step_chance)) ps.price += ps.tick * ps.step_ticks * (rng_.Chance(0.5) ? 1 : -1);
        if (rng_.Chance(opt_.shock))
            ps.price += ps.price * rng_.Range(6, 10) / 100 * (rng_.Chance(0.5) ? 1 : -1);
        ps.price = std::max(ps.price, ps.tick);
        if (phases[p] == Phase::kTrading) trading_weight += ps.weight;
    }
    // Auctions: indicative prices of the futures that matter, then the print.
    for (size_t p = 0; p < products_.size(); ++p) {
        if (phases[p] != Phase::kAuction && phases[p] != Phase::kOpenPrint) continue;
        for (int32_t c : products_[p].contracts) {
            const ContractInfo& ci = info_[static_cast<size_t>(c)];
            if (ci.option || ci.weight < 0.1) continue;
            if (phases[p] == Phase::kAuction && !rng_.Chance(0.05)) continue;
            Change(c, end_ms, phases[p]);
            fast.push_back(c);
        }
    }
    // Continuous trading: the slice's order flow, drawn by weight; a contract
    // changes once a slice at most.
    if (trading_weight > 0) {
        const double want = opt_.rate * static_cast<double>(kSliceMs) / 1000.0 * Shape(end_ms, opt_.sessions);
        int64_t draws = static_cast<int64_t>(want);
        if (rng_.Chance(want - static_cast<double>(draws))) ++draws;
        // Past a few draws per contract nearly every draw meets a contract
        // that already changed in this slice.
        draws = std::min<int64_t>(draws, 3 * static_cast<int64_t>(contracts_.size()));
        for (int64_t k = 0; k < draws; ++k) {
            double r = rng_.Unit() * trading_weight;
            size_t p = 0;
            for (; p + 1 < products_.size(); ++p) {
                if (phases[p] != Phase::kTrading) continue;
                if (r < products_[p].weight) break;
                r -= products_[p].weight;
            }
            if (phases[p] != Phase::kTrading) continue;
            const ProductState& ps = products_[p];
            const double x = rng_.Unit() * ps.cumulative.back();
            const size_t j = static_cast<size_t>(
                std::upper_bound(ps.cumulative.begin(), ps.cumulative.end(), x) - ps.cumulative.begin());
            const int32_t c = ps.contracts[std::min(j, ps.contracts.size() - 1)];
            if (info_[static_cast<size_t>(c)].last_change_slice == slice_no_) continue;
            Change(c, end_ms, Phase::kTrading);
            fast.push_back(c);
        }
    }
    for (int32_t c : fast) {
        if (!slow_dirty_[static_cast<size_t>(c)]) {
            slow_dirty_[static_cast<size_t>(c)] = 1;
            slow_pending_.push_back(c);
        }
    }
    if (end_ms % kSlowMs == 0) {
        slow.swap(slow_pending_);
        slow_pending_.clear();
        for (int32_t c : slow) slow_dirty_[static_cast<size_t>(c)] = 0;
    }
}

}  // namespace kest_exch
