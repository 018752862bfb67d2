// Minimal callback-mode application: counts the quotes it receives until
// SIGINT or SIGTERM, then prints the count and the last quote received.
// Nothing is printed while it receives: a report each second would be a
// write(2) on the polling thread, and every quote arriving meanwhile would
// wait behind it (kest-md-recv shows how to report between polls when that
// is acceptable).
//
// What to know:
// - The library creates no thread. KestStart and every KestRecv run on the
//   thread that calls them, and must be the same thread: KestStart binds it
//   to the configuration's `cpucore` (give each receiving process its own
//   isolated core; -1 leaves the thread unbound).
// - KestStart blocks: on channel 0 it may program the card (about three
//   seconds of pauses) and wait for the exchange's snapshot. It returns 0, -1
//   for a null path or -2 when start-up failed (the kest_u50_*.log file in the
//   working directory says why).
// - OnShfeMdData runs inside KestRecv on this thread. The record points into
//   the card's DMA ring and is valid only during the call: copy what you keep,
//   and return quickly, since the next quote waits behind this one.
// - The library installs its own SIGINT and SIGTERM handlers: after either,
//   KestRecv returns -1 for good. Do not install handlers of your own for them.
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "KestShfeMdApi.h"

namespace {

struct CountingSpi : CKestShfeMdSpi {
    uint64_t quotes = 0;
    KestShfeMdType last{};  // a copy: the record itself dies with the call

    void OnShfeMdData(const KestShfeMdType* quote) override {
        ++quotes;
        std::memcpy(&last, quote, sizeof last);
    }
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s CONFIG\n", argv[0]);
        return 2;
    }
    CKestShfeMdApi& api = CKestShfeMdApi::CreateKestShfeMdApi();
    // Out of memory, the factory returns a reference at address 0; read the
    // address through a volatile so the compiler cannot assume it non-null.
    volatile uintptr_t address = reinterpret_cast<uintptr_t>(&api);
    if (address == 0) {
        std::fprintf(stderr, "out of memory\n");
        return 1;
    }
    CountingSpi spi;
    int32_t rc = api.KestStart(spi, argv[1]);
    if (rc != 0) {
        std::fprintf(stderr, "KestStart failed (%d): see the kest_u50_*.log file\n", rc);
        CKestShfeMdApi::DestroyKestShfeMdApi(api);
        return 1;
    }
    std::printf("started: receiving until SIGINT or SIGTERM\n");
    std::fflush(stdout);
    // The hot loop: no sleeping, no system calls.
    while (api.KestRecv() != -1) {
    }
    std::printf("quotes received: %" PRIu64 "\n", spi.quotes);
    if (spi.quotes > 0) {
        std::printf("last: %s change %u last price %.2f\n", spi.last.inst_id, spi.last.change_no,
                    spi.last.last_px / 100.0);  // prices are in hundredths
    }
    CKestShfeMdApi::DestroyKestShfeMdApi(api);
    return spi.quotes > 0 ? 0 : 3;
}
