// The exchange clock the card's logic publishes in the card's segment, and
// the C function through which a recorder that reaches the card only through
// libenyx-hw-c.so.5 reads it (the vendor's library has no such function).
#include <cerrno>
#include <cstdint>

#include "SharedSegment.h"

namespace kest_sim {

void Card::PublishExchangeClock(int64_t realtime_ns, int64_t exchange_ns, uint32_t rate_milli) {
    ExchangeClockWords& c = shm_->exchange_clock;
    const uint64_t seq = c.seq.load(std::memory_order_relaxed);
    c.seq.store(seq + 1, std::memory_order_relaxed);
    // Release fence: a reader that sees a word stored below also sees seq odd.
    std::atomic_thread_fence(std::memory_order_release);
    c.realtime_ns.store(realtime_ns, std::memory_order_relaxed);
    c.exchange_ns.store(exchange_ns, std::memory_order_relaxed);
    c.rate_milli.store(rate_milli, std::memory_order_relaxed);
    c.published.store(rate_milli != 0 ? 1 : 0, std::memory_order_relaxed);
    // Release pairs with the reader's acquire load of seq: the words are complete.
    c.seq.store(seq + 2, std::memory_order_release);
}

bool Card::ExchangeClock(int64_t realtime_ns, int64_t& exchange_ns, uint32_t& rate_milli) const {
    const ExchangeClockWords& c = shm_->exchange_clock;
    for (;;) {
        // Acquire pairs with the publisher's release store of an even seq.
        const uint64_t before = c.seq.load(std::memory_order_acquire);
        const int64_t at = c.realtime_ns.load(std::memory_order_relaxed);
        const int64_t x = c.exchange_ns.load(std::memory_order_relaxed);
        const uint32_t rate = c.rate_milli.load(std::memory_order_relaxed);
        const uint32_t published = c.published.load(std::memory_order_relaxed);
        // Acquire fence pairs with the publisher's release fence: if it began
        // to change the words read above, seq now reads as it left it.
        std::atomic_thread_fence(std::memory_order_acquire);
        if ((before & 1) != 0 || c.seq.load(std::memory_order_relaxed) != before) continue;
        if (published != 1 || rate == 0) return false;
        rate_milli = rate;
        const __int128 since = static_cast<__int128>(realtime_ns - at) * rate;
        exchange_ns = x + static_cast<int64_t>(since / 1000 - (since % 1000 < 0 ? 1 : 0));
        return true;
    }
}

}  // namespace kest_sim

// For a recorder (dlsym): 1 with the exchange's time at realtime_ns and its
// rate in exchange seconds per 1000 s; 0 when the card's logic publishes no
// clock (the exchange keeps the host's time); -1 (errno) without such a card.
extern "C" __attribute__((visibility("default"))) int kest_cardsim_exchange_clock(uint32_t card,
                                                                                  int64_t realtime_ns,
                                                                                  int64_t* exchange_ns,
                                                                                  uint32_t* rate_milli) {
    if (exchange_ns == nullptr || rate_milli == nullptr) {
        errno = EINVAL;
        return -1;
    }
    const std::unique_ptr<kest_sim::Card> c = kest_sim::Card::Open(card);
    if (!c) return -1;
    return c->ExchangeClock(realtime_ns, *exchange_ns, *rate_milli) ? 1 : 0;
}
