// The life of a card and its tables' bounds. Cores, stream names, addressing, the table protocol, starts
// and the journal are the driver, snapshot and end-to-end tests'.
#include <cerrno>

#include "host_access.h"

namespace cardsim_test {
namespace {

TEST_F(CardTest, CardsExistFromCreateToRemoveWithinTheirNamespace) {
    ASSERT_TRUE(kest_sim::CreateCard(2) == 0 && kest_sim::CreateCard(0) == 0);
    EXPECT_TRUE(kest_sim::CreateCard(2) == -1 && errno == EEXIST);
    EXPECT_EQ(kest_sim::ListCards(), (std::vector<uint32_t>{0, 2}));
    for (auto [index, want] : {std::pair<int64_t, ssize_t>{0, 1}, {1, 0}, {2, 1}, {-1, 2}})
        EXPECT_EQ(FindAccelerators(index), want) << index;
    const std::string mine = kest_sim::Namespace();
    setenv("KEST_CARDSIM_NAMESPACE", (mine + "_other").c_str(), 1);
    EXPECT_TRUE(FindAccelerators(-1) == 0 && kest_sim::ListCards().empty());
    setenv("KEST_CARDSIM_NAMESPACE", mine.c_str(), 1);

    auto card = kest_sim::Card::Open(2);
    card->WriteReg(R::CONFIG_CRC, 77);
    card->WriteTableWord(SHFE_2PS, 5, 6);
    ASSERT_TRUE(card->PushA2c(0, "abc", 3));
    card->SetFault(kest_sim::Fault::kRegReadFails, true);
    ASSERT_EQ(kest_sim::ResetCard(2), 0);
    EXPECT_EQ(card->ReadReg(R::CONFIG_CRC) + card->ReadTableWord(SHFE_2PS, 5) + card->A2cStats(0).pending,
              0u);
    EXPECT_FALSE(card->FaultOn(kest_sim::Fault::kRegReadFails));
    ASSERT_EQ(kest_sim::RemoveCard(2), 0);
    EXPECT_TRUE(kest_sim::ResetCard(2) == -1 && FindAccelerators(2) == 0);
}

// Each table ends at its size: words beyond it are dropped (and counted) both ways, never wrapped round.
// The protocol itself, and the tables kept apart, are the snapshot tests'.
TEST_F(CardTest, TableWordsBeyondEachTablesSizeAreDroppedAndCounted) {
    Make();
    for (int t = 0; t < 4; ++t) {
        SCOPED_TRACE(t);
        const uint32_t words =
            (t == SHFE_2PS || t == SHFE_4PS ? R::SHFE_TABLE_ENTRIES : R::INE_TABLE_ENTRIES) * 64;
        host_->WriteTableWord(t, words - 1, 7);
        host_->WriteTableWord(t, words, 8);
        EXPECT_EQ(host_->ReadTableWord(t, words - 1), 7u);
        EXPECT_EQ(host_->ReadTableWord(t, words) + host_->ReadTableWord(t, 0), 0u);
        const kest_sim::CardStats st = card_->Stats();
        EXPECT_TRUE(st.table_writes[t] == 1 && st.table_range_drops[t] == 2);
    }
}

}  // namespace
}  // namespace cardsim_test
