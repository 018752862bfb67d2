// The exchange clock a card model publishes, for a recorder that reaches the
// card only through libenyx-hw-c.so.5: the model's library has the function
// kest_cardsim_exchange_clock, the vendor's has none (the exchange keeps the
// host's time there, and the recording says so).
#pragma once

#include <dlfcn.h>

#include <cstdint>
#include <functional>

#include "recording/Recording.h"

namespace kest_tools {

// A WriterOptions::exchange_clock that asks the card library loaded into the
// tool for card `card`'s clock, anchored at the whole second of the first
// arrival of each file.
inline std::function<bool(int64_t, kest_rec::FileHeader&)> ModelExchangeClock(uint32_t card) {
    return [card](int64_t first_ns, kest_rec::FileHeader& h) {
        using Clock = int (*)(uint32_t, int64_t, int64_t*, uint32_t*);
        // The library the product loaded for itself (privately: not found by
        // name from elsewhere), asked when quotes flow through it.
        void* library = dlopen("libenyx-hw-c.so.5", RTLD_NOW | RTLD_NOLOAD);
        if (library == nullptr) return false;
        const auto fn = reinterpret_cast<Clock>(dlsym(library, "kest_cardsim_exchange_clock"));
        const int64_t anchor_s = first_ns / 1000000000;
        int64_t exchange_ns = 0;
        uint32_t rate_milli = 0;
        const bool got = fn != nullptr && anchor_s > 0 && anchor_s <= UINT32_MAX &&
                         fn(card, anchor_s * 1000000000, &exchange_ns, &rate_milli) == 1;
        dlclose(library);
        if (!got) return false;
        h.exchange_anchor_s = static_cast<uint32_t>(anchor_s);
        h.exchange_anchor_ns = exchange_ns;
        h.exchange_rate_milli = rate_milli;
        return true;
    };
}

}  // namespace kest_tools
