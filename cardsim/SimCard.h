// The shared-memory image of one card and the process-local mapping of it.
//
// One POSIX shm segment per card holds everything a real card would keep in
// its own memory: registers, instrument tables, DMA rings, per-core locks, the
// host's register-write journal and the model's statistics. The segment
// starts with a magic number and a layout version; a segment that does not
// carry both is refused, so a stale or foreign segment is never interpreted.
#pragma once

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
constexpr uint32_t kLayoutVersion = 2;
constexpr uint32_t kCoreCount = 4;  // root, 0x0010, the design core, 0x0020

static_assert(std::atomic<uint64_t>::is_always_lock_free, "shared counters need lock-free 64-bit atomics");
static_assert(std::atomic<uint32_t>::is_always_lock_free, "shared words need lock-free 32-bit atomics");
static_assert(std::atomic<int32_t>::is_always_lock_free, "spin locks need lock-free 32-bit atomics");

// Control block of one message ring (a2c or c2a). The bytes themselves live
// at data_offset from the start of the segment.
//
// The two indexes sit on cache lines of their own, and each side keeps a
// copy of the other side's index that it refreshes only when that copy says
// the ring is full (producer) or empty (consumer). A message then costs one
// transfer of the head line to the consumer, instead of head and tail
// crossing over for every message.
struct RingHeader {
    // Producer index in bytes, only ever growing. Release-stored by the
    // producer that holds `lock` once a record is complete; acquire-loaded by
    // the consumer (the host's poll for a2c, PopC2a for c2a) when its copy of
    // head says the ring is empty.
    alignas(64) std::atomic<uint64_t> head;
    // Consumer index in bytes. Release-stored by the consumer once it is done
    // with the record's bytes; acquire-loaded by a producer when its copy
    // (tail_seen) says the ring has no room.
    alignas(64) std::atomic<uint64_t> tail;
    // The producers' line: the lock, the geometry and what producers keep
    // under the lock. Consumers do not touch it on their path.
    // Producer lock: 0 when free, else the holder's pid. Acquired and released
    // by producers of any process; see PidLock.h.
    alignas(64) std::atomic<int32_t> lock;
    uint32_t capacity;  // bytes, power of two
    uint32_t mtu;       // largest message
    uint32_t reserved0;
    uint64_t data_offset;  // from the start of the segment
    // Last value of tail a producer read; only producers holding `lock` read
    // or write it, so it is a plain field. Never ahead of tail.
    uint64_t tail_seen;
    // Statistics, relaxed, read by anyone. pushed and bytes are written only
    // by producers holding `lock` (a load and a store, no read-modify-write);
    // the others may be counted outside it.
    std::atomic<uint64_t> pushed;
    std::atomic<uint64_t> bytes;
    std::atomic<uint64_t> refused;
    std::atomic<uint64_t> waits;
    std::atomic<uint64_t> lock_recoveries;
};

// One instrument table and its host access channel.
struct TableState {
    // 1 while the host's read/write channel is open. Stored by host register
    // writes under the design core's lock; loaded (relaxed) by host accesses
    // under the same lock and by model-side readers, which need no ordering
    // with it.
    std::atomic<uint32_t> open;
    uint32_t entries;
    uint64_t offset;  // of the words, from the start of the segment
    // Statistics, relaxed, read by anyone. writes and reads are written only
    // under the design core's lock (a load and a store); the drops likewise.
    std::atomic<uint64_t> writes;
    std::atomic<uint64_t> reads;
    std::atomic<uint64_t> closed_drops;
    std::atomic<uint64_t> range_drops;
};

// One journal slot, written as a sequence lock: seq is zeroed, the fields are
// written, then seq is release-stored; a reader checks seq before and after.
struct JournalSlot {
    // Release-stored by the journal writer (host write under the design core's lock);
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

    // Per-core locks of the core tree: 0 when free, else the holder's pid;
    // acquired and released by host threads of any process (PidLock.h). A
    // host register access is one step under the design core's lock, whether
    // the caller took it (as the product does for every access) or the access
    // takes it itself: that lock is what serialises the register file, the
    // table protocol and the journal.
    struct alignas(64) CoreLockWord {
        std::atomic<int32_t> owner;
    };
    CoreLockWord core_locks[kCoreCount];

    // Newest journal seq. Release-stored by the journal writer under the
    // design core's lock after the slot is complete; acquire-loaded by
    // JournalHead/ReadJournal (any model-side thread or process).
    std::atomic<uint64_t> journal_head;
    // Statistics, relaxed, read by anyone. host_reads and host_writes are
    // written only under the design core's lock (a load and a store).
    alignas(64) std::atomic<uint64_t> core_resets;
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

}  // namespace kest_sim
