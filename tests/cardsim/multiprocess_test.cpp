// Several processes on one card: the per-core lock, a killed lock holder, a card outliving its maker.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

#include "host_access.h"

namespace cardsim_test {
namespace {

template <typename Body>
pid_t Spawn(Body body) {
    const pid_t pid = fork();
    if (pid == 0) _exit(body());
    return pid;
}

int WaitStatus(pid_t pid) {  // 0 for a child that exited with 0
    int status = -1;
    waitpid(pid, &status, 0);
    return status;
}

// A read-modify-write of a shared counter is exact only if the core lock serialises the processes.
TEST_F(CardTest, TwoProcessesShareRegistersUnderTheCoreLock) {
    Make();
    constexpr uint32_t kCounter = R::SHFE2PS_SNAP_PKT_NO;
    auto worker = [] {
        Host h(0);
        for (int i = 0; i < 3000; ++i) {
            uint64_t v = 0;
            if (h.core == nullptr || enyx_hw_core_lock(h.core) != 0 ||
                h.ReadAt(R::ByteAddress(kCounter), v) != 0 ||
                h.WriteAt(R::ByteAddress(kCounter), v + 1) != 0 || enyx_hw_core_unlock(h.core) != 0)
                return 1;
        }
        return 0;
    };
    // Both wait on the lock this process holds, so they start counting together.
    ASSERT_EQ(enyx_hw_core_lock(host_->core), 0);
    const pid_t a = Spawn(worker), b = Spawn(worker);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_EQ(enyx_hw_core_unlock(host_->core), 0);
    EXPECT_EQ(WaitStatus(a), 0);
    EXPECT_EQ(WaitStatus(b), 0);
    EXPECT_EQ(host_->Read(kCounter), 6000u);
}

// A process makes a card, leaves state in it, takes the core lock and is killed: the card and its
// state remain, and the lock is taken over rather than blocking everyone for good.
TEST_F(CardTest, CardOutlivesAKilledProcessThatMadeItAndHeldItsLock) {
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t child = Spawn([&] {
        if (kest_sim::CreateCard(0) != 0) return 1;
        Host h(0);
        if (h.core == nullptr || h.Write(R::CONFIG_CRC, 0xC0FFEE) != 0 ||
            !kest_sim::Card::Open(0)->PushA2c(2, "left", 4))
            return 1;
        h.WriteTableWord(R::SHFE2PS_TABLE_WADDR, 64, 17);
        if (enyx_hw_core_lock(h.core) != 0 || write(ready[1], "L", 1) != 1) return 1;
        for (;;) pause();
    });
    char c = 0;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    close(ready[0]);
    close(ready[1]);
    ASSERT_EQ(kill(child, SIGKILL), 0);
    ASSERT_TRUE(WIFSIGNALED(WaitStatus(child)));
    Host h(0);
    auto card = kest_sim::Card::Open(0);
    ASSERT_TRUE(h.core != nullptr && card != nullptr);
    EXPECT_EQ(h.Read(R::CONFIG_CRC), 0xC0FFEEu) << "would hang for good if the dead holder kept the lock";
    EXPECT_EQ(card->Stats().lock_recoveries, 1u);
    EXPECT_EQ(h.ReadTableWord(R::SHFE2PS_TABLE_WADDR, 64), 17u);
    enyx_hw_a2c_stream* s = OpenA2c(h.acc, 2);
    EXPECT_EQ(Drain(s), (Messages{{'l', 'e', 'f', 't'}}));
    enyx_hw_a2c_stream_destroy(s);
}

}  // namespace
}  // namespace cardsim_test
