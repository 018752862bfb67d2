// What a killed process leaves in the card model: a core lock or a ring's right to write held by a
// dead process is taken over, and a full ring refuses and counts. The rings' order and content are the
// cardsim fuzzer's (first in, first out, byte for byte), sharing among processes the soak's (sixteen
// receivers reconciled), a poll from inside a handler the lost-packet re-bring-up's (end to end).
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
        kest_sim::CardOptions opt;
        opt.a2c_ring_bytes = 4096;
        ASSERT_EQ(kest_sim::CreateCard(0, opt), 0);
        ASSERT_TRUE(card_ = kest_sim::Card::Open(0));
    }
    std::unique_ptr<kest_sim::Card> card_;
};

TEST_F(CardTest, LocksOfDeadHoldersAreTakenOverAndAFullRingRefuses) {
    kest_sim::CardShm* shm = card_->Shm();
    enyx_hw_core* core = DesignCore();
    ASSERT_NE(core, nullptr);
    for (auto& lock : shm->core_locks) lock.owner.store(DeadPid());
    ASSERT_EQ(enyx_hw_core_lock(core), 0) << "would spin for good behind the dead holder";
    ASSERT_EQ(enyx_hw_core_unlock(core), 0);
    EXPECT_EQ(card_->Stats().lock_recoveries, 1u);

    shm->a2c[0].owner.store(uint64_t{7} << 32 | static_cast<uint32_t>(DeadPid()));
    const uint8_t m[200] = {7};
    ASSERT_TRUE(card_->PushA2c(0, m, sizeof m)) << "would spin for good behind the dead holder";
    EXPECT_EQ(card_->Stats().lock_recoveries, 2u);
    uint64_t pushed = 1;
    while (card_->PushA2c(0, m, sizeof m)) ++pushed;
    EXPECT_EQ(pushed, card_->A2cStats(0).a2c_capacity / (8 + sizeof m));  // an 8-byte header, padded to 8
    EXPECT_FALSE(card_->PushA2c(0, m, sizeof m));
    EXPECT_EQ(card_->A2cStats(0).refused, 2u);
    EXPECT_EQ(card_->A2cStats(0).pending, pushed);
}

}  // namespace
