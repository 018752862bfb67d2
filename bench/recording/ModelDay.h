// A model trading day of one busy channel, as a recorder would see it: some
// sixty contracts of very unequal activity, prices walking in ticks, five
// levels around them, cumulative volume and turnover, arrivals a few
// microseconds apart over the day's sessions. Deterministic for a seed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "recording/Recording.h"

namespace kest_bench {

class ModelDay {
public:
    ModelDay(uint64_t entries, uint64_t seed);
    // The next entry; arrivals spread the entries over 6 hours.
    void Next(kest_rec::Entry& e);
    const std::vector<std::string>& Contracts() const { return ids_; }
    int64_t Start() const { return start_ns_; }
    int64_t Step() const { return step_ns_; }

private:
    struct Book {
        int32_t mid;
        int32_t tick;
        uint32_t volume;
        int64_t turnover;
        int64_t interest;
        uint32_t change;
    };
    uint64_t Rand();
    uint64_t state_;
    std::vector<std::string> ids_;
    std::vector<Book> books_;
    std::vector<uint32_t> pick_;  // contract per slot: the busy ones hold many slots
    int64_t start_ns_, step_ns_, now_ns_;
};

}  // namespace kest_bench
