// Several processes on one card: shared registers, the per-core lock, and a
// holder of the lock killed while holding it.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "host_access.h"

namespace cardsim_test {
namespace {

namespace R = Kest_U50::Reg;

class MultiProcessTest : public CardFixture {};

// Runs body in a child process; returns its exit status (or -1 if it did not exit).
template <typename Body>
pid_t Spawn(Body body) {
    const pid_t pid = fork();
    if (pid == 0) {
        int rc = 1;
        try {
            rc = body();
        } catch (...) {
        }
        _exit(rc);
    }
    return pid;
}

int WaitExit(pid_t pid) {
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

// Polls until reg holds want or about 20 s pass.
bool WaitForRegister(Host& h, uint32_t reg, uint64_t want) {
    for (int i = 0; i < 20000; ++i) {
        if (h.Read(reg) == want) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

TEST_F(MultiProcessTest, TwoProcessesShareRegistersUnderTheLock) {
    ASSERT_EQ(kest_sim::CreateCard(0), 0);
    constexpr uint32_t kCounter = R::SHFE2PS_SNAP_PKT_NO;
    constexpr int kIncrements = 3000;

    auto worker = [](uint32_t mine, uint32_t theirs, uint32_t value) {
        Host h(0);
        if (!h.ok()) return 10;
        h.Write(mine, value);
        if (!WaitForRegister(h, theirs, value ^ 0xFFFF)) return 11;
        // Read-modify-write of a shared counter: exact only if the core
        // lock serialises the two processes.
        for (int i = 0; i < kIncrements; ++i) {
            if (enyx_hw_core_lock(h.core()) != 0) return 12;
            uint64_t v = 0;
            if (h.ReadAt(R::ByteAddress(kCounter), v) != 0) return 13;
            if (h.WriteAt(R::ByteAddress(kCounter), v + 1) != 0) return 14;
            if (enyx_hw_core_unlock(h.core()) != 0) return 15;
        }
        return 0;
    };
    const pid_t a = Spawn([&] { return worker(R::SlotDstIp(0), R::SlotDstIp(1), 0x1234); });
    const pid_t b = Spawn([&] { return worker(R::SlotDstIp(1), R::SlotDstIp(0), 0x1234 ^ 0xFFFF); });
    ASSERT_GT(a, 0);
    ASSERT_GT(b, 0);
    EXPECT_EQ(WaitExit(a), 0);
    EXPECT_EQ(WaitExit(b), 0);

    Host h(0);
    ASSERT_TRUE(h.ok());
    EXPECT_EQ(h.Read(kCounter), 2u * kIncrements);
    EXPECT_EQ(h.Read(R::SlotDstIp(0)), 0x1234u);
    EXPECT_EQ(h.Read(R::SlotDstIp(1)), 0x1234u ^ 0xFFFF);
}

TEST_F(MultiProcessTest, KilledLockHolderDoesNotBlockOthers) {
    ASSERT_EQ(kest_sim::CreateCard(0), 0);
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t child = Spawn([&] {
        Host h(0);
        if (!h.ok() || enyx_hw_core_lock(h.core()) != 0) return 1;
        const char c = 'L';
        if (write(ready[1], &c, 1) != 1) return 2;
        for (;;) pause();
    });
    ASSERT_GT(child, 0);
    char c = 0;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    close(ready[0]);
    close(ready[1]);
    ASSERT_EQ(kill(child, SIGKILL), 0);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status));

    Host h(0);
    ASSERT_TRUE(h.ok());
    auto card = kest_sim::Card::Open(0);
    EXPECT_EQ(card->Stats().lock_recoveries, 0u);
    // Would hang here for good if the dead holder kept the lock.
    EXPECT_EQ(enyx_hw_core_lock(h.core()), 0);
    EXPECT_EQ(enyx_hw_core_unlock(h.core()), 0);
    EXPECT_EQ(card->Stats().lock_recoveries, 1u);
    EXPECT_EQ(h.Write(R::CONFIG_CRC, 8), 0);
    EXPECT_EQ(h.Read(R::CONFIG_CRC), 8u);
    EXPECT_EQ(card->Stats().lock_recoveries, 1u);
}

TEST_F(MultiProcessTest, CardOutlivesTheProcessesThatUseIt) {
    const pid_t creator = Spawn([] {
        if (kest_sim::CreateCard(4) != 0) return 1;
        Host h(4);
        if (!h.ok()) return 2;
        h.Write(R::CONFIG_CRC, 0xC0FFEE);
        h.WriteTableWord(R::SHFE2PS_TABLE_WADDR, 64, 17);
        auto card = kest_sim::Card::Open(4);
        return card->PushA2c(2, "left behind", 11) ? 0 : 3;
    });
    ASSERT_EQ(WaitExit(creator), 0);

    Host h(4);
    ASSERT_TRUE(h.ok());
    EXPECT_EQ(h.Read(R::CONFIG_CRC), 0xC0FFEEu);
    EXPECT_EQ(h.ReadTableWord(R::SHFE2PS_TABLE_WADDR, 64), 17u);
    enyx_hw_a2c_stream* s = OpenA2c(h.acc(), 2);
    ASSERT_NE(s, nullptr);
    std::string got;
    EXPECT_EQ(enyx_hw_a2c_stream_poll_once(
                  s,
                  [](const uint8_t* p, uint32_t n, void* o) {
                      static_cast<std::string*>(o)->assign(reinterpret_cast<const char*>(p), n);
                  },
                  &got),
              1);
    EXPECT_EQ(got, "left behind");
    enyx_hw_a2c_stream_destroy(s);
}

}  // namespace
}  // namespace cardsim_test
