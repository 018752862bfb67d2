// Minimal buffer-mode application: the library copies each quote into a
// record of the caller's; counts quotes per instrument number until SIGINT or
// SIGTERM.
//
// What to know:
// - The library creates no thread: KestStart and KestRecv run on the calling
//   thread, which must be the same one (KestStart binds it to the
//   configuration's `cpucore`; -1 leaves it unbound).
// - KestStart blocks while channel 0 programs the card and waits for the
//   snapshot. It returns 0, -1 for a null path, -2 when start-up failed (the
//   kest_u50_*.log file says why).
// - KestRecv(record) returns 1 when `record` holds a new quote, 0 when there
//   was none (the record is then left as it was), -1 after SIGINT or SIGTERM.
//   The record is yours: it stays valid after the call.
// - The library installs its own SIGINT and SIGTERM handlers; do not install
//   handlers of your own for them.
#include <cinttypes>
#include <cstdint>
#include <cstdio>

#include "KestShfeMdApi.h"

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
    int32_t rc = api.KestStart(argv[1]);
    if (rc != 0) {
        std::fprintf(stderr, "KestStart failed (%d): see the kest_u50_*.log file\n", rc);
        CKestShfeMdApi::DestroyKestShfeMdApi(api);
        return 1;
    }
    std::printf("started: receiving until SIGINT or SIGTERM\n");
    std::fflush(stdout);
    static uint64_t per_instrument[4096];  // MDQP instrument numbers are below 4096
    uint64_t quotes = 0;
    KestShfeMdType record{};
    int32_t got;
    while ((got = api.KestRecv(record)) != -1) {
        if (got == 1) {
            ++quotes;
            ++per_instrument[record.inst_no % 4096];
        }
    }
    unsigned instruments = 0;
    for (uint64_t n : per_instrument) instruments += n > 0;
    std::printf("quotes received: %" PRIu64 " over %u instruments\n", quotes, instruments);
    CKestShfeMdApi::DestroyKestShfeMdApi(api);
    return quotes > 0 ? 0 : 3;
}
