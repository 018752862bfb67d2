// The quote summary of a trace left on during trading: per stream, the quote
// messages counted, with the first and the last kept and their times, written
// as one entry per stream once it spans a minute, before the next entry of
// any other kind, and at the end (cardtrace/FORMAT.md, "Quote summaries").
#pragma once

#include <cstdint>

#include "cardtrace/Trace.h"

namespace kest_trace {

class QuoteSummary {
public:
    static constexpr uint32_t kKeptMessage = 256;  // bytes kept of the first and of the last message
    static constexpr uint32_t kMaxStreams = 64;

    explicit QuoteSummary(Writer& writer) : writer_(writer) {}

    // Counts a quote message of `stream` (whose handle number is `id`) that
    // arrived at `now`; false when no stream is left for it, and the caller
    // stores the message instead.
    bool Add(const void* stream, uint64_t id, const uint8_t* data, uint32_t size, int64_t now);
    // Some stream holds quotes not yet written.
    bool Pending() const { return pending_; }
    // Writes each stream's summary that holds quotes.
    void Flush(int64_t now);
    uint64_t Summarised() const { return summarised_; }

private:
    struct Stream {
        const void* key = nullptr;
        uint64_t id = 0;
        uint64_t count = 0;
        int64_t first_t = 0, last_t = 0;
        uint32_t first_len = 0, last_len = 0;
        uint8_t first[kKeptMessage], last[kKeptMessage];
    };
    Stream* Of(const void* stream, uint64_t id);

    Writer& writer_;
    Stream streams_[kMaxStreams];
    uint32_t used_ = 0;
    bool pending_ = false;
    uint64_t summarised_ = 0;
};

}  // namespace kest_trace
