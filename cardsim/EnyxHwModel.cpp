// The enyx_hw_* functions of the card library, over the shared-memory card.
//
// Handles are process-local heap objects. Each one that reaches the card
// holds a reference on the card's mapping, so a handle stays usable after the
// handle it was made from (descriptor, MMIO, accelerator) is released.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "CoreTree.h"
#include "DmaRing.h"
#include "EnyxHw.h"
#include "RegisterFile.h"
#include "SimCard.h"

#define KEST_EXPORT extern "C" __attribute__((visibility("default")))

using kest_sim::CardShm;
using kest_sim::Fault;
using kest_sim::Mapping;
using kest_sim::RingHeader;

struct enyx_hw_filter {
    bool has_index = false;
    uint32_t index = 0;
    bool has_name = false;
    std::string name;
};

struct enyx_hw_accelerator_descriptor {
    uint32_t index;
};

struct enyx_hw_accelerator {
    std::shared_ptr<Mapping> map;
};

struct enyx_hw_mmio_descriptor {
    std::shared_ptr<Mapping> map;
};

struct enyx_hw_mmio {
    std::shared_ptr<Mapping> map;
};

struct enyx_hw_core {
    CardShm* shm;
    int slot;
    uint16_t hardware_id;
};

struct enyx_hw_core_tree {
    std::shared_ptr<Mapping> map;
    enyx_hw_core cores[kest_sim::kCoreCount];
};

struct enyx_hw_a2c_stream_descriptor {
    std::shared_ptr<Mapping> map;
    uint32_t channel;
};

struct enyx_hw_c2a_stream_descriptor {
    std::shared_ptr<Mapping> map;
    uint32_t channel;
};

// Hot fields first: the poll touches only the first cache line of this and
// the slot it polls.
struct enyx_hw_a2c_stream {
    const uint8_t* data;
    uint64_t mask;
    uint64_t cursor;       // next slot to hand over (this process only)
    uint64_t published;    // last value stored to ring->tail
    uint32_t unpublished;  // messages taken since
    uint32_t depth;        // handlers of this stream running on the stack
    RingHeader* ring;
    uint64_t capacity;
    uint64_t publish_bytes;  // held back at most before the position is published
    std::shared_ptr<Mapping> map;
    uint32_t channel;
};

struct enyx_hw_c2a_stream {
    std::shared_ptr<Mapping> map;
    RingHeader* ring;
    uint32_t channel;
};

