#include "cardlogic/Replay.h"

#include <chrono>
#include <memory>
#include <thread>

#include "cardlogic/CardBook.h"
#include "recording/Recording.h"

namespace kest_sim {

ReplayResult Replay(Card& card, const std::vector<std::string>& files, const ReplayOptions& opt,
                    const std::atomic<bool>* stop) {
    using Clock = std::chrono::steady_clock;
    ReplayResult result;
    QuoteMessage msg;
    msg.header.dma_type = DMA_UDP;
    msg.header.dma_len = DMA_QUOTE_MSG_SIZE;

    bool have_base = false;
    int64_t first_arrival = 0;
    Clock::time_point started{};
    kest_rec::Entry e;
    for (const std::string& path : files) {
        std::unique_ptr<kest_rec::Reader> reader = kest_rec::Reader::Open(path, &result.error);
        if (!reader) break;
        result.trailing_bytes += reader->TrailingBytes();
        while (reader->Next(e)) {
            if (!have_base) {
                have_base = true;
                first_arrival = e.arrival_ns;
                started = Clock::now();
            } else if (opt.speed > 0) {
                // Keep to the recorded spacing, scaled; a late push is not caught
                // up by skipping, only by not waiting.
                const auto due =
                    started + std::chrono::nanoseconds(static_cast<int64_t>(
                                  static_cast<double>(e.arrival_ns - first_arrival) / opt.speed));
                while (Clock::now() < due) {
                    if (stop != nullptr && stop->load(std::memory_order_acquire)) {
                        result.stopped = true;
                        return result;
                    }
                    const auto left = due - Clock::now();
                    if (left > std::chrono::milliseconds(2)) {
                        std::this_thread::sleep_for(left - std::chrono::milliseconds(1));
                    }
                }
            }
            msg.quote = e.record;
            if (!card.PushA2cBlocking(opt.channel, &msg, sizeof msg, stop, -1)) {
                result.stopped = true;
                return result;
            }
            ++result.records;
            result.seconds = std::chrono::duration<double>(Clock::now() - started).count();
        }
    }
    return result;
}

}  // namespace kest_sim
