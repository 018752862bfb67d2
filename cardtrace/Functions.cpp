// The table of entry kinds and how an entry is shown: one place for dump,
// diff, info and the replay's departure line.
#include <sys/syscall.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <ctime>

#include "cardtrace/Trace.h"

namespace kest_trace {
namespace {

constexpr ArgInfo H(const char* n) { return {n, ArgKind::kHandle}; }
constexpr ArgInfo N(const char* n) { return {n, ArgKind::kNumber}; }
constexpr ArgInfo X(const char* n) { return {n, ArgKind::kHex}; }
constexpr ArgInfo T(const char* n) { return {n, ArgKind::kTime}; }
constexpr ArgInfo kRegArg{"reg", ArgKind::kRegister};
constexpr ArgInfo kBitsArg{"bits", ArgKind::kBits};

// Indexed by Fn.
const FnInfo kTable[kFnCount] = {
    {"meta", 0, {}, false, true},
    {"enyx_hw_filter_create", 0, {}, true, false},
    {"enyx_hw_filter_destroy", 1, {H("filter")}, false, false},
    {"enyx_hw_filter_set_index", 2, {H("filter"), N("index")}, false, false},
    {"enyx_hw_filter_set_name", 1, {H("filter")}, false, true},
    {"enyx_hw_enumerate_accelerators", 2, {H("filter"), N("capacity")}, false, true},
    {"enyx_hw_free_accelerator_descriptors", 2, {H("first"), N("count")}, false, false},
    {"enyx_hw_accelerator_get", 1, {H("descriptor")}, true, false},
    {"enyx_hw_accelerator_enumerate_mmios", 3, {H("accelerator"), H("filter"), N("capacity")}, false, true},
    {"enyx_hw_free_mmio_descriptors", 2, {H("first"), N("count")}, false, false},
    {"enyx_hw_mmio_create", 1, {H("descriptor")}, true, false},
    {"enyx_hw_mmio_destroy", 1, {H("mmio")}, false, false},
    {"enyx_hw_enumerate_cores", 1, {H("mmio")}, true, false},
    {"enyx_hw_destroy_tree", 1, {H("tree")}, false, false},
    {"enyx_hw_core_tree_get_root", 1, {H("tree")}, true, false},
    {"enyx_hw_core_reset", 1, {H("core")}, false, false},
    {"enyx_hw_core_enumerate", 3, {H("root"), X("hardware_id"), N("capacity")}, false, true},
    {"enyx_hw_core_lock", 1, {H("core")}, false, false},
    {"enyx_hw_core_unlock", 1, {H("core")}, false, false},
    {"enyx_hw_read", 4, {H("core"), kRegArg, kBitsArg, X("value")}, false, false},
    {"enyx_hw_write", 4, {H("core"), kRegArg, kBitsArg, X("value")}, false, false},
    {"enyx_hw_accelerator_enumerate_a2c_streams",
     3,
     {H("accelerator"), H("filter"), N("capacity")},
     false,
     true},
    {"enyx_hw_a2c_stream_create", 2, {H("descriptor"), X("flags")}, true, false},
    {"enyx_hw_free_a2c_stream_descriptors", 2, {H("first"), N("count")}, false, false},
    {"enyx_hw_a2c_stream_get_mtu", 2, {H("stream"), N("mtu")}, false, false},
    {"enyx_hw_a2c_stream_poll_once", 2, {H("stream"), N("empty_polls_before")}, false, true},
    {"enyx_hw_a2c_stream_destroy", 1, {H("stream")}, false, false},
    {"enyx_hw_accelerator_enumerate_c2a_streams",
     3,
     {H("accelerator"), H("filter"), N("capacity")},
     false,
     true},
    {"enyx_hw_c2a_stream_create", 2, {H("descriptor"), X("flags")}, true, false},
    {"enyx_hw_free_c2a_stream_descriptors", 2, {H("first"), N("count")}, false, false},
    {"enyx_hw_c2a_stream_get_mtu", 2, {H("stream"), N("mtu")}, false, false},
    {"enyx_hw_c2a_stream_send", 2, {H("stream"), N("size")}, false, true},
    {"enyx_hw_c2a_stream_destroy", 1, {H("stream")}, false, false},
    {"poll_result", 3, {H("stream"), N("empty_polls_before"), N("delivered")}, false, false},
    {"quote_summary", 4, {H("stream"), N("count"), T("first_t"), T("last_t")}, false, true},
    {"limit", 1, {N("max_bytes")}, false, false},
    {"end", 3, {N("empty_polls"), N("quotes_summarised"), N("calls_untraced")}, false, false},
};

void Append(std::string& out, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void Append(std::string& out, const char* fmt, ...) {
    char buf[256];
    va_list ap;
    va_start(ap, fmt);
    const int n = std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    if (n > 0) out.append(buf, static_cast<size_t>(n) < sizeof buf ? static_cast<size_t>(n) : sizeof buf - 1);
}

void AppendBytes(std::string& out, const std::string& data, size_t most) {
    Append(out, "%zu bytes", data.size());
    if (data.empty()) return;
    out += " ";
    for (size_t i = 0; i < data.size() && i < most; ++i) Append(out, "%02x", static_cast<uint8_t>(data[i]));
    if (data.size() > most) out += "...";
}

}  // namespace

const FnInfo& Info(Fn fn) {
    const int i = static_cast<int>(fn);
    return kTable[i >= 0 && i < kFnCount ? i : 0];
}

bool FnByName(const std::string& name, Fn& fn) {
    for (int i = 0; i < kFnCount; ++i) {
        const std::string full = kTable[i].name;
        if (name == full || (full.rfind("enyx_hw_", 0) == 0 && name == full.substr(8))) {
            fn = static_cast<Fn>(i);
            return true;
        }
    }
    return false;
}

bool Failed(Fn fn, int64_t rc) {
    const FnInfo& info = Info(fn);
    if (info.returns_handle) return rc == 0;
    switch (fn) {
        case Fn::kEnumerateAccelerators:
        case Fn::kEnumerateMmios:
        case Fn::kCoreEnumerate:
        case Fn::kEnumerateA2c:
        case Fn::kEnumerateC2a:
        case Fn::kA2cPoll:
        case Fn::kPollResult:
            return rc < 0;
        default:
            return rc != 0;
    }
}

int InputArgs(Fn fn) {
    switch (fn) {
        case Fn::kRead:
            return 3;
        case Fn::kA2cGetMtu:
        case Fn::kC2aGetMtu:
        case Fn::kA2cPoll:
            return 1;
        default:
            return Info(fn).args;
    }
}

uint32_t MessageKind(const std::string& data) {
    if (data.size() < 4) return 0xFFFFFFFFu;
    uint32_t kind;
    std::memcpy(&kind, data.data(), sizeof kind);
    return kind;
}

std::string DescribeArgs(const Call& c) {
    const FnInfo& info = Info(c.fn);
    std::string out;
    for (int i = 0; i < info.args; ++i) {
        const ArgInfo& a = info.arg[i];
        if (i) out += a.kind == ArgKind::kBits ? " " : ", ";  // a register's width and offset go with it
        const uint64_t v = c.arg[i];
        switch (a.kind) {
            case ArgKind::kHandle:
                Append(out, "%s #%" PRIu64, a.name, v);
                break;
            case ArgKind::kNumber:
                Append(out, "%s %" PRIu64, a.name, v);
                break;
            case ArgKind::kHex:
                Append(out, "%s 0x%" PRIx64, a.name, v);
                break;
            case ArgKind::kRegister:
                if (v % 4 == 0)
                    Append(out, "reg 0x%05" PRIx64, v / 4);
                else
                    Append(out, "address 0x%" PRIx64, v);
                break;
            case ArgKind::kBits:
                Append(out, "%u/%u", static_cast<unsigned>((v >> 8) & 0xFF), static_cast<unsigned>(v & 0xFF));
                break;
            case ArgKind::kTime:
                Append(out, "%s %" PRId64, a.name, static_cast<int64_t>(v));
                break;
        }
    }
    if (info.has_data) {
        if (info.args) out += ", ";
        if (c.fn == Fn::kFilterSetName || c.fn == Fn::kMeta) {
            out += "\"";
            for (char ch : c.data) {
                if (ch == '\n')
                    out += "\\n";
                else if (static_cast<unsigned char>(ch) < 0x20 || ch == '"' || ch == '\\')
                    Append(out, "\\x%02x", static_cast<uint8_t>(ch));
                else
                    out += ch;
            }
            out += "\"";
        } else if (c.fn == Fn::kA2cPoll) {
            Append(out, "kind %u, ", MessageKind(c.data));
            AppendBytes(out, c.data, 16);
        } else {
            AppendBytes(out, c.data, 16);
        }
    }
    return out;
}

std::string Describe(const Call& c) {
    const FnInfo& info = Info(c.fn);
    std::string out = info.name;
    out += "(" + DescribeArgs(c) + ")";
    if (IsCall(c.fn) || c.fn == Fn::kPollResult) {
        if (info.returns_handle)
            Append(out, c.rc == 0 ? " = NULL" : " = #%" PRId64, c.rc);
        else
            Append(out, " = %" PRId64, c.rc);
        if (c.err != 0) Append(out, " errno %d", c.err);
    }
    return out;
}

bool SameCall(const Call& a, const Call& b) {
    if (a.fn != b.fn || a.rc != b.rc || a.err != b.err || a.data != b.data) return false;
    for (int i = 0; i < Info(a.fn).args; ++i)
        if (a.arg[i] != b.arg[i]) return false;
    return true;
}

int64_t MonotonicNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

void SetupFailed(const char* who, const std::string& why) {
    std::fprintf(stderr, "%s: %s\n", who, why.c_str());
    std::fflush(stderr);
    // Called while the loader runs this library's initialiser. The system
    // call itself, not _exit: a sanitizer's _exit hook would take the
    // loader's state for a fault of its own and end with its exit code.
    syscall(SYS_exit_group, kSetupExit);
    _exit(kSetupExit);
}

}  // namespace kest_trace
