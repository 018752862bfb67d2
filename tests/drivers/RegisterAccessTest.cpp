// CDrvRegEnyx over the card model: discovery and its failures, addressing,
// widths, the journal of writes.
#include <gtest/gtest.h>

#include <string>

#include "FpgaRegisterCommon.h"
#include "TestSupport.h"
#include "kest_cardsim.h"
#include "log/CommonLog.h"
#include "reg/DriveRegEnyx.h"

using Kest_U50::CCommonLog;
using Kest_U50::CDrvRegEnyx;

namespace {

class RegisterAccessTest : public ::testing::Test {
protected:
    void SetUp() override {
        kest_test::UsePrivateCardNamespace("reg");
        CCommonLog::GetInstance().SetLogLevel(31);
    }
    void TearDown() override {
        for (uint32_t index : kest_sim::ListCards()) kest_sim::RemoveCard(index);
    }
    std::string Log() { return kest_test::ReadFile(CCommonLog::GetInstance().GetLogFileName()); }

    kest_test::ScopedTempDir dir_;
    CDrvRegEnyx& reg_ = CDrvRegEnyx::GetInstance();
};

TEST_F(RegisterAccessTest, AccessBeforeInitFailsWithoutTouchingTheCard) {
    ASSERT_EQ(kest_sim::CreateCard(0), 0);
    uint32_t value32 = 7;
    uint64_t value64 = 7;
    EXPECT_EQ(reg_.WriteRegister(0x1001, 1), -1);
    EXPECT_EQ(reg_.ReadRegister(0x1001, value32), -1);
    EXPECT_EQ(reg_.ReadRegister(0x1001, value64), -1);
    EXPECT_EQ(value32, 0u) << "the 32-bit form clears its output";
    auto card = kest_sim::Card::Open(0);
    EXPECT_EQ(card->Stats().host_writes + card->Stats().host_reads, 0u);
    const std::string log = Log();
    EXPECT_NE(log.find("[WriteRegister] ["), std::string::npos);
    EXPECT_NE(log.find("m_lpHwCore is nullptr, please check if the CDrvRegEnyx has been initialized"),
              std::string::npos)
        << log;
}

TEST_F(RegisterAccessTest, NoCardThenDiscoveryRunsAgain) {
    EXPECT_EQ(reg_.Init(0, Kest_U50::Reg::DESIGN_CORE_ID), -1);
    const std::string log = Log();
    EXPECT_NE(log.find("[_DrvEnyxCoreGetAcc] ["), std::string::npos);
    EXPECT_NE(log.find("Could not find accelerator. err:"), std::string::npos) << log;
    EXPECT_NE(log.find("[_GetCore] ["), std::string::npos);
    EXPECT_NE(log.find("Get accelerator Failed"), std::string::npos);
    EXPECT_NE(log.find("[Init] ["), std::string::npos);
    EXPECT_NE(log.find("_GetCore is nullptr!"), std::string::npos);
    // Nothing was cached: a card that appears later is found.
    ASSERT_EQ(kest_sim::CreateCard(0), 0);
    EXPECT_NE(reg_.GetHwAccelerator(0), nullptr);
    EXPECT_EQ(reg_.Init(0, Kest_U50::Reg::DESIGN_CORE_ID), 0);
}

TEST_F(RegisterAccessTest, CardWithoutTheDesignCoreFailsInit) {
    kest_sim::CardOptions options;
    options.design_core = false;
    ASSERT_EQ(kest_sim::CreateCard(0, options), 0);
    EXPECT_EQ(reg_.Init(0, Kest_U50::Reg::DESIGN_CORE_ID), -1);
    const std::string log = Log();
    EXPECT_NE(log.find("_GetCore is nullptr!"), std::string::npos) << log;
    EXPECT_EQ(log.find("Could not find accelerator"), std::string::npos);
    EXPECT_EQ(reg_.WriteRegister(0x1001, 1), -1);
}

TEST_F(RegisterAccessTest, RegistersAreWordsAtFourTimesTheirNumber) {
    ASSERT_EQ(kest_sim::CreateCard(0), 0);
    ASSERT_EQ(reg_.Init(0, Kest_U50::Reg::DESIGN_CORE_ID), 0);
    auto card = kest_sim::Card::Open(0);
    ASSERT_NE(card, nullptr);

    EXPECT_EQ(reg_.WriteRegister(0x1001, 0xDEADBEEF), 0);
    EXPECT_EQ(card->ReadReg(0x1001), 0xDEADBEEFu);
    EXPECT_EQ(reg_.WriteRegister(0x3000, 3), 0);
    EXPECT_EQ(card->ReadReg(0x3000), 3u);

    // A 64-bit counter: both widths of the read.
    card->WriteReg(Kest_U50::Reg::MUX0_2PS_PKTS, (1ULL << 32) | 2ULL);
    uint64_t wide = 0;
    uint32_t narrow = 0;
    EXPECT_EQ(reg_.ReadRegister(Kest_U50::Reg::MUX0_2PS_PKTS, wide), 0);
    EXPECT_EQ(reg_.ReadRegister(Kest_U50::Reg::MUX0_2PS_PKTS, narrow), 0);
    EXPECT_EQ(wide, (1ULL << 32) | 2ULL);
    EXPECT_EQ(narrow, 2u);

    // The host's writes reach the card in order, as register numbers.
    kest_sim::JournalEntry first, second;
    ASSERT_TRUE(card->ReadJournal(1, first));
    ASSERT_TRUE(card->ReadJournal(2, second));
    EXPECT_EQ(first.reg, 0x1001u);
    EXPECT_EQ(first.value, 0xDEADBEEFu);
    EXPECT_EQ(second.reg, 0x3000u);

    const std::string log = Log();
    EXPECT_NE(log.find("0x1001: wrote 0xdeadbeef (3735928559)"), std::string::npos) << log;
    EXPECT_NE(log.find("0x12015: read 0x00000002 (2)"), std::string::npos) << log;
}

TEST_F(RegisterAccessTest, ExtendedDebugMaskHidesTheAccessLines) {
    ASSERT_EQ(kest_sim::CreateCard(0), 0);
    ASSERT_EQ(reg_.Init(0, Kest_U50::Reg::DESIGN_CORE_ID), 0);
    CCommonLog::GetInstance().SetLogLevel(15);
    EXPECT_EQ(reg_.WriteRegister(0x1005, 81000), 0);
    CCommonLog::GetInstance().SetLogLevel(31);
    EXPECT_EQ(reg_.WriteRegister(0x1006, 81101), 0);
    const std::string log = Log();
    EXPECT_EQ(log.find("0x1005: wrote"), std::string::npos);
    EXPECT_NE(log.find("0x1006: wrote 0x00013ccd (81101)"), std::string::npos) << log;
}

TEST_F(RegisterAccessTest, FailedAccessesAreReported) {
    ASSERT_EQ(kest_sim::CreateCard(0), 0);
    ASSERT_EQ(reg_.Init(0, Kest_U50::Reg::DESIGN_CORE_ID), 0);
    auto card = kest_sim::Card::Open(0);
    card->SetFault(kest_sim::Fault::kRegWriteFails, true);
    card->SetFault(kest_sim::Fault::kRegReadFails, true);
    uint32_t value = 99;
    EXPECT_EQ(reg_.WriteRegister(0x1001, 5), -1);
    EXPECT_EQ(reg_.ReadRegister(0x1001, value), -1);
    EXPECT_EQ(value, 0u);
    card->SetFault(kest_sim::Fault::kRegWriteFails, false);
    card->SetFault(kest_sim::Fault::kRegReadFails, false);
    // The lock was released on the failure paths: the next accesses work.
    EXPECT_EQ(reg_.WriteRegister(0x1001, 5), 0);
    EXPECT_EQ(reg_.ReadRegister(0x1001, value), 0);
    EXPECT_EQ(value, 5u);
    const std::string log = Log();
    EXPECT_NE(log.find("enyx_hw_write failed"), std::string::npos);
    EXPECT_NE(log.find("enyx_hw_read failed"), std::string::npos);
}

TEST_F(RegisterAccessTest, OnceOpenTheAcceleratorIsReturnedForAnyBus) {
    ASSERT_EQ(kest_sim::CreateCard(0), 0);
    ASSERT_EQ(reg_.Init(0, Kest_U50::Reg::DESIGN_CORE_ID), 0);
    enyx_hw_accelerator* bus0 = reg_.GetHwAccelerator(0);
    ASSERT_NE(bus0, nullptr);
    EXPECT_EQ(reg_.GetHwAccelerator(1), bus0);
}

}  // namespace
