#include "exchangesim/LiveFeed.h"

#include <algorithm>

namespace kest_exch {

LiveFeed::LiveFeed(const Universe& universe, const LiveFeedOptions& opt)
    : state_(universe),
      opt_(opt),
      line_rng_(MixSeed(opt.seed, 0x22FE + static_cast<uint64_t>(universe.Feed()))),
      next_packet_no_(opt.first_packet_no) {
    a_.faults = opt.line_a;
    b_.faults = opt.line_b;
    for (const Instrument& in : state_.Instruments()) numbers_.emplace(in.inst_id, in.inst_no);
}

bool LiveFeed::Publish(const Instrument& c) {
    const auto it = numbers_.find(c.inst_id);
    if (it == numbers_.end()) return false;
    Queued q;
    LiveUpdate& u = q.u;
    u.inst_no = it->second;
    u.has_last_price = c.has_last_price;
    u.last_price = c.has_last_price ? c.last_price : 0;
    u.volume = c.volume;
    u.turnover = c.turnover;
    u.open_interest = c.open_interest;
    for (int i = 0; i < kBookDepth; ++i) {
        u.bid[i] = i < c.bid_levels ? c.bid[i] : BookLevel{};
        u.ask[i] = i < c.ask_levels ? c.ask[i] : BookLevel{};
    }
    u.update_time = c.update_time;
    u.update_milli_sec = static_cast<uint16_t>(c.update_mill_sec);
    u.change_no = c.change_no;
    q.upper_limit = c.upper_limit;
    q.lower_limit = c.lower_limit;
    q.pre_settlement = c.pre_settlement;
    q.has_turnover = c.has_turnover;
    pending_.push_back(q);
    return true;
}

void LiveFeed::Take(const Queued& q) {
    const LiveUpdate& u = q.u;
    Instrument& in = state_.MutableInstruments()[static_cast<size_t>(u.inst_no)];
    in.has_last_price = u.has_last_price;
    in.last_price = u.last_price;
    in.volume = u.volume;
    in.turnover = u.turnover;
    in.has_turnover = q.has_turnover;
    in.open_interest = u.open_interest;
    in.upper_limit = q.upper_limit;
    in.lower_limit = q.lower_limit;
    in.pre_settlement = q.pre_settlement;
    in.bid_levels = in.ask_levels = 0;
    for (int i = 0; i < kBookDepth; ++i) {
        in.bid[i] = u.bid[i];
        in.ask[i] = u.ask[i];
        if (u.bid[i].price > 0) in.bid_levels = i + 1;
        if (u.ask[i].price > 0) in.ask_levels = i + 1;
    }
    in.update_time = u.update_time;
    in.update_mill_sec = u.update_milli_sec;
    in.change_no = u.change_no;
}

void LiveFeed::SkipPending() {
    for (const Queued& q : pending_) Take(q);
    pending_.clear();
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

uint32_t LiveFeed::Step(std::vector<LiveUpdate>& line_a, std::vector<LiveUpdate>& line_b) {
    if (pending_.empty()) return 0;
    Queued q = pending_.front();
    pending_.pop_front();
    Take(q);
    LiveUpdate& u = q.u;
    u.packet_no = next_packet_no_++;

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

}  // namespace kest_exch
