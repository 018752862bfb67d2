// CDrvRegEnyx and CDrvDMAEnyx over the card model: discovery and its
// failures, addressing and widths; opening streams by name and its
// failures, the send limit, one message per poll.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "DateType.h"
#include "FpgaRegisterCommon.h"
#include "TestSupport.h"
#include "dma/DriveDMAEnyx.h"
#include "kest_cardsim.h"
#include "log/CommonLog.h"
#include "reg/DriveRegEnyx.h"

using Kest_U50::CCommonLog;
using Kest_U50::CDrvDMAEnyx;
using Kest_U50::Reg::DESIGN_CORE_ID;

namespace {

class DriverTest : public ::testing::Test {
protected:
    void SetUp() override {
        kest_test::UsePrivateCardNamespace("drivers");
        CCommonLog::GetInstance().SetLogLevel(31);
    }
    void TearDown() override {
        for (uint32_t index : kest_sim::ListCards()) kest_sim::RemoveCard(index);
    }
    void OpenCard(const kest_sim::CardOptions& options = {}) {
        ASSERT_EQ(kest_sim::CreateCard(0, options), 0);
        ASSERT_EQ(reg_.Init(0, DESIGN_CORE_ID), 0);
        ASSERT_NE(card_ = kest_sim::Card::Open(0), nullptr);
    }
    bool Logged(const std::string& text) {
        return kest_test::ReadFile(CCommonLog::GetInstance().GetLogFileName()).find(text) !=
               std::string::npos;
    }

