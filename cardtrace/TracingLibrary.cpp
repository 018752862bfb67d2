// The tracing card library: libenyx-hw-c.so.5 with the card library's C
// interface, which forwards every call to the real library (KEST_TRACE_TARGET,
// or the file kest-trace-target beside this one) and appends each call to a
// trace (KEST_TRACE_FILE). The product cannot tell it from the real one.
//
// An empty poll is the traced path: one call through, and a count. A poll
// that delivers a message records it before the product's handler runs, so
// that the calls the handler makes (a re-bring-up polls the same stream
// again) follow it in the trace; the poll's context is on the stack, so a
// poll from inside its own handler is traced like any other.
#include <dlfcn.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "EnyxHw.h"
#include "cardtrace/QuoteSummary.h"
#include "cardtrace/Trace.h"

#define KEST_EXPORT extern "C" __attribute__((visibility("default")))

// Every function of the card library, for loading the real one.
// clang-format off
#define KEST_TRACE_FUNCTIONS(X)                                                                             \
    X(enyx_hw_filter_create) X(enyx_hw_filter_destroy) X(enyx_hw_filter_set_index)                          \
    X(enyx_hw_filter_set_name) X(enyx_hw_enumerate_accelerators) X(enyx_hw_free_accelerator_descriptors)    \
    X(enyx_hw_accelerator_get) X(enyx_hw_accelerator_enumerate_mmios) X(enyx_hw_free_mmio_descriptors)      \
    X(enyx_hw_mmio_create) X(enyx_hw_mmio_destroy) X(enyx_hw_enumerate_cores) X(enyx_hw_destroy_tree)       \
    X(enyx_hw_core_tree_get_root) X(enyx_hw_core_reset) X(enyx_hw_core_enumerate) X(enyx_hw_core_lock)      \
    X(enyx_hw_core_unlock) X(enyx_hw_read) X(enyx_hw_write) X(enyx_hw_accelerator_enumerate_a2c_streams)    \
    X(enyx_hw_a2c_stream_create) X(enyx_hw_free_a2c_stream_descriptors) X(enyx_hw_a2c_stream_get_mtu)       \
    X(enyx_hw_a2c_stream_poll_once) X(enyx_hw_a2c_stream_destroy)                                           \
    X(enyx_hw_accelerator_enumerate_c2a_streams) X(enyx_hw_c2a_stream_create)                               \
    X(enyx_hw_free_c2a_stream_descriptors) X(enyx_hw_c2a_stream_get_mtu) X(enyx_hw_c2a_stream_send)         \
    X(enyx_hw_c2a_stream_destroy)
// clang-format on

namespace kest_trace {
namespace {

constexpr const char* kWho = "libenyx-hw-c.so.5 (kest trace)";
constexpr const char* kTargetFile = "kest-trace-target";

struct Real {
#define KEST_TRACE_POINTER(f) decltype(&::f) f = nullptr;
    KEST_TRACE_FUNCTIONS(KEST_TRACE_POINTER)
#undef KEST_TRACE_POINTER
};

struct State {
    Real real;
    std::unique_ptr<Writer> writer;
    std::vector<const void*> handles;  // handle n is handles[n - 1]
    const void* last_ptr = nullptr;
    uint64_t last_id = 0;
    uint64_t empty_polls = 0;  // since the last recorded poll
    uint64_t empty_total = 0;
    std::unique_ptr<QuoteSummary> summary;  // KEST_TRACE_QUOTES=summary
};

[[noreturn]] void Fatal(const std::string& why) { SetupFailed(kWho, why); }

std::string OwnPath() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&Fatal), &info) == 0 || info.dli_fname == nullptr) return "";
    return info.dli_fname;
}

