#include "QuoteBook.h"

#include <algorithm>
#include <cctype>
#include <cinttypes>
#include <cstring>
#include <ctime>
#include <vector>

#include "FeedTable.h"
#include "RecvMetrics.h"
#include "recording/ExchangeClock.h"
#include "recording/QuoteCsv.h"

int LatencyHistogram::Bucket(uint64_t ns) {
    if (ns < static_cast<uint64_t>(kLinear)) {
        return static_cast<int>(ns);
    }
    // 16 sub-buckets per power of two above 1024 ns.
    const int msb = 63 - __builtin_clzll(ns);
    const int sub = static_cast<int>((ns >> (msb - 4)) & 15);
    const int bucket = kLinear + (msb - 10) * 16 + sub;
    return std::min(bucket, kLinear + kLog - 1);
}

uint64_t LatencyHistogram::BucketUpper(int bucket) {
    if (bucket < kLinear) {
        return static_cast<uint64_t>(bucket);
    }
    const int msb = (bucket - kLinear) / 16 + 10;
    const int sub = (bucket - kLinear) % 16;
    return ((16ULL + static_cast<uint64_t>(sub) + 1) << (msb - 4)) - 1;
}

void LatencyHistogram::Add(uint64_t ns) {
    ++buckets_[Bucket(ns)];
    ++count_;
    max_ = std::max(max_, ns);
}

uint64_t LatencyHistogram::Quantile(double q) const {
    if (count_ == 0) {
        return 0;
    }
    const uint64_t rank = static_cast<uint64_t>(q * static_cast<double>(count_ - 1)) + 1;
    uint64_t seen = 0;
    for (int b = 0; b < kLinear + kLog; ++b) {
        seen += buckets_[b];
        if (seen >= rank) {
            return std::min(BucketUpper(b), max_);
        }
    }
    return max_;
}

void QuoteBook::OnQuote(const KestShfeMdType& q, int64_t arrivalNs) {
    if (recorder_ != nullptr) recorder_->Append(arrivalNs, q);
    ++total_;
    InstrumentStats* found = index_.Find(q.type, q.inst_id);
    bool seenBefore = true;
    if (found == nullptr) {
        // Not in the index (its first quote, or bytes after the identifier's
        // end that differ): the map finds or makes its entry.
        char id[sizeof(q.inst_id) + 1];
        std::memcpy(id, q.inst_id, sizeof(q.inst_id));
        id[sizeof(q.inst_id)] = '\0';
        const auto made = instruments_.emplace(std::make_pair(q.type, std::string(id)), InstrumentStats{});
        seenBefore = !made.second;
        found = &made.first->second;
        index_.Insert(q.type, q.inst_id, found);
    }
    InstrumentStats& stats = *found;
    if (seenBefore) {
        // The exchange numbers each instrument's changes one by one and the
        // 4ps feeds carry every one: a jump there means quotes that never
        // reached this application, wherever they were lost (both multicast
        // lines, a full ring, a stopped receiver). A 2ps feed's jumps are the
        // changes it conflated; its losses show as lost-packet events.
        const uint32_t before = stats.lastChange;
        if (q.change_no > before) {
            const uint64_t skipped = CarriesEveryChange(q.type) ? q.change_no - before - 1 : 0;
            if (skipped > 0) {
                if (metrics_ != nullptr) metrics_->Gap(q.type, skipped, stats.missing == 0);
                stats.missing += skipped;
                loss_.missing += skipped;
                ++loss_.gapEvents;
            }
        } else {
            if (metrics_ != nullptr) metrics_->OutOfOrder(q.type);
            ++stats.backwards;
            ++loss_.backwards;
        }
    }
    stats.lastChange = q.change_no;
    ++stats.count;
    if (keepLast_) stats.last = q;
    if (staleMs_ > 0) {
        const int64_t age = AgeMs(q.update_time, q.update_milli_sec, LocalDayMs(arrivalNs));
        if (age > staleMs_) {
            ++loss_.stale;
            if (metrics_ != nullptr) metrics_->Stale(q.type);
            loss_.oldestMs = std::max(loss_.oldestMs, age);
        }
    }
    if (csv_ != nullptr) {
        if (!clockAsked_) {
            clockAsked_ = true;
            if (clock_ &&
                (!clock_(arrivalNs, csvClock_) || !kest_rec::ExchangeClockProblem(csvClock_).empty()))
                csvClock_ = kest_rec::FileHeader{};
        }
        kest_rec::WriteCsvLine(csv_, arrivalNs, q, kest_rec::EntryTradingDate(csvClock_, {arrivalNs, q}));
    }
    if (bin_ != nullptr) std::fwrite(&q, sizeof(q), 1, bin_);
}

