// Quote record of the SHFE/INE five-level market-data API.
// Self-contained: include it on its own in C++11 or later.
#ifndef KEST_SHFE_MD_STRUCT_H
#define KEST_SHFE_MD_STRUCT_H

#include <stddef.h>
#include <stdint.h>

// One five-level quote, exactly as the card writes it into the DMA stream.
// Little-endian, natural alignment, no padding, 152 bytes. Prices, as the
// library seeds them into the card, are integers in hundredths.
struct KestShfeMdType {
    uint32_t inst_no;           // instrument number within its feed
    char inst_id[16];           // instrument identifier, NUL-padded
    uint32_t update_time;       // update time of the quote
    uint16_t update_milli_sec;  // millisecond part of the update time
    uint16_t type;              // record type as set by the card
    uint32_t change_no;         // change number of the instrument's quote
    int32_t last_px;            // last price
    uint32_t volume;            // traded volume
    int64_t turnover;           // turnover
    int64_t open_interest;      // open interest
    int32_t bid1_px;
    uint32_t bid1_vol;
    int32_t bid2_px;
    uint32_t bid2_vol;
    int32_t bid3_px;
    uint32_t bid3_vol;
    int32_t bid4_px;
    uint32_t bid4_vol;
    int32_t bid5_px;
    uint32_t bid5_vol;
    int32_t ask1_px;
    uint32_t ask1_vol;
    int32_t ask2_px;
    uint32_t ask2_vol;
    int32_t ask3_px;
    uint32_t ask3_vol;
    int32_t ask4_px;
    uint32_t ask4_vol;
    int32_t ask5_px;
    uint32_t ask5_vol;
    uint64_t reverse1;     // reserved
    uint8_t reverse2[3];   // reserved
    bool last_tick_flag;   // last-tick flag set by the card
    uint32_t max_inst_no;  // maximum instrument number as the card reports it
};

static_assert(sizeof(KestShfeMdType) == 152, "KestShfeMdType is 152 bytes");
static_assert(offsetof(KestShfeMdType, inst_id) == 4, "inst_id at 4");
static_assert(offsetof(KestShfeMdType, update_time) == 20, "update_time at 20");
static_assert(offsetof(KestShfeMdType, update_milli_sec) == 24, "update_milli_sec at 24");
static_assert(offsetof(KestShfeMdType, type) == 26, "type at 26");
static_assert(offsetof(KestShfeMdType, change_no) == 28, "change_no at 28");
static_assert(offsetof(KestShfeMdType, last_px) == 32, "last_px at 32");
static_assert(offsetof(KestShfeMdType, volume) == 36, "volume at 36");
static_assert(offsetof(KestShfeMdType, turnover) == 40, "turnover at 40");
static_assert(offsetof(KestShfeMdType, open_interest) == 48, "open_interest at 48");
static_assert(offsetof(KestShfeMdType, bid1_px) == 56, "bid1_px at 56");
static_assert(offsetof(KestShfeMdType, bid5_vol) == 92, "bid5_vol at 92");
static_assert(offsetof(KestShfeMdType, ask1_px) == 96, "ask1_px at 96");
static_assert(offsetof(KestShfeMdType, ask5_vol) == 132, "ask5_vol at 132");
static_assert(offsetof(KestShfeMdType, reverse1) == 136, "reverse1 at 136");
static_assert(offsetof(KestShfeMdType, reverse2) == 144, "reverse2 at 144");
static_assert(offsetof(KestShfeMdType, last_tick_flag) == 147, "last_tick_flag at 147");
static_assert(offsetof(KestShfeMdType, max_inst_no) == 148, "max_inst_no at 148");

#endif  // KEST_SHFE_MD_STRUCT_H
