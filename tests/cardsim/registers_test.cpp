// Register access through the design core: widths, the table protocol, starts, resets, the journal.
#include <unistd.h>

#include <cerrno>
#include <tuple>

#include "host_access.h"

namespace cardsim_test {
namespace {

// Writes store 32 bits, reads give all 64; addresses off a word or past the registers are refused.
TEST_F(CardTest, RegistersAreWordsAtFourTimesTheirNumber) {
    Make();
    EXPECT_EQ(host_->WriteAt(0x4004, 0x1234567800000009ull), 0);
    EXPECT_EQ(card_->ReadReg(0x1001), 9u);
    card_->WriteReg(R::REGISTER_SPACE - 1, 0xFFFFFFFF00000002ull);
    EXPECT_EQ(host_->Read(R::REGISTER_SPACE - 1), 0xFFFFFFFF00000002ull);
    uint64_t v = 0;
    for (uint64_t address :
         {uint64_t{0x4005}, uint64_t{0x4007}, R::ByteAddress(R::REGISTER_SPACE), uint64_t{1} << 40}) {
        errno = 0;
        EXPECT_TRUE(host_->WriteAt(address, 1) == -1 && errno == EINVAL) << address;
        errno = 0;
        EXPECT_TRUE(host_->ReadAt(address, v) == -1 && errno == EINVAL) << address;
    }
}

TEST_F(CardTest, TableWordsTravelThroughTheProtocolWithinEachTable) {
    Make();
    const std::pair<int, uint32_t> tables[] = {
        {SHFE_2PS, 4096}, {SHFE_4PS, 4096}, {INE_2PS, 1024}, {INE_4PS, 1024}};
    // Every table is written before any is read, so that tables sharing storage would show.
    for (auto [t, entries] : tables) {
        const uint32_t words[] = {0, 7 * 64 + 3, entries * 64 - 1,
                                  entries * 64};  // the last beyond the table
        for (uint32_t k = 0; k < 4; ++k)
            host_->WriteTableWord(TableWaddr(t), words[k], 0x1000u * (t + 1) + k);
    }
    for (auto [t, entries] : tables) {
        SCOPED_TRACE(t);
        const uint32_t v = 0x1000u * (t + 1);
        EXPECT_EQ(card_->TableEntries(t), entries);
        const uint32_t words[] = {0, 7 * 64 + 3, entries * 64 - 1, 1, entries * 64};
        const uint32_t want[] = {v, v + 1, v + 2, 0, 0};
        for (uint32_t k = 0; k < 5; ++k) {
            EXPECT_EQ(host_->ReadTableWord(TableWaddr(t), words[k]), want[k]) << words[k];
            EXPECT_EQ(card_->ReadTableWord(t, words[k]), want[k]) << words[k];
        }
        EXPECT_EQ(card_->Stats().table_writes[t], 3u);
        EXPECT_EQ(card_->Stats().table_range_drops[t], 2u);
        EXPECT_EQ(card_->ReadTableEntry(t, entries).config, 0u);
    }
    card_->WriteTableWord(INE_4PS, 64, 0x77);  // and the model side
    EXPECT_EQ(host_->ReadTableWord(R::INE4PS_TABLE_WADDR, 64), 0x77u);
}

// A core reset (each product start) keeps the design's state; a card start reopens the table
// channels and restarts the logic (logical starts, line counters) but keeps the programming.
TEST_F(CardTest, TableChannelCloseCoreResetAndCardStart) {
    Make();
    host_->WriteTableWord(R::SHFE2PS_TABLE_WADDR, 10, 0x55);
    host_->WriteTableWord(R::SHFE2PS_TABLE_WADDR, R::TABLE_CLOSE_ADDR, 2);  // only data 1 closes
    EXPECT_TRUE(card_->TableChannelOpen(SHFE_2PS));
    host_->WriteTableWord(R::SHFE2PS_TABLE_WADDR, R::TABLE_CLOSE_ADDR, R::TABLE_CLOSE_DATA);
    EXPECT_FALSE(card_->TableChannelOpen(SHFE_2PS));
    EXPECT_TRUE(card_->TableChannelOpen(SHFE_4PS));
    host_->WriteTableWord(R::SHFE2PS_TABLE_WADDR, 10, 0x66);
    EXPECT_EQ(card_->ReadTableWord(SHFE_2PS, 10), 0x55u) << "write while closed must be dropped";
    EXPECT_EQ(host_->ReadTableWord(R::SHFE2PS_TABLE_WADDR, 10), 0u) << "read while closed gives 0";
    EXPECT_EQ(card_->Stats().table_closed_drops[SHFE_2PS], 2u);
    host_->WriteTableWord(R::INE2PS_TABLE_WADDR, 10, 0x67);
    EXPECT_EQ(card_->ReadTableWord(INE_2PS, 10), 0x67u) << "other tables go on";

    const std::vector<uint32_t> logic = {R::LOGIC_START_2PS, R::LOGIC_START_4PS, R::MUX0_2PS_PKTS,
                                         R::MUX1_2PS_PKTS,   R::MUX0_4PS_PKTS,   R::MUX1_4PS_PKTS};
    const std::vector<uint32_t> programming = {R::CONFIG_CRC,          R::SHFE_INST_COUNT,
                                               R::INE_INST_COUNT,      R::SHFE2PS_MCAST_IP_A,
                                               R::DETECT_INTERVAL_4PS, R::LAST_UPDATE_TIME_0};
    auto values = [&](const std::vector<uint32_t>& regs) {
        std::vector<uint64_t> v;
        for (uint32_t r : regs) v.push_back(card_->ReadReg(r));
        return v;
    };
    for (uint32_t r : logic) card_->WriteReg(r, 0x100000000ull + r);
    for (uint32_t r : programming) card_->WriteReg(r, 0x200000000ull + r);
    const std::vector<uint64_t> running = values(logic), programmed = values(programming);
    EXPECT_EQ(enyx_hw_core_reset(host_->root), 0);
    host_->Write(R::CARD_START, 0);  // only 1 starts the card
    EXPECT_EQ(card_->Stats().core_resets, 1u);
    EXPECT_FALSE(card_->TableChannelOpen(SHFE_2PS));
    EXPECT_EQ(values(logic), running);

    host_->Write(R::CARD_START, 1);
    EXPECT_EQ(card_->Stats().card_starts, 1u);
    EXPECT_EQ(values(logic), std::vector<uint64_t>(logic.size(), 0));
    EXPECT_EQ(values(programming), programmed);
    EXPECT_TRUE(card_->TableChannelOpen(SHFE_2PS));
    EXPECT_EQ(host_->ReadTableWord(R::SHFE2PS_TABLE_WADDR, 10), 0x55u);
    host_->WriteTableWord(R::SHFE2PS_TABLE_WADDR, 10, 0x66);
    EXPECT_EQ(card_->ReadTableWord(SHFE_2PS, 10), 0x66u);
}

TEST_F(CardTest, JournalKeepsHostWritesInOrderWithoutTableWordTraffic) {
    Make();
    auto entries = [&](uint64_t from, uint64_t to) {  // (seq, reg, value, pid) of what can be read
        std::vector<std::tuple<uint64_t, uint32_t, uint32_t, int32_t>> out;
        for (kest_sim::JournalEntry e; from <= to; ++from)
            if (card_->ReadJournal(from, e)) out.emplace_back(e.seq, e.reg, e.value, e.pid);
        return out;
    };
    host_->Write(R::CARD_START, 1);
    host_->Write(R::SNAPSHOT_MODE, R::SNAPSHOT_MODE_ON);
    host_->WriteTableWord(R::SHFE2PS_TABLE_WADDR, 3, 4);
    host_->ReadTableWord(R::INE4PS_TABLE_WADDR, 3);
    host_->Write(R::SlotDstPort(2), 30002);
    host_->WriteTableWord(R::INE2PS_TABLE_WADDR, R::TABLE_CLOSE_ADDR, R::TABLE_CLOSE_DATA);
    card_->WriteReg(R::MUX0_2PS_PKTS, 5);  // model side: not a host write
    const int32_t me = getpid();
    EXPECT_EQ(card_->JournalHead(), 4u);
    EXPECT_EQ(entries(0, 5), (decltype(entries(0, 0)){{1, R::CARD_START, 1, me},
                                                      {2, R::SNAPSHOT_MODE, 0xF, me},
                                                      {3, R::SlotDstPort(2), 30002, me},
                                                      {4, R::INE2PS_TABLE_WADDR, 0xFFFFFFFFu, me}}));
}

}  // namespace
}  // namespace cardsim_test
