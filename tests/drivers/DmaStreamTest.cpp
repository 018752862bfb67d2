// CDrvDMAEnyx over the card model: opening by name and its failures, the
// send limit, one message per poll.
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
using Kest_U50::CFPGADMANameType;

namespace {

Kest_U50::CFPGADMANameType ChannelName(int32_t channel) {
    CFPGADMANameType name("CUSTOM_CHAN");
    name.Append(channel);
    name.Append("_DATA");
    return name;
}

class DmaStreamTest : public ::testing::Test {
protected:
    void SetUp() override {
        kest_test::UsePrivateCardNamespace("dma");
        CCommonLog::GetInstance().SetLogLevel(31);
    }
    void TearDown() override {
        for (uint32_t index : kest_sim::ListCards()) kest_sim::RemoveCard(index);
    }
    void OpenCard(const kest_sim::CardOptions& options = {}) {
        ASSERT_EQ(kest_sim::CreateCard(0, options), 0);
        ASSERT_EQ(Kest_U50::CDrvRegEnyx::GetInstance().Init(0, Kest_U50::Reg::DESIGN_CORE_ID), 0);
        card_ = kest_sim::Card::Open(0);
        ASSERT_NE(card_, nullptr);
    }
    std::string Log() { return kest_test::ReadFile(CCommonLog::GetInstance().GetLogFileName()); }

    kest_test::ScopedTempDir dir_;
    std::unique_ptr<kest_sim::Card> card_;
};

struct Received {
    std::vector<std::vector<uint8_t>> messages;
};

void Collect(const unsigned char* data, unsigned int size, void* param) {
    static_cast<Received*>(param)->messages.emplace_back(data, data + size);
}

TEST_F(DmaStreamTest, OpensTheNamedChannelAndPollsOneMessageAtATime) {
    OpenCard();
    CDrvDMAEnyx dma;
    ASSERT_EQ(dma.Init(0, ChannelName(3)), 0);
    EXPECT_NE(Log().find("[Init] [") , std::string::npos);
    EXPECT_NE(Log().find("Init DMA success! DMAName:CUSTOM_CHAN3_DATA"), std::string::npos);

    const char first[] = "first message";
    const char second[] = "second";
    const char other[] = "for channel 4";
    ASSERT_TRUE(card_->PushA2c(3, first, sizeof(first)));
    ASSERT_TRUE(card_->PushA2c(3, second, sizeof(second)));
    ASSERT_TRUE(card_->PushA2c(4, other, sizeof(other)));

    Received got;
    dma.RecvOnce(reinterpret_cast<void*>(&Collect), &got);
    ASSERT_EQ(got.messages.size(), 1u);
    EXPECT_EQ(std::memcmp(got.messages[0].data(), first, sizeof(first)), 0);
    dma.RecvOnce(reinterpret_cast<void*>(&Collect), &got);
    dma.RecvOnce(reinterpret_cast<void*>(&Collect), &got);
    ASSERT_EQ(got.messages.size(), 2u) << "channel 4's message is not on channel 3's stream";
    EXPECT_EQ(got.messages[1].size(), sizeof(second));
}

TEST_F(DmaStreamTest, UnknownNameFailsAndLeavesNoStream) {
    OpenCard();
    CDrvDMAEnyx dma;
    EXPECT_EQ(dma.Init(0, ChannelName(16)), -1);
    EXPECT_FALSE(dma.IsOpen());
    const std::string log = Log();
    const size_t notFound = log.find("[_InitDma] [");
    ASSERT_NE(notFound, std::string::npos) << log;
    EXPECT_NE(log.find("Could not find a2c stream. err:", notFound), std::string::npos);
    EXPECT_NE(log.find("Init DMA failed!"), std::string::npos);
}

TEST_F(DmaStreamTest, TwoMatchingStreamsAreRefused) {
    OpenCard();
    card_->SetFault(kest_sim::Fault::kDuplicateA2cName, true);
    CDrvDMAEnyx dma;
    EXPECT_EQ(dma.Init(0, ChannelName(0)), -1);
    EXPECT_FALSE(dma.IsOpen());
    EXPECT_NE(Log().find("Could not find a2c stream"), std::string::npos);
}

TEST_F(DmaStreamTest, PartlyOpenedPairIsClosedByTheDestructor) {
    OpenCard();
    card_->SetFault(kest_sim::Fault::kNoC2aStream, true);
    {
        CDrvDMAEnyx dma;
        EXPECT_EQ(dma.Init(0, ChannelName(0)), -1);
        EXPECT_TRUE(dma.IsOpen()) << "the card-to-host stream stays until destruction";
        EXPECT_NE(Log().find("Could not find c2a stream"), std::string::npos);
    }
    // The stream was released: the channel opens again cleanly.
    card_->SetFault(kest_sim::Fault::kNoC2aStream, false);
    CDrvDMAEnyx again;
    EXPECT_EQ(again.Init(0, ChannelName(0)), 0);
}

TEST_F(DmaStreamTest, MtuQueryFailureFailsInit) {
    OpenCard();
    card_->SetFault(kest_sim::Fault::kA2cMtuFails, true);
    CDrvDMAEnyx dma;
    EXPECT_EQ(dma.Init(0, ChannelName(0)), -1);
    EXPECT_NE(Log().find("Could not get a2c mtu. err:"), std::string::npos);
}

TEST_F(DmaStreamTest, SendAcceptsUpToTheMtuAndNoMore) {
    kest_sim::CardOptions options;
    options.c2a_mtu = 256;
    OpenCard(options);
    CDrvDMAEnyx dma;
    ASSERT_EQ(dma.Init(0, ChannelName(2)), 0);
    std::vector<uint8_t> payload(257, 0xAB);
    EXPECT_EQ(dma.Send(payload.data(), 256), 0);
    EXPECT_EQ(dma.Send(payload.data(), 257), -1);
    std::vector<uint8_t> out;
    ASSERT_TRUE(card_->PopC2a(2, out));
    EXPECT_EQ(out.size(), 256u);
    EXPECT_FALSE(card_->PopC2a(2, out)) << "the refused message never reached the card";
    EXPECT_NE(Log().find("send error, exceed c2amtu, sendsize:257, mtu:256"), std::string::npos);
}

TEST_F(DmaStreamTest, NeverInitialisedObjectTouchesNothing) {
    OpenCard();
    {
        CDrvDMAEnyx dma;
        EXPECT_FALSE(dma.IsOpen());
        uint8_t byte = 0;
        EXPECT_EQ(dma.Send(&byte, 1), -1) << "the limit is 0 until the streams are open";
    }
    EXPECT_EQ(card_->A2cStats(0).pushed, 0u);
}

}  // namespace
