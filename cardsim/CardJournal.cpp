// The model side's reading of the host's register-write journal.
#include "SharedSegment.h"

namespace kest_sim {

uint64_t Card::JournalHead() const {
    // Acquire pairs with JournalAppend's release store.
    return shm_->journal_head.load(std::memory_order_acquire);
}

bool Card::ReadJournal(uint64_t seq, JournalEntry& out) const {
    // Acquire pairs with JournalAppend's release store of the head.
    if (seq == 0 || seq > shm_->journal_head.load(std::memory_order_acquire)) return false;
    const JournalSlot& slot = Journal(shm_)[(seq - 1) & (kJournalCapacity - 1)];
    // Acquire pairs with JournalAppend's release store of seq.
    if (slot.seq.load(std::memory_order_acquire) != seq) return false;
    JournalEntry e;
    e.seq = seq;
    e.reg = slot.reg.load(std::memory_order_relaxed);
    e.value = slot.value.load(std::memory_order_relaxed);
    e.pid = slot.pid.load(std::memory_order_relaxed);
    // Acquire fence pairs with JournalAppend's release fence: if a later
    // writer touched the fields read above, the re-check sees its seq 0.
    std::atomic_thread_fence(std::memory_order_acquire);
    if (slot.seq.load(std::memory_order_relaxed) != seq) return false;
    out = e;
    return true;
}

}  // namespace kest_sim
