// Register access through the design core: addressing, widths, the
// instrument-table protocol, card start, the journal and core reset.
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "host_access.h"

namespace cardsim_test {
namespace {

namespace R = Kest_U50::Reg;
using kest_sim::Fault;

class RegistersTest : public CardFixture {
protected:
    void SetUp() override {
        ASSERT_EQ(kest_sim::CreateCard(0), 0);
        card_ = kest_sim::Card::Open(0);
        ASSERT_NE(card_, nullptr);
        host_ = std::make_unique<Host>(0);
        ASSERT_TRUE(host_->ok());
    }
    // The journal's entries from seq `from` on.
    std::vector<kest_sim::JournalEntry> JournalFrom(uint64_t from) {
        std::vector<kest_sim::JournalEntry> out;
        for (uint64_t s = from; s <= card_->JournalHead(); ++s) {
            kest_sim::JournalEntry e;
            EXPECT_TRUE(card_->ReadJournal(s, e)) << s;
            out.push_back(e);
        }
        return out;
    }
    std::unique_ptr<kest_sim::Card> card_;
    std::unique_ptr<Host> host_;
};

struct TableRegs {
    int table;
    uint32_t waddr;
    uint32_t entries;
};
constexpr TableRegs kTableRegs[] = {
    {SHFE_2PS, R::SHFE2PS_TABLE_WADDR, 4096},
    {SHFE_4PS, R::SHFE4PS_TABLE_WADDR, 4096},
    {INE_2PS, R::INE2PS_TABLE_WADDR, 1024},
    {INE_4PS, R::INE4PS_TABLE_WADDR, 1024},
};

TEST_F(RegistersTest, ByteAddressIsFourTimesTheRegisterNumber) {
    EXPECT_EQ(host_->WriteAt(0x4004, 0xCAFEF00D), 0);
    EXPECT_EQ(card_->ReadReg(0x1001), 0xCAFEF00Du);
    EXPECT_EQ(card_->ReadReg(0x1002), 0u);
    EXPECT_EQ(card_->ReadReg(0x1000), 0u);

    // 0x44000 is the SHFE 2ps table's write address: the word lands in the table.
    EXPECT_EQ(host_->WriteAt(0x44004, 0xABCD), 0);  // write data
    EXPECT_EQ(host_->WriteAt(0x44000, 130), 0);     // write address
    EXPECT_EQ(card_->ReadTableWord(SHFE_2PS, 130), 0xABCDu);

    card_->WriteReg(R::SHFE_INST_COUNT, 321);
    uint64_t v = 0;
    EXPECT_EQ(host_->ReadAt(4 * 0x1F11, v), 0);
    EXPECT_EQ(v, 321u);
}

TEST_F(RegistersTest, MisalignedOrOutOfRangeAddressesFail) {
    uint64_t v = 0;
    for (uint64_t address :
         {uint64_t{0x4005}, uint64_t{0x4006}, uint64_t{0x4007}, R::ByteAddress(R::REGISTER_SPACE),
          R::ByteAddress(R::REGISTER_SPACE) + 4, uint64_t{1} << 40}) {
        SCOPED_TRACE(address);
        errno = 0;
        EXPECT_EQ(host_->WriteAt(address, 1), -1);
        EXPECT_EQ(errno, EINVAL);
        errno = 0;
        EXPECT_EQ(host_->ReadAt(address, v), -1);
        EXPECT_EQ(errno, EINVAL);
    }
    const uint32_t last = R::REGISTER_SPACE - 1;
    EXPECT_EQ(host_->WriteAt(R::ByteAddress(last), 5), 0);
    EXPECT_EQ(card_->ReadReg(last), 5u);

    // Registers are reached through the design core only.
    enyx_hw_register_description d{};
    d.address = 0x4004;
    d.size = 32;
    EXPECT_EQ(enyx_hw_write(host_->root(), &d, 1), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(enyx_hw_read(host_->core(), nullptr, &v), -1);
    EXPECT_EQ(enyx_hw_read(host_->core(), &d, nullptr), -1);
}

TEST_F(RegistersTest, ReadsGiveTheWhole64BitValueWritesStore32Bits) {
    card_->WriteReg(R::MUX0_2PS_PKTS, (uint64_t{1} << 32) | 2);
    EXPECT_EQ(host_->Read(R::MUX0_2PS_PKTS), (uint64_t{1} << 32) | 2);
    card_->WriteReg(R::LAST_UPDATE_TIME_0 + 3, 0xFFFFFFFFFFFFFFFEull);
    EXPECT_EQ(host_->Read(R::LAST_UPDATE_TIME_0 + 3), 0xFFFFFFFFFFFFFFFEull);

    EXPECT_EQ(host_->WriteAt(R::ByteAddress(R::SNAPSHOT_MODE), 0x1234567800000009ull), 0);
    EXPECT_EQ(card_->ReadReg(R::SNAPSHOT_MODE), 9u);
    EXPECT_EQ(host_->Read(R::SNAPSHOT_MODE), 9u);
}

TEST_F(RegistersTest, TableWordsGoInAndComeBackThroughTheProtocol) {
    for (const TableRegs& t : kTableRegs) {
        SCOPED_TRACE(t.table);
        EXPECT_EQ(card_->TableEntries(t.table), t.entries);
        const uint32_t last = t.entries * 64 - 1;
        const uint32_t base = 0x1000u * static_cast<uint32_t>(t.table + 1);
        host_->WriteTableWord(t.waddr, 0, base + 1);
        host_->WriteTableWord(t.waddr, 7 * 64 + 3, base + 2);
        host_->WriteTableWord(t.waddr, last, base + 3);
        EXPECT_EQ(card_->ReadTableWord(t.table, 0), base + 1);
        EXPECT_EQ(card_->ReadTableWord(t.table, 7 * 64 + 3), base + 2);
        EXPECT_EQ(card_->ReadTableWord(t.table, last), base + 3);
        EXPECT_EQ(host_->ReadTableWord(t.waddr, 0), base + 1);
        EXPECT_EQ(host_->ReadTableWord(t.waddr, 7 * 64 + 3), base + 2);
        EXPECT_EQ(host_->ReadTableWord(t.waddr, last), base + 3);
        EXPECT_EQ(host_->ReadTableWord(t.waddr, 1), 0u);
        EXPECT_EQ(card_->Stats().table_writes[t.table], 3u);
    }
    // Each table is its own: nothing written to one shows in another.
    for (const TableRegs& t : kTableRegs) {
        for (const TableRegs& other : kTableRegs) {
            if (other.table == t.table) continue;
            EXPECT_NE(card_->ReadTableWord(other.table, 0), 0x1000u * static_cast<uint32_t>(t.table + 1) + 1);
        }
    }
    // Model-side words read back through the host, and a whole entry.
    SInstTableType e{};
    e.config = 0x80000004;
    e.price_tick = 5;
    e.open_interest = 0x0000000100000002ull;
    std::strcpy(e.inst_id, "cu2412");
    uint32_t words[64];
    std::memcpy(words, &e, sizeof words);
    for (uint32_t w = 0; w < 64; ++w) host_->WriteTableWord(R::SHFE4PS_TABLE_WADDR, 9 * 64 + w, words[w]);
    const SInstTableType got = card_->ReadTableEntry(SHFE_4PS, 9);
    EXPECT_EQ(std::memcmp(&got, &e, sizeof e), 0);
    EXPECT_STREQ(got.inst_id, "cu2412");
    card_->WriteTableWord(INE_4PS, 64, 0x77);
    EXPECT_EQ(host_->ReadTableWord(R::INE4PS_TABLE_WADDR, 64), 0x77u);
}

TEST_F(RegistersTest, CloseChannelDropsTrafficUntilCardStart) {
    host_->WriteTableWord(R::SHFE2PS_TABLE_WADDR, 10, 0x55);
    // Data other than 1 before the all-ones address does not close.
    host_->WriteTableWord(R::SHFE2PS_TABLE_WADDR, R::TABLE_CLOSE_ADDR, 2);
    EXPECT_TRUE(card_->TableChannelOpen(SHFE_2PS));
    EXPECT_EQ(card_->Stats().table_range_drops[SHFE_2PS], 1u);

    host_->WriteTableWord(R::SHFE2PS_TABLE_WADDR, R::TABLE_CLOSE_ADDR, R::TABLE_CLOSE_DATA);
    EXPECT_FALSE(card_->TableChannelOpen(SHFE_2PS));
    EXPECT_TRUE(card_->TableChannelOpen(SHFE_4PS));
    EXPECT_TRUE(card_->TableChannelOpen(INE_2PS));

    host_->WriteTableWord(R::SHFE2PS_TABLE_WADDR, 10, 0x66);
    EXPECT_EQ(card_->ReadTableWord(SHFE_2PS, 10), 0x55u) << "write while closed must be dropped";
    EXPECT_EQ(host_->ReadTableWord(R::SHFE2PS_TABLE_WADDR, 10), 0u) << "read while closed gives 0";
    EXPECT_EQ(card_->Stats().table_closed_drops[SHFE_2PS], 2u);
    // Other tables go on.
    host_->WriteTableWord(R::INE2PS_TABLE_WADDR, 10, 0x67);
    EXPECT_EQ(card_->ReadTableWord(INE_2PS, 10), 0x67u);

    host_->Write(R::CARD_START, 1);
    EXPECT_TRUE(card_->TableChannelOpen(SHFE_2PS));
    EXPECT_EQ(host_->ReadTableWord(R::SHFE2PS_TABLE_WADDR, 10), 0x55u);
    host_->WriteTableWord(R::SHFE2PS_TABLE_WADDR, 10, 0x66);
    EXPECT_EQ(card_->ReadTableWord(SHFE_2PS, 10), 0x66u);
}

TEST_F(RegistersTest, AddressesBeyondATableAreDroppedAndCounted) {
    const uint32_t ine_end = R::INE_TABLE_ENTRIES * 64;
    host_->WriteTableWord(R::INE2PS_TABLE_WADDR, ine_end, 0x99);
    host_->WriteTableWord(R::INE4PS_TABLE_WADDR, ine_end + 64 * 5, 0x99);
    EXPECT_EQ(host_->ReadTableWord(R::INE2PS_TABLE_WADDR, ine_end), 0u);
    // The same word address is inside a SHFE table.
    host_->WriteTableWord(R::SHFE2PS_TABLE_WADDR, ine_end, 0x98);
    EXPECT_EQ(host_->ReadTableWord(R::SHFE2PS_TABLE_WADDR, ine_end), 0x98u);
    host_->WriteTableWord(R::SHFE2PS_TABLE_WADDR, R::SHFE_TABLE_ENTRIES * 64, 0x97);

    const kest_sim::CardStats s = card_->Stats();
    EXPECT_EQ(s.table_range_drops[INE_2PS], 2u);
    EXPECT_EQ(s.table_range_drops[INE_4PS], 1u);
    EXPECT_EQ(s.table_range_drops[SHFE_2PS], 1u);
    EXPECT_EQ(s.table_writes[INE_2PS], 0u);
    EXPECT_EQ(s.table_writes[SHFE_2PS], 1u);
    EXPECT_EQ(card_->ReadTableWord(INE_2PS, ine_end - 1), 0u);
    EXPECT_EQ(card_->ReadTableEntry(INE_2PS, R::INE_TABLE_ENTRIES).config, 0u);
}

TEST_F(RegistersTest, JournalKeepsHostWritesInOrderWithoutTableWordTraffic) {
    const uint64_t start = card_->JournalHead() + 1;
    host_->Write(R::CARD_START, 1);
    host_->Write(R::SNAPSHOT_MODE, R::SNAPSHOT_MODE_ON);
    host_->WriteTableWord(R::SHFE2PS_TABLE_WADDR, 3, 4);
    host_->ReadTableWord(R::INE4PS_TABLE_WADDR, 3);
    host_->Write(R::SlotDstPort(2), 30002);
    host_->WriteTableWord(R::INE2PS_TABLE_WADDR, R::TABLE_CLOSE_ADDR, R::TABLE_CLOSE_DATA);
    host_->Write(R::SNAPSHOT_MODE, 0);
    card_->WriteReg(R::MUX0_2PS_PKTS, 5);  // model side: not a host write

    const std::vector<kest_sim::JournalEntry> j = JournalFrom(start);
    const std::vector<std::pair<uint32_t, uint32_t>> want = {
        {R::CARD_START, 1},         {R::SNAPSHOT_MODE, 0xF},
        {R::SlotDstPort(2), 30002}, {R::INE2PS_TABLE_WADDR, 0xFFFFFFFFu},
        {R::SNAPSHOT_MODE, 0},
    };
    ASSERT_EQ(j.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(j[i].seq, start + i);
        EXPECT_EQ(j[i].reg, want[i].first);
        EXPECT_EQ(j[i].value, want[i].second);
        EXPECT_EQ(j[i].pid, getpid());
    }
    kest_sim::JournalEntry e;
    EXPECT_FALSE(card_->ReadJournal(0, e));
    EXPECT_FALSE(card_->ReadJournal(card_->JournalHead() + 1, e));
    EXPECT_EQ(card_->Stats().table_writes[SHFE_2PS], 1u);
}

TEST_F(RegistersTest, JournalOverwritesItsOldestEntries) {
    const uint32_t n = kest_sim::kJournalCapacity + 10;
    for (uint32_t i = 0; i < n; ++i) host_->WriteAt(R::ByteAddress(R::LAST_TICK_CHANNEL), i);
    EXPECT_EQ(card_->JournalHead(), n);
    kest_sim::JournalEntry e;
    EXPECT_FALSE(card_->ReadJournal(1, e));
    EXPECT_FALSE(card_->ReadJournal(10, e));
    ASSERT_TRUE(card_->ReadJournal(11, e));
    EXPECT_EQ(e.value, 10u);
    ASSERT_TRUE(card_->ReadJournal(n, e));
    EXPECT_EQ(e.value, n - 1);
}

TEST_F(RegistersTest, CardStartResetsTheLogicAndKeepsTheProgramming) {
    const uint32_t cleared[] = {R::LOGIC_START_2PS, R::LOGIC_START_4PS, R::MUX0_2PS_PKTS,
                                R::MUX1_2PS_PKTS,   R::MUX0_4PS_PKTS,   R::MUX1_4PS_PKTS};
    const uint32_t kept[] = {R::CONFIG_CRC,         R::SHFE_INST_COUNT,     R::INE_INST_COUNT,
                             R::SHFE2PS_MCAST_IP_A, R::DETECT_INTERVAL_4PS, R::LAST_UPDATE_TIME_0};
    auto fill = [&] {
        for (uint32_t r : cleared) card_->WriteReg(r, 0x100000000ull + r);
        for (uint32_t r : kept) card_->WriteReg(r, 0x200000000ull + r);
    };
    fill();
    host_->WriteTableWord(R::SHFE4PS_TABLE_WADDR, 64, 0x42);

    host_->Write(R::CARD_START, 0);  // only 1 starts the card
    for (uint32_t r : cleared) EXPECT_EQ(card_->ReadReg(r), 0x100000000ull + r) << r;

    host_->Write(R::CARD_START, 1);
    for (uint32_t r : cleared) EXPECT_EQ(card_->ReadReg(r), 0u) << r;
    for (uint32_t r : kept) EXPECT_EQ(card_->ReadReg(r), 0x200000000ull + r) << r;
    EXPECT_EQ(card_->ReadTableWord(SHFE_4PS, 64), 0x42u);
    EXPECT_EQ(card_->Stats().card_starts, 1u);
}

TEST_F(RegistersTest, CoreResetKeepsTheDesignState) {
    host_->Write(R::CONFIG_CRC, 0xDEADBEEF);
    host_->Write(R::LOGIC_START_2PS, 1);
    host_->WriteTableWord(R::SHFE2PS_TABLE_WADDR, 5, 6);
    host_->WriteTableWord(R::SHFE2PS_TABLE_WADDR, R::TABLE_CLOSE_ADDR, R::TABLE_CLOSE_DATA);

    EXPECT_EQ(enyx_hw_core_reset(host_->root()), 0);
    EXPECT_EQ(enyx_hw_core_reset(host_->root()), 0);
    EXPECT_EQ(card_->Stats().core_resets, 2u);
    EXPECT_EQ(host_->Read(R::CONFIG_CRC), 0xDEADBEEFu);
    EXPECT_EQ(host_->Read(R::LOGIC_START_2PS), 1u);
    EXPECT_EQ(card_->ReadTableWord(SHFE_2PS, 5), 6u);
    EXPECT_FALSE(card_->TableChannelOpen(SHFE_2PS));

    card_->SetFault(Fault::kCoreResetFails, true);
    errno = 0;
    EXPECT_EQ(enyx_hw_core_reset(host_->root()), -1);
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(card_->Stats().core_resets, 2u);
}

TEST_F(RegistersTest, FaultsFailAccessesWithoutEffect) {
    card_->SetFault(Fault::kRegWriteFails, true);
    const uint64_t head = card_->JournalHead();
    errno = 0;
    EXPECT_EQ(host_->Write(R::CONFIG_CRC, 5), -1);
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(card_->ReadReg(R::CONFIG_CRC), 0u);
    EXPECT_EQ(card_->JournalHead(), head);
    card_->SetFault(Fault::kRegWriteFails, false);
    EXPECT_EQ(host_->Write(R::CONFIG_CRC, 5), 0);

    card_->SetFault(Fault::kRegReadFails, true);
    uint64_t v = 1234;
    EXPECT_EQ(host_->ReadAt(R::ByteAddress(R::CONFIG_CRC), v), -1);
    EXPECT_EQ(v, 1234u) << "a failed read leaves the caller's value";
    card_->SetFault(Fault::kRegReadFails, false);
    EXPECT_EQ(host_->ReadAt(R::ByteAddress(R::CONFIG_CRC), v), 0);
    EXPECT_EQ(v, 5u);
}

}  // namespace
}  // namespace cardsim_test
