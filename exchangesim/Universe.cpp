#include "exchangesim/Universe.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "FeedTable.h"
#include "exchangesim/Rng.h"

namespace kest_exch {
namespace {

struct Product {
    const char* code;
    int64_t ref;   // hundredths
    int64_t tick;  // hundredths
    int32_t multiple;
    int64_t strike_step;  // hundredths; 0: no options listed
    int64_t option_tick;  // hundredths
};

// Reference levels of the listed products (late 2024), in hundredths.
const Product kShfeProducts[] = {
    {"cu", 7200000, 1000, 5, 100000, 100},  {"al", 1950000, 500, 5, 20000, 100},
    {"zn", 2400000, 500, 5, 20000, 100},    {"pb", 1650000, 500, 5, 0, 0},
    {"ni", 13000000, 1000, 1, 200000, 100}, {"sn", 25000000, 1000, 1, 400000, 100},
    {"au", 56000, 2, 1000, 800, 2},         {"ag", 750000, 100, 15, 10000, 100},
    {"rb", 350000, 100, 10, 5000, 50},      {"hc", 360000, 100, 10, 0, 0},
    {"ru", 1500000, 500, 10, 25000, 100},   {"fu", 320000, 100, 10, 0, 0},
    {"bu", 360000, 100, 10, 0, 0},          {"sp", 580000, 200, 10, 0, 0},
    {"ss", 1350000, 500, 5, 0, 0},          {"ao", 420000, 100, 20, 5000, 50},
    {"br", 1250000, 500, 5, 20000, 100},
};
const Product kIneProducts[] = {
    {"sc", 52000, 10, 1000, 1000, 5}, {"lu", 400000, 100, 10, 0, 0}, {"nr", 1200000, 500, 10, 0, 0},
    {"bc", 6500000, 1000, 5, 0, 0},   {"ec", 180000, 10, 50, 0, 0},
};

int64_t RoundToTick(int64_t v, int64_t tick) {
    if (tick <= 0) return v;
    int64_t r = (v + tick / 2) / tick * tick;
    return r < tick ? tick : r;
}

std::string Month(int m) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "25%02d", m);
    return buf;
}

// Strike text as the exchange prints it: whole numbers without decimals.
std::string StrikeText(int64_t strike_h) {
    char buf[32];
    if (strike_h % 100 == 0) {
        std::snprintf(buf, sizeof buf, "%lld", static_cast<long long>(strike_h / 100));
    } else {
        std::snprintf(buf, sizeof buf, "%lld.%02lld", static_cast<long long>(strike_h / 100),
                      static_cast<long long>(strike_h % 100));
    }
    return buf;
}

void FillBook(Instrument& in, Rng& rng, bool option) {
    const int64_t t = in.price_tick;
    int want_bid = 5, want_ask = 5;
    const int64_t r = rng.Range(0, 99);
    if (option) {
        if (r < 8) {
            want_bid = 0;
            want_ask = 0;
        } else if (r < 40) {
            want_bid = static_cast<int>(rng.Range(0, 4));
            want_ask = static_cast<int>(rng.Range(1, 4));
        }
    } else if (r < 10) {
        want_bid = static_cast<int>(rng.Range(1, 4));
        want_ask = static_cast<int>(rng.Range(1, 4));
    }
    const int64_t mid = in.has_last_price ? in.last_price : in.ref_price;
    int64_t px = mid - t * rng.Range(0, 2);
    in.bid_levels = 0;
    for (int i = 0; i < want_bid && px >= t; ++i) {
        in.bid[i].price = px;
        in.bid[i].volume = static_cast<uint32_t>(rng.Range(1, option ? 50 : 400));
        ++in.bid_levels;
        px -= t * rng.Range(1, 3);
    }
    int64_t best_bid = in.bid_levels > 0 ? in.bid[0].price : mid - t;
    px = std::max(best_bid + t * rng.Range(1, 3), t);
    in.ask_levels = 0;
    for (int i = 0; i < want_ask; ++i) {
        in.ask[i].price = px;
        in.ask[i].volume = static_cast<uint32_t>(rng.Range(1, option ? 50 : 400));
        ++in.ask_levels;
        px += t * rng.Range(1, 3);
    }
    for (int i = in.bid_levels; i < kBookDepth; ++i) in.bid[i] = BookLevel{};
    for (int i = in.ask_levels; i < kBookDepth; ++i) in.ask[i] = BookLevel{};
}