std::string Dir(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

std::string Trim(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ')) s.pop_back();
    return s;
}

// The real library's path: the variable, else the file beside this library.
std::string TargetPath() {
    if (const char* t = std::getenv("KEST_TRACE_TARGET"); t != nullptr && *t != '\0') return t;
    const std::string own = OwnPath();
    const std::string file = Dir(own) + "/" + kTargetFile;
    FILE* f = std::fopen(file.c_str(), "r");
    if (f == nullptr)
        Fatal("KEST_TRACE_TARGET is not set and there is no " + file +
              ": set it to the absolute path of the card's own libenyx-hw-c.so.5");
    char line[PATH_MAX + 2] = {};
    const bool got = std::fgets(line, sizeof line, f) != nullptr;
    std::fclose(f);
    if (!got || Trim(line).empty())
        Fatal(file + " is empty: write the absolute path of the card's own libenyx-hw-c.so.5");
    return Trim(line);
}

void LoadTarget(State& s, const std::string& target) {
    if (target[0] != '/') Fatal("the target " + target + " is not an absolute path");
    struct stat t {
    }, own{};
    if (stat(target.c_str(), &t) != 0) Fatal("the target " + target + ": " + std::strerror(errno));
    if (stat(OwnPath().c_str(), &own) == 0 && own.st_dev == t.st_dev && own.st_ino == t.st_ino)
        Fatal("the target " + target + " is this tracing library itself, not the card's library");
    // Local: the real library's own symbols stay its own, ours stay the product's.
    void* h = dlopen(target.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (h == nullptr) Fatal(std::string("the target does not load: ") + dlerror());
    link_map* map = nullptr;
    if (dlinfo(h, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr)
        Fatal("the target " + target + " has no link map");
    // A function found in a library the target depends on (the product's, or
    // this one) is not the card's: the target must define each one itself.
    auto defined = [&](const char* name) {
        void* f = dlsym(h, name);
        Dl_info where{};
        if (f == nullptr || dladdr(f, &where) == 0 || where.dli_fname == nullptr ||
            std::strcmp(where.dli_fname, map->l_name) != 0)
            Fatal("the target " + target + " has no function " + name + ": it is not the card's library");
        return f;
    };
#define KEST_TRACE_LOAD(f) s.real.f = reinterpret_cast<decltype(&::f)>(defined(#f));
    KEST_TRACE_FUNCTIONS(KEST_TRACE_LOAD)
#undef KEST_TRACE_LOAD
}

std::string DefaultTraceFile() {
    const time_t now = time(nullptr);
    struct tm tm {};
    localtime_r(&now, &tm);
    char name[96];
    std::snprintf(name, sizeof name, "kest_trace_%04d%02d%02d_%02d%02d%02d_%d.ktr", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(getpid()));
    return name;
}

State* Setup() {
    State* s = new State;
    const std::string target = TargetPath();
    LoadTarget(*s, target);
    WriterOptions opt;
    const char* q = std::getenv("KEST_TRACE_QUOTES");
    const std::string quotes = q != nullptr && *q != '\0' ? q : "summary";
    if (quotes == "summary")
        opt.quote_mode = QuoteMode::kSummary;
    else if (quotes == "all")
        opt.quote_mode = QuoteMode::kAll;
    else
        Fatal("KEST_TRACE_QUOTES is " + quotes + ", not summary or all");
    uint64_t max_mb = 1024;
    if (const char* m = std::getenv("KEST_TRACE_MAX_MB"); m != nullptr && *m != '\0') {
        char* end = nullptr;
        errno = 0;
        const unsigned long long v = std::strtoull(m, &end, 10);
        if (errno != 0 || *end != '\0' || v < 1 || v > (1ull << 20) || *m == '-')
            Fatal(std::string("KEST_TRACE_MAX_MB is ") + m + ", not a size in MiB from 1 to 1048576");
        max_mb = v;
    }
    opt.max_bytes = max_mb << 20;
    const char* f = std::getenv("KEST_TRACE_FILE");
    const std::string file = f != nullptr && *f != '\0' ? f : DefaultTraceFile();
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    opt.meta = "target=" + target + "\nquotes=" + quotes + "\nmax_mb=" + std::to_string(max_mb) +
               "\nhost=" + host + "\n";
    std::string error;
    s->writer = Writer::Open(file, opt, &error);
    if (!s->writer) Fatal("cannot write the trace: " + error);
    if (opt.quote_mode == QuoteMode::kSummary) s->summary.reset(new QuoteSummary(*s->writer));
    return s;
}

// Loaded with the library: a process whose trace is not set up does not start.
State* const g = Setup();

uint64_t NewId(const void* p) {
    if (p == nullptr) return 0;
    g->handles.push_back(p);
    g->last_ptr = p;
    g->last_id = g->handles.size();
    return g->last_id;
}

// The newest handle of this address (an address may be reused after a destroy).
uint64_t Id(const void* p) {
    if (p == nullptr) return 0;
    if (p == g->last_ptr) return g->last_id;
    for (size_t i = g->handles.size(); i-- > 0;)
        if (g->handles[i] == p) {
            g->last_ptr = p;
            g->last_id = i + 1;
            return i + 1;
        }
    return NewId(p);
}

void Record(Fn fn, int64_t rc, const uint64_t* args, const void* data = nullptr, uint32_t size = 0) {
    const int saved = errno;
    const int err = Failed(fn, rc) ? saved : 0;
    const int64_t now = MonotonicNs();
    if (g->summary && g->summary->Pending()) g->summary->Flush(now);
    g->writer->Add(fn, rc, err, now, args, data, size);
    g->writer->FlushIfOlder(now, kBlockAgeNs);
    errno = saved;
}

struct PollContext {
    enyx_hw_a2c_handler handler;
    void* opaque;
    enyx_hw_a2c_stream* stream;
    bool delivered;
};

void OnMessage(const uint8_t* data, uint32_t size, void* opaque) {
    PollContext& ctx = *static_cast<PollContext*>(opaque);
    ctx.delivered = true;
    uint32_t kind = 0xFFFFFFFFu;
    if (size >= 4) std::memcpy(&kind, data, sizeof kind);
    if (kind == kDmaQuote && g->summary &&
        g->summary->Add(ctx.stream, Id(ctx.stream), data, size, MonotonicNs())) {
        g->empty_total += g->empty_polls;
        g->empty_polls = 0;
    } else {
        const uint64_t args[kMaxArgs] = {Id(ctx.stream), g->empty_polls};
        g->empty_total += g->empty_polls;
        g->empty_polls = 0;
        Record(Fn::kA2cPoll, 1, args, data, size);
    }
    if (ctx.handler != nullptr) ctx.handler(data, size, ctx.opaque);
}

void RecordIds(Fn fn, ssize_t rc, const uint64_t* args, const void* const* items, size_t capacity) {
    uint32_t ids[64];
    size_t n = rc > 0 && items != nullptr ? static_cast<size_t>(rc) : 0;
    if (n > capacity) n = capacity;
    if (n > 64) n = 64;
    for (size_t i = 0; i < n; ++i) ids[i] = static_cast<uint32_t>(NewId(items[i]));
    Record(fn, rc, args, ids, static_cast<uint32_t>(n * sizeof(uint32_t)));
}

inline uint64_t U(const void* p) { return Id(p); }

// At exit (or unload): the quotes of the last minute, the end entry, the last block.
__attribute__((destructor)) void CloseTrace() {
    if (g == nullptr || !g->writer) return;
    const int64_t now = MonotonicNs();
    if (g->summary && g->summary->Pending()) g->summary->Flush(now);
    const uint64_t end[kMaxArgs] = {g->empty_total + g->empty_polls,
                                    g->summary ? g->summary->Summarised() : 0, 0, 0};
    g->writer->Close(now, end);
}

}  // namespace
}  // namespace kest_trace

using namespace kest_trace;
using kest_trace::g;

KEST_EXPORT enyx_hw_filter* enyx_hw_filter_create(void) {
    enyx_hw_filter* f = g->real.enyx_hw_filter_create();
    const uint64_t none[kMaxArgs] = {};
    Record(Fn::kFilterCreate, static_cast<int64_t>(NewId(f)), none);
    return f;
}

KEST_EXPORT void enyx_hw_filter_destroy(enyx_hw_filter* filter) {
    const uint64_t args[kMaxArgs] = {U(filter)};
    g->real.enyx_hw_filter_destroy(filter);
    Record(Fn::kFilterDestroy, 0, args);
}

KEST_EXPORT int enyx_hw_filter_set_index(enyx_hw_filter* filter, uint32_t index) {
    const int rc = g->real.enyx_hw_filter_set_index(filter, index);
    const uint64_t args[kMaxArgs] = {U(filter), index};
    Record(Fn::kFilterSetIndex, rc, args);
    return rc;
}

KEST_EXPORT int enyx_hw_filter_set_name(enyx_hw_filter* filter, const char* name) {
    const int rc = g->real.enyx_hw_filter_set_name(filter, name);
    const uint64_t args[kMaxArgs] = {U(filter)};
    Record(Fn::kFilterSetName, rc, args, name,
           name != nullptr ? static_cast<uint32_t>(std::strlen(name)) : 0);
    return rc;
}

KEST_EXPORT ssize_t enyx_hw_enumerate_accelerators(const enyx_hw_filter* filter,
                                                   const enyx_hw_accelerator_descriptor** descriptors,
                                                   size_t capacity) {
    const ssize_t rc = g->real.enyx_hw_enumerate_accelerators(filter, descriptors, capacity);
    const uint64_t args[kMaxArgs] = {U(filter), capacity};
    RecordIds(Fn::kEnumerateAccelerators, rc, args, reinterpret_cast<const void* const*>(descriptors),
              capacity);
    return rc;
}

KEST_EXPORT void enyx_hw_free_accelerator_descriptors(const enyx_hw_accelerator_descriptor** descriptors,
                                                      size_t count) {
    const uint64_t args[kMaxArgs] = {descriptors != nullptr && count > 0 ? U(descriptors[0]) : 0, count};
    g->real.enyx_hw_free_accelerator_descriptors(descriptors, count);
    Record(Fn::kFreeAcceleratorDescriptors, 0, args);
}

KEST_EXPORT enyx_hw_accelerator* enyx_hw_accelerator_get(const enyx_hw_accelerator_descriptor* descriptor) {
    enyx_hw_accelerator* a = g->real.enyx_hw_accelerator_get(descriptor);
    const uint64_t args[kMaxArgs] = {U(descriptor)};
    Record(Fn::kAcceleratorGet, static_cast<int64_t>(NewId(a)), args);
    return a;
}

KEST_EXPORT ssize_t enyx_hw_accelerator_enumerate_mmios(const enyx_hw_accelerator* accelerator,
                                                        const enyx_hw_filter* filter,
                                                        const enyx_hw_mmio_descriptor** descriptors,
                                                        size_t capacity) {
    const ssize_t rc =
        g->real.enyx_hw_accelerator_enumerate_mmios(accelerator, filter, descriptors, capacity);
    const uint64_t args[kMaxArgs] = {U(accelerator), U(filter), capacity};
    RecordIds(Fn::kEnumerateMmios, rc, args, reinterpret_cast<const void* const*>(descriptors), capacity);
    return rc;
}

KEST_EXPORT void enyx_hw_free_mmio_descriptors(const enyx_hw_mmio_descriptor** descriptors, size_t count) {
    const uint64_t args[kMaxArgs] = {descriptors != nullptr && count > 0 ? U(descriptors[0]) : 0, count};
    g->real.enyx_hw_free_mmio_descriptors(descriptors, count);
    Record(Fn::kFreeMmioDescriptors, 0, args);
}

KEST_EXPORT enyx_hw_mmio* enyx_hw_mmio_create(const enyx_hw_mmio_descriptor* descriptor) {
    enyx_hw_mmio* m = g->real.enyx_hw_mmio_create(descriptor);
    const uint64_t args[kMaxArgs] = {U(descriptor)};
    Record(Fn::kMmioCreate, static_cast<int64_t>(NewId(m)), args);
    return m;
}

KEST_EXPORT void enyx_hw_mmio_destroy(enyx_hw_mmio* mmio) {
    const uint64_t args[kMaxArgs] = {U(mmio)};
    g->real.enyx_hw_mmio_destroy(mmio);
    Record(Fn::kMmioDestroy, 0, args);
}

KEST_EXPORT enyx_hw_core_tree* enyx_hw_enumerate_cores(enyx_hw_mmio* mmio) {
    enyx_hw_core_tree* t = g->real.enyx_hw_enumerate_cores(mmio);
    const uint64_t args[kMaxArgs] = {U(mmio)};
    Record(Fn::kEnumerateCores, static_cast<int64_t>(NewId(t)), args);
    return t;
}

KEST_EXPORT void enyx_hw_destroy_tree(enyx_hw_core_tree* tree) {
    const uint64_t args[kMaxArgs] = {U(tree)};
    g->real.enyx_hw_destroy_tree(tree);
    Record(Fn::kDestroyTree, 0, args);
}

KEST_EXPORT enyx_hw_core* enyx_hw_core_tree_get_root(const enyx_hw_core_tree* tree) {
    enyx_hw_core* c = g->real.enyx_hw_core_tree_get_root(tree);
    const uint64_t args[kMaxArgs] = {U(tree)};
    Record(Fn::kCoreTreeGetRoot, static_cast<int64_t>(NewId(c)), args);
    return c;
}

KEST_EXPORT int enyx_hw_core_reset(enyx_hw_core* core) {
    const int rc = g->real.enyx_hw_core_reset(core);
    const uint64_t args[kMaxArgs] = {U(core)};
    Record(Fn::kCoreReset, rc, args);
    return rc;
}

KEST_EXPORT ssize_t enyx_hw_core_enumerate(const enyx_hw_core* root, uint16_t hardware_id,
                                           enyx_hw_core** cores, size_t capacity) {
    const ssize_t rc = g->real.enyx_hw_core_enumerate(root, hardware_id, cores, capacity);
    const uint64_t args[kMaxArgs] = {U(root), hardware_id, capacity};
    RecordIds(Fn::kCoreEnumerate, rc, args, reinterpret_cast<const void* const*>(cores), capacity);
    return rc;
}

KEST_EXPORT int enyx_hw_core_lock(enyx_hw_core* core) {
    const int rc = g->real.enyx_hw_core_lock(core);
    const uint64_t args[kMaxArgs] = {U(core)};
    Record(Fn::kCoreLock, rc, args);
    return rc;
}

KEST_EXPORT int enyx_hw_core_unlock(enyx_hw_core* core) {
    const int rc = g->real.enyx_hw_core_unlock(core);
    const uint64_t args[kMaxArgs] = {U(core)};
    Record(Fn::kCoreUnlock, rc, args);
    return rc;
}

KEST_EXPORT int enyx_hw_read(const enyx_hw_core* core, const enyx_hw_register_description* reg,
                             uint64_t* value) {
    const int rc = g->real.enyx_hw_read(core, reg, value);
    const uint64_t args[kMaxArgs] = {U(core), reg != nullptr ? reg->address : 0,
                                     reg != nullptr ? Bits(reg->offset, reg->size) : 0,
                                     rc == 0 && value != nullptr ? *value : 0};
    Record(Fn::kRead, rc, args);
    return rc;
}

KEST_EXPORT int enyx_hw_write(const enyx_hw_core* core, const enyx_hw_register_description* reg,
                              uint64_t value) {
    const int rc = g->real.enyx_hw_write(core, reg, value);
    const uint64_t args[kMaxArgs] = {U(core), reg != nullptr ? reg->address : 0,
                                     reg != nullptr ? Bits(reg->offset, reg->size) : 0, value};
    Record(Fn::kWrite, rc, args);
    return rc;
}

KEST_EXPORT ssize_t enyx_hw_accelerator_enumerate_a2c_streams(
    const enyx_hw_accelerator* accelerator, const enyx_hw_filter* filter,
    const enyx_hw_a2c_stream_descriptor** descriptors, size_t capacity) {
    const ssize_t rc =
        g->real.enyx_hw_accelerator_enumerate_a2c_streams(accelerator, filter, descriptors, capacity);
    const uint64_t args[kMaxArgs] = {U(accelerator), U(filter), capacity};
    RecordIds(Fn::kEnumerateA2c, rc, args, reinterpret_cast<const void* const*>(descriptors), capacity);
    return rc;
}

KEST_EXPORT enyx_hw_a2c_stream* enyx_hw_a2c_stream_create(const enyx_hw_a2c_stream_descriptor* descriptor,
                                                          uint32_t flags) {
    enyx_hw_a2c_stream* s = g->real.enyx_hw_a2c_stream_create(descriptor, flags);
    const uint64_t args[kMaxArgs] = {U(descriptor), flags};
    Record(Fn::kA2cCreate, static_cast<int64_t>(NewId(s)), args);
    return s;
}

KEST_EXPORT void enyx_hw_free_a2c_stream_descriptors(const enyx_hw_a2c_stream_descriptor** descriptors,
                                                     size_t count) {
    const uint64_t args[kMaxArgs] = {descriptors != nullptr && count > 0 ? U(descriptors[0]) : 0, count};
    g->real.enyx_hw_free_a2c_stream_descriptors(descriptors, count);
    Record(Fn::kFreeA2cDescriptors, 0, args);
}

KEST_EXPORT int enyx_hw_a2c_stream_get_mtu(const enyx_hw_a2c_stream* stream, uint32_t* mtu) {
    const int rc = g->real.enyx_hw_a2c_stream_get_mtu(stream, mtu);
    const uint64_t args[kMaxArgs] = {U(stream), rc == 0 && mtu != nullptr ? *mtu : 0};
    Record(Fn::kA2cGetMtu, rc, args);
    return rc;
}

KEST_EXPORT int enyx_hw_a2c_stream_poll_once(enyx_hw_a2c_stream* stream, enyx_hw_a2c_handler handler,
                                             void* opaque) {
    PollContext ctx{handler, opaque, stream, false};
    const int rc = g->real.enyx_hw_a2c_stream_poll_once(stream, &OnMessage, &ctx);
    if (__builtin_expect(!ctx.delivered && rc == 0, 1)) {
        ++g->empty_polls;
        return 0;
    }
    if (!ctx.delivered || rc != 1) {
        const uint64_t args[kMaxArgs] = {U(stream), g->empty_polls, ctx.delivered ? 1u : 0u};
        g->empty_total += g->empty_polls;
        g->empty_polls = 0;
        Record(Fn::kPollResult, rc, args);
    }
    return rc;
}

KEST_EXPORT void enyx_hw_a2c_stream_destroy(enyx_hw_a2c_stream* stream) {
    const uint64_t args[kMaxArgs] = {U(stream)};
    g->real.enyx_hw_a2c_stream_destroy(stream);
    Record(Fn::kA2cDestroy, 0, args);
}

KEST_EXPORT ssize_t enyx_hw_accelerator_enumerate_c2a_streams(
    const enyx_hw_accelerator* accelerator, const enyx_hw_filter* filter,
    const enyx_hw_c2a_stream_descriptor** descriptors, size_t capacity) {
    const ssize_t rc =
        g->real.enyx_hw_accelerator_enumerate_c2a_streams(accelerator, filter, descriptors, capacity);
    const uint64_t args[kMaxArgs] = {U(accelerator), U(filter), capacity};
    RecordIds(Fn::kEnumerateC2a, rc, args, reinterpret_cast<const void* const*>(descriptors), capacity);
    return rc;
}

KEST_EXPORT enyx_hw_c2a_stream* enyx_hw_c2a_stream_create(const enyx_hw_c2a_stream_descriptor* descriptor,
                                                          uint32_t flags) {
    enyx_hw_c2a_stream* s = g->real.enyx_hw_c2a_stream_create(descriptor, flags);
    const uint64_t args[kMaxArgs] = {U(descriptor), flags};
    Record(Fn::kC2aCreate, static_cast<int64_t>(NewId(s)), args);
    return s;
}

KEST_EXPORT void enyx_hw_free_c2a_stream_descriptors(const enyx_hw_c2a_stream_descriptor** descriptors,
                                                     size_t count) {
    const uint64_t args[kMaxArgs] = {descriptors != nullptr && count > 0 ? U(descriptors[0]) : 0, count};
    g->real.enyx_hw_free_c2a_stream_descriptors(descriptors, count);
    Record(Fn::kFreeC2aDescriptors, 0, args);
}

KEST_EXPORT int enyx_hw_c2a_stream_get_mtu(const enyx_hw_c2a_stream* stream, uint32_t* mtu) {
    const int rc = g->real.enyx_hw_c2a_stream_get_mtu(stream, mtu);
    const uint64_t args[kMaxArgs] = {U(stream), rc == 0 && mtu != nullptr ? *mtu : 0};
    Record(Fn::kC2aGetMtu, rc, args);
    return rc;
}

KEST_EXPORT int enyx_hw_c2a_stream_send(enyx_hw_c2a_stream* stream, const void* data, uint32_t size) {
    const int rc = g->real.enyx_hw_c2a_stream_send(stream, data, size);
    const uint64_t args[kMaxArgs] = {U(stream), size};
    Record(Fn::kC2aSend, rc, args, data, data != nullptr ? size : 0);
    return rc;
}

KEST_EXPORT void enyx_hw_c2a_stream_destroy(enyx_hw_c2a_stream* stream) {
    const uint64_t args[kMaxArgs] = {U(stream)};
    g->real.enyx_hw_c2a_stream_destroy(stream);
    Record(Fn::kC2aDestroy, 0, args);
}
