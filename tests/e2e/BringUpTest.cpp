// Quotes in buffer mode after a bring-up, restarts that skip the bring-up
// and those that must not. (The bring-up's registers, access for access, are
// the register trace's.)
#include <arpa/inet.h>

#include <map>
#include <set>
#include <tuple>

#include "E2eSupport.h"
#include "FpgaRegisterCommon.h"

// The product calls sleep() through the C library: this definition records
// the bring-up's pauses instead of waiting.
extern "C" unsigned int sleep(unsigned int seconds) {
    auto card = kest_sim::Card::Open(0);
    e2e::sleeps.push_back({seconds, card ? card->JournalHead() : 0});
    return 0;
}

namespace e2e {
namespace {

namespace R = Kest_U50::Reg;

class BringUpTest : public World {};

TEST_F(BringUpTest, BufferModeFillsTheCallersRecordWithEveryQuote) {
    const std::string path = OpenCardWith();
    Api api;
    ASSERT_EQ(api->KestStart(path.c_str()), 0) << Log();
    card_->Step(20);
    EXPECT_EQ(api->KestRecv(), 0) << "no buffer named: nothing delivered, nothing lost";
    KestShfeMdType record;
    record.inst_no = 0xEEEEEEEEu;
    ASSERT_TRUE(
        PollUntil([&] { return api->KestRecv(record); }, [&] { return record.inst_no != 0xEEEEEEEEu; }));
    ASSERT_NE(Find(record), nullptr) << record.inst_id;
    EXPECT_EQ(record.max_inst_no, card_->Model().ReadReg(R::SHFE2PS_MAX_INST_NO + record.type));
    uint64_t received = 1;
    int32_t r = 0;
    PollUntil([&] { return r = api->KestRecv(record), received += r, r; },
              [&] { return received >= card_->QuotesWritten(0); });
    EXPECT_EQ(received, card_->QuotesWritten(0));
}

class RestartTest : public World {};

TEST_F(RestartTest, OnlyAnUnchangedFileOnACountingCardWithTheCheckOnSkipsTheBringUp) {
    const std::string path = OpenCardWith();
    bool wrote = false;
    // A new object on the file, which must receive either way; returns the bring-ups it made.
    auto start = [&] {
        const uint64_t starts = card_->Model().Stats().card_starts;
        const uint64_t head = card_->Model().JournalHead();
        Api api;
        Collector spi;
        EXPECT_EQ(api->KestStart(spi, path.c_str()), 0) << Log();
        wrote = card_->Model().JournalHead() != head;
        EXPECT_TRUE(Flows(api.obj, spi));
        card_->Step(50);
        return card_->Model().Stats().card_starts - starts;
    };
    ASSERT_EQ(start(), 1u);
    ASSERT_NE(card_->Model().ReadReg(R::MUX0_2PS_PKTS) + card_->Model().ReadReg(R::MUX0_4PS_PKTS), 0u);
    EXPECT_EQ(start(), 0u) << "unchanged file, counting card";
    EXPECT_FALSE(wrote) << "not one register written";
    EXPECT_EQ(sleeps.size(), 3u);
    EXPECT_TRUE(Logged("channel0 " + path + " no changes have occurred, no initialization required ["));

    kest_test::WriteFile(path, kest_test::ReadFile(path) + "# edited\n");
    EXPECT_EQ(start(), 1u) << "a changed comment";
    EXPECT_EQ(card_->Model().ReadReg(R::CONFIG_CRC), FileCrc(path));
    for (uint32_t reg : {R::MUX0_2PS_PKTS, R::MUX1_2PS_PKTS, R::MUX0_4PS_PKTS, R::MUX1_4PS_PKTS})
        card_->Model().WriteReg(reg, 0);
    EXPECT_EQ(start(), 1u) << "a card that counts no packets";
    ConfigText noCheck;
    noCheck.crc_mux_check = 0;
    WriteConfig(noCheck);
    EXPECT_EQ(start(), 1u);
    EXPECT_EQ(start(), 1u) << "without the check every start programs the card";
}

}  // namespace
}  // namespace e2e
