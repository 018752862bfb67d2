// kest-md-recv's poll loop: one thread that polls the library without pause,
// stamps and books each quote, and between every 4096 polls looks at the
// clock, the live table, loss, the log's file system and the outputs.
#pragma once

#include <chrono>
#include <cstdint>

#include "KestShfeMdApi.h"
#include "OutputFile.h"
#include "QuoteBook.h"
#include "RecvClock.h"
#include "RecvMetrics.h"
#include "RecvOptions.h"
#include "recording/Recording.h"

namespace kest_md_recv {

// Where a quote goes, and what is looked after between polls.
struct PollOutputs {
    QuoteBook& book;
    RecvMetrics* metrics;        // null without --metrics
    kest_rec::Writer* recorder;  // null without --record
    OutputFile& csv;
    OutputFile& bin;
};

// What the run said on standard error that the summary repeats.
struct PollEnd {
    double seconds = 0;  // from the first poll to the last
    bool logFullWarned = false;
    bool recordFailReported = false;
};

class PollLoop : public CKestShfeMdSpi {
public:
    PollLoop(const Options& opt, const PollOutputs& out) : opt_(opt), out_(out) {}

    // Before the start: SIGINT or SIGTERM that arrive before the library has
    // installed its own handlers must not end the process without its summary.
    static void CatchEarlySignals();

    // Polls until the library ends its polls, an early signal or --seconds
    // (counted from began) ends the run.
    PollEnd Run(CKestShfeMdApi& api, std::chrono::steady_clock::time_point began);

    // Callback mode: the library delivers here, inside a poll of Run.
    void OnShfeMdData(const KestShfeMdType* quote) override;

private:
    void Deliver(const KestShfeMdType& quote, uint64_t pollStartNs);

    const Options& opt_;
    PollOutputs out_;
    // The polling thread's clock: a stamp costs one counter read (RecvClock.h).
    RecvClock clock_;
    uint64_t pollStartNs_ = 0;
};

}  // namespace kest_md_recv
