// The replay card library: libenyx-hw-c.so.5 with the card library's C
// interface, answering from a trace (KEST_REPLAY_TRACE) instead of a card.
// Each call is checked against the trace's next call: the function and the
// arguments the caller gives; the answers (results, errno, register values,
// MTUs, handles, DMA messages) are the trace's. The first call that departs
// is reported in one line on stderr and in the summary (KEST_REPLAY_SUMMARY);
// the replay then stops the process (SIGTERM) and answers every later call
// with nothing. When the trace's polls are all delivered the process is
// stopped the same way (KEST_REPLAY_END=stop, the default) or left polling
// an empty stream (idle).
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "EnyxHw.h"
#include "cardtrace/Trace.h"

#define KEST_EXPORT extern "C" __attribute__((visibility("default")))

namespace kest_trace {
namespace {

constexpr const char* kWho = "kest replay";
constexpr uint64_t kMaxHandles = 1u << 16;
constexpr uint64_t kUnknown = ~uint64_t{0};
// How long the process may poll while the trace's next call is another one
// (KEST_REPLAY_WAIT_S): the traced process polled there too, only not so long.
constexpr int64_t kDefaultPollWaitS = 10;

alignas(16) char g_handles[kMaxHandles];

struct State {
    std::string path;
    std::string summary_path;
    bool stop_at_end = true;
    std::unique_ptr<Reader> reader;
    Call next;
    bool have_next = false;
    bool at_end = false;
    uint64_t entries = 0;          // in the trace
    uint64_t deliveries_left = 0;  // polls of the trace not yet delivered
    uint64_t matched = 0;
    uint64_t writes = 0, reads = 0, delivered = 0;
    uint64_t writes_hash = kWritesHashSeed;
    std::vector<std::string> messages;  // one per poll depth
    int depth = 0;
    int64_t wait_since = 0;
    uint64_t empty_polls = 0;
    bool departed = false;
    bool stopped = false;
    std::string departure_json = "null";
    std::string problem;
    int64_t poll_wait_ns = kDefaultPollWaitS * 1'000'000'000;
};

[[noreturn]] void Fatal(const std::string& why) { SetupFailed(kWho, why); }

std::string Json(const std::string& s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

State* Setup() {
    State* s = new State;
    const char* t = std::getenv("KEST_REPLAY_TRACE");
    if (t == nullptr || *t == '\0') Fatal("KEST_REPLAY_TRACE is not set: set it to the trace to replay");
    s->path = t;
    const char* e = std::getenv("KEST_REPLAY_END");
    const std::string end = e != nullptr && *e != '\0' ? e : "stop";
    if (end != "stop" && end != "idle") Fatal("KEST_REPLAY_END is " + end + ", not stop or idle");
    s->stop_at_end = end == "stop";
    if (const char* w = std::getenv("KEST_REPLAY_WAIT_S"); w != nullptr && *w != '\0') {
        char* stop = nullptr;
        const long v = std::strtol(w, &stop, 10);
        if (*stop != '\0' || v < 1 || v > 86400)
            Fatal(std::string("KEST_REPLAY_WAIT_S is ") + w + ", not 1 to 86400");
        s->poll_wait_ns = v * 1'000'000'000;
    }
    const char* j = std::getenv("KEST_REPLAY_SUMMARY");
    s->summary_path = j != nullptr && *j != '\0' ? j : s->path + ".replay.json";
    std::string error;
    // A first pass counts the deliveries, so that the end of the trace's polling is known.
    {
        std::unique_ptr<Reader> count = Reader::Open(s->path, &error);
        if (!count) Fatal("cannot replay " + error);
        Call c;
        while (count->Next(c)) {
            ++s->entries;
            if (c.fn == Fn::kA2cPoll) ++s->deliveries_left;
        }
        s->problem = count->Problem();
        if (!s->problem.empty())
            std::fprintf(stderr, "%s: %s: %s; replaying the %" PRIu64 " entries before it\n", kWho, t,
                         s->problem.c_str(), s->entries);
    }
    s->reader = Reader::Open(s->path, &error);
    if (!s->reader) Fatal("cannot replay " + error);
    return s;
}

State* const g = Setup();

void WriteSummary() {
    FILE* f = std::fopen(g->summary_path.c_str(), "w");
    if (f == nullptr) {
        std::fprintf(stderr, "%s: cannot write %s: %s\n", kWho, g->summary_path.c_str(),
                     std::strerror(errno));
        return;
    }
    char hash[24];
    std::snprintf(hash, sizeof hash, "%016" PRIx64, g->writes_hash);
    std::fprintf(f,
                 "{\"trace\": %s, \"entries\": %" PRIu64 ", \"calls_matched\": %" PRIu64
                 ", \"register_reads\": %" PRIu64 ", \"register_writes\": %" PRIu64
                 ", \"register_writes_fnv1a\": \"%s\", \"messages_delivered\": %" PRIu64
                 ", \"trace_end_reached\": %s, \"trace_problem\": %s, \"departed\": %s, \"departure\": %s}\n",
                 Json(g->path).c_str(), g->entries, g->matched, g->reads, g->writes, hash, g->delivered,
                 g->at_end ? "true" : "false", Json(g->problem).c_str(), g->departed ? "true" : "false",
                 g->departure_json.c_str());
    std::fclose(f);
}

const Call* Peek();

// At exit: whether the process made every call of the trace, and the summary.
__attribute__((destructor)) void Finish() {
    if (g == nullptr) return;
    if (!g->departed) (void)Peek();
    WriteSummary();
}

void Stop() {
    if (g->stopped) return;
    g->stopped = true;
    WriteSummary();
    raise(SIGTERM);
}

// The next call of the trace, past the entries about the trace itself.
const Call* Peek() {
    while (!g->have_next && !g->at_end) {
        if (!g->reader->Next(g->next) || g->next.fn == Fn::kEnd || g->next.fn == Fn::kLimit) {
            g->at_end = true;
            break;
        }
        if (g->next.fn == Fn::kMeta || g->next.fn == Fn::kQuoteSummary) continue;
        g->have_next = true;
    }
    return g->have_next ? &g->next : nullptr;
}

void Consume() {
    g->have_next = false;
    ++g->matched;
    g->wait_since = 0;
}

void Depart(const Call* want, const Call& got, const char* why = nullptr) {
    if (g->departed) return;
    g->departed = true;
    Call shown = got;
    shown.number = want != nullptr ? want->number : g->entries + 1;
    const std::string expected = want != nullptr
                                     ? std::string(Info(want->fn).name) + "(" + DescribeArgs(*want) + ")"
                                     : "the end of the trace";
    const std::string actual = std::string(Info(got.fn).name) + "(" + DescribeArgs(got) + ")";
    std::fprintf(stderr, "%s: departure at call %" PRIu64 ", %s: expected %s actual %s%s%s\n", kWho,
                 shown.number, want != nullptr ? Info(want->fn).name : Info(got.fn).name, expected.c_str(),
                 actual.c_str(), why != nullptr ? ": " : "", why != nullptr ? why : "");
    std::fflush(stderr);
    g->departure_json = "{\"call\": " + std::to_string(shown.number) +
                        ", \"function\": " + Json(want != nullptr ? Info(want->fn).name : "") +
                        ", \"expected\": " + Json(expected) +
                        ", \"actual_function\": " + Json(Info(got.fn).name) +
                        ", \"actual\": " + Json(actual) + "}";
    Stop();
}

// The trace's call if it is this one (function and the caller's arguments),
// consumed; nullptr (after a departure) otherwise.
const Call* Expect(const Call& got) {
    if (g->departed) return nullptr;
    const Call* want = Peek();
    if (want == nullptr) {
        Depart(nullptr, got);
        return nullptr;
    }
    bool same = want->fn == got.fn;
    for (int i = 0; same && i < InputArgs(got.fn); ++i) same = want->arg[i] == got.arg[i];
    if (same && InputData(got.fn)) same = want->data == got.data;
    if (!same) {
        Depart(want, got);
        return nullptr;
    }
    Consume();
    return want;
}

uint64_t Id(const void* p) {
    if (p == nullptr) return 0;
    const char* c = static_cast<const char*>(p);
    if (c >= g_handles && c < g_handles + kMaxHandles) return static_cast<uint64_t>(c - g_handles);
    return kUnknown;
}

void* Handle(int64_t id) {
    if (id <= 0) return nullptr;
    if (static_cast<uint64_t>(id) >= kMaxHandles) return nullptr;
    return g_handles + id;
}

Call Actual(Fn fn, std::initializer_list<uint64_t> args, const void* data = nullptr, size_t size = 0) {
    Call c;
    c.fn = fn;
    int i = 0;
    for (uint64_t a : args) c.arg[i++] = a;
    if (data != nullptr) c.data.assign(static_cast<const char*>(data), size);
    return c;
}

// The trace's result, with its errno.
int64_t Result(const Call& w) {
    if (w.err != 0) errno = w.err;
    return w.rc;
}

template <typename T>
T* HandleCall(const Call& got) {
    const Call* w = Expect(got);
    if (w == nullptr) {
        errno = ENODEV;
        return nullptr;
    }
    void* h = Handle(w->rc);
    if (w->err != 0) errno = w->err;
    return static_cast<T*>(h);
}

int IntCall(const Call& got) {
    const Call* w = Expect(got);
    if (w == nullptr) return 0;
    return static_cast<int>(Result(*w));
}

void VoidCall(const Call& got) { (void)Expect(got); }

template <typename T>
ssize_t EnumerateCall(const Call& got, T** items, size_t capacity) {
    const Call* w = Expect(got);
    if (w == nullptr) {
        errno = ENODEV;
        return -1;
    }
    const size_t n = w->data.size() / sizeof(uint32_t);
    for (size_t i = 0; i < n && i < capacity && items != nullptr; ++i) {
        uint32_t id;
        std::memcpy(&id, w->data.data() + i * sizeof id, sizeof id);
        items[i] = static_cast<T*>(Handle(id));
    }
    return static_cast<ssize_t>(Result(*w));
}

}  // namespace
}  // namespace kest_trace

using namespace kest_trace;
using kest_trace::g;

KEST_EXPORT enyx_hw_filter* enyx_hw_filter_create(void) {
    return HandleCall<enyx_hw_filter>(Actual(Fn::kFilterCreate, {}));
}

KEST_EXPORT void enyx_hw_filter_destroy(enyx_hw_filter* filter) {
    VoidCall(Actual(Fn::kFilterDestroy, {Id(filter)}));
}

KEST_EXPORT int enyx_hw_filter_set_index(enyx_hw_filter* filter, uint32_t index) {
    return IntCall(Actual(Fn::kFilterSetIndex, {Id(filter), index}));
}

KEST_EXPORT int enyx_hw_filter_set_name(enyx_hw_filter* filter, const char* name) {
    return IntCall(Actual(Fn::kFilterSetName, {Id(filter)}, name, name != nullptr ? std::strlen(name) : 0));
}

KEST_EXPORT ssize_t enyx_hw_enumerate_accelerators(const enyx_hw_filter* filter,
                                                   const enyx_hw_accelerator_descriptor** descriptors,
                                                   size_t capacity) {
    return EnumerateCall(Actual(Fn::kEnumerateAccelerators, {Id(filter), capacity}), descriptors, capacity);
}

KEST_EXPORT void enyx_hw_free_accelerator_descriptors(const enyx_hw_accelerator_descriptor** descriptors,
                                                      size_t count) {
    VoidCall(Actual(Fn::kFreeAcceleratorDescriptors,
                    {descriptors != nullptr && count > 0 ? Id(descriptors[0]) : 0, count}));
}

KEST_EXPORT enyx_hw_accelerator* enyx_hw_accelerator_get(const enyx_hw_accelerator_descriptor* descriptor) {
    return HandleCall<enyx_hw_accelerator>(Actual(Fn::kAcceleratorGet, {Id(descriptor)}));
}

KEST_EXPORT ssize_t enyx_hw_accelerator_enumerate_mmios(const enyx_hw_accelerator* accelerator,
                                                        const enyx_hw_filter* filter,
                                                        const enyx_hw_mmio_descriptor** descriptors,
                                                        size_t capacity) {
    return EnumerateCall(Actual(Fn::kEnumerateMmios, {Id(accelerator), Id(filter), capacity}), descriptors,
                         capacity);
}

KEST_EXPORT void enyx_hw_free_mmio_descriptors(const enyx_hw_mmio_descriptor** descriptors, size_t count) {
    VoidCall(Actual(Fn::kFreeMmioDescriptors,
                    {descriptors != nullptr && count > 0 ? Id(descriptors[0]) : 0, count}));
}

KEST_EXPORT enyx_hw_mmio* enyx_hw_mmio_create(const enyx_hw_mmio_descriptor* descriptor) {
    return HandleCall<enyx_hw_mmio>(Actual(Fn::kMmioCreate, {Id(descriptor)}));
}

KEST_EXPORT void enyx_hw_mmio_destroy(enyx_hw_mmio* mmio) { VoidCall(Actual(Fn::kMmioDestroy, {Id(mmio)})); }

KEST_EXPORT enyx_hw_core_tree* enyx_hw_enumerate_cores(enyx_hw_mmio* mmio) {
    return HandleCall<enyx_hw_core_tree>(Actual(Fn::kEnumerateCores, {Id(mmio)}));
}

KEST_EXPORT void enyx_hw_destroy_tree(enyx_hw_core_tree* tree) {
    VoidCall(Actual(Fn::kDestroyTree, {Id(tree)}));
}

KEST_EXPORT enyx_hw_core* enyx_hw_core_tree_get_root(const enyx_hw_core_tree* tree) {
    return HandleCall<enyx_hw_core>(Actual(Fn::kCoreTreeGetRoot, {Id(tree)}));
}

KEST_EXPORT int enyx_hw_core_reset(enyx_hw_core* core) { return IntCall(Actual(Fn::kCoreReset, {Id(core)})); }

KEST_EXPORT ssize_t enyx_hw_core_enumerate(const enyx_hw_core* root, uint16_t hardware_id,
                                           enyx_hw_core** cores, size_t capacity) {
    return EnumerateCall(Actual(Fn::kCoreEnumerate, {Id(root), hardware_id, capacity}), cores, capacity);
}

KEST_EXPORT int enyx_hw_core_lock(enyx_hw_core* core) { return IntCall(Actual(Fn::kCoreLock, {Id(core)})); }

KEST_EXPORT int enyx_hw_core_unlock(enyx_hw_core* core) {
    return IntCall(Actual(Fn::kCoreUnlock, {Id(core)}));
}

KEST_EXPORT int enyx_hw_read(const enyx_hw_core* core, const enyx_hw_register_description* reg,
                             uint64_t* value) {
    const Call got = Actual(Fn::kRead, {Id(core), reg != nullptr ? reg->address : 0,
                                        reg != nullptr ? Bits(reg->offset, reg->size) : 0});
    const Call* w = Expect(got);
    if (w == nullptr) {
        if (value != nullptr) *value = 0;
        return 0;
    }
    ++g->reads;
    if (value != nullptr && w->rc == 0) *value = w->arg[3];
    return static_cast<int>(Result(*w));
}

KEST_EXPORT int enyx_hw_write(const enyx_hw_core* core, const enyx_hw_register_description* reg,
                              uint64_t value) {
    const uint64_t address = reg != nullptr ? reg->address : 0;
    const Call got =
        Actual(Fn::kWrite, {Id(core), address, reg != nullptr ? Bits(reg->offset, reg->size) : 0, value});
    ++g->writes;
    g->writes_hash = MixWrite(g->writes_hash, address, value);
    const Call* w = Expect(got);
    return w == nullptr ? 0 : static_cast<int>(Result(*w));
}

KEST_EXPORT ssize_t enyx_hw_accelerator_enumerate_a2c_streams(
    const enyx_hw_accelerator* accelerator, const enyx_hw_filter* filter,
    const enyx_hw_a2c_stream_descriptor** descriptors, size_t capacity) {
    return EnumerateCall(Actual(Fn::kEnumerateA2c, {Id(accelerator), Id(filter), capacity}), descriptors,
                         capacity);
}

KEST_EXPORT enyx_hw_a2c_stream* enyx_hw_a2c_stream_create(const enyx_hw_a2c_stream_descriptor* descriptor,
                                                          uint32_t flags) {
    return HandleCall<enyx_hw_a2c_stream>(Actual(Fn::kA2cCreate, {Id(descriptor), flags}));
}

KEST_EXPORT void enyx_hw_free_a2c_stream_descriptors(const enyx_hw_a2c_stream_descriptor** descriptors,
                                                     size_t count) {
    VoidCall(Actual(Fn::kFreeA2cDescriptors,
                    {descriptors != nullptr && count > 0 ? Id(descriptors[0]) : 0, count}));
}

KEST_EXPORT int enyx_hw_a2c_stream_get_mtu(const enyx_hw_a2c_stream* stream, uint32_t* mtu) {
    const Call* w = Expect(Actual(Fn::kA2cGetMtu, {Id(stream)}));
    if (w == nullptr) return 0;
    if (mtu != nullptr && w->rc == 0) *mtu = static_cast<uint32_t>(w->arg[1]);
    return static_cast<int>(Result(*w));
}

KEST_EXPORT int enyx_hw_a2c_stream_poll_once(enyx_hw_a2c_stream* stream, enyx_hw_a2c_handler handler,
                                             void* opaque) {
    if (g->departed) return 0;
    const uint64_t id = Id(stream);
    const Call* w = Peek();
    if (w != nullptr && w->fn == Fn::kA2cPoll && w->arg[0] == id) {
        // The message is the handler's until it returns, also across its own polls.
        if (static_cast<int>(g->messages.size()) <= g->depth) g->messages.emplace_back();
        std::string& message = g->messages[static_cast<size_t>(g->depth)];
        message = w->data;
        Consume();
        --g->deliveries_left;
        ++g->delivered;
        ++g->depth;
        if (handler != nullptr)
            handler(reinterpret_cast<const uint8_t*>(message.data()), static_cast<uint32_t>(message.size()),
                    opaque);
        --g->depth;
        const Call* r = Peek();
        if (r != nullptr && r->fn == Fn::kPollResult && r->arg[0] == id && r->arg[2] == 1) {
            Consume();
            return static_cast<int>(Result(*r));
        }
        return 1;
    }
    if (w != nullptr && w->fn == Fn::kPollResult && w->arg[0] == id && w->arg[2] == 0) {
        Consume();
        return static_cast<int>(Result(*w));
    }
    // An empty poll: the traced process polled here too, or it has polled its last.
    if (g->deliveries_left == 0) {
        if (g->stop_at_end) Stop();
        return 0;
    }
    if ((++g->empty_polls & 1023) == 0) {
        const int64_t now = MonotonicNs();
        if (g->wait_since == 0) {
            g->wait_since = now;
        } else if (now - g->wait_since > g->poll_wait_ns) {
            Depart(w, Actual(Fn::kA2cPoll, {id}), "the process polls and the trace waits on another call");
        }
    }
    return 0;
}

KEST_EXPORT void enyx_hw_a2c_stream_destroy(enyx_hw_a2c_stream* stream) {
    VoidCall(Actual(Fn::kA2cDestroy, {Id(stream)}));
}

KEST_EXPORT ssize_t enyx_hw_accelerator_enumerate_c2a_streams(
    const enyx_hw_accelerator* accelerator, const enyx_hw_filter* filter,
    const enyx_hw_c2a_stream_descriptor** descriptors, size_t capacity) {
    return EnumerateCall(Actual(Fn::kEnumerateC2a, {Id(accelerator), Id(filter), capacity}), descriptors,
                         capacity);
}

KEST_EXPORT enyx_hw_c2a_stream* enyx_hw_c2a_stream_create(const enyx_hw_c2a_stream_descriptor* descriptor,
                                                          uint32_t flags) {
    return HandleCall<enyx_hw_c2a_stream>(Actual(Fn::kC2aCreate, {Id(descriptor), flags}));
}

KEST_EXPORT void enyx_hw_free_c2a_stream_descriptors(const enyx_hw_c2a_stream_descriptor** descriptors,
                                                     size_t count) {
    VoidCall(Actual(Fn::kFreeC2aDescriptors,
                    {descriptors != nullptr && count > 0 ? Id(descriptors[0]) : 0, count}));
}

KEST_EXPORT int enyx_hw_c2a_stream_get_mtu(const enyx_hw_c2a_stream* stream, uint32_t* mtu) {
    const Call* w = Expect(Actual(Fn::kC2aGetMtu, {Id(stream)}));
    if (w == nullptr) return 0;
    if (mtu != nullptr && w->rc == 0) *mtu = static_cast<uint32_t>(w->arg[1]);
    return static_cast<int>(Result(*w));
}

KEST_EXPORT int enyx_hw_c2a_stream_send(enyx_hw_c2a_stream* stream, const void* data, uint32_t size) {
    return IntCall(Actual(Fn::kC2aSend, {Id(stream), size}, data, data != nullptr ? size : 0));
}

KEST_EXPORT void enyx_hw_c2a_stream_destroy(enyx_hw_c2a_stream* stream) {
    VoidCall(Actual(Fn::kC2aDestroy, {Id(stream)}));
}
