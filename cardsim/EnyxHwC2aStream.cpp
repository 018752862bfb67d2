// The enyx_hw_* functions of host-to-card streams.
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

// --- host-to-card streams ---------------------------------------------------

KEST_EXPORT ssize_t enyx_hw_accelerator_enumerate_c2a_streams(
    const enyx_hw_accelerator* accelerator, const enyx_hw_filter* filter,
    const enyx_hw_c2a_stream_descriptor** descriptors, size_t capacity) {
    if (accelerator == nullptr || (descriptors == nullptr && capacity != 0)) return Fail(EINVAL, -1);
    std::vector<uint32_t> channels;
    try {
        if (!kest_sim::FaultOn(accelerator->map->shm(), Fault::kNoC2aStream))
            channels = MatchChannels(filter);
    } catch (...) {
        return Fail(ENOMEM, -1);
    }
    if (channels.empty()) errno = ENOENT;  // as for a2c streams
    return FillDescriptors(descriptors, capacity, channels.size(), [&](size_t i) {
        return new (std::nothrow) enyx_hw_c2a_stream_descriptor{accelerator->map, channels[i]};
    });
}

KEST_EXPORT enyx_hw_c2a_stream* enyx_hw_c2a_stream_create(const enyx_hw_c2a_stream_descriptor* descriptor,
                                                          uint32_t /*flags*/) {
    if (descriptor == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    CardShm* shm = descriptor->map->shm();
    if (kest_sim::FaultOn(shm, Fault::kC2aCreateFails)) {
        errno = EIO;
        return nullptr;
    }
    enyx_hw_c2a_stream* s = new (std::nothrow)
        enyx_hw_c2a_stream{descriptor->map, &shm->c2a[descriptor->channel], descriptor->channel};
    if (s == nullptr) errno = ENOMEM;
    return s;
}

KEST_EXPORT void enyx_hw_free_c2a_stream_descriptors(const enyx_hw_c2a_stream_descriptor** descriptors,
                                                     size_t count) {
    FreeDescriptors(descriptors, count);
}

KEST_EXPORT int enyx_hw_c2a_stream_get_mtu(const enyx_hw_c2a_stream* stream, uint32_t* mtu) {
    if (stream == nullptr || mtu == nullptr) return Fail(EINVAL, -1);
    *mtu = stream->ring->mtu;
    return 0;
}

KEST_EXPORT int enyx_hw_c2a_stream_send(enyx_hw_c2a_stream* stream, const void* data, uint32_t size) {
    if (stream == nullptr || data == nullptr || size == 0) return Fail(EINVAL, -1);
    RingHeader& ring = *stream->ring;
    if (size > ring.mtu) {
        ring.refused.fetch_add(1, std::memory_order_relaxed);
        return Fail(EMSGSIZE, -1);
    }
    {
        kest_sim::SpinLock lock(ring);
        if (kest_sim::RingTryPush(stream->map->shm(), ring, data, size)) {
            kest_sim::AddUnderLock(ring.pushed, 1);
            kest_sim::AddUnderLock(ring.bytes, size);
            return 0;
        }
    }
    ring.refused.fetch_add(1, std::memory_order_relaxed);
    return Fail(EAGAIN, -1);
}

KEST_EXPORT void enyx_hw_c2a_stream_destroy(enyx_hw_c2a_stream* stream) { delete stream; }