int64_t QuoteBook::LocalDayMs(int64_t arrivalNs) {
    if (arrivalNs >= offsetValidUntilNs_) {
        const time_t secs = static_cast<time_t>(arrivalNs / 1000000000);
        struct tm local;
        localtime_r(&secs, &local);
        offsetMs_ = static_cast<int64_t>(local.tm_gmtoff) * 1000;
        offsetValidUntilNs_ = arrivalNs + 60LL * 1000000000;
    }
    constexpr int64_t kDayMs = 86400000;
    return ((arrivalNs / 1000000 + offsetMs_) % kDayMs + kDayMs) % kDayMs;
}

int64_t QuoteBook::AgeMs(uint32_t hhmmss, uint32_t milli, int64_t localDayMs) {
    constexpr int64_t kDayMs = 86400000;
    const int64_t quoteMs =
        (static_cast<int64_t>(hhmmss / 10000) * 3600 + hhmmss / 100 % 100 * 60 + hhmmss % 100) * 1000 + milli;
    int64_t age = ((localDayMs - quoteMs) % kDayMs + kDayMs) % kDayMs;
    // More than half a day behind is read as ahead: clocks that disagree,
    // not a quote that waited twelve hours.
    if (age > kDayMs / 2) age -= kDayMs;
    return age;
}

namespace {
// Prices arrive in hundredths.
void FormatPrice(char* out, size_t size, int32_t px) {
    const int64_t v = px;
    const int64_t whole = v / 100;
    const int64_t frac = (v < 0 ? -v : v) % 100;
    std::snprintf(out, size, "%s%" PRId64 ".%02" PRId64, (v < 0 && whole == 0) ? "-" : "", whole, frac);
}
}  // namespace

std::string QuoteBook::FeedName(uint16_t type) {
    const Kest_U50::FeedFacts* feed = Kest_U50::FeedOf(type);
    return feed != nullptr ? feed->name : "type " + std::to_string(type);
}

std::string QuoteBook::FormatTime(uint32_t hhmmss, uint32_t milli) {
    char buf[32];
    if (hhmmss >= 240000 || hhmmss / 100 % 100 >= 60 || hhmmss % 100 >= 60 || milli >= 1000) {
        // Not a time of day: shown as it came.
        std::snprintf(buf, sizeof buf, "%u.%03u", hhmmss, milli);
    } else {
        std::snprintf(buf, sizeof buf, "%02u:%02u:%02u.%03u", hhmmss / 10000, hhmmss / 100 % 100,
                      hhmmss % 100, milli);
    }
    return buf;
}