    kest_test::ScopedTempDir dir_;
    Kest_U50::CDrvRegEnyx& reg_ = Kest_U50::CDrvRegEnyx::GetInstance();
    std::unique_ptr<kest_sim::Card> card_;
};

using RegisterAccessTest = DriverTest;

TEST_F(RegisterAccessTest, WithoutACardInitFailsCachesNothingAndAccessTouchesNothing) {
    EXPECT_EQ(reg_.Init(0, DESIGN_CORE_ID), -1);
    for (const char* line : {"[_DrvEnyxCoreGetAcc] [", "Could not find accelerator. err:", "[_GetCore] [",
                             "Get accelerator Failed", "[Init] [", "_GetCore is nullptr!"}) {
        EXPECT_TRUE(Logged(line)) << line;
    }
    // Until an Init succeeds, accesses fail without reaching a card.
    ASSERT_EQ(kest_sim::CreateCard(0), 0);
    uint32_t value32 = 7;
    uint64_t value64 = 7;
    EXPECT_EQ(reg_.WriteRegister(0x1001, 1), -1);
    EXPECT_EQ(reg_.ReadRegister(0x1001, value32), -1);
    EXPECT_EQ(reg_.ReadRegister(0x1001, value64), -1);
    EXPECT_EQ(value32, 0u) << "the 32-bit form clears its output";
    auto card = kest_sim::Card::Open(0);
    EXPECT_EQ(card->Stats().host_writes + card->Stats().host_reads, 0u);
    EXPECT_TRUE(Logged("m_lpHwCore is nullptr, please check if the CDrvRegEnyx has been initialized"));
    // Nothing was cached: the card that appeared is found.
    EXPECT_EQ(reg_.Init(0, DESIGN_CORE_ID), 0);
}

TEST_F(RegisterAccessTest, CardWithoutTheDesignCoreFailsInit) {
    kest_sim::CardOptions options;
    options.design_core = false;
    ASSERT_EQ(kest_sim::CreateCard(0, options), 0);
    EXPECT_EQ(reg_.Init(0, DESIGN_CORE_ID), -1);
    EXPECT_TRUE(Logged("_GetCore is nullptr!"));
    EXPECT_FALSE(Logged("Could not find accelerator"));
    EXPECT_EQ(reg_.WriteRegister(0x1001, 1), -1);
}

TEST_F(RegisterAccessTest, RegistersAreWordsAtFourTimesTheirNumberReadInBothWidths) {
    OpenCard();
    EXPECT_EQ(reg_.GetHwAccelerator(1), reg_.GetHwAccelerator(0)) << "once open, for any bus";
    EXPECT_EQ(reg_.WriteRegister(0x1001, 0xDEADBEEF), 0);
    EXPECT_EQ(card_->ReadReg(0x1001), 0xDEADBEEFu);

    card_->WriteReg(Kest_U50::Reg::MUX0_2PS_PKTS, (1ULL << 32) | 2ULL);
    uint64_t wide = 0;
    uint32_t narrow = 0;
    EXPECT_EQ(reg_.ReadRegister(Kest_U50::Reg::MUX0_2PS_PKTS, wide), 0);
    EXPECT_EQ(reg_.ReadRegister(Kest_U50::Reg::MUX0_2PS_PKTS, narrow), 0);
    EXPECT_EQ(std::make_pair(wide, narrow), std::make_pair(uint64_t{(1ULL << 32) | 2ULL}, 2u));
    EXPECT_TRUE(Logged("0x1001: wrote 0xdeadbeef (3735928559)"));

    // A failed access releases the lock: the next one works.
    card_->SetFault(kest_sim::Fault::kRegWriteFails, true);
    EXPECT_EQ(reg_.WriteRegister(0x1001, 5), -1);
    card_->SetFault(kest_sim::Fault::kRegWriteFails, false);
    EXPECT_EQ(reg_.WriteRegister(0x1001, 5), 0);
    EXPECT_TRUE(Logged("enyx_hw_write failed"));
}

using DmaStreamTest = DriverTest;

Kest_U50::CFPGADMANameType ChannelName(int32_t channel) {
    return Kest_U50::CFPGADMANameType().UnSafeCopyFrom(
        ("CUSTOM_CHAN" + std::to_string(channel) + "_DATA").c_str());
}

void Collect(const unsigned char* data, unsigned int size, void* param) {
    static_cast<std::vector<std::string>*>(param)->emplace_back(reinterpret_cast<const char*>(data), size);
}

TEST_F(DmaStreamTest, OpensTheNamedChannelPollsOneMessageAtATimeAndSendsUpToTheMtu) {
    kest_sim::CardOptions options;
    options.c2a_mtu = 256;
    OpenCard(options);
    CDrvDMAEnyx dma;
    std::vector<uint8_t> payload(257, 0xAB);
    std::vector<std::string> got;
    EXPECT_FALSE(dma.IsOpen());
    EXPECT_EQ(dma.Send(payload.data(), 1), -1) << "the limit is 0 until the streams are open";
    ASSERT_TRUE(card_->PushA2c(3, "early", 5));
    dma.RecvOnce(reinterpret_cast<void*>(&Collect), &got);
    EXPECT_TRUE(got.empty()) << "nothing is read before Init";
    ASSERT_EQ(dma.Init(0, ChannelName(3)), 0);
    EXPECT_TRUE(Logged("Init DMA success! DMAName:CUSTOM_CHAN3_DATA"));

    ASSERT_TRUE(card_->PushA2c(3, "second", 6) && card_->PushA2c(4, "other", 5));
    dma.RecvOnce(reinterpret_cast<void*>(&Collect), &got);
    EXPECT_EQ(got, std::vector<std::string>{"early"});
    dma.RecvOnce(reinterpret_cast<void*>(&Collect), &got);
    dma.RecvOnce(reinterpret_cast<void*>(&Collect), &got);
    EXPECT_EQ(got, (std::vector<std::string>{"early", "second"})) << "nor channel 4's message";

    EXPECT_EQ(dma.Send(payload.data(), 256), 0);
    EXPECT_EQ(dma.Send(payload.data(), 257), -1);
    std::vector<uint8_t> out;
    ASSERT_TRUE(card_->PopC2a(3, out));
    EXPECT_EQ(out.size(), 256u);
    EXPECT_FALSE(card_->PopC2a(3, out)) << "refused messages never reach the card";
    EXPECT_TRUE(Logged("send error, exceed c2amtu, sendsize:257, mtu:256"));
}

TEST_F(DmaStreamTest, FailedOpensSayWhyAndTheDestructorClosesWhatWasOpened) {
    OpenCard();
    struct Case {
        bool faulty;
        kest_sim::Fault fault;
        int32_t channel;
        bool leftOpen;  // a stream already created stays until destruction
        const char* line;
    };
    const Case cases[] = {// A filter that matches no stream is not a failure of the call, but
                          // the log must say why: the model leaves ENOENT, not a stale errno.
                          {false, kest_sim::Fault::kNoC2aStream, 16, false,
                           "Could not find a2c stream. err:No such file or directory"},
                          {true, kest_sim::Fault::kDuplicateA2cName, 0, false, "Could not find a2c stream"},
                          {true, kest_sim::Fault::kNoC2aStream, 0, true,
                           "Could not find c2a stream. err:No such file or directory"},
                          {true, kest_sim::Fault::kA2cMtuFails, 0, true, "Could not get a2c mtu. err:"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        const size_t mark = kest_test::ReadFile(CCommonLog::GetInstance().GetLogFileName()).size();
        card_->SetFault(c.fault, c.faulty);
        {
            CDrvDMAEnyx dma;
            EXPECT_EQ(dma.Init(0, ChannelName(c.channel)), -1);
            EXPECT_EQ(dma.IsOpen(), c.leftOpen);
        }
        card_->SetFault(c.fault, false);
        const std::string log = kest_test::ReadFile(CCommonLog::GetInstance().GetLogFileName()).substr(mark);
        for (const char* line : {"[_InitDma] [", c.line, "Init DMA failed!"}) {
            EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
        }
    }
    CDrvDMAEnyx again;
    EXPECT_EQ(again.Init(0, ChannelName(0)), 0) << "every stream was released";
}

}  // namespace
