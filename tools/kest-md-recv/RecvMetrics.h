// What kest-md-recv --metrics serves: counters the polling thread keeps, and
// what the metrics thread reads from the library's log at each scrape.
//
// The polling thread is the only writer of the counters. It increments them
// with a relaxed load and store (one writer, so no locked read-modify-write)
// in cache lines no other data shares, and never waits for the reader: the
// scrape reads them relaxed, each value whole, the set of them not taken at
// one instant (a scrape may see a quote counted whose latency is not yet).
// No lock, allocation or system call is added to the quote path.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "FeedTable.h"
#include "Metrics.h"

class RecvMetrics {
public:
    // The four feeds as the card numbers them in each record's type, and one
    // for any other type.
    static constexpr int kFeeds = Kest_U50::FEED_COUNT + 1;  // and one for types that are no feed
    // Poll-to-delivery latency buckets: upper bounds in ns, then +Inf.
    static constexpr int kBuckets = 17;
    static constexpr uint64_t kBucketNs[kBuckets] = {50,     100,     250,     500,     1000,    2500,
                                                     5000,   10000,   25000,   50000,   100000,  250000,
                                                     500000, 1000000, 2500000, 5000000, 10000000};

    RecvMetrics(int card, int channel, const char* mode, const char* version);

    // --- The polling thread ----------------------------------------------
    // A quote delivered, latencyNs after its poll began, at arrivalNs since the epoch.
    void Delivered(uint16_t type, uint64_t latencyNs, int64_t arrivalNs) {
        Feed& f = counters_.feeds[FeedOf(type)];
        Bump(f.quotes);
        Bump(f.latency[BucketOf(latencyNs)]);
        Add(f.latencySumNs, latencyNs);
        counters_.lastArrivalNs.store(arrivalNs, std::memory_order_relaxed);
    }
    // A change-number gap of `skipped` quotes; first: the instrument's first gap.
    void Gap(uint16_t type, uint64_t skipped, bool first) {
        Feed& f = counters_.feeds[FeedOf(type)];
        Bump(f.gaps);
        Add(f.missing, skipped);
        if (first) Bump(f.instrumentsWithGaps);
    }
    void OutOfOrder(uint16_t type) { Bump(counters_.feeds[FeedOf(type)].backwards); }
    void Stale(uint16_t type) { Bump(counters_.feeds[FeedOf(type)].stale); }
    // Now and then, off the quote path: polls made, the recording's files
    // and the bytes it wrote to them.
    void Progress(uint64_t polls, uint32_t recordFiles, uint64_t recordBytes) {
        counters_.polls.store(polls, std::memory_order_relaxed);
        counters_.recordFiles.store(recordFiles, std::memory_order_relaxed);
        counters_.recordBytes.store(recordBytes, std::memory_order_relaxed);
    }

    // --- The main thread, before and after the start ------------------------
    // The start returned (ok or not); log: the library's log file, read from
    // its current end at each scrape for lost-packet events and bring-ups.
    void Started(bool ok, const std::string& log);
    void Stopping();

    // Takes the address (false with error: bad address, port in use), then
    // serves Render() from threads of their own until Stop() or destruction.
    bool Serve(const kest_tools::ListenAddress& at, std::string& error);
    int Port() const { return server_.Port(); }
    void Stop() { server_.Stop(); }

    // --- The metrics thread -----------------------------------------------
    std::string Render();

    static int FeedOf(uint16_t type) { return type < kFeeds - 1 ? type : kFeeds - 1; }
    static int BucketOf(uint64_t ns) {
        int b = 0;
        while (b < kBuckets && ns > kBucketNs[b]) ++b;
        return b;
    }

private:
    using Counter = std::atomic<uint64_t>;
    static void Bump(Counter& c) {
        c.store(c.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    }
    static void Add(Counter& c, uint64_t n) {
        c.store(c.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
    }
    struct Feed {
        Counter quotes{0};
        Counter gaps{0};
        Counter missing{0};
        Counter instrumentsWithGaps{0};
        Counter backwards{0};
        Counter stale{0};
        Counter latency[kBuckets + 1] = {};
        Counter latencySumNs{0};
    };
    // Written by the polling thread only; its own cache lines.
    struct alignas(64) Counters {
        Feed feeds[kFeeds];
        std::atomic<int64_t> lastArrivalNs{0};
        Counter polls{0};
        std::atomic<uint32_t> recordFiles{0};
        Counter recordBytes{0};
    };
    void ReadLog();

    Counters counters_;
    // Below: the main and the metrics threads only, under mutex_.
    alignas(64) std::mutex mutex_;
    const int card_;
    const int channel_;
    const std::string mode_;
    const std::string version_;
    const int64_t createdNs_;
    int state_ = 0;  // 0 starting, 1 running, 2 start failed, 3 stopping
    std::string log_;
    uint64_t logOffset_ = 0;
    std::string logPartial_;
    uint64_t lostIgnored_ = 0;
    uint64_t lostRecovered_ = 0;
    uint64_t bringUps_ = 0;
    kest_tools::MetricsServer server_;
};
