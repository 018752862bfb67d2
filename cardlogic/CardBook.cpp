#include "cardlogic/CardBook.h"

#include <cstring>

namespace kest_cardlogic {

void ApplyUpdate(SInstTableType& e, const kest_exch::LiveUpdate& u) {
    e.change_no = u.change_no;
    e.update_mill_sec = u.update_milli_sec;
    e.updatetime = u.update_time;
    const kest_exch::EntryLevels lv = kest_exch::LevelsOf(e);
    for (int i = 0; i < kest_exch::kBookDepth; ++i) {
        *lv.bid_px[i] = static_cast<int32_t>(u.bid[i].price);
        *lv.bid_vol[i] = u.bid[i].volume;
        *lv.ask_px[i] = static_cast<int32_t>(u.ask[i].price);
        *lv.ask_vol[i] = u.ask[i].volume;
    }
    e.open_interest = u.open_interest;
    e.turnover = static_cast<uint64_t>(u.turnover);
    e.volume = u.volume;
    e.last_price = u.has_last_price ? static_cast<int32_t>(u.last_price) : 0;
}

void BuildQuote(const SInstTableType& e, uint32_t inst_no, const QuoteContext& ctx, KestShfeMdType& q) {
    std::memset(&q, 0, sizeof q);
    q.inst_no = inst_no;
    // The record holds 15 characters and a NUL.
    const size_t n = strnlen(e.inst_id, sizeof e.inst_id);
    std::memcpy(q.inst_id, e.inst_id, n < sizeof q.inst_id - 1 ? n : sizeof q.inst_id - 1);
    q.update_time = e.updatetime;
    q.update_milli_sec = static_cast<uint16_t>(e.update_mill_sec);
    q.type = ctx.type;
    q.change_no = e.change_no;
    q.last_px = e.last_price;
    q.volume = e.volume;
    q.turnover = static_cast<int64_t>(e.turnover);
    q.open_interest = static_cast<int64_t>(e.open_interest);
    q.bid1_px = e.bid1_price;
    q.bid1_vol = e.bid1_vol;
    q.bid2_px = e.bid2_price;
    q.bid2_vol = e.bid2_vol;
    q.bid3_px = e.bid3_price;
    q.bid3_vol = e.bid3_vol;
    q.bid4_px = e.bid4_price;
    q.bid4_vol = e.bid4_vol;
    q.bid5_px = e.bid5_price;
    q.bid5_vol = e.bid5_vol;
    q.ask1_px = e.ask1_price;
    q.ask1_vol = e.ask1_vol;
    q.ask2_px = e.ask2_price;
    q.ask2_vol = e.ask2_vol;
    q.ask3_px = e.ask3_price;
    q.ask3_vol = e.ask3_vol;
    q.ask4_px = e.ask4_price;
    q.ask4_vol = e.ask4_vol;
    q.ask5_px = e.ask5_price;
    q.ask5_vol = e.ask5_vol;
    q.last_tick_flag = ctx.last_tick;
    q.max_inst_no = ctx.max_inst_no;
}

}  // namespace kest_cardlogic