void FillState(Instrument& in, Rng& rng, bool option, bool main_month) {
    const int64_t t = in.price_tick;
    in.pre_settlement = in.ref_price;
    in.upper_limit = RoundToTick(in.ref_price * 108 / 100, t);
    in.lower_limit = std::max(RoundToTick(in.ref_price * 92 / 100, t), t);
    const int64_t r = rng.Range(0, 99);
    in.has_codec_price = !(option && r < 3);
    in.has_last_price = !(option && r < 15) && !(!option && r < 2);
    in.has_turnover = true;
    if (in.has_last_price) {
        in.last_price = std::max(in.ref_price + t * rng.Range(-20, 20), t);
        in.volume = static_cast<uint32_t>(main_month ? rng.Range(20000, 400000) : rng.Range(0, 20000));
        if (option) in.volume = static_cast<uint32_t>(rng.Range(0, 3000));
        // Average traded price near the last price; kept integral in hundredths.
        const int64_t avg = std::max(in.last_price + t * rng.Range(-5, 5), t);
        in.turnover = static_cast<int64_t>(in.volume) * avg * in.volume_multiple;
    } else {
        in.last_price = 0;
        in.volume = 0;
        in.turnover = 0;
        // Some listings publish nothing at all for an untraded day.
        in.has_turnover = rng.Range(0, 3) != 0;
    }
    in.open_interest = static_cast<uint64_t>(option ? rng.Range(0, 20000) : rng.Range(0, 600000));
    in.change_no = static_cast<uint32_t>(rng.Range(1, 90000));
    static const uint32_t kTimes[] = {145959, 150000, 225959, 10000, 113000, 93015};
    in.update_time = kTimes[rng.Range(0, 5)];
    in.update_mill_sec = rng.Chance(0.5) ? 500 : 0;
    FillBook(in, rng, option);
}

}  // namespace

bool IsIneFeed(EMDQPDataType feed) { return feed == INE_2PS || feed == INE_4PS; }

const char* FeedName(EMDQPDataType feed) {
    const Kest_U50::FeedFacts* facts = Kest_U50::FeedOf(feed);
    return facts != nullptr ? facts->key : "?";
}

bool ParseFeed(const std::string& text, EMDQPDataType& feed) {
    for (int f = 0; f < Kest_U50::FEED_COUNT; ++f) {
        if (text == FeedName(static_cast<EMDQPDataType>(f))) {
            feed = static_cast<EMDQPDataType>(f);
            return true;
        }
    }
    return false;
}

int32_t DefaultUniverseSize(EMDQPDataType feed) { return IsIneFeed(feed) ? 900 : 4000; }

int16_t DefaultTopicId(EMDQPDataType feed) {
    static const int16_t kIds[] = {1000, 1101, 5000, 5101};
    return kIds[feed & 3];
}

uint16_t DefaultSnapshotPort(EMDQPDataType feed) {
    static const uint16_t kPorts[] = {33022, 22000, 33022, 22000};
    return kPorts[feed & 3];
}

Universe Universe::Make(const UniverseOptions& opt) {
    Universe u;
    u.feed_ = opt.feed;
    u.seed_ = opt.seed;
    const bool ine = IsIneFeed(opt.feed);
    const int32_t limit = (ine ? kIneMaxInstNo : kShfeMaxInstNo) + 1;
    int32_t size = opt.size > 0 ? opt.size : DefaultUniverseSize(opt.feed);
    size = std::min(size, limit);

    // The list and the market's state depend on the exchange only: both of
    // its feeds show one market. The instrument numbers are each feed's own.
    Rng state_rng(MixSeed(opt.seed, 0x100 + static_cast<uint64_t>(ine ? INE_2PS : SHFE_2PS)));
    const bool fast_feed = opt.feed == SHFE_4PS || opt.feed == INE_4PS;
    Rng order_rng(MixSeed(opt.seed, (ine ? 0x200 : 0x201) + (fast_feed ? 0x10 : 0)));

    const Product* products = ine ? kIneProducts : kShfeProducts;
    const size_t nproducts = ine ? sizeof(kIneProducts) / sizeof(kIneProducts[0])
                                 : sizeof(kShfeProducts) / sizeof(kShfeProducts[0]);

    std::vector<Instrument> list;
    list.reserve(static_cast<size_t>(size));
    // Futures: every product, twelve months; the nearer months are the active ones.
    for (size_t p = 0; p < nproducts && static_cast<int32_t>(list.size()) < size; ++p) {
        for (int m = 1; m <= 12 && static_cast<int32_t>(list.size()) < size; ++m) {
            Instrument in;
            in.inst_id = std::string(products[p].code) + Month(m);
            in.underlying_id = in.inst_id;
            in.product_class = '1';
            in.volume_multiple = products[p].multiple;
            in.price_tick = products[p].tick;
            // Contango of a few ticks per month.
            in.ref_price = RoundToTick(products[p].ref + products[p].tick * 3 * (m - 1), products[p].tick);
            FillState(in, state_rng, false, m <= 3);
            list.push_back(std::move(in));
        }
    }
    // Options: strikes spread outwards from the money until the size is reached.
    for (int ring = 0; static_cast<int32_t>(list.size()) < size && ring < 400; ++ring) {
        for (size_t p = 0; p < nproducts && static_cast<int32_t>(list.size()) < size; ++p) {
            if (products[p].strike_step == 0) continue;
            for (int m = 1; m <= 12 && static_cast<int32_t>(list.size()) < size; ++m) {
                const int64_t under =
                    RoundToTick(products[p].ref + products[p].tick * 3 * (m - 1), products[p].strike_step);
                const int64_t offset = (ring + 1) / 2 * (ring % 2 ? 1 : -1);
                const int64_t strike = under + offset * products[p].strike_step;
                if (strike <= 0) continue;
                for (int cp = 0; cp < 2 && static_cast<int32_t>(list.size()) < size; ++cp) {
                    Instrument in;
                    in.options_type = cp == 0 ? 'C' : 'P';
                    in.underlying_id = std::string(products[p].code) + Month(m);
                    in.inst_id = in.underlying_id + in.options_type + StrikeText(strike);
                    in.product_class = '2';
                    in.strike = strike;
                    in.volume_multiple = products[p].multiple;
                    in.price_tick = products[p].option_tick;
                    const int64_t intrinsic =
                        cp == 0 ? std::max<int64_t>(under - strike, 0) : std::max<int64_t>(strike - under, 0);
                    const int64_t time_value = under * state_rng.Range(5, 30) / 1000;
                    in.ref_price = RoundToTick(intrinsic + time_value, in.price_tick);
                    FillState(in, state_rng, true, false);
                    list.push_back(std::move(in));
                }
            }
        }
    }
    // Identifiers longer than a quote record holds (and up to the full MDQP field).
    for (int32_t i = 0; i < opt.long_ids && i < static_cast<int32_t>(list.size()); ++i) {
        Instrument& in = list[list.size() - 1 - static_cast<size_t>(i)];
        std::string id = in.inst_id + "-X" + std::to_string(i);
        while (id.size() < static_cast<size_t>(16 + (i * 5) % 16))
            id += static_cast<char>('A' + id.size() % 26);
        in.inst_id = id.substr(0, 31);
    }

    // Instrument numbers are dense but not in listing order.
    for (size_t i = list.size(); i > 1; --i) {
        const size_t j = static_cast<size_t>(order_rng.Range(0, static_cast<int64_t>(i) - 1));
        std::swap(list[i - 1], list[j]);
    }
    for (size_t i = 0; i < list.size(); ++i) list[i].inst_no = static_cast<int32_t>(i);
    u.insts_ = std::move(list);
    return u;
}

