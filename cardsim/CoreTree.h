// The core tree of the card's only MMIO region and the per-core locks.
#pragma once

#include <cstdint>

#include "SimCard.h"

namespace kest_sim {

struct CoreInfo {
    uint16_t hardware_id;
    int parent;  // slot of the parent core, -1 for the root
};

// Slot 0 is the root; the others hang directly under it. The design core
// (474) is the one through which every register of the design is reached.
constexpr CoreInfo kCoreInfo[kCoreCount] = {
    {0x0001, -1},
    {0x0010, 0},
    {Kest_U50::Reg::DESIGN_CORE_ID, 0},
    {0x0020, 0},
};
constexpr int kRootSlot = 0;
constexpr int kDesignSlot = 2;

bool CorePresent(const CardShm* shm, int slot);
// Each returns 0 or an errno value.
int CoreLock(CardShm* shm, int slot);
int CoreUnlock(CardShm* shm, int slot);
int CoreReset(CardShm* shm, int slot);

}  // namespace kest_sim
