// The handles of the enyx_hw_* functions over the shared-memory card, and
// the helpers the functions of every handle kind share.
//
// Handles are process-local heap objects. Each one that reaches the card
// holds a reference on the card's mapping, so a handle stays usable after the
// handle it was made from (descriptor, MMIO, accelerator) is released.
#pragma once

#include <cerrno>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "CoreTree.h"
#include "EnyxHw.h"
#include "SharedSegment.h"

#define KEST_EXPORT extern "C" __attribute__((visibility("default")))

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
    std::shared_ptr<kest_sim::Mapping> map;
};

struct enyx_hw_mmio_descriptor {
    std::shared_ptr<kest_sim::Mapping> map;
};

struct enyx_hw_mmio {
    std::shared_ptr<kest_sim::Mapping> map;
};

struct enyx_hw_core {
    kest_sim::CardShm* shm;
    int slot;
    uint16_t hardware_id;
};

struct enyx_hw_core_tree {
    std::shared_ptr<kest_sim::Mapping> map;
    enyx_hw_core cores[kest_sim::kCoreCount];
};

struct enyx_hw_a2c_stream_descriptor {
    std::shared_ptr<kest_sim::Mapping> map;
    uint32_t channel;
};

struct enyx_hw_c2a_stream_descriptor {
    std::shared_ptr<kest_sim::Mapping> map;
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
    kest_sim::RingHeader* ring;
    uint64_t capacity;
    uint64_t publish_bytes;  // held back at most before the position is published
    std::shared_ptr<kest_sim::Mapping> map;
    uint32_t channel;
};

struct enyx_hw_c2a_stream {
    std::shared_ptr<kest_sim::Mapping> map;
    kest_sim::RingHeader* ring;
    uint32_t channel;
};

namespace kest_sim {

inline std::string ChannelName(uint32_t channel) {
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
inline std::vector<uint32_t> MatchChannels(const enyx_hw_filter* filter) {
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

}  // namespace kest_sim
