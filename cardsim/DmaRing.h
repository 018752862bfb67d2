// Message ring in shared memory, laid out as a card's DMA engine writes one.
//
// A slot (record) starts at an 8-byte aligned position p and never wraps:
//
//   +0  u32 size of the message, or kPadMarker: the rest of the ring up to
//       its end is padding and the next slot is at offset 0
//   +4  u32 completion word: CompletionOf(p) once the slot is complete
//   +8  the message, padded to a multiple of 8
//
// The header is 8 bytes at an 8-byte boundary, so the completion word always
// sits in the slot's first cache line. A producer writes the message, the
// size, and a terminator (a word that is not the completion word of that
// position) into the next slot's completion word, and stores the completion
// word last with release order. The consumer acquire-loads the completion
// word at its own position and nothing else: no index crosses between the
// cores for a message, only the slot's lines. Positions count bytes and only
// grow; completion words depend on the position, so a slot left from an
// earlier lap never reads as complete, and the terminator makes sure that
// nothing in the next slot can (payload bytes of an older record, a padding
// area's leftovers) before its producer has completed it.
//
// A record never wraps: when it does not fit before the end of the ring, it is
// written at offset 0 first and then the padding marker at the old position
// is completed, which hands both over at once.
//
// Room: a producer needs the record, any padding in front of it and the next
// slot's header (the terminator) between its position and the consumer's.
#pragma once

#include <sched.h>

#include <atomic>
#include <cstdint>
#include <cstring>

#include "PidLock.h"
#include "SharedSegment.h"

