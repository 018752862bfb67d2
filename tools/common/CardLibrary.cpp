// The enyx_hw_* functions of a tool: each looks its namesake up in the card's
// library on first call and calls it. The product's objects inside the tool
// call these instead of the loader binding them at start.
#include "CardLibrary.h"

#include <dlfcn.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "EnyxHw.h"

namespace kest_tools {
namespace {

struct Card {
    std::once_flag once;
    std::string error;
    void* handle = nullptr;
    // Release: stored once by the thread that loads, in Load(); acquire: read
    // by any thread in Path() and Symbol().
    std::atomic<bool> ready{false};
};

Card& State() {
    static Card card;
    return card;
}

}  // namespace

bool CardLibrary::Load(std::string& error) {
    Card& c = State();
    std::call_once(c.once, [&c] {
        // Global: the model's own additions are then found by name from anywhere in the tool.
        c.handle = dlopen("libenyx-hw-c.so.5", RTLD_NOW | RTLD_GLOBAL);
        if (c.handle == nullptr) {
            const char* why = dlerror();
            c.error = NoCardLibraryMessage(why != nullptr ? why : "libenyx-hw-c.so.5 not found");
            return;
        }
        c.ready.store(true, std::memory_order_release);
    });
    error = c.error;
    return c.ready.load(std::memory_order_acquire);
}

std::string CardLibrary::Path() {
    Card& c = State();
    if (!c.ready.load(std::memory_order_acquire)) return "libenyx-hw-c.so.5";
    Dl_info info;
    std::memset(&info, 0, sizeof info);
    void* read = dlsym(c.handle, "enyx_hw_read");
    if (read != nullptr && dladdr(read, &info) != 0 && info.dli_fname != nullptr) return info.dli_fname;
    return "libenyx-hw-c.so.5";
}

void* CardLibrary::Symbol(const char* name) {
    std::string error;
    if (!Load(error)) {
        std::fprintf(stderr, "%s: %s\n", program_invocation_short_name, error.c_str());
        std::exit(kNoCardLibraryExit);
    }
    void* fn = dlsym(State().handle, name);
    if (fn == nullptr) {
        std::fprintf(stderr, "%s: the card's library %s has no function %s\n", program_invocation_short_name,
                     Path().c_str(), name);
        std::exit(kNoCardLibraryExit);
    }
    return fn;
}

}  // namespace kest_tools

// Each function keeps its declared signature (the card vendor's header, when
// built against it); the address is looked up once.
#define KEST_CARD_CALL(name, params, args)                                                                \
    extern "C" auto name params->decltype(name args) {                                                    \
        static const auto fn = reinterpret_cast<decltype(&name)>(kest_tools::CardLibrary::Symbol(#name)); \
        return fn args;                                                                                   \
    }

KEST_CARD_CALL(enyx_hw_filter_create, (void), ())
KEST_CARD_CALL(enyx_hw_filter_destroy, (enyx_hw_filter * f), (f))
KEST_CARD_CALL(enyx_hw_filter_set_index, (enyx_hw_filter * f, uint32_t i), (f, i))
KEST_CARD_CALL(enyx_hw_filter_set_name, (enyx_hw_filter * f, const char* n), (f, n))
KEST_CARD_CALL(enyx_hw_enumerate_accelerators,
               (const enyx_hw_filter* f, const enyx_hw_accelerator_descriptor** d, size_t c), (f, d, c))
KEST_CARD_CALL(enyx_hw_free_accelerator_descriptors, (const enyx_hw_accelerator_descriptor** d, size_t c),
               (d, c))
KEST_CARD_CALL(enyx_hw_accelerator_get, (const enyx_hw_accelerator_descriptor* d), (d))
KEST_CARD_CALL(enyx_hw_accelerator_enumerate_mmios,
               (const enyx_hw_accelerator* a, const enyx_hw_filter* f, const enyx_hw_mmio_descriptor** d,
                size_t c),
               (a, f, d, c))
KEST_CARD_CALL(enyx_hw_free_mmio_descriptors, (const enyx_hw_mmio_descriptor** d, size_t c), (d, c))
KEST_CARD_CALL(enyx_hw_mmio_create, (const enyx_hw_mmio_descriptor* d), (d))
KEST_CARD_CALL(enyx_hw_mmio_destroy, (enyx_hw_mmio * m), (m))
KEST_CARD_CALL(enyx_hw_enumerate_cores, (enyx_hw_mmio * m), (m))
KEST_CARD_CALL(enyx_hw_destroy_tree, (enyx_hw_core_tree * t), (t))
KEST_CARD_CALL(enyx_hw_core_tree_get_root, (const enyx_hw_core_tree* t), (t))
KEST_CARD_CALL(enyx_hw_core_reset, (enyx_hw_core * c), (c))
KEST_CARD_CALL(enyx_hw_core_enumerate, (const enyx_hw_core* r, uint16_t id, enyx_hw_core** c, size_t n),
               (r, id, c, n))
KEST_CARD_CALL(enyx_hw_core_lock, (enyx_hw_core * c), (c))
KEST_CARD_CALL(enyx_hw_core_unlock, (enyx_hw_core * c), (c))
KEST_CARD_CALL(enyx_hw_read, (const enyx_hw_core* c, const enyx_hw_register_description* r, uint64_t* v),
               (c, r, v))
KEST_CARD_CALL(enyx_hw_write, (const enyx_hw_core* c, const enyx_hw_register_description* r, uint64_t v),
               (c, r, v))
KEST_CARD_CALL(enyx_hw_accelerator_enumerate_a2c_streams,
               (const enyx_hw_accelerator* a, const enyx_hw_filter* f,
                const enyx_hw_a2c_stream_descriptor** d, size_t c),
               (a, f, d, c))
KEST_CARD_CALL(enyx_hw_a2c_stream_create, (const enyx_hw_a2c_stream_descriptor* d, uint32_t f), (d, f))
KEST_CARD_CALL(enyx_hw_free_a2c_stream_descriptors, (const enyx_hw_a2c_stream_descriptor** d, size_t c),
               (d, c))
KEST_CARD_CALL(enyx_hw_a2c_stream_get_mtu, (const enyx_hw_a2c_stream* s, uint32_t* m), (s, m))
KEST_CARD_CALL(enyx_hw_a2c_stream_poll_once, (enyx_hw_a2c_stream * s, enyx_hw_a2c_handler h, void* o),
               (s, h, o))
KEST_CARD_CALL(enyx_hw_a2c_stream_destroy, (enyx_hw_a2c_stream * s), (s))
KEST_CARD_CALL(enyx_hw_accelerator_enumerate_c2a_streams,
               (const enyx_hw_accelerator* a, const enyx_hw_filter* f,
                const enyx_hw_c2a_stream_descriptor** d, size_t c),
               (a, f, d, c))
KEST_CARD_CALL(enyx_hw_c2a_stream_create, (const enyx_hw_c2a_stream_descriptor* d, uint32_t f), (d, f))
KEST_CARD_CALL(enyx_hw_free_c2a_stream_descriptors, (const enyx_hw_c2a_stream_descriptor** d, size_t c),
               (d, c))
KEST_CARD_CALL(enyx_hw_c2a_stream_get_mtu, (const enyx_hw_c2a_stream* s, uint32_t* m), (s, m))
KEST_CARD_CALL(enyx_hw_c2a_stream_send, (enyx_hw_c2a_stream * s, const void* d, uint32_t n), (s, d, n))
KEST_CARD_CALL(enyx_hw_c2a_stream_destroy, (enyx_hw_c2a_stream * s), (s))
