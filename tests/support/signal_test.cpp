// The process's exit request: SIGINT and SIGTERM set the flag every poll
// reads and interrupt a blocked call; SIGPIPE is ignored.
#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <thread>

#include "TestSupport.h"
#include "signal/SignalProcess.h"

namespace {

struct Signals : Kest_U50::CSignalProcess {
    using CSignalProcess::InitSignal;
    using CSignalProcess::ResetExitFlagForTesting;
};

TEST(SignalProcess, IntAndTermRequestTheExitAndInterruptABlockedReadPipeIsIgnored) {
    kest_test::ScopedTempDir dir;
    ASSERT_EQ(Signals::InitSignal(), 0);
    EXPECT_FALSE(Signals::IsExit());
    ASSERT_EQ(raise(SIGPIPE), 0);  // the process lives on
    EXPECT_FALSE(Signals::IsExit());
    for (int signo : {SIGINT, SIGTERM}) {
        Signals::ResetExitFlagForTesting();
        ASSERT_EQ(raise(signo), 0);
        EXPECT_TRUE(Signals::IsExit()) << signo;
    }

    // Not restarted: a read that blocks returns EINTR, so a poll sees the flag.
    // The signal is sent until the read has returned, whenever it began to block.
    Signals::ResetExitFlagForTesting();
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    std::atomic<bool> returned{false};  // release: this thread after read; acquire: the sender
    const pthread_t reader = pthread_self();
    std::thread sender([&] {
        while (!returned.load(std::memory_order_acquire)) {
            pthread_kill(reader, SIGTERM);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    char byte;
    const ssize_t n = read(fds[0], &byte, 1);
    const int error = errno;
    returned.store(true, std::memory_order_release);
    sender.join();
    EXPECT_EQ(n, -1);
    EXPECT_EQ(error, EINTR);
    EXPECT_TRUE(Signals::IsExit());
    close(fds[0]);
    close(fds[1]);
}

}  // namespace