void QuoteBook::PrintTable(FILE* out, size_t rows, bool clear) const {
    std::vector<std::pair<std::pair<uint16_t, std::string>, const InstrumentStats*>> recent;
    recent.reserve(instruments_.size());
    for (const auto& entry : instruments_) recent.emplace_back(entry.first, &entry.second);
    // Most recently updated first (by card time, then change number).
    std::sort(recent.begin(), recent.end(), [](const auto& a, const auto& b) {
        const KestShfeMdType& x = a.second->last;
        const KestShfeMdType& y = b.second->last;
        if (x.update_time != y.update_time) return x.update_time > y.update_time;
        if (x.update_milli_sec != y.update_milli_sec) return x.update_milli_sec > y.update_milli_sec;
        return a.first < b.first;
    });
    if (clear) std::fprintf(out, "\033[H\033[2J");
    std::fprintf(out, "%-16s %-8s %8s %12s %10s %12s %8s %12s %8s %14s\n", "instrument", "feed", "updates",
                 "last", "volume", "bid1", "bidvol", "ask1", "askvol", "exchange time");
    char last[32], bid[32], ask[32];
    for (size_t i = 0; i < recent.size() && i < rows; ++i) {
        const KestShfeMdType& q = recent[i].second->last;
        FormatPrice(last, sizeof(last), q.last_px);
        FormatPrice(bid, sizeof(bid), q.bid1_px);
        FormatPrice(ask, sizeof(ask), q.ask1_px);
        std::fprintf(out, "%-16s %-8s %8" PRIu64 " %12s %10u %12s %8u %12s %8u %14s\n",
                     recent[i].first.second.c_str(), FeedName(recent[i].first.first).c_str(),
                     recent[i].second->count, last, q.volume, bid, q.bid1_vol, ask, q.ask1_vol,
                     FormatTime(q.update_time, q.update_milli_sec).c_str());
    }
    std::fprintf(out, "%zu instruments by feed, %" PRIu64 " quotes\n", instruments_.size(), total_);
    if (loss_.missing > 0 || loss_.backwards > 0 || loss_.stale > 0) {
        std::fprintf(out,
                     "LOSS: %" PRIu64 " quotes missing (change-number gaps), %" PRIu64
                     " out of order, %" PRIu64 " stale\n",
                     loss_.missing, loss_.backwards, loss_.stale);
    }
    std::fflush(out);
}

void QuoteBook::PrintSummary(FILE* out, int channel, double seconds) const {
    std::fprintf(out, "\n=== summary ===\n");
    std::fprintf(out, "channel %d: %" PRIu64 " quotes, %zu instruments, %.1f s, %.0f quotes/s\n", channel,
                 total_, instruments_.size(), seconds,
                 seconds > 0 ? static_cast<double>(total_) / seconds : 0.0);
    std::fprintf(out, "%-16s %-8s %10s %10s\n", "instrument", "feed", "quotes", "missing");
    for (const auto& entry : instruments_) {
        // The feed as one word ("shfe4ps"), so that each row splits into four fields.
        const Kest_U50::FeedFacts* facts = Kest_U50::FeedOf(entry.first.first);
        std::string feed = facts != nullptr ? facts->key : "type" + std::to_string(entry.first.first);
        for (char& c : feed) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        std::fprintf(out, "%-16s %-8s %10" PRIu64 " %10" PRIu64 "\n", entry.first.second.c_str(),
                     feed.c_str(), entry.second.count, entry.second.missing);
    }
    std::fprintf(out,
                 "missing quotes (change-number gaps): %" PRIu64 " in %" PRIu64
                 " gaps; out of order: %" PRIu64 "\n",
                 loss_.missing, loss_.gapEvents, loss_.backwards);
    if (staleMs_ > 0) {
        std::fprintf(
            out, "stale on arrival (older than %" PRId64 " ms): %" PRIu64 " quotes, oldest %" PRId64 " ms\n",
            staleMs_, loss_.stale, loss_.oldestMs);
    }
    if (latency_.Count() > 0) {
        std::fprintf(out,
                     "poll-to-delivery latency (ns, %" PRIu64 " samples): p50 %" PRIu64 "  p90 %" PRIu64
                     "  p99 %" PRIu64 "  p99.9 %" PRIu64 "  max %" PRIu64 "\n",
                     latency_.Count(), latency_.Quantile(0.50), latency_.Quantile(0.90),
                     latency_.Quantile(0.99), latency_.Quantile(0.999), latency_.Max());
    }
    std::fflush(out);
}
