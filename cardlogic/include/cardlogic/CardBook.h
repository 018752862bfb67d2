// What the card does with one decoded update: the instrument's entry in the
// card's table takes the update's state, and the quote record is made from
// the entry (so the identifier is the one the host wrote into the table).
#pragma once

#include <cstdint>

#include "FpgaStructCommon.h"
#include "KestShfeMdStruct.h"
#include "exchangesim/LiveFeed.h"

namespace kest_cardlogic {

// Table words an update changes: change_no (word 4) to last_price (word 32).
constexpr uint32_t kBookFirstWord = 4;
constexpr uint32_t kBookLastWord = 32;

// Prices and turnover in hundredths, as the host seeded the table.
void ApplyUpdate(SInstTableType& entry, const kest_exch::LiveUpdate& u);

struct QuoteContext {
    uint16_t type = 0;         // record type: the feed (EMDQPDataType)
    bool last_tick = false;    // this channel is the last-tick channel
    uint32_t max_inst_no = 0;  // the feed's max-inst-no register
};

// The 152-byte record for `inst_no` from its (updated) entry.
void BuildQuote(const SInstTableType& entry, uint32_t inst_no, const QuoteContext& ctx, KestShfeMdType& q);

// A whole DMA_UDP message: header (kind 1, length 160) and the record.
struct QuoteMessage {
    dma_header_t header;
    KestShfeMdType quote;
};
static_assert(sizeof(QuoteMessage) == DMA_QUOTE_MSG_SIZE, "quote message is 160 bytes");

}  // namespace kest_cardlogic
