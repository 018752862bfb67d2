// Which process drives which channel as the card.
#include "PidLock.h"
#include "SharedSegment.h"

namespace kest_sim {

int32_t Card::ClaimChannels(uint32_t mask, int* channel) {
    const int32_t me = CachedPid();
    // The channels someone else drives, or none: nothing is claimed unless all are free.
    for (uint32_t c = 0; c < kChannels; ++c) {
        if (!(mask & (1u << c))) continue;
        // Acquire pairs with the claimer's compare-and-swap.
        const int32_t other = shm_->a2c_driver[c].load(std::memory_order_acquire);
        if (other != 0 && other != me && IdAlive(other)) {
            if (channel != nullptr) *channel = static_cast<int>(c);
            return other;
        }
    }
    for (uint32_t c = 0; c < kChannels; ++c) {
        if (!(mask & (1u << c))) continue;
        int32_t seen = shm_->a2c_driver[c].load(std::memory_order_acquire);
        while (seen != me) {
            if (seen != 0 && IdAlive(seen)) {
                // Claimed meanwhile by a live process: give back what we took.
                ReleaseChannels(mask & ((1u << c) - 1));
                if (channel != nullptr) *channel = static_cast<int>(c);
                return seen;
            }
            // acq_rel: one claimer wins a free (or a dead process's) channel.
            if (shm_->a2c_driver[c].compare_exchange_weak(seen, me, std::memory_order_acq_rel,
                                                          std::memory_order_acquire))
                break;
        }
    }
    return 0;
}

void Card::ReleaseChannels(uint32_t mask) {
    const int32_t me = CachedPid();
    for (uint32_t c = 0; c < kChannels; ++c) {
        int32_t mine = me;
        // Release pairs with the next claimer's acquire.
        if (mask & (1u << c))
            shm_->a2c_driver[c].compare_exchange_strong(mine, 0, std::memory_order_release,
                                                        std::memory_order_relaxed);
    }
}

int32_t Card::ChannelDriver(int channel) const {
    if (!ValidChannel(channel)) return 0;
    // Acquire pairs with the claimer's compare-and-swap.
    const int32_t pid = shm_->a2c_driver[channel].load(std::memory_order_acquire);
    return pid != 0 && IdAlive(pid) ? pid : 0;
}

}  // namespace kest_sim
