// The C++ half of the Python module kest: one receiver on the library's
// public interface (buffer mode), polled with the GIL released straight into
// a numpy buffer that the receiver allocates once. kest/__init__.py wraps it.
#include <pthread.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <sched.h>
#include <signal.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "FeedTable.h"
#include "KestShfeMdApi.h"
#include "ProductLoader.h"
#include "StartDiagnosis.h"
#include "StartVerdict.h"

namespace py = pybind11;

namespace {

using Clock = std::chrono::steady_clock;

// --- signals ------------------------------------------------------------------
//
// Every start installs the library's own SIGINT/SIGTERM handlers in place of
// Python's. Once a start has returned, both signals go to a handler of this
// module that calls the library's handler (its exit flag: every poll then
// returns -1) and then the handler Python had before the start, so that a
// Python-level handler (KeyboardInterrupt for SIGINT) runs at the next
// bytecode even while no poll is running. Closing the receiver gives Python
// its handlers back.

constexpr int kSignals[2] = {SIGINT, SIGTERM};
struct sigaction g_library[2];
struct sigaction g_python[2];
std::atomic<int> g_lastSignal{0};

void Chain(const struct sigaction& action, int sig, siginfo_t* info, void* context) {
    if ((action.sa_flags & SA_SIGINFO) != 0) {
        if (action.sa_sigaction != nullptr) action.sa_sigaction(sig, info, context);
    } else if (action.sa_handler != SIG_DFL && action.sa_handler != SIG_IGN && action.sa_handler != nullptr) {
        action.sa_handler(sig);
    }
}

// Whether the handler Python had is a function that this module calls on.
bool Chained(const struct sigaction& action) {
    return (action.sa_flags & SA_SIGINFO) != 0
               ? action.sa_sigaction != nullptr
               : action.sa_handler != SIG_DFL && action.sa_handler != SIG_IGN && action.sa_handler != nullptr;
}

void OnSignal(int sig, siginfo_t* info, void* context) {
    const int i = sig == SIGINT ? 0 : 1;
    g_lastSignal.store(sig, std::memory_order_relaxed);
    Chain(g_library[i], sig, info, context);
    Chain(g_python[i], sig, info, context);
}

void SavePythonHandlers() {
    for (int i = 0; i < 2; ++i) sigaction(kSignals[i], nullptr, &g_python[i]);
}

void WrapLibraryHandlers() {
    for (int i = 0; i < 2; ++i) {
        sigaction(kSignals[i], nullptr, &g_library[i]);
        struct sigaction action;
        std::memset(&action, 0, sizeof action);
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_SIGINFO;  // no SA_RESTART, as the library's own
        action.sa_sigaction = &OnSignal;
        sigaction(kSignals[i], &action, nullptr);
    }
}

void RestorePythonHandlers() {
    for (int i = 0; i < 2; ++i) sigaction(kSignals[i], &g_python[i], nullptr);
}

// The library is one per process (its log, its register access and its
// signal handling are the process's): one receiver open at a time.
bool g_receiverOpen = false;

int64_t RealtimeNs() {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// The loader's answer when it gives no object: the library missing (one line
// saying what and where to get it) or out of memory.
class LoadError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

CKestShfeMdApi& CreateApi() {
    std::string error;
    CKestShfeMdApi* api = kest_tools::ProductLoader::Create(error);
    if (api == nullptr) throw LoadError(error);
    return *api;
}

// Whether the library of this process has ended its polls for good: a poll of
// an object that was never started answers -1 only then (and 0 otherwise,
// touching nothing).
bool LibraryEnded() {
    // A library that was never loaded has never started in this process.
    if (!kest_tools::ProductLoader::Loaded()) return false;
    CKestShfeMdApi& api = CreateApi();
    KestShfeMdType scratch;
    const bool ended = api.KestRecv(scratch) == -1;
    kest_tools::ProductLoader::Destroy(&api);
    return ended;
}

class Receiver {
public:
    // How Fill ended.
    enum Status { kFilled = 0, kEmpty = 1, kSlice = 2, kEnded = 3, kStopRequested = 4 };

    Receiver(const std::string& config, size_t capacity, const py::dtype& recordDtype) {
        if (capacity == 0 || capacity > (size_t{1} << 24))
            throw py::value_error("capacity must be 1 to 16777216 records");
        if (recordDtype.itemsize() != static_cast<py::ssize_t>(sizeof(KestShfeMdType)))
            throw py::value_error("the record dtype is not " + std::to_string(sizeof(KestShfeMdType)) +
                                  " bytes");
        if (g_receiverOpen)
            throw py::value_error(
                "a receiver is already open in this process: the library is one per process (close the other "
                "first)");
        // Allocated once, here: every poll writes into these.
        records_ = py::array(recordDtype, std::vector<py::ssize_t>{static_cast<py::ssize_t>(capacity)},
                             std::vector<py::ssize_t>{});
        arrivals_ = py::array_t<int64_t>(static_cast<py::ssize_t>(capacity));
        std::memset(records_.mutable_data(), 0, capacity * sizeof(KestShfeMdType));
        recordData_ = static_cast<KestShfeMdType*>(records_.mutable_data());
        arrivalData_ = static_cast<int64_t*>(arrivals_.mutable_data());
        capacity_ = capacity;
        dtype_ = recordDtype;

        api_ = &CreateApi();
        startThread_ = pthread_self();
        affinitySaved_ = sched_getaffinity(0, sizeof affinity_, &affinity_) == 0;
        SavePythonHandlers();
        g_lastSignal.store(0);
        int32_t rc;
        {
            // A start of channel 0 takes seconds: other Python threads run meanwhile.
            py::gil_scoped_release release;
            rc = api_->KestStart(config.c_str());
        }
        WrapLibraryHandlers();
        if (rc != 0) {
            // Not started: a poll answers -1 only when SIGINT/SIGTERM ended the start.
            KestShfeMdType scratch;
            interrupted_ = api_->KestRecv(scratch) == -1;
        }
        startCode_ = rc;
        g_receiverOpen = true;
        open_ = true;
        if (rc != 0 || interrupted_) {
            Release();
            return;  // the Python side raises, from start_code and interrupted
        }
    }

    ~Receiver() { Release(); }

    // Fills records from the library, up to max, GIL released. Returns when
    // max are filled, or when at least one is and the ring is empty, or (with
    // none yet) at the deadline or at the end of the slice.
    size_t Fill(size_t max, Clock::time_point deadline, Clock::time_point sliceEnd, bool stamp,
                Status& status) {
        KestShfeMdType* const out = recordData_;
        CKestShfeMdApi& api = *api_;
        size_t n = 0;
        uint32_t idle = 0;
        for (;;) {
            const int32_t r = api.KestRecv(out[n]);
            if (r == 1) {
                if (stamp) arrivalData_[n] = RealtimeNs();
                if (++n == max) {
                    status = kFilled;
                    return n;
                }
                continue;
            }
            if (r == -1) {
                status = kEnded;
                return n;
            }
            if (n > 0) {
                status = kFilled;
                return n;
            }
            // Nothing yet: look at the clock and for close() now and then only.
            if ((++idle & 63) != 0) continue;
            if (stopRequest_.load(std::memory_order_relaxed)) {
                status = kStopRequested;
                return 0;
            }
            const Clock::time_point now = Clock::now();
            if (now >= deadline) {
                status = kEmpty;
                return 0;
            }
            if (now >= sliceEnd) {
                status = kSlice;
                return 0;
            }
        }
    }

    // (count, status): the Python side makes the views and the exceptions.
    py::tuple Poll(size_t max, py::object timeout, bool stamp) {
        CheckUsable();
        if (max == 0 || max > capacity_)
            throw py::value_error("max_records must be 1 to the receiver's capacity (" +
                                  std::to_string(capacity_) + ")");
        const Clock::time_point start = Clock::now();
        Clock::time_point deadline = Clock::time_point::max();
        bool immediate = false;
        if (!timeout.is_none()) {
            const double seconds = timeout.cast<double>();
            if (!(seconds >= 0)) throw py::value_error("timeout must be None or >= 0 seconds");
            immediate = seconds == 0;
            deadline = seconds > 1e9 ? Clock::time_point::max()
                                     : start + std::chrono::duration_cast<Clock::duration>(
                                                   std::chrono::duration<double>(seconds));
        }
        if (busy_.exchange(true)) throw py::value_error("poll is already running in another thread");
        struct Busy {
            std::atomic<bool>& flag;
            ~Busy() { flag.store(false); }
        } busy{busy_};
        Status status = kEmpty;
        size_t n = 0;
        for (;;) {
            if (immediate) {
                // One pass over what is there: no wait.
                py::gil_scoped_release release;
                n = Fill(max, start, start, stamp, status);
                if (status == kSlice) status = kEmpty;
                // Fill returns at its first clock check with none delivered.
            } else {
                // Waits in slices of 100 ms so that Python's own signal
                // handlers (SIGALRM, SIGUSR1, ...) run in between.
                const Clock::time_point sliceEnd = Clock::now() + std::chrono::milliseconds(100);
                py::gil_scoped_release release;
                n = Fill(max, deadline, sliceEnd, stamp, status);
            }
            if (status != kSlice) break;
            if (PyErr_CheckSignals() != 0) throw py::error_already_set();
        }
        if (status == kEnded) {
            ended_ = true;
            endSignal_ = g_lastSignal.load();
            endSignalChained_ = endSignal_ != 0 && Chained(g_python[endSignal_ == SIGINT ? 0 : 1]);
            Release();
            // The signal has reached Python's handler too: run it now (for
            // SIGINT that raises KeyboardInterrupt), records or not.
            if (n == 0 && PyErr_CheckSignals() != 0) throw py::error_already_set();
        }
        return py::make_tuple(n, static_cast<int>(status));
    }

    // Asks a poll running in another thread to return, then frees the
    // library object and gives Python its signal handlers back.
    void Close() {
        if (!open_) return;
        stopRequest_.store(true);
        {
            py::gil_scoped_release release;
            while (busy_.load()) sched_yield();
        }
        Release();
    }

    py::array records() const { return records_; }
    py::array arrivals() const { return arrivals_; }
    size_t capacity() const { return capacity_; }
    int startCode() const { return startCode_; }
    bool interrupted() const { return interrupted_; }
    bool ended() const { return ended_; }
    int endSignal() const { return endSignal_; }
    bool endSignalChained() const { return endSignalChained_; }
    bool closed() const { return !open_; }

private:
    void CheckUsable() const {
        if (!open_) throw py::value_error("the receiver is closed");
    }

    void Release() {
        if (!open_) return;
        open_ = false;
        g_receiverOpen = false;
        if (api_ != nullptr) {
            kest_tools::ProductLoader::Destroy(api_);
            api_ = nullptr;
        }
        RestorePythonHandlers();
        // The start bound its thread to cpucore: give that thread back the
        // cores it had, when it is the one closing.
        if (affinitySaved_ && pthread_equal(startThread_, pthread_self()))
            sched_setaffinity(0, sizeof affinity_, &affinity_);
    }

    CKestShfeMdApi* api_ = nullptr;
    py::array records_;
    py::array_t<int64_t> arrivals_;
    py::dtype dtype_;
    KestShfeMdType* recordData_ = nullptr;
    int64_t* arrivalData_ = nullptr;
    size_t capacity_ = 0;
    pthread_t startThread_{};
    cpu_set_t affinity_{};
    bool affinitySaved_ = false;
    bool open_ = false;
    bool ended_ = false;
    bool interrupted_ = false;
    int startCode_ = 0;
    int endSignal_ = 0;
    bool endSignalChained_ = false;
    std::atomic<bool> busy_{false};
    std::atomic<bool> stopRequest_{false};
};

#define KEST_FIELD(name) \
    d[#name] = py::make_tuple(offsetof(KestShfeMdType, name), sizeof(KestShfeMdType::name))

// Every field's (offset, size) as the compiler lays out the C struct: what
// the numpy dtype is checked against.
py::dict RecordLayout() {
    py::dict d;
    KEST_FIELD(inst_no);
    KEST_FIELD(inst_id);
    KEST_FIELD(update_time);
    KEST_FIELD(update_milli_sec);
    KEST_FIELD(type);
    KEST_FIELD(change_no);
    KEST_FIELD(last_px);
    KEST_FIELD(volume);
    KEST_FIELD(turnover);
    KEST_FIELD(open_interest);
    KEST_FIELD(bid1_px);
    KEST_FIELD(bid1_vol);
    KEST_FIELD(bid2_px);
    KEST_FIELD(bid2_vol);
    KEST_FIELD(bid3_px);
    KEST_FIELD(bid3_vol);
    KEST_FIELD(bid4_px);
    KEST_FIELD(bid4_vol);
    KEST_FIELD(bid5_px);
    KEST_FIELD(bid5_vol);
    KEST_FIELD(ask1_px);
    KEST_FIELD(ask1_vol);
    KEST_FIELD(ask2_px);
    KEST_FIELD(ask2_vol);
    KEST_FIELD(ask3_px);
    KEST_FIELD(ask3_vol);
    KEST_FIELD(ask4_px);
    KEST_FIELD(ask4_vol);
    KEST_FIELD(ask5_px);
    KEST_FIELD(ask5_vol);
    KEST_FIELD(reverse1);
    KEST_FIELD(reverse2);
    KEST_FIELD(last_tick_flag);
    KEST_FIELD(max_inst_no);
    return d;
}
#undef KEST_FIELD

}  // namespace

PYBIND11_MODULE(_kest, m) {
    m.doc() = "The C++ half of kest: use the module kest.";
    m.attr("RECORD_SIZE") = sizeof(KestShfeMdType);
    m.attr("CHANNELS") = Kest_U50::CHANNEL_SIZE;
    py::list feeds;
    for (const Kest_U50::FeedFacts& f : Kest_U50::FEEDS)
        feeds.append(py::dict(py::arg("name") = f.name, py::arg("key") = f.key, py::arg("bit") = f.bit,
                              py::arg("block") = Kest_U50::FEED_BLOCK_NAMES[f.block],
                              py::arg("exchange") = f.exchange));
    m.attr("FEEDS") = feeds;
    m.def("record_layout", &RecordLayout, "{field: (offsetof, sizeof)} of KestShfeMdType as compiled");
    py::register_exception<LoadError>(m, "LoadError", PyExc_RuntimeError);
    m.def("library_ended", &LibraryEnded, "whether the library of this process has ended its polls for good");
    m.def("receiver_open", [] { return g_receiverOpen; });
    m.def(
        "load_library",
        [] {
            std::string error;
            kest_tools::ProductLoader::Load(error);
            return error;
        },
        "loads libKestShfeMdApi.so.1 (and the card's library) once: '' when loaded, else why not");
    m.def(
        "start_verdict",
        [](const std::string& path) {
            const kest_tools::StartVerdict v = kest_tools::StartVerdict::Read(path);
            py::list dangers;
            for (const std::string& d : v.dangers) dangers.append(d);
            return py::dict(py::arg("opened") = v.opened, py::arg("recognised") = v.recognised,
                            py::arg("start_fails") = v.startFails, py::arg("dangers") = dangers,
                            py::arg("headline") = v.Headline(path), py::arg("bus") = v.bus,
                            py::arg("channel") = v.channel);
        },
        "what a start would make of the configuration file, read with the library's own reader, as "
        "kest-config-check and kest-md-recv decide");
    m.def(
        "start_diagnosis", &kest_tools::StartDiagnosis, py::arg("log"), py::arg("config"), py::arg("bus"),
        py::arg("channel"),
        "what the library's log says went wrong in a failed start, as kest-md-recv says it ('' when nothing "
        "known)");
    m.def(
        "last_signal", [] { return g_lastSignal.load(); },
        "SIGINT or SIGTERM as last seen while a receiver was open (0: none)");
    py::class_<Receiver>(m, "Receiver")
        .def(py::init<const std::string&, size_t, const py::dtype&>())
        .def("poll", &Receiver::Poll, py::arg("max_records"), py::arg("timeout"), py::arg("stamp"))
        .def("close", &Receiver::Close)
        .def_property_readonly("records", &Receiver::records)
        .def_property_readonly("arrivals", &Receiver::arrivals)
        .def_property_readonly("capacity", &Receiver::capacity)
        .def_property_readonly("start_code", &Receiver::startCode)
        .def_property_readonly("interrupted", &Receiver::interrupted)
        .def_property_readonly("ended", &Receiver::ended)
        .def_property_readonly("end_signal", &Receiver::endSignal)
        .def_property_readonly("end_signal_reached_python", &Receiver::endSignalChained)
        .def_property_readonly("closed", &Receiver::closed);
    py::enum_<Receiver::Status>(m, "Status")
        .value("FILLED", Receiver::kFilled)
        .value("EMPTY", Receiver::kEmpty)
        .value("ENDED", Receiver::kEnded)
        .value("STOP_REQUESTED", Receiver::kStopRequested);
}
