// The card's statistics: per channel and per card, and the ring counters
// for tools that reach the card only through libenyx-hw-c.so.5.
#include <algorithm>

#include "DmaRing.h"
#include "SharedSegment.h"

namespace kest_sim {

ChannelStats Card::A2cStats(int channel) const {
    ChannelStats s;
    if (!ValidChannel(channel)) return s;
    RingHeader& a2c = shm_->a2c[channel];
    RingHeader& c2a = shm_->c2a[channel];
    s.pending = RingPendingMessages(shm_, a2c, &s.pending_bytes);
    s.pushed = a2c.pushed.load(std::memory_order_relaxed);
    s.refused = a2c.refused.load(std::memory_order_relaxed);
    s.bytes = a2c.bytes.load(std::memory_order_relaxed);
    s.waits = a2c.waits.load(std::memory_order_relaxed);
    s.c2a_sent = c2a.pushed.load(std::memory_order_relaxed);
    s.c2a_refused = c2a.refused.load(std::memory_order_relaxed);
    s.a2c_capacity = a2c.capacity;
    return s;
}

CardStats Card::Stats() const {
    CardStats s;
    s.core_resets = shm_->core_resets.load(std::memory_order_relaxed);
    s.card_starts = shm_->card_starts.load(std::memory_order_relaxed);
    for (uint32_t t = 0; t < kTables; ++t) {
        s.table_writes[t] = shm_->tables[t].writes.load(std::memory_order_relaxed);
        s.table_closed_drops[t] = shm_->tables[t].closed_drops.load(std::memory_order_relaxed);
        s.table_range_drops[t] = shm_->tables[t].range_drops.load(std::memory_order_relaxed);
    }
    s.lock_recoveries = shm_->lock_recoveries.load(std::memory_order_relaxed);
    for (const RingHeader* rings : {shm_->a2c, shm_->c2a}) {
        for (uint32_t c = 0; c < kChannels; ++c) {
            s.lock_recoveries += rings[c].lock_recoveries.load(std::memory_order_relaxed);
        }
    }
    s.host_reads = shm_->host_reads.load(std::memory_order_relaxed);
    s.host_writes = shm_->host_writes.load(std::memory_order_relaxed);
    s.journal_head = JournalHead();
    return s;
}

}  // namespace kest_sim

// The ring counters of every channel, for tools that reach the card only
// through libenyx-hw-c.so.5 and look this up with dlsym: the vendor's
// library has no such counters, so a tool finds this only in the model.
// Relaxed loads, no lock: the producers are never held up by a reader.
// Fills up to `channels` entries; returns how many, or -1 (errno) without
// such a card.
extern "C" __attribute__((visibility("default"))) int kest_cardsim_a2c_counters(uint32_t card,
                                                                                uint32_t channels,
                                                                                uint64_t* pushed,
                                                                                uint64_t* refused) {
    const std::unique_ptr<kest_sim::Card> c = kest_sim::Card::Open(card);
    if (!c) return -1;
    const uint32_t n = std::min(channels, kest_sim::kChannels);
    for (uint32_t ch = 0; ch < n; ++ch) {
        const kest_sim::RingHeader& a2c = c->Shm()->a2c[ch];
        pushed[ch] = a2c.pushed.load(std::memory_order_relaxed);
        refused[ch] = a2c.refused.load(std::memory_order_relaxed);
    }
    return static_cast<int>(n);
}
