// The card vendor's hardware library (libenyx-hw-c.so.5) as far as this
// product uses it: our own declarations of its C interface, for builds
// without the vendor's header. The card model implements exactly these.
// The file stands alone, so that a vendor-layout install can be made from it
// (tests of the vendor build copy it in as the vendor header).
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct enyx_hw_filter enyx_hw_filter;
typedef struct enyx_hw_accelerator_descriptor enyx_hw_accelerator_descriptor;
typedef struct enyx_hw_accelerator enyx_hw_accelerator;
typedef struct enyx_hw_mmio_descriptor enyx_hw_mmio_descriptor;
typedef struct enyx_hw_mmio enyx_hw_mmio;
typedef struct enyx_hw_core_tree enyx_hw_core_tree;
typedef struct enyx_hw_core enyx_hw_core;
typedef struct enyx_hw_a2c_stream_descriptor enyx_hw_a2c_stream_descriptor;
typedef struct enyx_hw_a2c_stream enyx_hw_a2c_stream;
typedef struct enyx_hw_c2a_stream_descriptor enyx_hw_c2a_stream_descriptor;
typedef struct enyx_hw_c2a_stream enyx_hw_c2a_stream;

/* Filters select accelerators and MMIO regions by index, streams by name. */
enyx_hw_filter* enyx_hw_filter_create(void);
void enyx_hw_filter_destroy(enyx_hw_filter* filter);
int enyx_hw_filter_set_index(enyx_hw_filter* filter, uint32_t index);
int enyx_hw_filter_set_name(enyx_hw_filter* filter, const char* name);

/* Accelerators (one per card). */
ssize_t enyx_hw_enumerate_accelerators(const enyx_hw_filter* filter,
                                       const enyx_hw_accelerator_descriptor** descriptors, size_t capacity);
void enyx_hw_free_accelerator_descriptors(const enyx_hw_accelerator_descriptor** descriptors, size_t count);
enyx_hw_accelerator* enyx_hw_accelerator_get(const enyx_hw_accelerator_descriptor* descriptor);

/* MMIO regions of an accelerator. */
ssize_t enyx_hw_accelerator_enumerate_mmios(const enyx_hw_accelerator* accelerator,
                                            const enyx_hw_filter* filter,
                                            const enyx_hw_mmio_descriptor** descriptors, size_t capacity);
void enyx_hw_free_mmio_descriptors(const enyx_hw_mmio_descriptor** descriptors, size_t count);
enyx_hw_mmio* enyx_hw_mmio_create(const enyx_hw_mmio_descriptor* descriptor);
void enyx_hw_mmio_destroy(enyx_hw_mmio* mmio);

/* The core tree of an MMIO region; cores are found by 16-bit hardware id. */
enyx_hw_core_tree* enyx_hw_enumerate_cores(enyx_hw_mmio* mmio);
void enyx_hw_destroy_tree(enyx_hw_core_tree* tree);
enyx_hw_core* enyx_hw_core_tree_get_root(const enyx_hw_core_tree* tree);
int enyx_hw_core_reset(enyx_hw_core* core);
ssize_t enyx_hw_core_enumerate(const enyx_hw_core* root, uint16_t hardware_id, enyx_hw_core** cores,
                               size_t capacity);
int enyx_hw_core_lock(enyx_hw_core* core);
int enyx_hw_core_unlock(enyx_hw_core* core);

/* Register access; the description is copied by value inside the library. */
typedef struct enyx_hw_register_description {
    uint64_t address; /* byte address within the core */
    uint8_t offset;   /* bit offset within the word */
    uint8_t size;     /* width in bits */
    uint8_t reserved[6];
} enyx_hw_register_description;

int enyx_hw_read(const enyx_hw_core* core, const enyx_hw_register_description* reg, uint64_t* value);
int enyx_hw_write(const enyx_hw_core* core, const enyx_hw_register_description* reg, uint64_t value);

/* Card-to-host (a2c) and host-to-card (c2a) DMA streams, found by name. */
typedef void (*enyx_hw_a2c_handler)(const uint8_t* data, uint32_t size, void* opaque);

ssize_t enyx_hw_accelerator_enumerate_a2c_streams(const enyx_hw_accelerator* accelerator,
                                                  const enyx_hw_filter* filter,
                                                  const enyx_hw_a2c_stream_descriptor** descriptors,
                                                  size_t capacity);
enyx_hw_a2c_stream* enyx_hw_a2c_stream_create(const enyx_hw_a2c_stream_descriptor* descriptor,
                                              uint32_t flags);
void enyx_hw_free_a2c_stream_descriptors(const enyx_hw_a2c_stream_descriptor** descriptors, size_t count);
int enyx_hw_a2c_stream_get_mtu(const enyx_hw_a2c_stream* stream, uint32_t* mtu);
int enyx_hw_a2c_stream_poll_once(enyx_hw_a2c_stream* stream, enyx_hw_a2c_handler handler, void* opaque);
void enyx_hw_a2c_stream_destroy(enyx_hw_a2c_stream* stream);

ssize_t enyx_hw_accelerator_enumerate_c2a_streams(const enyx_hw_accelerator* accelerator,
                                                  const enyx_hw_filter* filter,
                                                  const enyx_hw_c2a_stream_descriptor** descriptors,
                                                  size_t capacity);
enyx_hw_c2a_stream* enyx_hw_c2a_stream_create(const enyx_hw_c2a_stream_descriptor* descriptor,
                                              uint32_t flags);
void enyx_hw_free_c2a_stream_descriptors(const enyx_hw_c2a_stream_descriptor** descriptors, size_t count);
int enyx_hw_c2a_stream_get_mtu(const enyx_hw_c2a_stream* stream, uint32_t* mtu);
int enyx_hw_c2a_stream_send(enyx_hw_c2a_stream* stream, const void* data, uint32_t size);
void enyx_hw_c2a_stream_destroy(enyx_hw_c2a_stream* stream);

#ifdef __cplusplus
}
#endif
