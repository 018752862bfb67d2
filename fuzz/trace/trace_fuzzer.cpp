// The trace reader against its writer. With the first byte odd the input is
// a trace of its own: every entry the reader hands out, written again by the
// writer, must read back the same (kind, result, errno, arguments, data,
// time) and in the same order, the rewritten trace without a problem. With
// the first byte even the input chooses entries, which the writer writes;
// then a byte is overwritten and the end cut as the input says: whatever the
// reader hands out must be the written entries from the first, in order, and
// nothing may be read outside the bytes (AddressSanitizer).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "cardtrace/Trace.h"

namespace {

using kest_trace::Call;

struct Input {
    const uint8_t* p;
    size_t n;
    uint8_t Byte() { return n > 0 ? (--n, *p++) : 0; }
    uint64_t Word() {
        uint64_t v = 0;
        for (int i = 0; i < 8; ++i) v |= uint64_t{Byte()} << (8 * i);
        return v;
    }
};

[[noreturn]] void Fail(const char* what, uint64_t at) {
    std::fprintf(stderr, "oracle: %s (entry %llu)\n", what, static_cast<unsigned long long>(at));
    std::abort();
}

std::vector<Call> Read(const void* data, size_t size, std::string* problem) {
    std::vector<Call> out;
    auto r = kest_trace::Reader::FromBytes(data, size, nullptr);
    if (!r) return out;
    Call c;
    while (r->Next(c) && out.size() < 100000) out.push_back(c);
    if (problem) *problem = r->Problem();
    return out;
}

bool Same(const Call& a, const Call& b) { return kest_trace::SameCall(a, b) && a.t_ns == b.t_ns; }

void RewriteAndCompare(const std::vector<Call>& got, bool compress) {
    std::string again;
    {
        kest_trace::WriterOptions opt;
        opt.compress = compress;
        auto w = kest_trace::Writer::ToString(&again, opt);
        for (const Call& c : got) w->Add(c);
    }
    std::string problem;
    const std::vector<Call> back = Read(again.data(), again.size(), &problem);
    if (!problem.empty()) Fail("the writer's own trace has a problem", 0);
    if (back.size() != got.size() + 1) Fail("entries lost or added by the writer", back.size());
    for (size_t i = 0; i < got.size(); ++i)
        if (!Same(got[i], back[i])) Fail("an entry read back differs", i + 1);
    if (back.back().fn != kest_trace::Fn::kEnd) Fail("no end entry", back.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in{data, size};
    const uint8_t mode = in.Byte();
    if (mode & 1) {
        const std::vector<Call> got = Read(in.p, in.n, nullptr);
        RewriteAndCompare(got, mode & 2);
        return 0;
    }
    // Entries chosen by the input, written, then damaged and cut.
    std::vector<Call> written;
    const uint32_t count = in.Byte() * 64u + in.Byte();
    int64_t t = static_cast<int64_t>(in.Word() >> 8);
    for (uint32_t i = 0; i < count; ++i) {
        Call c;
        c.fn = static_cast<kest_trace::Fn>(in.Byte() % kest_trace::kFnCount);
        c.rc = static_cast<int8_t>(in.Byte());
        c.err = in.Byte() % 8 == 0 ? 5 : 0;
        t += in.Byte() * 1000;
        c.t_ns = t;
        for (int a = 0; a < kest_trace::Info(c.fn).args; ++a) c.arg[a] = in.Byte() * uint64_t{0x10001};
        if (kest_trace::Info(c.fn).has_data) c.data.assign(in.Byte() * 37u, static_cast<char>(i));
        written.push_back(c);
    }
    std::string bytes;
    {
        kest_trace::WriterOptions opt;
        opt.compress = mode & 2;
        auto w = kest_trace::Writer::ToString(&bytes, opt);
        for (const Call& c : written) w->Add(c);
    }
    const bool damage = mode & 4;
    if (damage && bytes.size() > 64)
        bytes[64 + in.Word() % (bytes.size() - 64)] ^= static_cast<char>(in.Byte() | 1);
    if (mode & 8) bytes.resize(in.Word() % (bytes.size() + 1));
    std::string problem;
    const std::vector<Call> got = Read(bytes.data(), bytes.size(), &problem);
    if (got.size() > written.size() + 1) Fail("more entries read than written", got.size());
    for (size_t i = 0; i < got.size() && i < written.size(); ++i)
        if (!Same(got[i], written[i])) Fail("an entry read is not the one written there", i + 1);
    if (!damage && !(mode & 8) && (got.size() != written.size() + 1 || !problem.empty()))
        Fail("an undamaged trace does not read whole", got.size());
    return 0;
}
