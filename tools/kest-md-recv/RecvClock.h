// The receive loop's clock: a poll's start, a quote's delivery and its
// arrival time for the recording, at the cost of one read of the CPU's
// time-stamp counter each. clock_gettime costs several times that on a
// virtual machine, and a quote needed three of them.
//
// Nanoseconds are ticks times a rate measured against the steady clock; the
// arrival time is the realtime clock read at the last anchor plus the ticks
// since, and the loop re-anchors every few thousand polls, so it stays within
// a microsecond of what clock_gettime would give. Without an invariant
// counter (constant and nonstop) both come from clock_gettime.
// One thread (the polling one) uses a clock.
#pragma once

#include <x86intrin.h>

#include <chrono>
#include <cstdint>
#include <fstream>
#include <string>

#include "recording/Recording.h"

class RecvClock {
public:
    RecvClock() : tsc_(InvariantTsc()) {
        if (!tsc_) return;
        // A first rate over 2 ms; every anchor refines it over the whole run.
        firstTick_ = __rdtsc();
        firstSteady_ = SteadyNs();
        while (SteadyNs() - firstSteady_ < 2000000) {
        }
        Anchor();
    }

    // Nanoseconds on a monotonic clock; only differences mean anything.
    uint64_t NowNs() {
        if (!tsc_) return last_ = SteadyNs();
        last_ = __rdtsc();
        return Scale(last_ - firstTick_);
    }
    // The realtime clock (ns since the epoch) at the last NowNs().
    int64_t ArrivalNs() const {
        if (!tsc_) return kest_rec::RealtimeNs();
        // A stamp taken just before the anchor is behind it.
        return last_ >= anchorTick_ ? anchorReal_ + static_cast<int64_t>(Scale(last_ - anchorTick_))
                                    : anchorReal_ - static_cast<int64_t>(Scale(anchorTick_ - last_));
    }
    // Re-reads the system's clocks; the loop calls it every few thousand polls.
    void Anchor() {
        if (!tsc_) return;
        anchorReal_ = kest_rec::RealtimeNs();
        anchorTick_ = __rdtsc();
        const uint64_t steady = SteadyNs();
        if (steady - firstSteady_ >= 1000000)
            nsPerTick32_ =
                static_cast<uint64_t>(static_cast<double>(steady - firstSteady_) /
                                      static_cast<double>(anchorTick_ - firstTick_) * 4294967296.0);
    }

private:
    // Ticks to ns in integers: the conversions to and from double cost more
    // than the counter read, three times a quote.
    uint64_t Scale(uint64_t ticks) const {
        return static_cast<uint64_t>((static_cast<unsigned __int128>(ticks) * nsPerTick32_) >> 32);
    }
    static uint64_t SteadyNs() {
        return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                         std::chrono::steady_clock::now().time_since_epoch())
                                         .count());
    }
    static bool InvariantTsc() {
        std::ifstream in("/proc/cpuinfo");
        std::string line;
        while (std::getline(in, line)) {
            if (line.compare(0, 5, "flags") != 0) continue;
            return line.find(" constant_tsc") != std::string::npos &&
                   line.find(" nonstop_tsc") != std::string::npos;
        }
        return false;
    }

    const bool tsc_;
    uint64_t firstTick_ = 0, firstSteady_ = 0;
    uint64_t nsPerTick32_ = uint64_t{1} << 32;  // ns per tick, 32 bits after the point
    uint64_t last_ = 0;
    uint64_t anchorTick_ = 0;
    int64_t anchorReal_ = 0;
};
