#include "ModelDay.h"

#include <cstring>

#include "recording/ChinaTime.h"

namespace kest_bench {

ModelDay::ModelDay(uint64_t entries, uint64_t seed) : state_(seed * 0x9E3779B97F4A7C15ull + 1) {
    const char* products[] = {"cu", "al", "zn", "ni", "au", "ag", "rb", "hc", "ru", "sc", "fu", "bu"};
    for (const char* p : products) {
        for (int m = 1; m <= 5; ++m) {
            ids_.push_back(std::string(p) + "26" + (m < 10 ? "0" : "") + std::to_string(m));
            const int32_t tick = p[0] == 'a' && p[1] == 'u' ? 2 : 10;
            books_.push_back({static_cast<int32_t>(300000 + Rand() % 7000000) / tick * tick, tick, 0, 0,
                              static_cast<int64_t>(10000 + Rand() % 200000), 0});
        }
    }
    // Activity falls off with the month and the product: the front months trade most.
    for (uint32_t c = 0; c < ids_.size(); ++c) {
        const uint32_t weight = 64 >> (c % 5) >> (c / 5 / 4);
        for (uint32_t k = 0; k < weight + 1; ++k) pick_.push_back(c);
    }
    start_ns_ = int64_t{1796347800} * 1000000000;  // 2026-12-04 09:30 CST (01:30 UTC)
    step_ns_ = static_cast<int64_t>(6 * 3600 * 1e9 / static_cast<double>(entries ? entries : 1));
    now_ns_ = start_ns_;
}

uint64_t ModelDay::Rand() {  // xorshift64*
    state_ ^= state_ >> 12;
    state_ ^= state_ << 25;
    state_ ^= state_ >> 27;
    return state_ * 2685821657736338717ull;
}

void ModelDay::Next(kest_rec::Entry& e) {
    const uint64_t r = Rand();
    now_ns_ += static_cast<int64_t>(r % static_cast<uint64_t>(2 * step_ns_ + 1));
    const uint32_t c = pick_[(r >> 32) % pick_.size()];
    Book& b = books_[c];
    const int move = static_cast<int>((r >> 20) % 5) - 2;
    if ((r >> 24) % 4 == 0) b.mid += move * b.tick;
    const uint32_t traded = static_cast<uint32_t>((r >> 40) % 8);
    b.volume += traded;
    b.turnover += static_cast<int64_t>(traded) * b.mid * 10;
    b.interest += static_cast<int64_t>((r >> 44) % 5) - 2;
    KestShfeMdType& q = e.record;
    std::memset(&q, 0, sizeof q);
    q.inst_no = c;
    std::memcpy(q.inst_id, ids_[c].data(), ids_[c].size());
    const int64_t cst_s = now_ns_ / 1000000000 + kest_rec::kChinaOffsetS;
    const int64_t day_s = cst_s % 86400;
    q.update_time = static_cast<uint32_t>(day_s / 3600 * 10000 + day_s / 60 % 60 * 100 + day_s % 60);
    q.update_milli_sec = static_cast<uint16_t>(now_ns_ / 1000000 % 1000 / 500 * 500);
    q.type = c < 45 ? 0 : 2;
    q.change_no = ++b.change;
    q.last_px = b.mid + ((r >> 48) & 1) * b.tick;
    q.volume = b.volume;
    q.turnover = b.turnover;
    q.open_interest = b.interest;
    int32_t* bid = &q.bid1_px;
    int32_t* ask = &q.ask1_px;
    for (int l = 0; l < 5; ++l) {
        bid[2 * l] = b.mid - l * b.tick;
        reinterpret_cast<uint32_t*>(bid)[2 * l + 1] = 1 + static_cast<uint32_t>((r >> (4 * l)) % 60);
        ask[2 * l] = b.mid + (l + 1) * b.tick;
        reinterpret_cast<uint32_t*>(ask)[2 * l + 1] = 1 + static_cast<uint32_t>((r >> (4 * l + 2)) % 60);
    }
    q.max_inst_no = static_cast<uint32_t>(ids_.size() - 1);
    e.arrival_ns = now_ns_;
}

}  // namespace kest_bench
