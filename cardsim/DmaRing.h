// Single-producer single-consumer message ring in shared memory.
//
// A record is a 32-bit size word, 4 unused bytes, then the message, padded
// to a multiple of 8 so every record and every message starts 8-byte aligned.
// A record never wraps: when it does not fit before the end of the ring, a
// padding marker fills the rest and the record starts at offset 0. head and
// tail count bytes and only grow; head - tail is the fill.
//
// Producers of one ring (possibly in several processes) take the ring's spin
// lock; the consumer takes no lock at all, it only acquire-loads head and
// release-stores tail. Each side reads the other's index only when its own
// copy of it says the ring is full (producer: tail_seen, under the lock) or
// empty (the consumer's stream keeps its own copy of head).
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>

#include "PidLock.h"
#include "SimCard.h"

namespace kest_sim {

constexpr uint32_t kRecordHeader = 8;
constexpr uint32_t kPadMarker = 0xFFFFFFFFu;

constexpr uint64_t RecordBytes(uint32_t size) {
    return kRecordHeader + ((uint64_t{size} + 7u) & ~uint64_t{7});
}

// Ring bytes needed so that any message up to mtu always fits into an empty
// ring wherever its head stands: a record no larger than half the ring either
// fits before the end or, after the padding, at the start.
inline uint32_t RingBytesFor(uint32_t requested, uint32_t mtu) {
    uint64_t want = requested;
    if (want < 2 * RecordBytes(mtu)) want = 2 * RecordBytes(mtu);
    if (want < 4096) want = 4096;
    uint64_t bytes = 4096;
    while (bytes < want) bytes <<= 1;
    return bytes > (1u << 30) ? 0 : static_cast<uint32_t>(bytes);
}

// Producer lock of a ring: one uncontended compare-and-swap to take, one
// store to release. Holders are short (one memcpy); a holder that died
// (SIGKILL) is detected by its pid once a waiter has spun a while, and the
// lock is taken over.
class SpinLock {
public:
    explicit SpinLock(RingHeader& ring) : ring_(ring) { PidLockAcquire(ring_.lock, ring_.lock_recoveries); }
    ~SpinLock() { PidLockRelease(ring_.lock); }
    SpinLock(const SpinLock&) = delete;
    SpinLock& operator=(const SpinLock&) = delete;

private:
    RingHeader& ring_;
};

// A statistic that only the holder of the ring's lock writes: a load and a
// store, no locked read-modify-write on the producer's path. Relaxed:
// readers only sample it.
inline void AddUnderLock(std::atomic<uint64_t>& counter, uint64_t n) {
    counter.store(counter.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
}

// Appends one message; the caller holds the ring's SpinLock. false when the
// ring lacks room (nothing written) or the size is out of bounds.
inline bool RingTryPush(CardShm* shm, RingHeader& ring, const void* msg, uint32_t size) {
    if (size == 0 || size > ring.mtu) return false;
    uint8_t* const data = RingData(shm, ring);
    const uint64_t cap = ring.capacity;
    const uint64_t rec = RecordBytes(size);
    // Only producers store head, and they hold the lock: relaxed is enough.
    uint64_t head = ring.head.load(std::memory_order_relaxed);
    uint64_t off = head & (cap - 1);
    const uint64_t to_end = cap - off;
    const uint64_t pad = rec > to_end ? to_end : 0;
    if (pad + rec > cap - (head - ring.tail_seen)) {
        // Acquire pairs with the consumer's release store of tail: the
        // consumer is done with the bytes we are about to reuse. Only now,
        // when the copy says full, does the tail line come over.
        ring.tail_seen = ring.tail.load(std::memory_order_acquire);
        if (pad + rec > cap - (head - ring.tail_seen)) return false;
    }
    if (pad != 0) {
        const uint32_t marker = kPadMarker;
        std::memcpy(data + off, &marker, sizeof marker);
        head += pad;
        off = 0;
    }
    std::memcpy(data + off, &size, sizeof size);
    std::memcpy(data + off + kRecordHeader, msg, size);
    // Release pairs with the consumer's acquire load of head: the record's
    // bytes (and any padding marker) are visible before the index that covers them.
    ring.head.store(head + rec, std::memory_order_release);
    return true;
}

// Hands the oldest message to sink(data, size) and releases it. For the
// model's c2a pops, whose caller holds the ring's lock; the host's a2c poll
// has its own lock-free path. false when empty or corrupt.
template <typename Sink>
inline bool RingTryPop(CardShm* shm, RingHeader& ring, Sink&& sink) {
    const uint8_t* const data = RingData(shm, ring);
    const uint64_t cap = ring.capacity;
    // Only this (locked) consumer stores tail: relaxed is enough.
    uint64_t pos = ring.tail.load(std::memory_order_relaxed);
    // Acquire pairs with the producer's release store of head.
    const uint64_t head = ring.head.load(std::memory_order_acquire);
    if (pos == head) return false;
    uint64_t off = pos & (cap - 1);
    uint32_t size;
    std::memcpy(&size, data + off, sizeof size);
    if (size == kPadMarker) {
        pos += cap - off;
        off = 0;
        std::memcpy(&size, data, sizeof size);
    }
    if (off + kRecordHeader + uint64_t{size} > cap) return false;
    sink(data + off + kRecordHeader, size);
    // Release pairs with the producer's acquire load of tail.
    ring.tail.store(pos + RecordBytes(size), std::memory_order_release);
    return true;
}

// Messages between tail and head; the caller holds the producer lock, so the
// bytes walked are not overwritten meanwhile (the consumer may move on).
inline uint64_t RingPendingMessages(CardShm* shm, RingHeader& ring) {
    const uint8_t* const data = RingData(shm, ring);
    const uint64_t cap = ring.capacity;
    // Acquire pairs with the producer's release store (this thread is the
    // producer side here, but head may have been stored by another process).
    const uint64_t head = ring.head.load(std::memory_order_acquire);
    // Acquire pairs with the consumer's release store of tail.
    uint64_t pos = ring.tail.load(std::memory_order_acquire);
    uint64_t count = 0;
    while (pos < head) {
        const uint64_t off = pos & (cap - 1);
        uint32_t size;
        std::memcpy(&size, data + off, sizeof size);
        if (size == kPadMarker) {
            pos += cap - off;
            continue;
        }
        if (off + kRecordHeader + uint64_t{size} > cap) break;
        pos += RecordBytes(size);
        ++count;
    }
    return count;
}

}  // namespace kest_sim
