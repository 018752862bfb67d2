// Process-wide exit request: SIGINT and SIGTERM set the flag that every poll
// reads, SIGPIPE is ignored.
#pragma once

#include <signal.h>

#include <atomic>
#include <cstdint>

namespace Kest_U50 {

class CSignalProcess {
public:
    // Poll-path read of the exit flag: no lock, no system call.
    static bool IsExit() { return m_isExit.load(std::memory_order_acquire); }

protected:
    // Installs SignalHandler for SIGINT and SIGTERM and ignores SIGPIPE,
    // replacing whatever was installed; 0, or -1 at the first failure (the
    // installations already made stay).
    static int32_t InitSignal();
    static void SignalHandler(int sigNo, siginfo_t* siginfo, void* context);

    // Lets a test process observe more than one exit request.
    static void ResetExitFlagForTesting() { m_isExit.store(false, std::memory_order_release); }

    // Set (release) by SignalHandler, on whichever thread the kernel delivers
    // SIGINT or SIGTERM to; read (acquire) by IsExit on the application's
    // polling thread. Never cleared in the product.
    static inline std::atomic<bool> m_isExit{false};
    static_assert(std::atomic<bool>::is_always_lock_free, "the exit flag is written from a signal handler");
};

}  // namespace Kest_U50
