// The four feeds with what the tools, the card model and the Python module
// say of each, in the order of EMDQPDataType. Everything outside the library
// that names a feed, selects it by a bit or counts its packets by multiplexer
// takes it from here.
#pragma once

#include <cstdint>

#include "FpgaDataType.h"

namespace Kest_U50 {

struct FeedFacts {
    EMDQPDataType feed;
    const char* name;      // as an operator reads it: "SHFE 2ps"
    const char* key;       // its configuration switch, metric label and model name: "shfe2ps"
    const char* symbol;    // as the enumeration spells it: "SHFE_2PS"
    uint8_t bit;           // in the enabled and finished masks
    int32_t block;         // the card's block whose two multiplexers (lines A and B) count its packets
    const char* exchange;  // "SHFE" or "INE"
};

// The card's two blocks, each with its two multiplexers; a block's registers
// lie BLOCK_4PS_OFFSET apart (FpgaRegisterCommon.h).
constexpr int32_t FEED_BLOCKS = 2;
constexpr const char* FEED_BLOCK_NAMES[FEED_BLOCKS] = {"2ps", "4ps"};

constexpr FeedFacts FEEDS[FEED_COUNT] = {
    {SHFE_2PS, "SHFE 2ps", "shfe2ps", "SHFE_2PS", FEED_BIT_SHFE_2PS, 0, "SHFE"},
    {SHFE_4PS, "SHFE 4ps", "shfe4ps", "SHFE_4PS", FEED_BIT_SHFE_4PS, 1, "SHFE"},
    {INE_2PS, "INE 2ps", "ine2ps", "INE_2PS", FEED_BIT_INE_2PS, 0, "INE"},
    {INE_4PS, "INE 4ps", "ine4ps", "INE_4PS", FEED_BIT_INE_4PS, 1, "INE"},
};

constexpr bool FeedTableHolds(int32_t i) {
    return i == FEED_COUNT || (FEEDS[i].feed == i && FEEDS[i].bit == FeedBit(FEEDS[i].feed) &&
                               FEEDS[i].block >= 0 && FEEDS[i].block < FEED_BLOCKS && FeedTableHolds(i + 1));
}
static_assert(FeedTableHolds(0), "one row per feed, in enumeration order, with its own bit and a block");

// The feed of a record's type field, or null for a type that is no feed.
constexpr const FeedFacts* FeedOf(int64_t type) {
    return type >= 0 && type < FEED_COUNT ? &FEEDS[type] : nullptr;
}

}  // namespace Kest_U50
