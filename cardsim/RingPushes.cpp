// The model side's pushes into a card-to-host ring (one message, a batch,
// blocking with back-off) and its pops from a host-to-card ring.
#include <sched.h>
#include <unistd.h>

#include <chrono>

#include "DmaRing.h"
#include "RingWriteRight.h"
#include "SharedSegment.h"

namespace kest_sim {

bool Card::TableChannelOpen(int table) const {
    return ValidTable(table) && shm_->tables[table].open.load(std::memory_order_relaxed) != 0;
}

namespace {

// Between two attempts of a blocking push at a full ring: a consumer that is
// draining it frees room within microseconds, so spin first (a yield on a
// busy core gives the time slice away for milliseconds), then yield, then
// sleep for a consumer that has stopped.
void BackOff(unsigned attempt) {
    if (attempt < 256) {
        for (int i = 0; i < 32; ++i) {
#if defined(__x86_64__) || defined(__i386__)
            __builtin_ia32_pause();
#endif
        }
    } else if (attempt < 320) {
        sched_yield();
    } else {
        usleep(50);
    }
}

}  // namespace

bool Card::PushA2c(int channel, const void* msg, uint32_t size) {
    if (!ValidChannel(channel)) return false;
    RingHeader& ring = shm_->a2c[channel];
    if (msg != nullptr && size != 0 && size <= ring.mtu && RingPushOwned(shm_, ring, msg, size)) return true;
    // Refusals are counted outside the right to write: a read-modify-write.
    ring.refused.fetch_add(1, std::memory_order_relaxed);
    return false;
}

bool Card::PushA2cBlocking(int channel, const void* msg, uint32_t size, const std::atomic<bool>* stop,
                           int timeout_ms) {
    if (!ValidChannel(channel)) return false;
    RingHeader& ring = shm_->a2c[channel];
    if (msg == nullptr || size == 0 || size > ring.mtu) {
        ring.refused.fetch_add(1, std::memory_order_relaxed);
        return false;
    }
    // No clock read without a timeout: a replay pushes without one.
    const auto deadline = timeout_ms >= 0
                              ? std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms)
                              : std::chrono::steady_clock::time_point{};
    bool waited = false;
    for (unsigned attempt = 0;;) {
        if (RingPushOwned(shm_, ring, msg, size)) return true;
        if (!waited) {
            waited = true;
            ring.waits.fetch_add(1, std::memory_order_relaxed);
        }
        // Acquire pairs with the release store of whoever asks to stop.
        if ((stop != nullptr && stop->load(std::memory_order_acquire)) ||
            (timeout_ms >= 0 && std::chrono::steady_clock::now() >= deadline)) {
            ring.refused.fetch_add(1, std::memory_order_relaxed);
            return false;
        }
        BackOff(attempt++);
    }
}

uint32_t Card::PushA2cBatch(int channel, const PushBatch& batch) {
    if (!ValidChannel(channel)) return 0;
    RingHeader& ring = shm_->a2c[channel];
    const bool valid = batch.Size() != 0 && batch.Size() <= ring.mtu &&
                       (batch.payload_size == 0 || batch.payloads != nullptr) &&
                       (batch.header_size == 0 || batch.header != nullptr);
    const uint32_t n = valid && batch.count != 0 ? RingPushBatchOwned(shm_, ring, batch) : 0;
    // Refusals are counted outside the right to write: a read-modify-write.
    if (n < batch.count) ring.refused.fetch_add(batch.count - n, std::memory_order_relaxed);
    return n;
}

uint32_t Card::PushA2cBatchBlocking(int channel, const PushBatch& batch, const std::atomic<bool>* stop,
                                    int timeout_ms) {
    if (!ValidChannel(channel)) return 0;
    RingHeader& ring = shm_->a2c[channel];
    if (batch.Size() == 0 || batch.Size() > ring.mtu ||
        (batch.payload_size != 0 && batch.payloads == nullptr) ||
        (batch.header_size != 0 && batch.header == nullptr)) {
        ring.refused.fetch_add(batch.count, std::memory_order_relaxed);
        return 0;
    }
    // No clock read without a timeout: a replay pushes without one.
    const auto deadline = timeout_ms >= 0
                              ? std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms)
                              : std::chrono::steady_clock::time_point{};
    PushBatch rest = batch;
    bool waited = false;
    for (unsigned attempt = 0; rest.count != 0;) {
        const uint32_t n = RingPushBatchOwned(shm_, ring, rest);
        rest.count -= n;
        rest.payloads += n * rest.stride;
        if (rest.count == 0) break;
        if (n != 0) {
            attempt = 0;  // the consumer moves: try again at once
            continue;
        }
        if (!waited) {
            waited = true;
            ring.waits.fetch_add(1, std::memory_order_relaxed);
        }
        // Acquire pairs with the release store of whoever asks to stop.
        if ((stop != nullptr && stop->load(std::memory_order_acquire)) ||
            (timeout_ms >= 0 && std::chrono::steady_clock::now() >= deadline)) {
            ring.refused.fetch_add(rest.count, std::memory_order_relaxed);
            break;
        }
        BackOff(attempt++);
    }
    return batch.count - rest.count;
}

uint32_t Card::A2cFreeBytes(int channel) const {
    if (!ValidChannel(channel)) return 0;
    const RingHeader& ring = shm_->a2c[channel];
    // Acquire loads pair with the producer's head and the consumer's tail stores.
    const uint64_t tail = ring.tail.load(std::memory_order_acquire);
    const uint64_t head = ring.head.load(std::memory_order_acquire);
    return static_cast<uint32_t>(ring.capacity - (head - tail));
}

bool Card::PopC2a(int channel, std::vector<uint8_t>& out) {
    if (!ValidChannel(channel)) return false;
    RingHeader& ring = shm_->c2a[channel];
    // Host senders and model-side poppers share the ring's lock: several
    // model threads may pop, several host processes may send.
    SpinLock lock(ring);
    return RingTryPop(shm_, ring,
                      [&out](const uint8_t* data, uint32_t size) { out.assign(data, data + size); });
}

}  // namespace kest_sim
