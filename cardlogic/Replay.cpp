#include "cardlogic/Replay.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <climits>
#include <cstring>
#include <memory>
#include <thread>

#include "cardlogic/CardBook.h"
#include "cardlogic/ReplaySource.h"
#include "recording/Recording.h"
#include "recording/RunReader.h"
#include "recording/TimeWindow.h"

namespace kest_cardlogic {

namespace {

using Clock = std::chrono::steady_clock;

// Records per push: one completion word and one head store for all of them,
// few enough (10 KiB) that the consumer starts on a batch while it is warm.
constexpr uint32_t kBatch = 64;

int64_t ExchangeMs(const KestShfeMdType& q) {
    const int64_t t = q.update_time;
    return ((t / 10000) * 3600 + t / 100 % 100 * 60 + t % 100) * 1000 + q.update_milli_sec;
}

// Which records a replay plays; a record costs a few comparisons.
class Selection {
public:
    explicit Selection(const ReplayOptions& opt) : from_(opt.from), to_(opt.to), contracts_(opt.contracts) {
        if (from_.clock == ReplayTime::Clock::kArrival) arrivals_.from_ns = from_.value;
        if (to_.clock == ReplayTime::Clock::kArrival) arrivals_.to_ns = to_.value;
        wraps_ = from_.clock == ReplayTime::Clock::kExchange && to_.clock == ReplayTime::Clock::kExchange &&
                 from_.value > to_.value;
        all_ = contracts_.empty() && from_.clock == ReplayTime::Clock::kNone &&
               to_.clock == ReplayTime::Clock::kNone;
    }
    bool All() const { return all_; }
    bool Takes(const kest_rec::Entry& e) const {
        // A whole identifier or a product, as kest-record selects them.
        if (!contracts_.empty() && !kest_rec::ContractMatches(e.record.inst_id, contracts_)) return false;
        if (!arrivals_.Contains(e.arrival_ns)) return false;
        const bool after = from_.clock != ReplayTime::Clock::kExchange || ExchangeMs(e.record) >= from_.value;
        const bool before = to_.clock != ReplayTime::Clock::kExchange || ExchangeMs(e.record) < to_.value;
        return wraps_ ? (after || before) : (after && before);
    }
    // The arrivals the bounds on that clock leave in.
    const kest_rec::TimeWindow& Arrivals() const { return arrivals_; }

private:
    ReplayTime from_, to_;
    kest_rec::TimeWindow arrivals_;
    bool wraps_ = false, all_ = true;
    std::vector<std::string> contracts_;
};

bool Stopped(const std::atomic<bool>* stop) {
    // Acquire pairs with the release store of whoever asks to stop.
    return stop != nullptr && stop->load(std::memory_order_acquire);
}

// Waits until `due`; false when *stop ended the wait.
bool WaitUntil(Clock::time_point due, const std::atomic<bool>* stop) {
    for (Clock::time_point now = Clock::now(); now < due; now = Clock::now()) {
        if (Stopped(stop)) return false;
        const auto left = due - now;
        if (left > std::chrono::milliseconds(2))
            std::this_thread::sleep_for(left - std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace

bool ParseReplayTime(const std::string& text, ReplayTime* out, std::string* why) {
    int h = 0, mi = 0, used = 0;
    double s = 0;
    auto fail = [&](const std::string& w) {
        if (why != nullptr) *why = w;
        return false;
    };
    if (std::sscanf(text.c_str(), "%2d:%2d%n", &h, &mi, &used) == 2 && used == 5) {
        const char* rest = text.c_str() + 5;
        int consumed = 0;
        if (*rest != '\0' &&
            (std::sscanf(rest, ":%lf%n", &s, &consumed) != 1 || s < 0 || s >= 60.5 || rest[consumed] != '\0'))
            return fail("has bad seconds");
        if (h > 23 || mi > 59 || h < 0 || mi < 0) return fail("is not a time of day");
        out->clock = ReplayTime::Clock::kExchange;
        out->value = (int64_t{h} * 3600 + mi * 60) * 1000 + static_cast<int64_t>(s * 1000 + 0.5);
        return true;
    }
    int64_t ns = 0;
    const std::string bad = kest_rec::ParseTime(text, &ns);
    if (!bad.empty()) return fail(bad + ", or HH:MM[:SS[.mmm]] an exchange time of day");
    out->clock = ReplayTime::Clock::kArrival;
    out->value = ns;
    return true;
}

ReplayResult Replay(kest_sim::Card& card, const std::vector<std::string>& files, const ReplayOptions& opt,
                    const std::atomic<bool>* stop) {
    ReplayResult result;
    const std::unique_ptr<ReplaySource> source = ReplaySource::Open(files);
    const Selection selection(opt);
    source->Select(selection.Arrivals(), opt.contracts);
    static const dma_header_t kHeader{DMA_UDP, DMA_QUOTE_MSG_SIZE};
    kest_sim::PushBatch batch;
    batch.header = &kHeader;
    batch.header_size = sizeof kHeader;
    batch.payload_size = sizeof(KestShfeMdType);
    batch.stride = sizeof(kest_rec::Entry);
    static_assert(sizeof kHeader + sizeof(KestShfeMdType) == DMA_QUOTE_MSG_SIZE, "a quote message");

    bool have_base = false;
    int64_t first_arrival = 0;
    Clock::time_point started{};
    // When the entry with arrival time `arrival` is due, at the scaled pace.
    auto due = [&](int64_t arrival) {
        return started + std::chrono::nanoseconds(
                             static_cast<int64_t>(static_cast<double>(arrival - first_arrival) / opt.speed));
    };
    const kest_rec::Entry* run = nullptr;
    size_t count = 0;
    while (!result.stopped && source->NextRun(&run, &count)) {
        for (size_t i = 0; i < count;) {
            if (!selection.All()) {
                const size_t first = i;
                while (i < count && !selection.Takes(run[i])) ++i;
                result.left_out += i - first;
                if (i == count) break;
            }
            // Up to a batch of consecutive records that are played.
            size_t end = std::min(count, i + kBatch);
            if (!selection.All()) {
                size_t j = i + 1;
                while (j < end && selection.Takes(run[j])) ++j;
                end = j;
            }
            if (!have_base) {
                have_base = true;
                first_arrival = run[i].arrival_ns;
                started = Clock::now();
            }
            if (opt.speed > 0) {
                // Keep to the recorded spacing, scaled: wait for the first, then
                // take those already due with it. A late push is not caught up
                // by skipping, only by not waiting.
                if (!WaitUntil(due(run[i].arrival_ns), stop)) {
                    result.stopped = true;
                    break;
                }
                const Clock::time_point now = Clock::now();
                size_t j = i + 1;
                while (j < end && due(run[j].arrival_ns) <= now) ++j;
                end = j;
            }
            batch.payloads = reinterpret_cast<const uint8_t*>(&run[i].record);
            batch.count = static_cast<uint32_t>(end - i);
            const uint32_t pushed = card.PushA2cBatchBlocking(opt.channel, batch, stop, -1);
            result.records += pushed;
            if (pushed != batch.count) {
                result.stopped = true;
                break;
            }
            i = end;
        }
    }
    if (have_base) result.seconds = std::chrono::duration<double>(Clock::now() - started).count();
    result.error = source->Error();
    result.left_out += source->PassedOver();
    result.skipped = source->Skipped();
    result.trailing_bytes = source->TrailingBytes();
    return result;
}

}  // namespace kest_cardlogic
