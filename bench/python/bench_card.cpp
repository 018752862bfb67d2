// The card side of the Python poll benchmark (poll_bench.py): a private model
// card, quotes pushed into a channel's ring outside the timing, the C++
// buffer-mode receiver that the Python figures stand beside, and a count of
// the Python allocator's calls made by one call.
#include <pybind11/pybind11.h>
#include <time.h>

#include "BenchSupport.h"

namespace py = pybind11;

namespace {

using namespace kest_bench;

class BenchCard {
public:
    BenchCard() : card_("bench_python") {}
    std::string Config(int channel) const { return card_.Config(channel); }
    // n quotes into the channel's ring, change numbers counting on.
    void Fill(int channel, int n) {
        for (int i = 0; i < n; ++i) {
            ++changeNo_;
            std::memcpy(msg_.bytes + DMA_PAYLOAD_OFFSET + offsetof(KestShfeMdType, change_no), &changeNo_,
                        sizeof changeNo_);
            if (!card_.card->PushA2c(channel, msg_.bytes, sizeof msg_.bytes))
                throw std::runtime_error("the ring is full");
        }
    }

private:
    PrivateCard card_;
    QuoteMessage msg_;
    uint32_t changeNo_ = 0;
};

int64_t ThreadCpuNs() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// What a C++ application in buffer mode does: KestRecv(record) until n quotes.
class CppReceiver {
public:
    explicit CppReceiver(const std::string& config) : api_(CKestShfeMdApi::CreateKestShfeMdApi()) {
        if (api_.KestStart(config.c_str()) != 0) throw std::runtime_error("KestStart failed");
    }
    ~CppReceiver() { CKestShfeMdApi::DestroyKestShfeMdApi(api_); }
    // (thread CPU ns, wall ns) to receive n quotes, and the last record's
    // change number.
    py::tuple Drain(int n) {
        double cpu, wall;
        {
            py::gil_scoped_release release;
            const int64_t c0 = ThreadCpuNs();
            const uint64_t t0 = Stamp();
            for (int got = 0; got < n;) {
                const int32_t r = api_.KestRecv(record_);
                if (r == 1) ++got;
                if (r == -1) break;
            }
            wall = static_cast<double>(Stamp() - t0) / TicksPerNs();
            cpu = static_cast<double>(ThreadCpuNs() - c0);
        }
        return py::make_tuple(cpu, wall, record_.change_no);
    }

private:
    CKestShfeMdApi& api_;
    KestShfeMdType record_{};
};

// Python's allocator, all three domains, counted.
std::atomic<uint64_t> g_calls{0};
PyMemAllocatorEx g_old[3];

void* CountMalloc(void* ctx, size_t size) {
    g_calls.fetch_add(1, std::memory_order_relaxed);
    auto* a = static_cast<PyMemAllocatorEx*>(ctx);
    return a->malloc(a->ctx, size);
}
void* CountCalloc(void* ctx, size_t n, size_t size) {
    g_calls.fetch_add(1, std::memory_order_relaxed);
    auto* a = static_cast<PyMemAllocatorEx*>(ctx);
    return a->calloc(a->ctx, n, size);
}
void* CountRealloc(void* ctx, void* p, size_t size) {
    g_calls.fetch_add(1, std::memory_order_relaxed);
    auto* a = static_cast<PyMemAllocatorEx*>(ctx);
    return a->realloc(a->ctx, p, size);
}
void Free(void* ctx, void* p) {
    auto* a = static_cast<PyMemAllocatorEx*>(ctx);
    a->free(a->ctx, p);
}

// Allocator calls (malloc, calloc, realloc in the raw, mem and object
// domains) made while fn(*args) runs.
uint64_t CountAllocations(py::function fn, py::args args) {
    const PyMemAllocatorDomain domains[3] = {PYMEM_DOMAIN_RAW, PYMEM_DOMAIN_MEM, PYMEM_DOMAIN_OBJ};
    PyMemAllocatorEx hooks[3];
    for (int d = 0; d < 3; ++d) {
        PyMem_GetAllocator(domains[d], &g_old[d]);
        hooks[d] = PyMemAllocatorEx{&g_old[d], CountMalloc, CountCalloc, CountRealloc, Free};
    }
    py::object result;
    g_calls.store(0);
    for (int d = 0; d < 3; ++d) PyMem_SetAllocator(domains[d], &hooks[d]);
    try {
        result = fn(*args);
    } catch (...) {
        for (int d = 0; d < 3; ++d) PyMem_SetAllocator(domains[d], &g_old[d]);
        throw;
    }
    const uint64_t calls = g_calls.load();
    for (int d = 0; d < 3; ++d) PyMem_SetAllocator(domains[d], &g_old[d]);
    return calls;
}

}  // namespace

PYBIND11_MODULE(kest_bench_card, m) {
    py::class_<BenchCard>(m, "Card")
        .def(py::init<>())
        .def("config", &BenchCard::Config)
        .def("fill", &BenchCard::Fill);
    py::class_<CppReceiver>(m, "CppReceiver")
        .def(py::init<const std::string&>())
        .def("drain", &CppReceiver::Drain);
    m.def("count_allocations", &CountAllocations);
}