namespace kest_sim {

constexpr uint32_t kRecordHeader = 8;
constexpr uint32_t kPadMarker = 0xFFFFFFFFu;

constexpr uint64_t RecordBytes(uint32_t size) {
    return kRecordHeader + ((uint64_t{size} + 7u) & ~uint64_t{7});
}

// The completion word of the slot at position pos. Never 0 at position 0, so
// a fresh (zeroed) ring reads as empty; positions of two slots in one lap
// differ by less than 2^35, so they never share a word.
constexpr uint32_t CompletionOf(uint64_t pos) { return static_cast<uint32_t>(pos >> 3) ^ 0x4B455354u; }
// Written into the next slot while a slot is completed: cannot be taken for its completion.
constexpr uint32_t TerminatorOf(uint64_t pos) { return ~CompletionOf(pos); }

static_assert(kRecordHeader == 8 && RecordBytes(1) == 16 && RecordBytes(160) == 168,
              "8-byte header, message padded to 8: every slot and every message 8-byte aligned");
static_assert(64 % kRecordHeader == 0, "a slot's header never straddles two cache lines");
static_assert(CompletionOf(0) != 0 && TerminatorOf(0) != CompletionOf(0), "a zeroed ring is empty");

// The slot's header words. Loaded and stored as atomics: the consumer and
// statistics readers look at them while a producer writes the next ones.
inline uint32_t LoadWord(const uint8_t* p, int order) {
    return __atomic_load_n(reinterpret_cast<const uint32_t*>(p), order);
}
inline void StoreWord(uint8_t* p, uint32_t v, int order) {
    __atomic_store_n(reinterpret_cast<uint32_t*>(p), v, order);
}

// Ring bytes needed so that any message up to mtu always fits into an empty
// ring wherever its head stands: a record no larger than half the ring either
// fits before the end or, after the padding, at the start.
inline uint32_t RingBytesFor(uint32_t requested, uint32_t mtu) {
    uint64_t want = requested;
    if (want < 2 * RecordBytes(mtu) + kRecordHeader) want = 2 * RecordBytes(mtu) + kRecordHeader;
    if (want < 4096) want = 4096;
    uint64_t bytes = 4096;
    while (bytes < want) bytes <<= 1;
    return bytes > (1u << 30) ? 0 : static_cast<uint32_t>(bytes);
}

// A statistic that only the producer holding the ring writes: a load and a
// store, no locked read-modify-write on the producer's path. Relaxed:
// readers only sample it.
inline void AddUnderLock(std::atomic<uint64_t>& counter, uint64_t n) {
    counter.store(counter.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
}

// Writes one complete slot at offset off (position pos) and the terminator
// after it; the completion word goes last, with release order: it pairs with
// the consumer's acquire load of it, which then sees the size, the message
// and the terminator.
inline void WriteSlot(uint8_t* data, uint64_t mask, uint64_t off, uint64_t pos, const void* msg,
                      uint32_t size) {
    const uint64_t rec = RecordBytes(size);
    std::memcpy(data + off + kRecordHeader, msg, size);
    StoreWord(data + off, size, __ATOMIC_RELAXED);
    StoreWord(data + ((off + rec) & mask) + 4, TerminatorOf(pos + rec), __ATOMIC_RELAXED);
    StoreWord(data + off + 4, CompletionOf(pos), __ATOMIC_RELEASE);
}

// Appends one message; the caller holds the ring (its right to write, or its
// lock). false when the ring lacks room (nothing written) or the size is out
// of bounds.
inline bool RingTryPush(CardShm* shm, RingHeader& ring, const void* msg, uint32_t size) {
    if (size == 0 || size > ring.mtu) return false;
    uint8_t* const data = RingData(shm, ring);
    const uint64_t cap = ring.capacity;
    const uint64_t rec = RecordBytes(size);
    // Only the holder stores head: relaxed is enough.
    const uint64_t head = ring.head.load(std::memory_order_relaxed);
    const uint64_t off = head & (cap - 1);
    const uint64_t pad = rec > cap - off ? cap - off : 0;
    const uint64_t need = pad + rec + kRecordHeader;
    if (need > cap - (head - ring.tail_seen)) {
        // Acquire pairs with the consumer's release store of tail: it is done
        // with the bytes we are about to reuse. Only now, when the cached view
        // says full, does the tail line come over.
        ring.tail_seen = ring.tail.load(std::memory_order_acquire);
        if (need > cap - (head - ring.tail_seen)) return false;
    }
    if (pad != 0) {
        WriteSlot(data, cap - 1, 0, head + pad, msg, size);
        StoreWord(data + off, kPadMarker, __ATOMIC_RELAXED);
        // Release pairs with the consumer's acquire load: the record at 0 is
        // complete before the padding in front of it is.
        StoreWord(data + off + 4, CompletionOf(head), __ATOMIC_RELEASE);
    } else {
        WriteSlot(data, cap - 1, off, head, msg, size);
    }
    // Release pairs with the acquire loads of statistics readers and of a
    // later holder: the slots below head are complete.
    ring.head.store(head + pad + rec, std::memory_order_release);
    return true;
}

// How many of `count` records of rec bytes fit from head while the consumer
// stands at tail (padding and the terminator's header counted); the end
// position after them in *end.
inline uint32_t RingBatchFits(uint64_t cap, uint64_t head, uint64_t tail, uint64_t rec, uint32_t count,
                              uint64_t* end) {
    uint64_t pos = head;
    uint32_t n = 0;
    for (; n < count; ++n) {
        const uint64_t off = pos & (cap - 1);
        const uint64_t next = pos + (rec > cap - off ? cap - off : 0) + rec;
        if (next + kRecordHeader - tail > cap) break;
        pos = next;
    }
    *end = pos;
    return n;
}

// Appends the first messages of a batch that fit (all of them when there is
// room), as a card's DMA engine completes several descriptors at once: every
// slot is written with its size and completion word, then the terminator
// after the last, and the first slot's completion word goes last, with
// release order. It pairs with the consumer's acquire load of that word,
// which then sees every slot of the batch complete; the consumer reads only
// the word at its own position, so the later slots' words, stored earlier,
// are never taken before the first. The caller holds the ring. Returns how
// many messages were pushed (0: none fit, or the size is out of bounds).
inline uint32_t RingTryPushBatch(CardShm* shm, RingHeader& ring, const PushBatch& b) {
    const uint32_t size = b.Size();
    if (size == 0 || size > ring.mtu || b.count == 0) return 0;
    uint8_t* const data = RingData(shm, ring);
    const uint64_t cap = ring.capacity, mask = cap - 1;
    const uint64_t rec = RecordBytes(size);
    // Only the holder stores head: relaxed is enough.
    const uint64_t head = ring.head.load(std::memory_order_relaxed);
    uint64_t end;
    uint32_t n = RingBatchFits(cap, head, ring.tail_seen, rec, b.count, &end);
    if (n < b.count) {
        // Acquire pairs with the consumer's release store of tail, as in RingTryPush.
        ring.tail_seen = ring.tail.load(std::memory_order_acquire);
        n = RingBatchFits(cap, head, ring.tail_seen, rec, b.count, &end);
        if (n == 0) return 0;
    }
    const uint8_t* payload = b.payloads;
    uint64_t pos = head;
    for (uint32_t i = 0; i < n; ++i, payload += b.stride) {
        uint64_t off = pos & mask;
        if (rec > cap - off) {
            StoreWord(data + off, kPadMarker, __ATOMIC_RELAXED);
            // The first slot's word is stored last, below.
            if (pos != head) StoreWord(data + off + 4, CompletionOf(pos), __ATOMIC_RELAXED);
            pos += cap - off;
            off = 0;
        }
        if (b.header_size != 0) std::memcpy(data + off + kRecordHeader, b.header, b.header_size);
        std::memcpy(data + off + kRecordHeader + b.header_size, payload, b.payload_size);
        StoreWord(data + off, size, __ATOMIC_RELAXED);
        if (pos != head) StoreWord(data + off + 4, CompletionOf(pos), __ATOMIC_RELAXED);
        pos += rec;
    }
    StoreWord(data + (end & mask) + 4, TerminatorOf(end), __ATOMIC_RELAXED);
    // Release pairs with the consumer's acquire load: the whole batch is
    // complete before its first slot is.
    StoreWord(data + (head & mask) + 4, CompletionOf(head), __ATOMIC_RELEASE);
    // Release: as for the store in RingTryPush.
    ring.head.store(end, std::memory_order_release);
    return n;
}

// After taking a ring over from a holder that died: the slots it completed
// but did not yet count in head are kept (the consumer may have taken them).
// A batch is completed as a whole by its first slot's word, so the walk
// either stops at that slot or runs through the batch to its terminator;
// slots of a batch cut short by the death are written over.
inline void RingRepairHead(CardShm* shm, RingHeader& ring) {
    const uint8_t* const data = RingData(shm, ring);
    const uint64_t cap = ring.capacity;
    // Acquire pairs with the dead holder's last release store of head.
    uint64_t head = ring.head.load(std::memory_order_acquire);
    for (uint64_t i = 0; i < cap / kRecordHeader; ++i) {
        const uint64_t off = head & (cap - 1);
        // Acquire pairs with the release store of the completion word.
        if (LoadWord(data + off + 4, __ATOMIC_ACQUIRE) != CompletionOf(head)) break;
        const uint32_t size = LoadWord(data + off, __ATOMIC_RELAXED);
        head += size == kPadMarker ? cap - off : RecordBytes(size);
    }
    // Release: as for the store in RingTryPush.
    ring.head.store(head, std::memory_order_release);
}

// Where the slot at pos holds a message: its offset and size; false when it
// is not complete (or corrupt). Steps over a padding marker (moving pos).
inline bool RingSlotAt(const uint8_t* data, uint64_t cap, uint64_t& pos, uint64_t& off, uint32_t& size) {
    off = pos & (cap - 1);
    // Acquire pairs with the producer's release store of the completion word.
    if (LoadWord(data + off + 4, __ATOMIC_ACQUIRE) != CompletionOf(pos)) return false;
    size = LoadWord(data + off, __ATOMIC_RELAXED);
    if (size == kPadMarker) {
        pos += cap - off;
        off = 0;
        // Acquire: as above; the record at 0 was completed before the padding.
        if (LoadWord(data + 4, __ATOMIC_ACQUIRE) != CompletionOf(pos)) return false;
        size = LoadWord(data, __ATOMIC_RELAXED);
    }
    return off + kRecordHeader + uint64_t{size} <= cap;
}

// Hands the oldest message to sink(data, size) and releases it. For the
// model's c2a pops, whose caller holds the ring's lock; the host's a2c poll
// has its own path. false when empty or corrupt.
template <typename Sink>
inline bool RingTryPop(CardShm* shm, RingHeader& ring, Sink&& sink) {
    const uint8_t* const data = RingData(shm, ring);
    // Only this (locked) consumer stores tail: relaxed is enough.
    uint64_t pos = ring.tail.load(std::memory_order_relaxed);
    uint64_t off;
    uint32_t size;
    if (!RingSlotAt(data, ring.capacity, pos, off, size)) return false;
    sink(data + off + kRecordHeader, size);
    // Release pairs with the producer's acquire load of tail.
    ring.tail.store(pos + RecordBytes(size), std::memory_order_release);
    return true;
}

// Messages between tail and the first slot not complete, and their ring
// bytes. Walks header words only, without holding the ring: a walk during
// which the producer came round to where it started is made again.
inline uint64_t RingPendingMessages(CardShm* shm, RingHeader& ring, uint64_t* bytes) {
    const uint8_t* const data = RingData(shm, ring);
    const uint64_t cap = ring.capacity;
    uint64_t count = 0, pos = 0, start = 0;
    for (int attempt = 0; attempt < 8; ++attempt) {
        // Acquire pairs with the consumer's release store of tail.
        start = pos = ring.tail.load(std::memory_order_acquire);
        count = 0;
        uint64_t off;
        uint32_t size;
        for (uint64_t p = pos; RingSlotAt(data, cap, p, off, size) && count < cap / 16; p = pos) {
            pos = p + RecordBytes(size);
            ++count;
        }
        // Acquire pairs with the producer's release store of head.
        if (ring.head.load(std::memory_order_acquire) + kRecordHeader <= start + cap) break;
    }
    *bytes = pos - start;
    return count;
}

// Lock of a c2a ring (host senders, model-side poppers): one uncontended
// compare-and-swap to take, one store to release; a holder that died is
// detected by its pid and the lock taken over (PidLock.h).
class SpinLock {
public:
    explicit SpinLock(RingHeader& ring) : ring_(ring) { PidLockAcquire(ring_.lock, ring_.lock_recoveries); }
    ~SpinLock() { PidLockRelease(ring_.lock); }
    SpinLock(const SpinLock&) = delete;
    SpinLock& operator=(const SpinLock&) = delete;

private:
    RingHeader& ring_;
};

}  // namespace kest_sim
