// What a killed process leaves in the card model: a core lock held by a dead process is taken over.
// The rings are the cardsim fuzzer's (first in, first out, byte for byte, a full ring refusing, nested
// polls, producers that die in a push), sharing among processes the soak's (sixteen receivers
// reconciled), a poll from inside a handler the lost-packet re-bring-up's (end to end).
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "EnyxHw.h"
#include "FpgaRegisterCommon.h"
#include "SimCard.h"
#include "kest_cardsim.h"

namespace {

int32_t DeadPid() {
    const pid_t pid = fork();
    if (pid == 0) _exit(0);
    waitpid(pid, nullptr, 0);
    return pid;
}

// The design core of card 0 as the product reaches it: accelerator, region 0, core tree (left open).
enyx_hw_core* DesignCore() {
    enyx_hw_filter* f = enyx_hw_filter_create();
    const enyx_hw_accelerator_descriptor* ad[1] = {};
    const enyx_hw_mmio_descriptor* md[1] = {};
    enyx_hw_core* core = nullptr;
    if (enyx_hw_filter_set_index(f, 0) == 0 && enyx_hw_enumerate_accelerators(f, ad, 1) == 1 &&
        enyx_hw_accelerator_enumerate_mmios(enyx_hw_accelerator_get(ad[0]), f, md, 1) == 1) {
        enyx_hw_core_tree* tree = enyx_hw_enumerate_cores(enyx_hw_mmio_create(md[0]));
        enyx_hw_core_enumerate(enyx_hw_core_tree_get_root(tree), Kest_U50::Reg::DESIGN_CORE_ID, &core, 1);
    }
    enyx_hw_filter_destroy(f);
    return core;
}

class CardTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(kest_sim::CreateCard(0), 0);
        ASSERT_TRUE(card_ = kest_sim::Card::Open(0));
    }
    std::unique_ptr<kest_sim::Card> card_;
};

TEST_F(CardTest, TheCoreLockOfADeadHolderIsTakenOver) {
    kest_sim::CardShm* shm = card_->Shm();
    enyx_hw_core* core = DesignCore();
    ASSERT_NE(core, nullptr);
    for (auto& lock : shm->core_locks) lock.owner.store(DeadPid());
    ASSERT_EQ(enyx_hw_core_lock(core), 0) << "would spin for good behind the dead holder";
    ASSERT_EQ(enyx_hw_core_unlock(core), 0);
    EXPECT_EQ(card_->Stats().lock_recoveries, 1u);
}

}  // namespace
