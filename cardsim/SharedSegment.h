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

#include "FpgaDataType.h"
#include "FpgaRegisterCommon.h"
#include "kest_cardsim.h"

static_assert(kest_sim::kChannels == Kest_U50::CHANNEL_SIZE, "the model has the card's channels");

namespace kest_sim {

constexpr uint64_t kCardMagic = 0x4452414354534b4bull;  // "KKSTCARD" little-endian
constexpr uint32_t kLayoutVersion = 3;
constexpr uint32_t kCoreCount = 4;  // root, 0x0010, the design core, 0x0020

static_assert(std::atomic<uint64_t>::is_always_lock_free, "shared counters need lock-free 64-bit atomics");
static_assert(std::atomic<uint32_t>::is_always_lock_free, "shared words need lock-free 32-bit atomics");
static_assert(std::atomic<int32_t>::is_always_lock_free, "spin locks need lock-free 32-bit atomics");

// Control block of one message ring (a2c or c2a). The bytes themselves live
// at data_offset from the start of the segment; DmaRing.h lays out the slots.
//
// The consumer never reads an index: it polls the completion word in the
// next slot itself. Its own position (tail) sits on a line of its own, stored
// now and then, and read by a producer only when the producer's cached view
// of it (tail_seen) says the ring is full.
//
// Layout: line 0 the consumer's; lines 1-2 the producers' (right to write,
// geometry and head in line 1, statistics after); line 3 the busy words.
struct RingHeader {
    // Consumer position in bytes, only ever growing: everything before it is
    // released to the producers. Release-stored by the consumer (the host's
    // stream for a2c, PopC2a for c2a) after it is done with those bytes;
    // acquire-loaded by a producer when tail_seen says the ring lacks room,
    // by a new stream where it starts, and by statistics readers.
    alignas(64) std::atomic<uint64_t> tail;

    // a2c: the right to write, (epoch << 32) | thread id of the holder (id 0:
    // free). Taken and handed over by compare-and-swap in the slow path of a
    // push (acquire on taking pairs with the release of the previous holder's
    // hand-over or of its busy word); the holder's fast path only loads it,
    // relaxed, to see that it still holds it.
    alignas(64) std::atomic<uint64_t> owner;
    // a2c: threads waiting for the right. Incremented and decremented by the
    // waiters (read-modify-writes, release); the holder's fast path
    // acquire-loads it before each push, so that seeing a waiter's decrement
    // also shows the waiter's take-over in owner.
    std::atomic<uint32_t> wanted;
    // a2c: process id of the holder; relaxed, published by the holder's
    // take-over of owner (release) and read after an acquire load of it.
    std::atomic<int32_t> owner_pid;
    // c2a: lock of the senders and of the model-side poppers, 0 when free,
    // else the holder's pid; see PidLock.h.
    std::atomic<int32_t> lock;
    uint32_t capacity;     // bytes, power of two
    uint32_t mtu;          // largest message
    uint64_t data_offset;  // from the start of the segment
    // Producer position in bytes: the next slot. Stored (release) only by the
    // holder of the right (or of lock) after each push; acquire-loaded by
    // statistics readers and by the next holder after a take-over.
    std::atomic<uint64_t> head;
    // Last value of tail a producer read; only the holder reads or writes it,
    // so it is a plain field. Never ahead of tail.
    uint64_t tail_seen;
    // Statistics, relaxed, read by anyone. pushed and bytes are written only
    // by the holder (a load and a store, no read-modify-write); the others
    // may be counted outside it.
    std::atomic<uint64_t> pushed;
    std::atomic<uint64_t> bytes;
    std::atomic<uint64_t> refused;
    std::atomic<uint64_t> waits;
    std::atomic<uint64_t> lock_recoveries;

    // a2c: busy word of the holder of epoch e in busy[e % kBusyWords]:
    // (e << 1) | 1 while it pushes, (e << 1) after. Stored only by that
    // holder (relaxed when set, release when cleared); acquire-loaded by a
    // waiter that wants to know whether an idle holder may be taken over.
    // One word per epoch, so that a holder that lost the right while it was
    // descheduled cannot hide the next holder's state with a late store.
    static constexpr uint32_t kBusyWords = 16;
    alignas(64) std::atomic<uint32_t> busy[kBusyWords];
};
static_assert(offsetof(RingHeader, owner) == 64 && offsetof(RingHeader, tail_seen) < 128 &&
                  offsetof(RingHeader, busy) == 192,
              "the consumer's line, the producers' lines (what a push reads first in one), the busy line");
static_assert(sizeof(RingHeader) == 256, "a ring's control block is four cache lines");

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

// The exchange clock the card's logic runs, as a line through one moment of
// the host's realtime clock: exchange = exchange_ns + (realtime -
// realtime_ns) x rate_milli / 1000. A sequence lock: written by the one
// process that plays the card (seq odd while the words change, release-stored
// even after), read by anyone (acquire loads of seq around relaxed loads).
struct ExchangeClockWords {
    std::atomic<uint64_t> seq;
    std::atomic<int64_t> realtime_ns;  // CLOCK_REALTIME
    std::atomic<int64_t> exchange_ns;  // the exchange's time then, nanoseconds since 1970 (UTC)
    std::atomic<uint32_t> rate_milli;  // exchange seconds per 1000 s of realtime
    std::atomic<uint32_t> published;   // 1: the words hold a clock; 0: the exchange keeps the host's time
};
static_assert(sizeof(ExchangeClockWords) == 32, "the exchange clock is 32 bytes");

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
    // In bytes that a segment without it leaves zero: nothing published.
    ExchangeClockWords exchange_clock;

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

    // Process driving each a2c channel as the card (kest-card-sim), 0 if
    // none; see Card::ClaimChannels. Compare-and-swapped by claimers (acq_rel),
    // stored 0 by the releasing claimant, loaded by anyone (acquire).
    alignas(64) std::atomic<int32_t> a2c_driver[kChannels];

    TableState tables[kTables];
    RingHeader a2c[kChannels];
    RingHeader c2a[kChannels];
};

static_assert(offsetof(CardShm, exchange_clock) + sizeof(ExchangeClockWords) <= offsetof(CardShm, core_locks),
              "the exchange clock fills bytes before the locks: no field of the layout moves");

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

inline bool ValidTable(int table) { return table >= 0 && table < static_cast<int>(kTables); }
inline bool ValidChannel(int channel) { return channel >= 0 && channel < static_cast<int>(kChannels); }

// Identity of the segment currently named for a card; false if there is none.
bool SegmentIdentity(uint32_t index, dev_t& dev, ino_t& ino);

// Puts a mapped card back to the fresh state (locks are left as they are).
void InitialiseContent(CardShm* shm);

}  // namespace kest_sim
