// The simulated exchange's instrument universe of one feed: what its
// snapshot server sends and what its multicast updates move.
//
// Prices, turnover and strikes are integers in hundredths (price x 100): that
// is the source of truth from which the MDQP doubles are made and against
// which decoded tables are checked, so no test depends on a double round trip
// of its own making.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "FpgaDataType.h"
#include "FpgaStructCommon.h"

namespace kest_exch {

constexpr int kBookDepth = 5;

// Largest instrument number an INE feed may use: the card's INE tables hold
// 1024 entries.
constexpr int32_t kIneMaxInstNo = 1023;
constexpr int32_t kShfeMaxInstNo = Kest_U50::INST_TABLE_SIZE - 1;

struct BookLevel {
    int64_t price = 0;  // hundredths
    uint32_t volume = 0;
};

struct Instrument {
    int32_t inst_no = 0;
    std::string inst_id;        // up to 31 characters (the MDQP field's size)
    std::string underlying_id;  // the future itself, or an option's underlying
    char product_class = '1';   // '1' future, '2' option
    char options_type = 0;      // 'C' or 'P' for options
    int64_t strike = 0;         // hundredths; options only
    int32_t volume_multiple = 1;
    int64_t price_tick = 1;  // hundredths

    // The exchange always knows a reference price (the live feed moves
    // around it); whether the snapshot publishes it is has_codec_price.
    int64_t ref_price = 0;  // hundredths, a multiple of price_tick
    bool has_codec_price = true;

    bool has_last_price = true;  // false: MDQP sends the no-value marker
    int64_t last_price = 0;      // hundredths
    uint32_t volume = 0;
    bool has_turnover = true;
    int64_t turnover = 0;  // hundredths of the currency unit
    uint64_t open_interest = 0;
    int64_t upper_limit = 0;  // hundredths
    int64_t lower_limit = 0;
    int64_t pre_settlement = 0;
    uint32_t change_no = 0;
    uint32_t update_time = 0;  // HHMMSS
    uint32_t update_mill_sec = 0;

    int bid_levels = 0;  // levels 0 .. bid_levels-1 of bid[] are real, best first
    int ask_levels = 0;
    BookLevel bid[kBookDepth];
    BookLevel ask[kBookDepth];
};

struct UniverseOptions {
    EMDQPDataType feed = SHFE_2PS;
    uint64_t seed = 1;
    int32_t size = 0;      // number of instruments; 0 = DefaultUniverseSize(feed)
    int32_t long_ids = 0;  // instruments given identifiers of 16 to 31 characters
};

class Universe {
public:
    static Universe Make(const UniverseOptions& opt);
    static Universe Make(EMDQPDataType feed, uint64_t seed, int32_t size = 0) {
        UniverseOptions o;
        o.feed = feed;
        o.seed = seed;
        o.size = size;
        return Make(o);
    }

    EMDQPDataType Feed() const { return feed_; }
    uint64_t Seed() const { return seed_; }
    // Indexed by inst_no: numbers are dense from 0.
    const std::vector<Instrument>& Instruments() const { return insts_; }
    std::vector<Instrument>& MutableInstruments() { return insts_; }
    const Instrument& At(int32_t inst_no) const { return insts_.at(static_cast<size_t>(inst_no)); }
    int32_t Size() const { return static_cast<int32_t>(insts_.size()); }
    int32_t MaxInstNo() const { return Size() - 1; }

private:
    EMDQPDataType feed_ = SHFE_2PS;
    uint64_t seed_ = 0;
    std::vector<Instrument> insts_;
};

// The table entry a host holds for `inst` after decoding its snapshot record
// (instrument information, deal information, then the price details, bids
// best first and asks best first) on top of `prior` (a zero entry when null).
SInstTableType ExpectedEntry(const Instrument& inst, const SInstTableType* prior = nullptr);

// The five price levels of a table entry's sides, best first, for loops.
struct EntryLevels {
    int32_t* bid_px[kBookDepth];
    uint32_t* bid_vol[kBookDepth];
    int32_t* ask_px[kBookDepth];
    uint32_t* ask_vol[kBookDepth];
};
EntryLevels LevelsOf(SInstTableType& e);

// --- Feeds ------------------------------------------------------------------
bool IsIneFeed(EMDQPDataType feed);
const char* FeedName(EMDQPDataType feed);                      // "shfe2ps", "shfe4ps", "ine2ps", "ine4ps"
bool ParseFeed(const std::string& text, EMDQPDataType& feed);  // accepts the names above
int32_t DefaultUniverseSize(EMDQPDataType feed);               // 4000 SHFE, 900 INE
int16_t DefaultTopicId(EMDQPDataType feed);                    // 1000, 1101, 5000, 5101
uint16_t DefaultSnapshotPort(EMDQPDataType feed);              // 33022, 22000, 33022, 22000

// Exact decimal value of hundredths as the exchange publishes it.
inline double HundredthsToDouble(int64_t h) { return static_cast<double>(h) / 100.0; }

}  // namespace kest_exch
