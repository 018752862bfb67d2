// The watch over a start that may take long (channel 0 programs the card and
// waits for the snapshot).
#pragma once

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

#include "RecvOptions.h"

namespace kest_md_recv {

using Clock = std::chrono::steady_clock;

// Watches the start: says every few seconds that it is still waiting, and
// ends it (through the exit flag the library's SIGINT handler sets) when
// --seconds runs out before it has finished.
class StartWatch {
public:
    StartWatch(const Options& opt, Clock::time_point began) : opt_(opt), began_(began) {
        thread_ = std::thread([this] { Run(); });
    }
    ~StartWatch() { Finish(); }
    void Finish() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            done_ = true;
        }
        cv_.notify_all();
        if (thread_.joinable()) thread_.join();
    }
    bool TimedOut() const { return timedOut_.load(); }

private:
    void Run() {
        std::unique_lock<std::mutex> lock(mutex_);
        auto next = began_ + std::chrono::seconds(4);
        const auto deadline = began_ + std::chrono::seconds(opt_.seconds);
        for (;;) {
            auto wake = next;
            if (opt_.seconds > 0 && deadline < wake) wake = deadline;
            if (cv_.wait_until(lock, wake, [this] { return done_; })) return;
            const auto now = Clock::now();
            if (opt_.seconds > 0 && now >= deadline) {
                timedOut_.store(true);
                std::fprintf(stderr,
                             "%s: --seconds %lld ran out before the start finished; stopping the start\n",
                             kTool, static_cast<long long>(opt_.seconds));
                kill(getpid(), SIGINT);
                return;
            }
            if (now >= next) {
                const long waited =
                    static_cast<long>(std::chrono::duration_cast<std::chrono::seconds>(now - began_).count());
                std::fprintf(
                    stderr,
                    "%s: still starting after %ld s: the start of channel 0 programs the card (three 1 s "
                    "pauses), then waits for the card to mirror the exchange's snapshot. Is the card's "
                    "logic running (with the card model: kest-card-sim)? Ctrl-C stops.\n",
                    kTool, waited);
                next += std::chrono::seconds(3);
            }
        }
    }

    const Options& opt_;
    Clock::time_point began_;
    std::mutex mutex_;
    std::condition_variable cv_;
    bool done_ = false;
    std::atomic<bool> timedOut_{false};
    std::thread thread_;
};

}  // namespace kest_md_recv
