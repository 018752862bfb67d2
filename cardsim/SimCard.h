// The shared-memory image of one card and the process-local mapping of it.
//
// One POSIX shm segment per card holds everything a real card would keep in
// its own memory: registers, instrument tables, DMA rings, per-core locks, the
// host's register-write journal and the model's statistics. The segment
// starts with a magic number and a layout version; a segment that does not
// carry both is refused, so a stale or foreign segment is never interpreted.
#pragma once

#include <pthread.h>
#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "FpgaRegisterCommon.h"
#include "kest_cardsim.h"

namespace kest_sim {

constexpr uint64_t kCardMagic = 0x4452414354534b4bull;  // "KKSTCARD" little-endian
constexpr uint32_t kLayoutVersion = 1;
constexpr uint32_t kCoreCount = 4;  // root, 0x0010, the design core, 0x0020

static_assert(std::atomic<uint64_t>::is_always_lock_free, "shared counters need lock-free 64-bit atomics");
static_assert(std::atomic<uint32_t>::is_always_lock_free, "shared words need lock-free 32-bit atomics");
static_assert(std::atomic<int32_t>::is_always_lock_free, "spin locks need lock-free 32-bit atomics");

// Control block of one message ring (a2c or c2a). The bytes themselves live
// at data_offset from the start of the segment.
struct RingHeader {
    // Producer index in bytes, only ever growing. Release-stored by the
    // producer that holds `lock` once a record is complete; acquire-loaded by
    // the consumer (the host's poll for a2c, PopC2a for c2a) before it reads
    // the record.
    alignas(64) std::atomic<uint64_t> head;
    // Consumer index in bytes. Release-stored by the consumer once it is done
    // with the record's bytes; acquire-loaded by the producer before it reuses
    // that space.
    alignas(64) std::atomic<uint64_t> tail;
    // Producer spin lock: 0 when free, else the holder's pid. CAS-acquired and
    // release-stored by producers of any process; see SpinLock in DmaRing.h.
    alignas(64) std::atomic<int32_t> lock;
    uint32_t capacity;  // bytes, power of two
    uint32_t mtu;       // largest message
    uint32_t reserved0;
    uint64_t data_offset;  // from the start of the segment
    // Statistics, relaxed: written by producers under `lock`, read by anyone.
    std::atomic<uint64_t> pushed;
    std::atomic<uint64_t> refused;
    std::atomic<uint64_t> bytes;
    std::atomic<uint64_t> waits;
    std::atomic<uint64_t> lock_recoveries;
};

// One instrument table and its host access channel.
struct TableState {
    // 1 while the host's read/write channel is open. Stored by host register
    // writes under the host lock; loaded (relaxed) by host accesses under the
    // same lock and by model-side readers, which need no ordering with it.
    std::atomic<uint32_t> open;
    uint32_t entries;
    uint64_t offset;  // of the words, from the start of the segment
    // Statistics, relaxed: written under the host lock, read by anyone.
    std::atomic<uint64_t> writes;
    std::atomic<uint64_t> reads;
    std::atomic<uint64_t> closed_drops;
    std::atomic<uint64_t> range_drops;
};

// One journal slot, written as a sequence lock: seq is zeroed, the fields are
// written, then seq is release-stored; a reader checks seq before and after.
struct JournalSlot {
    // Release-stored by the journal writer (host write under the host lock);
    // acquire-loaded by ReadJournal (any model-side thread or process).
    std::atomic<uint64_t> seq;
    std::atomic<uint32_t> reg;    // relaxed, ordered by seq
    std::atomic<uint32_t> value;  // relaxed, ordered by seq
    std::atomic<int32_t> pid;     // relaxed, ordered by seq
    uint32_t reserved[3];
};
static_assert(sizeof(JournalSlot) == 32, "journal slot is 32 bytes");

struct CardShm {
    // Release-stored last by CreateCard once everything below is initialised;
    // acquire-loaded by every opener before it trusts the rest.
    std::atomic<uint64_t> magic;
    uint32_t layout_version;
    uint32_t index;
    uint64_t total_bytes;
    // Creation options.
    uint32_t design_core;
    uint32_t a2c_ring_bytes;
    uint32_t a2c_mtu;
    uint32_t c2a_ring_bytes;
    uint32_t c2a_mtu;
    uint32_t initial_faults;
    // Current fault set (FaultBit). Relaxed everywhere: a fault is a switch
    // read on its own, no data hangs on it.
    std::atomic<uint32_t> faults;
    uint32_t reserved0;
    uint64_t regs_offset;     // REGISTER_SPACE x std::atomic<uint64_t>
    uint64_t journal_offset;  // kJournalCapacity x JournalSlot

