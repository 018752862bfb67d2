// The life of a card; the switchable faults; register access through the design core: bounds, the table
// protocol, starts, resets. Cores, stream names, addressing and the journal of writes as the product
// uses them are the driver and end-to-end tests'.
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

std::string Rc(int rc) { return rc == 0 ? "ok" : errno == EIO ? "EIO" : "errno " + std::to_string(errno); }
template <typename S>
std::string Made(S* s, void (*destroy)(S*)) {
    const std::string rc = Rc(s != nullptr ? 0 : -1);
    destroy(s);
    return rc;
}

TEST_F(CardTest, EachFaultFailsItsCallUntilSwitchedOff) {
    kest_sim::CardOptions opt;
    opt.faults = kest_sim::FaultBit(Fault::kCoreResetFails);
    Make(opt);
    EXPECT_EQ(Rc(enyx_hw_core_reset(host_->root)), "EIO") << "faults given at creation hold at once";
    card_->SetFault(Fault::kCoreResetFails, false);
    const std::tuple<Fault, std::function<std::string()>, std::string, std::string> rows[] = {
        {Fault::kA2cCreateFails, [&] { return Made(OpenA2c(acc_, 3), enyx_hw_a2c_stream_destroy); }, "EIO",
         "ok"},
        {Fault::kC2aCreateFails, [&] { return Made(OpenC2a(acc_, 3), enyx_hw_c2a_stream_destroy); }, "EIO",
         "ok"},
        {Fault::kCoreResetFails, [&] { return Rc(enyx_hw_core_reset(host_->root)); }, "EIO", "ok"},
        {Fault::kEnumerateFails, [&] { return std::to_string(FindAccelerators(0)); }, "-1", "1"},
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

TEST_F(CardTest, AddressesOffAWordOrPastTheLastRegisterAreRefused) {
    Make();
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

// Each table ends at its size: words beyond it are dropped (and counted) both ways, never wrapped round.
// The protocol itself, and the tables kept apart, are the snapshot tests': the product's four tables come
// back from the card whole.
TEST_F(CardTest, TableWordsBeyondEachTablesSizeAreDroppedAndCounted) {
    Make();
    const std::pair<int, uint32_t> tables[] = {
        {SHFE_2PS, 4096}, {SHFE_4PS, 4096}, {INE_2PS, 1024}, {INE_4PS, 1024}};
    for (auto [t, entries] : tables) {
        SCOPED_TRACE(t);
        EXPECT_EQ(card_->TableEntries(t), entries);
        host_->WriteTableWord(t, entries * 64 - 1, 7);
        host_->WriteTableWord(t, entries * 64, 8);
        EXPECT_EQ(host_->ReadTableWord(t, entries * 64 - 1), 7u);
        EXPECT_EQ(host_->ReadTableWord(t, entries * 64) + host_->ReadTableWord(t, 0), 0u);
        EXPECT_EQ(card_->Stats().table_writes[t], 1u);
        EXPECT_EQ(card_->Stats().table_range_drops[t], 2u);
        EXPECT_EQ(card_->ReadTableEntry(t, entries).config, 0u);
    }
}

// A card start reopens the table channels and restarts the logic (logical starts, line counters) but
// keeps the programming. That a core reset (each product start) keeps it all is the restart tests'.
TEST_F(CardTest, TableCloseDropsWordsUntilACardStartWhichRestartsOnlyTheLogic) {
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
    host_->Write(R::CARD_START, 0);  // only 1 starts the card
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
}

}  // namespace
}  // namespace cardsim_test
