// Finding cards, cores and streams; the life of a card; the switchable faults; register access through
// the design core: widths, the table protocol, starts, resets, the journal.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <tuple>

#include "host_access.h"

namespace cardsim_test {
namespace {

using kest_sim::Fault;

TEST_F(CardTest, CardsExistFromCreateToRemoveWithinTheirNamespace) {
    ASSERT_EQ(kest_sim::CreateCard(2), 0);
    ASSERT_EQ(kest_sim::CreateCard(0), 0);
    EXPECT_TRUE(kest_sim::CreateCard(2) == -1 && errno == EEXIST);
    EXPECT_EQ(kest_sim::ListCards(), (std::vector<uint32_t>{0, 2}));
    const std::pair<int64_t, ssize_t> found[] = {{0, 1}, {1, 0}, {2, 1}, {-1, 2}};
    for (auto [index, want] : found) EXPECT_EQ(FindAccelerators(index), want) << index;
    const std::string mine = kest_sim::Namespace();
    setenv("KEST_CARDSIM_NAMESPACE", (mine + "_other").c_str(), 1);
    EXPECT_EQ(FindAccelerators(-1), 0);
    EXPECT_TRUE(kest_sim::ListCards().empty());
    setenv("KEST_CARDSIM_NAMESPACE", mine.c_str(), 1);

    auto card = kest_sim::Card::Open(2);
    card->WriteReg(R::CONFIG_CRC, 77);
    card->WriteTableWord(SHFE_2PS, 5, 6);
    ASSERT_TRUE(card->PushA2c(0, "abc", 3));
    card->SetFault(Fault::kRegReadFails, true);
    ASSERT_EQ(kest_sim::ResetCard(2), 0);
    EXPECT_EQ(card->ReadReg(R::CONFIG_CRC) + card->ReadTableWord(SHFE_2PS, 5) + card->A2cStats(0).pending,
              0u);
    EXPECT_FALSE(card->FaultOn(Fault::kRegReadFails));
    ASSERT_EQ(kest_sim::RemoveCard(2), 0);
    EXPECT_EQ(kest_sim::ResetCard(2), -1);
    EXPECT_EQ(FindAccelerators(2), 0);
    card->WriteReg(R::CONFIG_CRC, 78);
    EXPECT_EQ(card->ReadReg(R::CONFIG_CRC), 78u) << "whoever maps a removed card keeps using it";

    // A segment of a card's name that is not a card is refused.
    const int fd = shm_open(kest_sim::ShmName(5).c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    ASSERT_EQ(ftruncate(fd, 1 << 20), 0);
    ASSERT_EQ(pwrite(fd, "not a card at all", 17, 0), 17);
    close(fd);
    EXPECT_EQ(kest_sim::Card::Open(5), nullptr);
    EXPECT_EQ(errno, EPROTO);
    EXPECT_EQ(FindAccelerators(5), 0);
    shm_unlink(kest_sim::ShmName(5).c_str());
}

// Cores by id under a core are itself and its children; a card may lack the design core.
TEST_F(CardTest, CoresAndStreamsAsTheProductFindsThem) {
    Make();
    kest_sim::CardOptions other;
    other.design_core = false;
    other.faults = kest_sim::FaultBit(Fault::kNoC2aStream);
    ASSERT_EQ(kest_sim::CreateCard(1, other), 0);
    Host without(1);
    enyx_hw_core* core = nullptr;
    EXPECT_EQ(without.core, nullptr);
    EXPECT_EQ(enyx_hw_core_enumerate(host_->root, 0x7777, &core, 1), 0);
    EXPECT_EQ(enyx_hw_core_enumerate(host_->core, 0x0010, &core, 1), 0);
    EXPECT_EQ(enyx_hw_core_enumerate(without.root, 0x0010, &core, 1), 1);
    EXPECT_EQ(Streams(without.acc, "CUSTOM_CHAN0_DATA", false), 0) << "faults given at creation hold at once";
    EXPECT_EQ(Streams(without.acc, "CUSTOM_CHAN0_DATA", true), 1);

    const std::pair<const char*, ssize_t> names[] = {{"CUSTOM_CHAN0_DATA", 1},
                                                     {"CUSTOM_CHAN15_DATA", 1},
                                                     {"CUSTOM_CHAN16_DATA", 0},
                                                     {"CUSTOM_CHAN1", 0},
                                                     {"", 0},
                                                     {nullptr, 16}};
    for (auto [name, want] : names) {
        EXPECT_EQ(Streams(acc_, name, true), want) << (name ? name : "all");
        EXPECT_EQ(Streams(acc_, name, false), want) << (name ? name : "all");
    }
}

std::string Rc(int rc) { return rc == 0 ? "ok" : errno == EIO ? "EIO" : "errno " + std::to_string(errno); }
template <typename S>
std::string Made(S* s, void (*destroy)(S*)) {
    const std::string rc = Rc(s != nullptr ? 0 : -1);
    destroy(s);
    return rc;
}

TEST_F(CardTest, EachFaultFailsItsCallUntilSwitchedOff) {
    Make();
    const std::tuple<Fault, std::function<std::string()>, std::string, std::string> rows[] = {
        {Fault::kA2cCreateFails, [&] { return Made(OpenA2c(acc_, 3), enyx_hw_a2c_stream_destroy); }, "EIO",
         "ok"},
        {Fault::kC2aCreateFails, [&] { return Made(OpenC2a(acc_, 3), enyx_hw_c2a_stream_destroy); }, "EIO",
         "ok"},
        {Fault::kCoreResetFails, [&] { return Rc(enyx_hw_core_reset(host_->root)); }, "EIO", "ok"},
        {Fault::kEnumerateFails, [&] { return std::to_string(FindAccelerators(0)); }, "-1", "1"},
        // A failed write stores and journals nothing: rc, then value + 10 x entries journaled.
        {Fault::kRegWriteFails,
         [&] {
             card_->WriteReg(R::CONFIG_CRC, 0);
             const uint64_t head = card_->JournalHead();
             const std::string rc = Rc(host_->Write(R::CONFIG_CRC, 5)) + " ";
             return rc + std::to_string(card_->ReadReg(R::CONFIG_CRC) + 10 * (card_->JournalHead() - head));
         },
         "EIO 0", "ok 15"},
    };
    for (const auto& [fault, call, on, off] : rows) {
        SCOPED_TRACE(static_cast<int>(fault));
        EXPECT_EQ(call(), off);
        card_->SetFault(fault, true);
        EXPECT_EQ(call(), on);
        card_->SetFault(fault, false);
        EXPECT_EQ(call(), off);
    }
}

// Writes store 32 bits, reads give all 64; addresses off a word or past the registers are refused.
TEST_F(CardTest, RegistersAreWordsAtFourTimesTheirNumber) {
    Make();
    EXPECT_EQ(host_->WriteAt(0x4004, 0x1234567800000009ull), 0);
    EXPECT_EQ(card_->ReadReg(0x1001), 9u);
    card_->WriteReg(R::REGISTER_SPACE - 1, 0xFFFFFFFF00000002ull);
    EXPECT_EQ(host_->Read(R::REGISTER_SPACE - 1), 0xFFFFFFFF00000002ull);
    uint64_t v = 0;
    for (uint64_t address : {uint64_t{0x4005}, uint64_t{0x4006}, uint64_t{0x4007},
                             R::ByteAddress(R::REGISTER_SPACE), uint64_t{1} << 40}) {
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
    // Every table is written before any is read, so that tables sharing storage would show; the last
    // word written is beyond the table, the one read after it was never written.
    for (auto [t, entries] : tables) {
        const uint32_t words[] = {0, 7 * 64 + 3, entries * 64 - 1, entries * 64};
        for (uint32_t k = 0; k < 4; ++k) host_->WriteTableWord(t, words[k], 0x1000u * (t + 1) + k);
    }
    for (auto [t, entries] : tables) {
        SCOPED_TRACE(t);
        const uint32_t v = 0x1000u * (t + 1);
        EXPECT_EQ(card_->TableEntries(t), entries);
        const uint32_t words[] = {0, 7 * 64 + 3, entries * 64 - 1, 1, entries * 64};
        const uint32_t want[] = {v, v + 1, v + 2, 0, 0};
        for (uint32_t k = 0; k < 5; ++k) {
            EXPECT_EQ(host_->ReadTableWord(t, words[k]), want[k]) << words[k];
            EXPECT_EQ(card_->ReadTableWord(t, words[k]), want[k]) << words[k];
        }
        EXPECT_EQ(card_->Stats().table_writes[t], 3u);
        EXPECT_EQ(card_->Stats().table_range_drops[t], 2u);
        EXPECT_EQ(card_->ReadTableEntry(t, entries).config, 0u);
    }
    card_->WriteTableWord(INE_4PS, 64, 0x77);  // and the model side
    EXPECT_EQ(host_->ReadTableWord(INE_4PS, 64), 0x77u);
}

// A core reset (each product start) keeps the design's state; a card start reopens the table
// channels and restarts the logic (logical starts, line counters) but keeps the programming. The
// journal keeps the host's writes in order, but neither table word traffic nor the model's writes.
TEST_F(CardTest, TableCloseCoreResetAndCardStartAsTheJournalRecordsThem) {
    Make();
    host_->WriteTableWord(SHFE_2PS, 10, 0x55);
    host_->WriteTableWord(SHFE_2PS, R::TABLE_CLOSE_ADDR, 2);  // only data 1 closes
    EXPECT_TRUE(card_->TableChannelOpen(SHFE_2PS));
    host_->WriteTableWord(SHFE_2PS, R::TABLE_CLOSE_ADDR, R::TABLE_CLOSE_DATA);
    EXPECT_FALSE(card_->TableChannelOpen(SHFE_2PS));
    EXPECT_TRUE(card_->TableChannelOpen(SHFE_4PS));
    host_->WriteTableWord(SHFE_2PS, 10, 0x66);
    EXPECT_EQ(card_->ReadTableWord(SHFE_2PS, 10), 0x55u) << "write while closed must be dropped";
    EXPECT_EQ(host_->ReadTableWord(SHFE_2PS, 10), 0u) << "read while closed gives 0";
    EXPECT_EQ(card_->Stats().table_closed_drops[SHFE_2PS], 2u);
    host_->WriteTableWord(INE_2PS, 10, 0x67);
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
    EXPECT_EQ(host_->ReadTableWord(SHFE_2PS, 10), 0x55u);
    host_->WriteTableWord(SHFE_2PS, 10, 0x66);
    EXPECT_EQ(card_->ReadTableWord(SHFE_2PS, 10), 0x66u);
    host_->Write(R::SlotDstPort(2), 30002);

    EXPECT_EQ(card_->JournalHead(), 5u);
    std::vector<std::tuple<uint64_t, uint32_t, uint32_t, int32_t>> journal;  // seq, reg, value, pid
    kest_sim::JournalEntry e;
    for (uint64_t seq = 0; seq <= 6; ++seq)
        if (card_->ReadJournal(seq, e)) journal.emplace_back(e.seq, e.reg, e.value, e.pid);
    const int32_t me = getpid();
    EXPECT_EQ(journal, (decltype(journal){{1, R::SHFE2PS_TABLE_WADDR, R::TABLE_CLOSE_ADDR, me},
                                          {2, R::SHFE2PS_TABLE_WADDR, R::TABLE_CLOSE_ADDR, me},
                                          {3, R::CARD_START, 0, me},
                                          {4, R::CARD_START, 1, me},
                                          {5, R::SlotDstPort(2), 30002, me}}));
}

}  // namespace
}  // namespace cardsim_test
