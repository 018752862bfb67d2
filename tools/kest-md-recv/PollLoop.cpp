#include "PollLoop.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>

#include "RunReports.h"

namespace kest_md_recv {

namespace {

using Clock = std::chrono::steady_clock;

std::atomic<bool> g_earlySignal{false};
void EarlySignal(int) { g_earlySignal.store(true); }

}  // namespace

void PollLoop::CatchEarlySignals() {
    struct sigaction early;
    std::memset(&early, 0, sizeof early);
    early.sa_handler = EarlySignal;
    sigemptyset(&early.sa_mask);
    sigaction(SIGINT, &early, nullptr);
    sigaction(SIGTERM, &early, nullptr);
}

void PollLoop::Deliver(const KestShfeMdType& quote, uint64_t pollStartNs) {
    const uint64_t latency = clock_.NowNs() - pollStartNs;
    const int64_t arrival = clock_.ArrivalNs();
    out_.book.Latency().Add(latency);
    out_.book.OnQuote(quote, arrival);
    if (out_.metrics != nullptr) out_.metrics->Delivered(quote.type, latency, arrival);
}

void PollLoop::OnShfeMdData(const KestShfeMdType* quote) { Deliver(*quote, pollStartNs_); }

PollEnd PollLoop::Run(CKestShfeMdApi& api, Clock::time_point began) {
    // A timed run ends by itself between polls: no signal, so the library
    // logs no "received signal" line for an ordinary end.
    const bool timed = opt_.seconds > 0;
    const auto deadline = began + std::chrono::seconds(opt_.seconds);
    const bool terminal = isatty(fileno(stdout)) != 0;
    const auto started = Clock::now();
    auto nextTable = started + std::chrono::seconds(1);
    auto nextLossCheck = started + std::chrono::seconds(1);
    LossCounts reported;
    PollEnd end;
    WarnIfLogDeviceFull(end.logFullWarned);
    KestShfeMdType record;
    std::memset(&record, 0, sizeof(record));
    uint64_t polls = 0;
    bool stop = g_earlySignal.load();
    while (!stop) {
        int32_t r;
        if (opt_.buffer) {
            const uint64_t t0 = clock_.NowNs();
            r = api.KestRecv(record);
            if (r == 1) Deliver(record, t0);
        } else {
            pollStartNs_ = clock_.NowNs();
            r = api.KestRecv();
        }
        if (r == -1) break;
        if ((++polls & 0xFFF) == 0) {
            clock_.Anchor();
            const auto now = Clock::now();
            if (timed && now >= deadline) stop = true;
            if (out_.metrics) ReportProgress(*out_.metrics, polls, out_.recorder);
            // A quiet stream still reaches the file within a fraction of a second.
            if (out_.recorder) out_.recorder->FlushIfOlder(kest_rec::RealtimeNs(), 200000000);
            if (!opt_.quiet && now >= nextTable) {
                out_.book.PrintTable(stdout, static_cast<size_t>(opt_.rows), terminal);
                nextTable += std::chrono::seconds(1);
            }
            if (now >= nextLossCheck) {
                // Said as it happens, table or not: loss the summary would
                // only show at the end is loss an operator cannot act on.
                ReportLoss(out_.book.Loss(), reported);
                WarnIfLogDeviceFull(end.logFullWarned);
                out_.csv.Check();
                out_.bin.Check();
                ReportRecordingFailure(out_.recorder, end.recordFailReported);
                nextLossCheck = now + std::chrono::seconds(1);
            }
        }
    }
    end.seconds = std::chrono::duration<double>(Clock::now() - started).count();
    if (out_.metrics) {
        ReportProgress(*out_.metrics, polls, out_.recorder);
        out_.metrics->Stopping();
    }
    ReportLoss(out_.book.Loss(), reported);
    WarnIfLogDeviceFull(end.logFullWarned);
    return end;
}

}  // namespace kest_md_recv
