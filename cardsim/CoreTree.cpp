#include "CoreTree.h"

#include <cerrno>

namespace kest_sim {

int CoreReset(CardShm* shm, int slot) {
    if (!CorePresent(shm, slot)) return EINVAL;
    if (FaultOn(shm, Fault::kCoreResetFails)) return EIO;
    // A reset of the tree re-initialises the framework's cores, not the
    // design behind core 474: its registers and tables stay as they are, so a
    // restarted host finds the card running as it left it.
    shm->core_resets.fetch_add(1, std::memory_order_relaxed);
    return 0;
}

}  // namespace kest_sim
