// What kest-md-recv --record --quiet does for each quote besides the poll,
// on one thread, in ns per quote: the poll's start stamp, the delivery stamp
// and arrival time (RecvClock), the latency histogram, the book (gap
// detection, per-instrument figures, staleness) and the recording's copy
// (to a file in /dev/shm, written a block at a time; every other round
// without it). 2,000 instruments of
// two feeds in turn, so the book's lookups are not one cache line's.
//
// Timed in the thread's CPU time (system time of the writes included).
// Limits in the same run: the 200 ns a quote may take at 5 M quotes/s, and
// the three clock_gettime calls the loop made per quote before.
#include <time.h>
#include <unistd.h>

#include <cinttypes>

#include "BenchSupport.h"
#include "QuoteBook.h"
#include "RecvClock.h"

namespace {
// This thread's CPU time: the machine is shared, and time spent descheduled is no work of the loop's.
double CpuNs() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e9 + static_cast<double>(ts.tv_nsec);
}
}  // namespace

int main() {
    using namespace kest_bench;
    constexpr uint64_t kQuotes = 4000000;
    constexpr uint32_t kInstruments = 2000;
    std::vector<KestShfeMdType> quotes(kInstruments);
    for (uint32_t i = 0; i < kInstruments; ++i) {
        std::snprintf(quotes[i].inst_id, sizeof quotes[i].inst_id, "ag%04u", 2500 + i / 2);
        quotes[i].type = static_cast<uint16_t>(i % 2);
        quotes[i].update_time = 93000;
    }
    const std::string path = "/dev/shm/kest_bench_recvtool." + std::to_string(getpid());
    std::vector<double> work, unrecorded, clocks;
    for (int round = 0; round < 10; ++round) {
        // Odd rounds without the recording: what its writes cost.
        std::string error;
        std::unique_ptr<kest_rec::Writer> recorder =
            round % 2 == 0 ? kest_rec::Writer::Open(path, {}, &error) : nullptr;
        if (!recorder && round % 2 == 0) return 1;
        QuoteBook book(nullptr, nullptr, recorder.get());
        book.SetStaleThreshold(3000);
        book.SetKeepLast(false);  // --quiet: no table
        RecvClock clock;
        double t0 = CpuNs();
        for (uint64_t n = 0; n < kQuotes; ++n) {
            KestShfeMdType& q = quotes[n % kInstruments];
            ++q.change_no;
            // As the tool's receive loop: a stamp before the poll, one at delivery.
            const uint64_t start = clock.NowNs();
            const uint64_t latency = clock.NowNs() - start;
            const int64_t arrival = clock.ArrivalNs();
            book.Latency().Add(latency);
            book.OnQuote(q, arrival);
            if ((n & 0xFFF) == 0) clock.Anchor();
        }
        double t1 = CpuNs();
        (recorder ? work : unrecorded).push_back((t1 - t0) / kQuotes);
        if (book.Loss().missing != 0 || book.Total() != kQuotes) std::fprintf(stderr, "book miscounts\n");
        int64_t sum = 0;
        if (!recorder) continue;
        t0 = CpuNs();
        for (uint64_t n = 0; n < kQuotes / 4; ++n) {
            sum += static_cast<int64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
            sum += static_cast<int64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
            sum += kest_rec::RealtimeNs();
        }
        t1 = CpuNs();
        clocks.push_back((t1 - t0) / (kQuotes / 4));
        if (sum == 1) std::puts("");
        recorder.reset();
        unlink(path.c_str());
    }
    std::printf("ns per quote per round, the tool's work / without recording / three clock_gettime:");
    for (size_t r = 0; r < work.size(); ++r)
        std::printf(" %.1f/%.1f/%.1f", work[r], unrecorded[r], clocks[r]);
    std::printf("\n");
    Figure("recv_tool_quote", Median(work), 200, "ns");
    Figure("recv_tool_quote_unrecorded", Median(unrecorded), 200, "ns");
    Figure("recv_tool_quote_vs_clocks", Median(work), Median(clocks), "ns");
    return 0;
}
