// CDrvRegEnyx and CDrvDMAEnyx over the card model: discovery and its
// failures, addressing, widths, the journal of writes; opening streams by
// name and its failures, the send limit, one message per poll.
#include <gtest/gtest.h>

#include <cstring>
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
using Kest_U50::CDrvRegEnyx;

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
    // Creates card 0 and opens the register access on it.
    void OpenCard(const kest_sim::CardOptions& options = {}) {
        ASSERT_EQ(kest_sim::CreateCard(0, options), 0);
        ASSERT_EQ(reg_.Init(0, Kest_U50::Reg::DESIGN_CORE_ID), 0);
        card_ = kest_sim::Card::Open(0);
        ASSERT_NE(card_, nullptr);
    }
    std::string Log() { return kest_test::ReadFile(CCommonLog::GetInstance().GetLogFileName()); }

    kest_test::ScopedTempDir dir_;
    CDrvRegEnyx& reg_ = CDrvRegEnyx::GetInstance();
    std::unique_ptr<kest_sim::Card> card_;
};

using RegisterAccessTest = DriverTest;

TEST_F(RegisterAccessTest, WithoutACardInitFailsCachesNothingAndAccessTouchesNothing) {
    EXPECT_EQ(reg_.Init(0, Kest_U50::Reg::DESIGN_CORE_ID), -1);
    const std::string log = Log();
    for (const char* line : {"[_DrvEnyxCoreGetAcc] [", "Could not find accelerator. err:", "[_GetCore] [",
                             "Get accelerator Failed", "[Init] [", "_GetCore is nullptr!"}) {
        EXPECT_NE(log.find(line), std::string::npos) << line;
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
    EXPECT_NE(Log().find("[WriteRegister] ["), std::string::npos);
    EXPECT_NE(Log().find("m_lpHwCore is nullptr, please check if the CDrvRegEnyx has been initialized"),
              std::string::npos);
    // Nothing was cached: the card that appeared is found.
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

TEST_F(RegisterAccessTest, RegistersAreWordsAtFourTimesTheirNumberAndFailedAccessesAreReported) {
    OpenCard();
    // Once open, the accelerator is returned for any bus.
    EXPECT_EQ(reg_.GetHwAccelerator(1), reg_.GetHwAccelerator(0));
    EXPECT_EQ(reg_.WriteRegister(0x1001, 0xDEADBEEF), 0);
    EXPECT_EQ(card_->ReadReg(0x1001), 0xDEADBEEFu);
    EXPECT_EQ(reg_.WriteRegister(0x3000, 3), 0);
    EXPECT_EQ(card_->ReadReg(0x3000), 3u);

    // A 64-bit counter: both widths of the read.
    card_->WriteReg(Kest_U50::Reg::MUX0_2PS_PKTS, (1ULL << 32) | 2ULL);
    uint64_t wide = 0;
    uint32_t narrow = 0;
    EXPECT_EQ(reg_.ReadRegister(Kest_U50::Reg::MUX0_2PS_PKTS, wide), 0);
    EXPECT_EQ(reg_.ReadRegister(Kest_U50::Reg::MUX0_2PS_PKTS, narrow), 0);
    EXPECT_EQ(wide, (1ULL << 32) | 2ULL);
    EXPECT_EQ(narrow, 2u);

    // The host's writes reach the card in order, as register numbers.
    kest_sim::JournalEntry first, second;
    ASSERT_TRUE(card_->ReadJournal(1, first));
    ASSERT_TRUE(card_->ReadJournal(2, second));
    EXPECT_EQ(std::make_pair(first.reg, first.value), std::make_pair(0x1001u, 0xDEADBEEFu));
    EXPECT_EQ(second.reg, 0x3000u);

    // Access lines need the extended debug bit of the mask.
    CCommonLog::GetInstance().SetLogLevel(15);
    EXPECT_EQ(reg_.WriteRegister(0x1005, 81000), 0);
    CCommonLog::GetInstance().SetLogLevel(31);
    EXPECT_EQ(reg_.WriteRegister(0x1006, 81101), 0);
    const std::string log = Log();
    EXPECT_NE(log.find("0x1001: wrote 0xdeadbeef (3735928559)"), std::string::npos) << log;
    EXPECT_NE(log.find("0x12015: read 0x00000002 (2)"), std::string::npos) << log;
    EXPECT_EQ(log.find("0x1005: wrote"), std::string::npos);
    EXPECT_NE(log.find("0x1006: wrote 0x00013ccd (81101)"), std::string::npos);

    // Failed accesses are reported and release the lock: the next ones work.
    card_->SetFault(kest_sim::Fault::kRegWriteFails, true);
    card_->SetFault(kest_sim::Fault::kRegReadFails, true);
    uint32_t value = 99;
    EXPECT_EQ(reg_.WriteRegister(0x1001, 5), -1);
    EXPECT_EQ(reg_.ReadRegister(0x1001, value), -1);
    EXPECT_EQ(value, 0u);
    card_->SetFault(kest_sim::Fault::kRegWriteFails, false);
    card_->SetFault(kest_sim::Fault::kRegReadFails, false);
    EXPECT_EQ(reg_.WriteRegister(0x1001, 5), 0);
    EXPECT_EQ(reg_.ReadRegister(0x1001, value), 0);
    EXPECT_EQ(value, 5u);
    EXPECT_NE(Log().find("enyx_hw_write failed"), std::string::npos);
    EXPECT_NE(Log().find("enyx_hw_read failed"), std::string::npos);
}

using DmaStreamTest = DriverTest;

Kest_U50::CFPGADMANameType ChannelName(int32_t channel) {
    Kest_U50::CFPGADMANameType name("CUSTOM_CHAN");
    name.Append(channel);
    name.Append("_DATA");
    return name;
}

void Collect(const unsigned char* data, unsigned int size, void* param) {
    static_cast<std::vector<std::vector<uint8_t>>*>(param)->emplace_back(data, data + size);
}

TEST_F(DmaStreamTest, OpensTheNamedChannelPollsOneMessageAtATimeAndSendsUpToTheMtu) {
    kest_sim::CardOptions options;
    options.c2a_mtu = 256;
    OpenCard(options);
    CDrvDMAEnyx dma;
    std::vector<uint8_t> payload(257, 0xAB);
    EXPECT_FALSE(dma.IsOpen());
    EXPECT_EQ(dma.Send(payload.data(), 1), -1) << "the limit is 0 until the streams are open";
    ASSERT_EQ(dma.Init(0, ChannelName(3)), 0);
    EXPECT_NE(Log().find("[Init] ["), std::string::npos);
    EXPECT_NE(Log().find("Init DMA success! DMAName:CUSTOM_CHAN3_DATA"), std::string::npos);

    const char first[] = "first message", second[] = "second", other[] = "for channel 4";
    ASSERT_TRUE(card_->PushA2c(3, first, sizeof(first)));
    ASSERT_TRUE(card_->PushA2c(3, second, sizeof(second)));
    ASSERT_TRUE(card_->PushA2c(4, other, sizeof(other)));
    std::vector<std::vector<uint8_t>> got;
    dma.RecvOnce(reinterpret_cast<void*>(&Collect), &got);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(std::memcmp(got[0].data(), first, sizeof(first)), 0);
    dma.RecvOnce(reinterpret_cast<void*>(&Collect), &got);
    dma.RecvOnce(reinterpret_cast<void*>(&Collect), &got);
    ASSERT_EQ(got.size(), 2u) << "channel 4's message is not on channel 3's stream";
    EXPECT_EQ(got[1].size(), sizeof(second));

    EXPECT_EQ(dma.Send(payload.data(), 256), 0);
    EXPECT_EQ(dma.Send(payload.data(), 257), -1);
    std::vector<uint8_t> out;
    ASSERT_TRUE(card_->PopC2a(3, out));
    EXPECT_EQ(out.size(), 256u);
    EXPECT_FALSE(card_->PopC2a(3, out)) << "refused messages never reach the card";
    EXPECT_NE(Log().find("send error, exceed c2amtu, sendsize:257, mtu:256"), std::string::npos);
}

TEST_F(DmaStreamTest, FailedOpensSayWhyAndTheDestructorClosesWhatWasOpened) {
    OpenCard();
    struct Case {
        const char* what;
        bool faulty;
        kest_sim::Fault fault;
        int32_t channel;
        bool leftOpen;  // a stream already created stays until destruction
        const char* line;
    };
    const Case cases[] = {
        {"unknown name", false, kest_sim::Fault::kNoC2aStream, 16, false, "Could not find a2c stream. err:"},
        {"two matching streams", true, kest_sim::Fault::kDuplicateA2cName, 0, false,
         "Could not find a2c stream"},
        {"no card-to-host stream", true, kest_sim::Fault::kNoC2aStream, 0, true, "Could not find c2a stream"},
        {"mtu query fails", true, kest_sim::Fault::kA2cMtuFails, 0, true, "Could not get a2c mtu. err:"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const size_t mark = Log().size();
        card_->SetFault(c.fault, c.faulty);
        {
            CDrvDMAEnyx dma;
            EXPECT_EQ(dma.Init(0, ChannelName(c.channel)), -1);
            EXPECT_EQ(dma.IsOpen(), c.leftOpen);
        }
        card_->SetFault(c.fault, false);
        const std::string log = Log().substr(mark);
        for (const std::string& line :
             {std::string("[_InitDma] ["), std::string(c.line), std::string("Init DMA failed!")}) {
            EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
        }
    }
    // Every stream was released: the channel opens again cleanly.
    CDrvDMAEnyx again;
    EXPECT_EQ(again.Init(0, ChannelName(0)), 0);
}

}  // namespace