EntryLevels LevelsOf(SInstTableType& e) {
    return {{&e.bid1_price, &e.bid2_price, &e.bid3_price, &e.bid4_price, &e.bid5_price},
            {&e.bid1_vol, &e.bid2_vol, &e.bid3_vol, &e.bid4_vol, &e.bid5_vol},
            {&e.ask1_price, &e.ask2_price, &e.ask3_price, &e.ask4_price, &e.ask5_price},
            {&e.ask1_vol, &e.ask2_vol, &e.ask3_vol, &e.ask4_vol, &e.ask5_vol}};
}

SInstTableType ExpectedEntry(const Instrument& inst, const SInstTableType* prior) {
    SInstTableType e;
    if (prior != nullptr) {
        e = *prior;
    } else {
        std::memset(&e, 0, sizeof e);
    }
    // Instrument information.
    e.price_tick = static_cast<int32_t>(inst.price_tick);
    e.codec_price = inst.has_codec_price ? static_cast<int32_t>(inst.ref_price) : 0;
    e.vol_multiple = static_cast<uint32_t>(inst.volume_multiple);
    char field[31] = {};
    std::memcpy(field, inst.inst_id.data(), std::min<size_t>(inst.inst_id.size(), sizeof field));
    if (field[0] == 0) {
        e.inst_id[0] = 0;
    } else {
        std::memcpy(e.inst_id, field, 30);
        e.inst_id[30] = 0;
    }
    // Deal information.
    e.last_price = inst.has_last_price ? static_cast<int32_t>(inst.last_price) : 0;
    e.turnover = inst.has_turnover ? static_cast<uint64_t>(inst.turnover) : 0;
    e.open_interest = inst.open_interest;
    e.change_no = inst.change_no;
    e.update_mill_sec = inst.update_mill_sec;
    e.volume = inst.volume;
    // Price details fill the first empty level of their side (levels 1..4),
    // else overwrite level 5; a level is empty while its price is below 1.
    EntryLevels lv = LevelsOf(e);
    auto place = [](int32_t** px, uint32_t** vol, const BookLevel& level) {
        int slot = kBookDepth - 1;
        for (int i = 0; i < kBookDepth - 1; ++i) {
            if (*px[i] < 1) {
                slot = i;
                break;
            }
        }
        *px[slot] = static_cast<int32_t>(level.price);
        *vol[slot] = level.volume;
    };
    for (int i = 0; i < inst.bid_levels; ++i) place(lv.bid_px, lv.bid_vol, inst.bid[i]);
    for (int i = 0; i < inst.ask_levels; ++i) place(lv.ask_px, lv.ask_vol, inst.ask[i]);
    return e;
}

}  // namespace kest_exch
