// One exchange's market: a single state per contract, whichever feeds carry
// it. Time runs in slices of 250 ms; in each slice some contracts change (at
// most once each), stamped with the slice's end. The 4ps feed carries every
// change as it happens (at most every 250 ms per contract); the 2ps feed
// carries, at each 500 ms boundary, the current state of the contracts that
// changed since its last boundary (at most every 500 ms per contract). A
// state both carry is the same record: same book, deal figures, change
// number and time stamp. The 2ps feed's change numbers step over the changes
// it conflated.
//
// Activity: per product a weight (rb, ag, au, cu, ni, sc lead), per contract
// the main month most of it, the months next to it some, far months and
// options little; the order flow is fastest after each open and before the
// close. Prices follow a per-product walk (volatility in ticks per product);
// every contract trades inside its limit prices (rarely, a product jumps
// to one), and at a limit the book is
// one-sided at the limit price. The trading day rolls at the night auction:
// volume and turnover restart, the last price becomes the settlement the new
// limits are drawn around.
#pragma once

#include <cstdint>
#include <vector>

#include "exchangesim/Rng.h"
#include "exchangesim/Sessions.h"
#include "exchangesim/Universe.h"

namespace kest_exch {

struct MarketOptions {
    uint64_t seed = 1;
    double rate = 200;      // contract changes drawn per second of exchange time (before the open's rush)
    bool sessions = false;  // false: trading around the clock, no auction, no roll
    double shock = 2e-8;    // chance per product and slice of a jump that takes it to a limit
};

struct ContractInfo {
    int32_t product = 0;  // index into the market's products
    bool option = false;
    double weight = 0;   // share of its product's order flow
    int64_t offset = 0;  // futures: hundredths above the product's price (contango)
    int64_t last_change_slice = -1;
};

class Market {
public:
    static constexpr int64_t kSliceMs = 250;
    static constexpr int64_t kSlowMs = 500;  // the 2ps feed's cadence

    Market(const Universe& listing, const MarketOptions& opt);

    // Runs the slice that ends at end_ms (a multiple of kSliceMs, after the
    // previous one). fast: the contracts the 4ps feed carries now; slow: those
    // the 2ps feed carries now (empty between its boundaries). Indexes into
    // Contracts(), in the order they changed.
    void Slice(int64_t end_ms, std::vector<int32_t>& fast, std::vector<int32_t>& slow);

    // States by contract index; inst_no is the listing's, not a feed's.
    const std::vector<Instrument>& Contracts() const { return contracts_; }
    const ContractInfo& Info(int32_t i) const { return info_[static_cast<size_t>(i)]; }
    NightClose NightOf(int32_t i) const;
    const MarketOptions& Options() const { return opt_; }

private:
    struct ProductState {
        std::string code;
        NightClose night = NightClose::kNone;
        double weight = 1;
        double day_vol = 1.0;    // percent
        double step_chance = 0;  // per slice of trading: a step of step_ticks up or down
        int64_t step_ticks = 1;
        int64_t tick = 1;
        int64_t price = 0;  // hundredths: the product's level (its first month)
        std::vector<int32_t> contracts;
        std::vector<double> cumulative;  // of the contracts' weights
        int64_t trading_day = -1;        // of the last slice, days since 1970 (CST); -1: none yet
    };
    void Roll(int32_t i);
    void Change(int32_t i, int64_t end_ms, Phase phase);
    void MakeBook(Instrument& in, const ContractInfo& ci, int64_t px);
    int64_t TargetPrice(int32_t i);

    MarketOptions opt_;
    Rng rng_;
    std::vector<Instrument> contracts_;
    std::vector<ContractInfo> info_;
    std::vector<ProductState> products_;
    std::vector<uint8_t> slow_dirty_;
    std::vector<int32_t> slow_pending_;
    int64_t slice_no_ = 0;
};

}  // namespace kest_exch
