// The enyx_hw_* functions of the core tree, its locks and the registers.
#include <new>

#include "EnyxHwHandles.h"
#include "RegisterFile.h"

using kest_sim::Fail;
using kest_sim::Fault;

namespace {

// The core lock this thread took last through enyx_hw_core_lock and has not
// released. Host handles of one card in a process all come from the one
// accelerator mapping of that card, so the word's address names the lock.
// Initial-exec: the model is loaded with the program, and a register access
// then reads it with one instruction.
thread_local const std::atomic<int32_t>* t_held_core_lock __attribute__((tls_model("initial-exec"))) =
    nullptr;

// A register access is one step under the design core's lock: the product
// holds it already (it locks around every access); any other caller gets it
// for the access alone.
inline bool HoldsCoreLock(const enyx_hw_core* core) {
    return t_held_core_lock == &core->shm->core_locks[core->slot].owner;
}

class CoreLockScope {
public:
    explicit CoreLockScope(const enyx_hw_core* core) : core_(core) {
        kest_sim::CoreLock(core_->shm, core_->slot);
    }
    ~CoreLockScope() { kest_sim::CoreUnlock(core_->shm, core_->slot); }
    CoreLockScope(const CoreLockScope&) = delete;
    CoreLockScope& operator=(const CoreLockScope&) = delete;

private:
    const enyx_hw_core* core_;
};

bool RegisterAddress(const enyx_hw_core* core, const enyx_hw_register_description* reg, uint32_t& number) {
    if (core == nullptr || reg == nullptr || core->slot != kest_sim::kDesignSlot) return false;
    if (reg->address % 4 != 0 || reg->address >= Kest_U50::Reg::ByteAddress(Kest_U50::Reg::REGISTER_SPACE)) {
        return false;
    }
    number = static_cast<uint32_t>(reg->address / 4);
    return true;
}

}  // namespace

// --- core tree --------------------------------------------------------------

KEST_EXPORT enyx_hw_core_tree* enyx_hw_enumerate_cores(enyx_hw_mmio* mmio) {
    if (mmio == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    enyx_hw_core_tree* tree = new (std::nothrow) enyx_hw_core_tree;
    if (tree == nullptr) {
        errno = ENOMEM;
        return nullptr;
    }
    tree->map = mmio->map;
    for (uint32_t slot = 0; slot < kest_sim::kCoreCount; ++slot) {
        tree->cores[slot] =
            enyx_hw_core{tree->map->shm(), static_cast<int>(slot), kest_sim::kCoreInfo[slot].hardware_id};
    }
    return tree;
}

KEST_EXPORT void enyx_hw_destroy_tree(enyx_hw_core_tree* tree) { delete tree; }

KEST_EXPORT enyx_hw_core* enyx_hw_core_tree_get_root(const enyx_hw_core_tree* tree) {
    if (tree == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    return const_cast<enyx_hw_core*>(&tree->cores[kest_sim::kRootSlot]);
}

KEST_EXPORT int enyx_hw_core_reset(enyx_hw_core* core) {
    if (core == nullptr) return Fail(EINVAL, -1);
    const int rc = kest_sim::CoreReset(core->shm, core->slot);
    return rc == 0 ? 0 : Fail(rc, -1);
}

KEST_EXPORT ssize_t enyx_hw_core_enumerate(const enyx_hw_core* root, uint16_t hardware_id,
                                           enyx_hw_core** cores, size_t capacity) {
    if (root == nullptr || (cores == nullptr && capacity != 0)) return Fail(EINVAL, -1);
    // The cores of a tree are laid out in one array, root first; a core's
    // subtree is itself and the cores whose parent it is.
    const enyx_hw_core* first = root - root->slot;
    size_t count = 0;
    for (uint32_t slot = 0; slot < kest_sim::kCoreCount; ++slot) {
        const bool in_subtree =
            static_cast<int>(slot) == root->slot || kest_sim::kCoreInfo[slot].parent == root->slot;
        if (!in_subtree || !kest_sim::CorePresent(root->shm, static_cast<int>(slot)) ||
            kest_sim::kCoreInfo[slot].hardware_id != hardware_id) {
            continue;
        }
        if (count < capacity) cores[count] = const_cast<enyx_hw_core*>(first + slot);
        ++count;
    }
    return static_cast<ssize_t>(count);
}

KEST_EXPORT int enyx_hw_core_lock(enyx_hw_core* core) {
    if (core == nullptr) return Fail(EINVAL, -1);
    const int rc = kest_sim::CoreLock(core->shm, core->slot);
    if (rc != 0) return Fail(rc, -1);
    t_held_core_lock = &core->shm->core_locks[core->slot].owner;
    return 0;
}

KEST_EXPORT int enyx_hw_core_unlock(enyx_hw_core* core) {
    if (core == nullptr) return Fail(EINVAL, -1);
    const int rc = kest_sim::CoreUnlock(core->shm, core->slot);
    if (rc != 0) return Fail(rc, -1);
    if (t_held_core_lock == &core->shm->core_locks[core->slot].owner) t_held_core_lock = nullptr;
    return 0;
}

// --- registers --------------------------------------------------------------

KEST_EXPORT int enyx_hw_read(const enyx_hw_core* core, const enyx_hw_register_description* reg,
                             uint64_t* value) {
    uint32_t number = 0;
    if (value == nullptr || !RegisterAddress(core, reg, number)) return Fail(EINVAL, -1);
    if (kest_sim::FaultOn(core->shm, Fault::kRegReadFails)) return Fail(EIO, -1);
    // The card answers with the whole 64-bit register whatever width is
    // asked for; 64-bit counters are read this way.
    uint64_t v = 0;
    if (HoldsCoreLock(core)) {
        kest_sim::HostRead(core->shm, number, v);
    } else {
        CoreLockScope lock(core);
        kest_sim::HostRead(core->shm, number, v);
    }
    *value = v;
    return 0;
}

KEST_EXPORT int enyx_hw_write(const enyx_hw_core* core, const enyx_hw_register_description* reg,
                              uint64_t value) {
    uint32_t number = 0;
    if (!RegisterAddress(core, reg, number)) return Fail(EINVAL, -1);
    if (kest_sim::FaultOn(core->shm, Fault::kRegWriteFails)) return Fail(EIO, -1);
    if (HoldsCoreLock(core)) {
        kest_sim::HostWrite(core->shm, number, static_cast<uint32_t>(value));
    } else {
        CoreLockScope lock(core);
        kest_sim::HostWrite(core->shm, number, static_cast<uint32_t>(value));
    }
    return 0;
}
