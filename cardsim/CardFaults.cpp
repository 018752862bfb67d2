// The card's fault switches, shared by every process that maps it.
#include "SharedSegment.h"

namespace kest_sim {

void Card::SetFault(Fault f, bool on) {
    if (static_cast<uint32_t>(f) >= static_cast<uint32_t>(Fault::kCount)) return;
    if (on) {
        shm_->faults.fetch_or(FaultBit(f), std::memory_order_relaxed);
    } else {
        shm_->faults.fetch_and(~FaultBit(f), std::memory_order_relaxed);
    }
}

bool Card::FaultOn(Fault f) const { return kest_sim::FaultOn(shm_, f); }

}  // namespace kest_sim