namespace {

// Accelerators have no release call: one handle per card segment is kept for
// the life of the process and handed out again by every get of that card.
struct AcceleratorRegistry {
    std::mutex mutex;
    std::vector<std::unique_ptr<enyx_hw_accelerator>> accelerators;
};

AcceleratorRegistry& Registry() {
    // Never destroyed: handles must stay valid while other static
    // destructors or threads still run at exit.
    static AcceleratorRegistry* registry = new AcceleratorRegistry;
    return *registry;
}

std::string ChannelName(uint32_t channel) {
    char name[32];
    std::snprintf(name, sizeof name, "CUSTOM_CHAN%u_DATA", channel);
    return name;
}

template <typename T>
int Fail(int e, T result) {
    errno = e;
    return result;
}

// Channels whose stream name the filter selects (all without a name).
std::vector<uint32_t> MatchChannels(const enyx_hw_filter* filter) {
    std::vector<uint32_t> out;
    for (uint32_t c = 0; c < kest_sim::kChannels; ++c) {
        if (filter == nullptr || !filter->has_name || filter->name == ChannelName(c)) out.push_back(c);
    }
    return out;
}

// Fills up to `capacity` descriptors with make(i) for i < count; returns
// count, or -1 (ENOMEM) after releasing what it filled.
template <typename Desc, typename Make>
ssize_t FillDescriptors(const Desc** descriptors, size_t capacity, size_t count, Make make) {
    const size_t n = count < capacity ? count : capacity;
    for (size_t i = 0; i < n; ++i) {
        descriptors[i] = make(i);
        if (descriptors[i] == nullptr) {
            for (size_t j = 0; j < i; ++j) {
                delete descriptors[j];
                descriptors[j] = nullptr;
            }
            errno = ENOMEM;
            return -1;
        }
    }
    return static_cast<ssize_t>(count);
}

template <typename Desc>
void FreeDescriptors(const Desc** descriptors, size_t count) {
    if (descriptors == nullptr) return;
    for (size_t i = 0; i < count; ++i) {
        delete descriptors[i];
        descriptors[i] = nullptr;
    }
}

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

// --- filters ----------------------------------------------------------------

KEST_EXPORT enyx_hw_filter* enyx_hw_filter_create(void) {
    enyx_hw_filter* f = new (std::nothrow) enyx_hw_filter;
    if (f == nullptr) errno = ENOMEM;
    return f;
}

KEST_EXPORT void enyx_hw_filter_destroy(enyx_hw_filter* filter) { delete filter; }

KEST_EXPORT int enyx_hw_filter_set_index(enyx_hw_filter* filter, uint32_t index) {
    if (filter == nullptr) return Fail(EINVAL, -1);
    filter->has_index = true;
    filter->index = index;
    return 0;
}

KEST_EXPORT int enyx_hw_filter_set_name(enyx_hw_filter* filter, const char* name) {
    if (filter == nullptr || name == nullptr) return Fail(EINVAL, -1);
    try {
        filter->name = name;
    } catch (...) {
        return Fail(ENOMEM, -1);
    }
    filter->has_name = true;
    return 0;
}

// --- accelerators -----------------------------------------------------------

KEST_EXPORT ssize_t enyx_hw_enumerate_accelerators(const enyx_hw_filter* filter,
                                                   const enyx_hw_accelerator_descriptor** descriptors,
                                                   size_t capacity) {
    if (descriptors == nullptr && capacity != 0) return Fail(EINVAL, -1);
    std::vector<uint32_t> found;
    try {
        if (filter != nullptr && filter->has_index) {
            found.push_back(filter->index);
        } else {
            found = kest_sim::ListCards();
        }
        std::vector<uint32_t> valid;
        for (uint32_t index : found) {
            std::shared_ptr<Mapping> map = Mapping::Open(index);
            if (!map) continue;  // no card there (or not one of ours)
            if (kest_sim::FaultOn(map->shm(), Fault::kEnumerateFails)) return Fail(EIO, -1);
            valid.push_back(index);
        }
        found.swap(valid);
    } catch (...) {
        return Fail(ENOMEM, -1);
    }
    return FillDescriptors(descriptors, capacity, found.size(), [&](size_t i) {
        return new (std::nothrow) enyx_hw_accelerator_descriptor{found[i]};
    });
}

KEST_EXPORT void enyx_hw_free_accelerator_descriptors(const enyx_hw_accelerator_descriptor** descriptors,
                                                      size_t count) {
    FreeDescriptors(descriptors, count);
}

KEST_EXPORT enyx_hw_accelerator* enyx_hw_accelerator_get(const enyx_hw_accelerator_descriptor* descriptor) {
    if (descriptor == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    dev_t dev;
    ino_t ino;
    if (!kest_sim::SegmentIdentity(descriptor->index, dev, ino)) return nullptr;
    AcceleratorRegistry& reg = Registry();
    std::lock_guard<std::mutex> lock(reg.mutex);
    for (const auto& acc : reg.accelerators) {
        if (acc->map->index() == descriptor->index && acc->map->SameSegmentAs(dev, ino)) return acc.get();
    }
    std::shared_ptr<Mapping> map = Mapping::Open(descriptor->index);
    if (!map) return nullptr;
    try {
        reg.accelerators.push_back(std::unique_ptr<enyx_hw_accelerator>(new enyx_hw_accelerator{map}));
    } catch (...) {
        errno = ENOMEM;
        return nullptr;
    }
    return reg.accelerators.back().get();
}

// --- MMIO -------------------------------------------------------------------

KEST_EXPORT ssize_t enyx_hw_accelerator_enumerate_mmios(const enyx_hw_accelerator* accelerator,
                                                        const enyx_hw_filter* filter,
                                                        const enyx_hw_mmio_descriptor** descriptors,
                                                        size_t capacity) {
    if (accelerator == nullptr || (descriptors == nullptr && capacity != 0)) return Fail(EINVAL, -1);
    // The design exposes one region, index 0.
    const size_t count = (filter != nullptr && filter->has_index && filter->index != 0) ? 0 : 1;
    return FillDescriptors(descriptors, capacity, count, [&](size_t) {
        return new (std::nothrow) enyx_hw_mmio_descriptor{accelerator->map};
    });
}

KEST_EXPORT void enyx_hw_free_mmio_descriptors(const enyx_hw_mmio_descriptor** descriptors, size_t count) {
    FreeDescriptors(descriptors, count);
}

KEST_EXPORT enyx_hw_mmio* enyx_hw_mmio_create(const enyx_hw_mmio_descriptor* descriptor) {
    if (descriptor == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    enyx_hw_mmio* mmio = new (std::nothrow) enyx_hw_mmio{descriptor->map};
    if (mmio == nullptr) errno = ENOMEM;
    return mmio;
}

KEST_EXPORT void enyx_hw_mmio_destroy(enyx_hw_mmio* mmio) { delete mmio; }

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
