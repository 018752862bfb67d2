// The enyx_hw_* functions of card-to-host streams, the hot poll among them.
#include <new>

#include "DmaRing.h"
#include "EnyxHwHandles.h"

using kest_sim::CardShm;
using kest_sim::Fail;
using kest_sim::Fault;
using kest_sim::FillDescriptors;
using kest_sim::FreeDescriptors;
using kest_sim::MatchChannels;
using kest_sim::RingHeader;

// --- card-to-host streams ---------------------------------------------------

KEST_EXPORT ssize_t enyx_hw_accelerator_enumerate_a2c_streams(
    const enyx_hw_accelerator* accelerator, const enyx_hw_filter* filter,
    const enyx_hw_a2c_stream_descriptor** descriptors, size_t capacity) {
    if (accelerator == nullptr || (descriptors == nullptr && capacity != 0)) return Fail(EINVAL, -1);
    std::vector<uint32_t> channels;
    try {
        channels = MatchChannels(filter);
        // The fault shows a design where a second stream answers to the name.
        if (!channels.empty() && filter != nullptr && filter->has_name &&
            kest_sim::FaultOn(accelerator->map->shm(), Fault::kDuplicateA2cName)) {
            channels.push_back(channels.front());
        }
    } catch (...) {
        return Fail(ENOMEM, -1);
    }
    // Finding nothing is an answer, not a failure (0 is returned), but the
    // caller that wanted one stream reports errno: leave it saying why.
    if (channels.empty()) errno = ENOENT;
    return FillDescriptors(descriptors, capacity, channels.size(), [&](size_t i) {
        return new (std::nothrow) enyx_hw_a2c_stream_descriptor{accelerator->map, channels[i]};
    });
}

KEST_EXPORT enyx_hw_a2c_stream* enyx_hw_a2c_stream_create(const enyx_hw_a2c_stream_descriptor* descriptor,
                                                          uint32_t /*flags*/) {
    if (descriptor == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    CardShm* shm = descriptor->map->shm();
    if (kest_sim::FaultOn(shm, Fault::kA2cCreateFails)) {
        errno = EIO;
        return nullptr;
    }
    RingHeader* ring = &shm->a2c[descriptor->channel];
    enyx_hw_a2c_stream* s = new (std::nothrow) enyx_hw_a2c_stream;
    if (s == nullptr) {
        errno = ENOMEM;
        return nullptr;
    }
    s->ring = ring;
    s->data = kest_sim::RingData(shm, *ring);
    s->capacity = ring->capacity;
    s->mask = s->capacity - 1;
    s->publish_bytes = s->capacity / 4;
    // Messages already pending are delivered: start where the last consumer
    // stopped. Acquire pairs with that consumer's release store of tail.
    s->cursor = ring->tail.load(std::memory_order_acquire);
    s->published = s->cursor;
    s->unpublished = 0;
    s->depth = 0;
    s->map = descriptor->map;
    s->channel = descriptor->channel;
    return s;
}

KEST_EXPORT void enyx_hw_free_a2c_stream_descriptors(const enyx_hw_a2c_stream_descriptor** descriptors,
                                                     size_t count) {
    FreeDescriptors(descriptors, count);
}

KEST_EXPORT int enyx_hw_a2c_stream_get_mtu(const enyx_hw_a2c_stream* stream, uint32_t* mtu) {
    if (stream == nullptr || mtu == nullptr) return Fail(EINVAL, -1);
    if (kest_sim::FaultOn(stream->map->shm(), Fault::kA2cMtuFails)) return Fail(EIO, -1);
    *mtu = stream->ring->mtu;
    return 0;
}

namespace {

// The consumer's position reaches the producers only now and then: once it
// has taken the last complete slot (the next slot's word, which the next poll
// reads anyway, says so), every kPublishEvery messages of a burst, when a
// quarter of the ring is held, and before a nested poll. A producer reads it
// only when its own view says the ring is full, so a message costs no
// transfer of it.
constexpr uint32_t kPublishEvery = 32;

inline void Publish(enyx_hw_a2c_stream* stream) {
    // Release pairs with the producer's acquire load of tail: we are done
    // with the bytes up to the cursor.
    stream->ring->tail.store(stream->cursor, std::memory_order_release);
    stream->published = stream->cursor;
    stream->unpublished = 0;
}

// The part of a poll that hands a message over, kept out of line so that the
// empty poll stays a leaf function without a stack frame.
__attribute__((noinline)) int DeliverOne(enyx_hw_a2c_stream* stream, enyx_hw_a2c_handler handler,
                                         void* opaque) {
    if (__builtin_expect(handler == nullptr, 0)) return Fail(EINVAL, -1);
    uint64_t pos = stream->cursor;
    uint64_t off;
    uint32_t size;
    if (!kest_sim::RingSlotAt(stream->data, stream->capacity, pos, off, size)) {
        // Only a foreign writer of the segment could make a slot point past
        // the ring; a padding marker whose record is not complete cannot be.
        if (pos == stream->cursor) return Fail(EIO, -1);
        stream->cursor = pos;  // stepped over a padding marker
        return 0;
    }
    stream->cursor = pos + kest_sim::RecordBytes(size);
    // A nested poll hands the outer message back before it takes the next.
    if (__builtin_expect(stream->depth != 0, 0)) Publish(stream);
    ++stream->depth;
    handler(stream->data + off + kest_sim::kRecordHeader, size, opaque);
    --stream->depth;
    // Relaxed: only a hint whether the ring is now empty; the poll that takes
    // the next slot loads its word again, with acquire.
    const uint64_t next = stream->cursor;
    if (++stream->unpublished >= kPublishEvery || next - stream->published >= stream->publish_bytes ||
        kest_sim::LoadWord(stream->data + (next & stream->mask) + 4, __ATOMIC_RELAXED) !=
            kest_sim::CompletionOf(next))
        Publish(stream);
    return 1;
}

__attribute__((noinline)) int PollEmpty(enyx_hw_a2c_stream* stream) {
    Publish(stream);
    return 0;
}

}  // namespace

// The receive path: no system call, no lock, no allocation, and no read of
// any line but the next slot's while the ring is empty. The cursor moves past
// the record before the handler runs; a poll made from inside the handler
// first publishes it, which hands the outer message's bytes back to the
// producer: they are valid until the handler polls again (and for the whole
// call otherwise).
KEST_EXPORT int enyx_hw_a2c_stream_poll_once(enyx_hw_a2c_stream* stream, enyx_hw_a2c_handler handler,
                                             void* opaque) {
    if (__builtin_expect(stream == nullptr, 0)) return Fail(EINVAL, -1);
    const uint64_t pos = stream->cursor;
    // Acquire pairs with the producer's release store of the completion word
    // (a model-side producer thread, any process): the slot's bytes are visible.
    const uint32_t word = kest_sim::LoadWord(stream->data + (pos & stream->mask) + 4, __ATOMIC_ACQUIRE);
    if (word != kest_sim::CompletionOf(pos))
        return stream->cursor != stream->published ? PollEmpty(stream) : 0;
    return DeliverOne(stream, handler, opaque);
}

KEST_EXPORT void enyx_hw_a2c_stream_destroy(enyx_hw_a2c_stream* stream) {
    if (stream == nullptr) return;
    // What was taken stays taken, also when destroyed from inside its handler.
    if (stream->cursor != stream->published) Publish(stream);
    delete stream;
}