    // Per-core locks of the core tree (robust, process-shared), and the lock
    // that makes each host register access one step (table protocol, journal).
    pthread_mutex_t core_locks[kCoreCount];
    pthread_mutex_t host_lock;

    // Newest journal seq. Release-stored by the journal writer under the host
    // lock after the slot is complete; acquire-loaded by JournalHead/ReadJournal.
    std::atomic<uint64_t> journal_head;
    // Statistics, relaxed, read by anyone.
    std::atomic<uint64_t> core_resets;
    std::atomic<uint64_t> card_starts;
    std::atomic<uint64_t> lock_recoveries;
    std::atomic<uint64_t> host_reads;
    std::atomic<uint64_t> host_writes;

    TableState tables[kTables];
    RingHeader a2c[kChannels];
    RingHeader c2a[kChannels];
};

inline std::atomic<uint64_t>* Regs(CardShm* shm) {
    return reinterpret_cast<std::atomic<uint64_t>*>(reinterpret_cast<uint8_t*>(shm) + shm->regs_offset);
}
inline std::atomic<uint32_t>* TableWords(CardShm* shm, int table) {
    return reinterpret_cast<std::atomic<uint32_t>*>(reinterpret_cast<uint8_t*>(shm) +
                                                    shm->tables[table].offset);
}
inline JournalSlot* Journal(CardShm* shm) {
    return reinterpret_cast<JournalSlot*>(reinterpret_cast<uint8_t*>(shm) + shm->journal_offset);
}
inline uint8_t* RingData(CardShm* shm, const RingHeader& ring) {
    return reinterpret_cast<uint8_t*>(shm) + ring.data_offset;
}
inline bool FaultOn(const CardShm* shm, Fault f) {
    return (shm->faults.load(std::memory_order_relaxed) & FaultBit(f)) != 0;
}

// A process-local mapping of a whole card segment; unmapped on destruction.
class Mapping {
public:
    // nullptr with errno: ENOENT (no card), EPROTO (not a card of this layout), or mmap's error.
    static std::shared_ptr<Mapping> Open(uint32_t index);
    ~Mapping();
    Mapping(const Mapping&) = delete;
    Mapping& operator=(const Mapping&) = delete;

    CardShm* shm() const { return shm_; }
    uint32_t index() const { return index_; }
    size_t bytes() const { return bytes_; }
    // Identity of the segment, to tell a recreated card from the one mapped.
    bool SameSegmentAs(dev_t dev, ino_t ino) const { return dev == dev_ && ino == ino_; }

private:
    Mapping(CardShm* shm, size_t bytes, uint32_t index, dev_t dev, ino_t ino)
        : shm_(shm), bytes_(bytes), index_(index), dev_(dev), ino_(ino) {}
    CardShm* shm_;
    size_t bytes_;
    uint32_t index_;
    dev_t dev_;
    ino_t ino_;
};

// Identity of the segment currently named for a card; false if there is none.
bool SegmentIdentity(uint32_t index, dev_t& dev, ino_t& ino);

// Puts a mapped card back to the fresh state (locks are left as they are).
void InitialiseContent(CardShm* shm);

// Robust lock helpers (CoreTree.cpp): 0, or an errno value.
int InitRobustMutex(pthread_mutex_t* m);
int LockRobust(CardShm* shm, pthread_mutex_t* m);

}  // namespace kest_sim
