// The quote summary: a quote message is counted and kept in place, so that a
// trace left on all day costs a compare and two copies per quote.
#include "cardtrace/QuoteSummary.h"

#include <cstring>

namespace kest_trace {
namespace {

void Keep(uint8_t* to, uint32_t& len, const uint8_t* data, uint32_t size) {
    len = size < QuoteSummary::kKeptMessage ? size : QuoteSummary::kKeptMessage;
    std::memcpy(to, data, len);
}

}  // namespace

QuoteSummary::Stream* QuoteSummary::Of(const void* stream, uint64_t id) {
    for (uint32_t i = 0; i < used_; ++i)
        if (streams_[i].key == stream) return &streams_[i];
    if (used_ == kMaxStreams) return nullptr;
    Stream* q = &streams_[used_++];
    q->key = stream;
    q->id = id;
    return q;
}

bool QuoteSummary::Add(const void* stream, uint64_t id, const uint8_t* data, uint32_t size, int64_t now) {
    Stream* q = Of(stream, id);
    if (q == nullptr) return false;
    if (q->count == 0) {
        q->first_t = now;
        Keep(q->first, q->first_len, data, size);
    }
    q->last_t = now;
    Keep(q->last, q->last_len, data, size);
    ++q->count;
    ++summarised_;
    pending_ = true;
    if (now - q->first_t >= kSummarySpanNs) Flush(now);
    return true;
}

void QuoteSummary::Flush(int64_t now) {
    uint8_t data[4 + 2 * kKeptMessage];
    for (uint32_t i = 0; i < used_; ++i) {
        Stream& q = streams_[i];
        if (q.count == 0) continue;
        std::memcpy(data, &q.first_len, 4);
        std::memcpy(data + 4, q.first, q.first_len);
        std::memcpy(data + 4 + q.first_len, q.last, q.last_len);
        const uint64_t args[kMaxArgs] = {q.id, q.count, static_cast<uint64_t>(q.first_t),
                                         static_cast<uint64_t>(q.last_t)};
        writer_.Add(Fn::kQuoteSummary, 0, 0, q.last_t, args, data, 4 + q.first_len + q.last_len);
        q.count = 0;
    }
    pending_ = false;
    writer_.FlushIfOlder(now, kBlockAgeNs);
}

}  // namespace kest_trace
