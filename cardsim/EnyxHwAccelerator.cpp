// The enyx_hw_* functions of filters, accelerators and MMIO regions.
#include <mutex>
#include <new>

#include "EnyxHwHandles.h"

using kest_sim::Fail;
using kest_sim::Fault;
using kest_sim::FillDescriptors;
using kest_sim::FreeDescriptors;
using kest_sim::Mapping;

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
