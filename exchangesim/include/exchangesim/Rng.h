// Seeded pseudo-random numbers for the simulated exchange.
//
// The standard distributions are implementation-defined, so the same seed
// could give another universe or another fault pattern with another standard
// library; corpora and test expectations must not depend on that. This
// generator (splitmix64) and its helpers are fully specified here.
#pragma once

#include <cstdint>

namespace kest_exch {

class Rng {
public:
    explicit Rng(uint64_t seed = 0) : state_(seed) {}

    uint64_t Next() {
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }

    // Uniform in [lo, hi] (inclusive); lo when hi < lo.
    int64_t Range(int64_t lo, int64_t hi) {
        if (hi <= lo) return lo;
        const uint64_t span = static_cast<uint64_t>(hi - lo) + 1;
        return lo + static_cast<int64_t>(Next() % span);
    }

    // Uniform in [0, 1).
    double Unit() { return static_cast<double>(Next() >> 11) * (1.0 / 9007199254740992.0); }

    bool Chance(double p) { return p > 0 && Unit() < p; }

    // A generator for a sub-stream, so that adding draws to one part of a
    // simulation does not shift the numbers another part sees.
    Rng Fork(uint64_t salt) { return Rng(Next() ^ (salt * 0xD1B54A32D192ED03ull)); }

private:
    uint64_t state_;
};

// Mixes a seed with a tag (feed, round, connection) into an independent seed.
inline uint64_t MixSeed(uint64_t seed, uint64_t tag) {
    Rng r(seed ^ (tag * 0x9E3779B97F4A7C15ull) ^ 0x5DEECE66Dull);
    r.Next();
    return r.Next();
}

}  // namespace kest_exch
