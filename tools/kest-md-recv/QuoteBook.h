// What the receive tool keeps of the quotes it received: per-instrument
// counts and last record, a latency histogram, optional CSV/binary output.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <string>

#include "InstrumentIndex.h"
#include "KestShfeMdStruct.h"
#include "recording/Recording.h"

class RecvMetrics;

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
    uint64_t missing = 0;     // change numbers skipped: quotes this application never saw
    uint64_t backwards = 0;   // quotes whose change number did not grow (repeated or reordered)
    uint32_t lastChange = 0;  // of the last quote: the feed numbers each instrument's changes
    KestShfeMdType last{};
};

// What the receiver could tell about loss, for the live line and the summary.
struct LossCounts {
    uint64_t missing = 0;    // sum of change-number gaps over all instruments
    uint64_t gapEvents = 0;  // quotes that arrived after such a gap
    uint64_t backwards = 0;
    uint64_t stale = 0;    // quotes older than the threshold when they arrived
    int64_t oldestMs = 0;  // largest age seen among the stale ones
};

class QuoteBook {
public:
    // Any of the outputs may be null.
    QuoteBook(FILE* csv, FILE* bin, kest_rec::Writer* recorder) : csv_(csv), bin_(bin), recorder_(recorder) {}
    // A quote whose exchange time of day is more than staleMs behind the
    // host's local time of day when it arrives counts as stale; 0: no check.
    void SetStaleThreshold(int64_t staleMs) { staleMs_ = staleMs; }
    // Loss and staleness are also counted there (null: not).
    void SetMetrics(RecvMetrics* metrics) { metrics_ = metrics; }
    // The exchange's clock that dates the CSV (as WriterOptions::exchange_clock), asked at the first
    // quote; unset or without an answer: the host's.
    void SetExchangeClock(std::function<bool(int64_t, kest_rec::FileHeader&)> clock) {
        clock_ = std::move(clock);
    }
    // Whether each instrument's last quote is kept, for PrintTable: a copy
    // of 152 bytes a quote that nothing reads when no table is printed.
    void SetKeepLast(bool keep) { keepLast_ = keep; }
    // arrivalNs: when the quote reached the application, in ns since the epoch.
    void OnQuote(const KestShfeMdType& quote, int64_t arrivalNs);
    const LossCounts& Loss() const { return loss_; }
    // The age of a quote: local time of day at arrival minus its exchange time
    // of day, in ms, across midnight; negative when it is ahead of the host.
    static int64_t AgeMs(uint32_t hhmmss, uint32_t milli, int64_t localDayMs);
    // clear: start with the clear-screen codes (only for a terminal).
    void PrintTable(FILE* out, size_t rows, bool clear) const;
    // The card's HHMMSS update time and its milliseconds as HH:MM:SS.mmm.
    static std::string FormatTime(uint32_t hhmmss, uint32_t milli);
    // "SHFE 2ps", "SHFE 4ps", "INE 2ps", "INE 4ps", else "type N".
    static std::string FeedName(uint16_t type);
    // Whether a feed carries every change of a contract (4ps), so that a
    // change-number jump is a quote lost; the 2ps feeds carry a contract at
    // most every 500 ms and step over the changes in between.
    static bool CarriesEveryChange(uint16_t type) { return type == 1 || type == 3; }
    void PrintSummary(FILE* out, int channel, double seconds) const;
    uint64_t Total() const { return total_; }
    LatencyHistogram& Latency() { return latency_; }

private:
    int64_t LocalDayMs(int64_t arrivalNs);
    // By feed (record type) and identifier: the feeds of an exchange carry
    // one market at their own pace, so each keeps its own row.
    std::map<std::pair<uint16_t, std::string>, InstrumentStats> instruments_;
    uint64_t total_ = 0;
    // Finds an entry of instruments_ from the record's bytes; the map's
    // entries never move.
    InstrumentIndex<InstrumentStats> index_;
    LossCounts loss_;
    int64_t staleMs_ = 0;
    // The local time zone's offset, looked up again once a minute of arrivals.
    int64_t offsetMs_ = 0;
    int64_t offsetValidUntilNs_ = 0;
    LatencyHistogram latency_;
    FILE* csv_;
    FILE* bin_;
    kest_rec::Writer* recorder_;
    RecvMetrics* metrics_ = nullptr;
    bool keepLast_ = true;
    std::function<bool(int64_t, kest_rec::FileHeader&)> clock_;
    kest_rec::FileHeader csvClock_{};  // its answer at the first quote
    bool clockAsked_ = false;
};
