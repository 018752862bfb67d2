#include "exchangesim/LiveFeed.h"

#include <algorithm>
#include <ctime>

namespace kest_sim {

void LocalTimeOfDay(int64_t ms, uint32_t& hhmmss, uint16_t& milli) {
    const time_t secs = static_cast<time_t>(ms >= 0 ? ms / 1000 : (ms - 999) / 1000);
    struct tm tmv {};
    localtime_r(&secs, &tmv);
    hhmmss = static_cast<uint32_t>(tmv.tm_hour * 10000 + tmv.tm_min * 100 + tmv.tm_sec);
    milli = static_cast<uint16_t>(((ms % 1000) + 1000) % 1000);
}

LiveFeed::LiveFeed(const Universe& universe, const LiveFeedOptions& opt)
    : state_(universe),
      opt_(opt),
      rng_(MixSeed(opt.seed, 0x11FE + static_cast<uint64_t>(universe.Feed()))),
      line_rng_(MixSeed(opt.seed, 0x22FE + static_cast<uint64_t>(universe.Feed()))),
      next_packet_no_(opt.first_packet_no) {
    a_.faults = opt.line_a;
    b_.faults = opt.line_b;
    for (const Instrument& in : state_.Instruments()) {
        if (in.product_class == '1') active_.push_back(in.inst_no);
    }
}

void LiveFeed::Move(Instrument& in, LiveUpdate& u, int64_t now_ms) {
    const int64_t t = in.price_tick;
    const bool option = in.product_class == '2';
    if (!in.has_last_price) {
        in.has_last_price = true;
        in.last_price = in.ref_price;
    }
    int64_t px = in.last_price + t * rng_.Range(-3, 3);
    px = std::min(std::max(px, std::max(in.lower_limit, t)), std::max(in.upper_limit, t));
    in.last_price = px;
    const uint32_t dv = static_cast<uint32_t>(rng_.Range(0, option ? 10 : 60));
    in.volume += dv;
    in.has_turnover = true;
    in.turnover += static_cast<int64_t>(dv) * px * in.volume_multiple;
    const int64_t doi = rng_.Range(-static_cast<int64_t>(dv), static_cast<int64_t>(dv));
    in.open_interest =
        static_cast<uint64_t>(std::max<int64_t>(0, static_cast<int64_t>(in.open_interest) + doi));
    ++in.change_no;
    LocalTimeOfDay(now_ms, in.update_time, u.update_milli_sec);
    in.update_mill_sec = u.update_milli_sec;

    // A fresh book around the last price, never crossed.
    const int depth = option ? static_cast<int>(rng_.Range(1, kBookDepth)) : kBookDepth;
    int64_t b = px - t * rng_.Range(0, 1);
    in.bid_levels = 0;
    for (int i = 0; i < depth && b >= t; ++i) {
        in.bid[i] = BookLevel{b, static_cast<uint32_t>(rng_.Range(1, option ? 50 : 400))};
        ++in.bid_levels;
        b -= t * rng_.Range(1, 2);
    }
    const int64_t best_bid = in.bid_levels > 0 ? in.bid[0].price : px - t;
    int64_t a = std::max(best_bid + t * rng_.Range(1, 2), std::max(px, t));
    if (a <= best_bid) a = best_bid + t;
    in.ask_levels = 0;
    for (int i = 0; i < depth; ++i) {
        in.ask[i] = BookLevel{a, static_cast<uint32_t>(rng_.Range(1, option ? 50 : 400))};
        ++in.ask_levels;
        a += t * rng_.Range(1, 2);
    }
    for (int i = in.bid_levels; i < kBookDepth; ++i) in.bid[i] = BookLevel{};
    for (int i = in.ask_levels; i < kBookDepth; ++i) in.ask[i] = BookLevel{};

    u.inst_no = in.inst_no;
    u.has_last_price = true;
    u.last_price = in.last_price;
    u.volume = in.volume;
    u.turnover = in.turnover;
    u.open_interest = in.open_interest;
    for (int i = 0; i < kBookDepth; ++i) {
        u.bid[i] = in.bid[i];
        u.ask[i] = in.ask[i];
    }
    u.update_time = in.update_time;
    u.change_no = in.change_no;
}

void LiveFeed::Deliver(Line& line, const LiveUpdate* u, bool lost, std::vector<LiveUpdate>& out) {
    // Packets held back before this one come out after it.
    if (u != nullptr && !lost) {
        if (line.faults.reorder > 0 && line.held.size() < 2 && line_rng_.Chance(line.faults.reorder)) {
            line.held.push_back({*u, static_cast<int>(line_rng_.Range(1, 2)) + 1});
        } else {
            out.push_back(*u);
        }
    }
    for (auto it = line.held.begin(); it != line.held.end();) {
        if (--it->countdown <= 0) {
            out.push_back(it->u);
            it = line.held.erase(it);
        } else {
            ++it;
        }
    }
}

uint32_t LiveFeed::Step(int64_t now_ms, std::vector<LiveUpdate>& line_a, std::vector<LiveUpdate>& line_b) {
    LiveUpdate u;
    u.packet_no = next_packet_no_++;
    const bool busy = !active_.empty() && rng_.Chance(0.7);
    const int32_t inst_no =
        busy ? active_[static_cast<size_t>(rng_.Range(0, static_cast<int64_t>(active_.size()) - 1))]
             : static_cast<int32_t>(rng_.Range(0, state_.Size() - 1));
    Move(state_.MutableInstruments()[static_cast<size_t>(inst_no)], u, now_ms);

    bool gap = false;
    if (forced_gaps_ > 0) {
        --forced_gaps_;
        gap = true;
    } else if (line_rng_.Chance(opt_.gap)) {
        gap = true;
    }
    bool lost_a = gap, lost_b = gap;
    if (!gap) {
        lost_a = line_rng_.Chance(a_.faults.loss);
        lost_b = !lost_a && line_rng_.Chance(b_.faults.loss);
    }
    if (gap) gaps_.push_back(u.packet_no);
    Deliver(a_, &u, lost_a, line_a);
    Deliver(b_, &u, lost_b, line_b);
    return u.packet_no;
}

void LiveFeed::Flush(std::vector<LiveUpdate>& line_a, std::vector<LiveUpdate>& line_b) {
    for (auto& h : a_.held) line_a.push_back(h.u);
    for (auto& h : b_.held) line_b.push_back(h.u);
    a_.held.clear();
    b_.held.clear();
}

}  // namespace kest_sim
