// What the receive tool keeps of the quotes it received: per-instrument
// counts and last record, a latency histogram, optional CSV/binary output.
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>

#include "KestShfeMdStruct.h"
#include "recording/Recording.h"

class LatencyHistogram {
public:
    void Add(uint64_t ns);
    uint64_t Count() const { return count_; }
    // Upper bound (ns) of the bucket holding the given quantile (0..1).
    uint64_t Quantile(double q) const;
    uint64_t Max() const { return max_; }

private:
    // 1 ns buckets up to 1 us, then 1% wide buckets would need allocation;
    // a fixed log-linear layout keeps Add() free of allocation.
    static constexpr int kLinear = 1024;
    static constexpr int kLog = 64 * 16;
    static int Bucket(uint64_t ns);
    static uint64_t BucketUpper(int bucket);
    uint64_t buckets_[kLinear + kLog] = {};
    uint64_t count_ = 0;
    uint64_t max_ = 0;
};

struct InstrumentStats {
    uint64_t count = 0;
    KestShfeMdType last{};
};

class QuoteBook {
public:
    // Any of the outputs may be null.
    QuoteBook(FILE* csv, FILE* bin, kest_rec::Writer* recorder) : csv_(csv), bin_(bin), recorder_(recorder) {}
    // arrivalNs: when the quote reached the application, in ns since the epoch.
    void OnQuote(const KestShfeMdType& quote, int64_t arrivalNs);
    // clear: start with the clear-screen codes (only for a terminal).
    void PrintTable(FILE* out, size_t rows, bool clear) const;
    // The card's HHMMSS update time and its milliseconds as HH:MM:SS.mmm.
    static std::string FormatTime(uint32_t hhmmss, uint32_t milli);
    void PrintSummary(FILE* out, int channel, double seconds) const;
    uint64_t Total() const { return total_; }
    LatencyHistogram& Latency() { return latency_; }

private:
    std::map<std::string, InstrumentStats> instruments_;
    uint64_t total_ = 0;
    LatencyHistogram latency_;
    FILE* csv_;
    FILE* bin_;
    kest_rec::Writer* recorder_;
};
