// The instrument tables in the card model: the table write at the end of the
// snapshot and the per-channel subscription bits.
#include "SnapshotTestSupport.h"

using namespace snapshot_test;
namespace Reg = Kest_U50::Reg;

namespace {

const bool kEnvironment = (RegisterCardEnvironment(), true);

class InstrumentTableTest : public SnapshotFixture {
protected:
    // Puts identifiers into the host table and the card (entries 0..n-1 of a
    // feed), and sets the count registers the subscription reads.
    void Load(EMDQPDataType feed, const std::vector<const char*>& ids) {
        SInstTableType(&table)[Kest_U50::INST_TABLE_SIZE] = peer_->Table(feed);
        for (size_t i = 0; i < ids.size(); ++i) {
            SInstTableType& e = table[i];
            std::memset(static_cast<void*>(&e), 0, sizeof e);
            std::strncpy(e.inst_id, ids[i], sizeof e.inst_id);
            e.price_tick = static_cast<int32_t>(100 + i);
            e.last_price = static_cast<int32_t>(5000 + i);
            const uint32_t* words = reinterpret_cast<const uint32_t*>(&e);
            for (uint32_t w = 0; w < 64; ++w)
                card_->WriteTableWord(feed, static_cast<uint32_t>(i) * 64 + w, words[w]);
        }
        const uint32_t reg =
            (feed == INE_2PS || feed == INE_4PS) ? Reg::INE_INST_COUNT : Reg::SHFE_INST_COUNT;
        card_->WriteReg(reg, ids.size() - 1);
    }
    uint32_t Word0(EMDQPDataType feed, uint32_t entry) { return card_->ReadTableWord(feed, entry * 64); }
    void SetChannel(int32_t channel, const char* insts, bool options) {
        Kest_U50::U50ChannelInfo& c = peer_->Config().channelInfo[channel];
        c.insts.UnSafeCopyFrom(insts);
        c.options = options;
        c.recvall = c.insts.Comp("all") == 0;
    }
};

const std::vector<const char*> kShfe = {"cu2412", "cu2501", "cu2412C70000", "au2412", "cu24120", "al2412",
                                        "",       "c"};
const std::vector<const char*> kIne = {"sc2412", "sc2501", "lu2412", "sc2412C500"};

TEST_F(InstrumentTableTest, ProductTokensAndFullIdentifiersSubscribeMatchingEntries) {
    Load(SHFE_2PS, kShfe);
    Load(SHFE_4PS, kShfe);
    SetChannel(3, "cu,au2412", false);
    LogWatch log;
    peer_->SubscribeManager(3);
    for (EMDQPDataType feed : {SHFE_2PS, SHFE_4PS}) {
        EXPECT_EQ(Word0(feed, 0), 0x80000008u);  // cu2412
        EXPECT_EQ(Word0(feed, 1), 0x80000008u);  // cu2501
        EXPECT_EQ(Word0(feed, 2), 0x80000000u);  // an option: not by a product token
        EXPECT_EQ(Word0(feed, 3), 0x80000008u);  // au2412, named in full
        EXPECT_EQ(Word0(feed, 4), 0x80000000u);  // cu24120: seven characters
        EXPECT_EQ(Word0(feed, 5), 0x80000000u);  // al2412
        EXPECT_EQ(Word0(feed, 7), 0x80000000u);  // "c" does not begin with "cu"
    }
    EXPECT_EQ(peer_->Table(SHFE_2PS)[0].config, 0x80000008u);  // read back into the host
    EXPECT_TRUE(log.Has("shfeInstCount[7] ineInstCount[0] listen_insts[cu]"));
    EXPECT_TRUE(log.Has("shfeInstCount[7] ineInstCount[0] listen_insts[au2412]"));
    EXPECT_TRUE(log.Has("subscribe au2412 192 2147483656"));
    EXPECT_EQ(log.CountOf("subscribe "), 2u * 2u * 3u);

    // With options the product token takes option identifiers too; a full
    // identifier only matches its own length.
    SetChannel(4, "cu,cu2412", true);
    peer_->SubscribeManager(4);
    EXPECT_EQ(Word0(SHFE_2PS, 2), 0x80000010u);
    EXPECT_EQ(Word0(SHFE_2PS, 4), 0x80000010u);
    EXPECT_EQ(Word0(SHFE_2PS, 0), 0x80000018u);
    EXPECT_EQ(Word0(SHFE_2PS, 3), 0x80000008u);

    SetChannel(5, "cu2412", false);
    peer_->SubscribeManager(5);
    EXPECT_EQ(Word0(SHFE_2PS, 0), 0x80000038u);
    EXPECT_EQ(Word0(SHFE_2PS, 4), 0x80000010u);  // cu24120 is not cu2412
}

TEST_F(InstrumentTableTest, AllTakesEveryEntryUpToTheCountOfEnabledFeeds) {
    Load(SHFE_2PS, kShfe);
    Load(INE_2PS, kIne);
    Load(INE_4PS, kIne);
    peer_->Config().enabled_mask.enabled_mask = 0x05;  // SHFE 2ps, INE 2ps
    SetChannel(1, "all", false);
    peer_->SubscribeManager(1);
    EXPECT_EQ(Word0(SHFE_2PS, 0), 0x80000002u);
    EXPECT_EQ(Word0(SHFE_2PS, 2), 0x80000000u);  // option without options
    EXPECT_EQ(Word0(SHFE_2PS, 6), 0x80000002u);  // empty entries up to the count too
    EXPECT_EQ(Word0(SHFE_2PS, 8), 0u);           // above the count: untouched
    EXPECT_EQ(Word0(INE_2PS, 1), 0x80000002u);
    EXPECT_EQ(Word0(INE_2PS, 3), 0x80000000u);
    EXPECT_EQ(Word0(INE_4PS, 0), 0x80000000u);  // disabled feed: only the unsubscribe pass
    EXPECT_EQ(Word0(SHFE_4PS, 0), 0x80000000u);

    SetChannel(2, "all", true);
    peer_->SubscribeManager(2);
    EXPECT_EQ(Word0(SHFE_2PS, 2), 0x80000004u);
    EXPECT_EQ(Word0(SHFE_2PS, 0), 0x80000006u);
    EXPECT_EQ(Word0(INE_2PS, 3), 0x80000004u);
    EXPECT_EQ(Word0(INE_4PS, 3), 0x80000000u);
}

TEST_F(InstrumentTableTest, UnsubscribePassClearsOnlyItsChannelAndRefreshesTheHost) {
    Load(SHFE_2PS, kShfe);
    card_->WriteTableWord(SHFE_2PS, 0 * 64, 0x80000005u);
    card_->WriteTableWord(SHFE_2PS, 1 * 64, 0x00010004u);   // a bit of another channel, bit 16
    card_->WriteTableWord(SHFE_2PS, 9 * 64, 0x00000004u);   // above the count
    card_->WriteTableWord(SHFE_2PS, 2 * 64 + 40, 0xABCDu);  // a word the host does not have
    SetChannel(2, "", false);                               // an empty list: no token
    LogWatch log;
    peer_->SubscribeManager(2);
    EXPECT_EQ(Word0(SHFE_2PS, 0), 0x80000001u);
    EXPECT_EQ(Word0(SHFE_2PS, 1), 0x80010000u);
    EXPECT_EQ(Word0(SHFE_2PS, 3), 0x80000000u);
    EXPECT_EQ(Word0(SHFE_2PS, 9), 0x00000004u);
    EXPECT_FALSE(log.Has("listen_insts"));
    // The host entry was read back word by word (word 0 before the write).
    EXPECT_EQ(peer_->Table(SHFE_2PS)[0].config, 0x80000005u);
    EXPECT_EQ(static_cast<uint32_t>(peer_->Table(SHFE_2PS)[2].inst_id[0]), static_cast<uint32_t>('c'));
    uint32_t word40;
    std::memcpy(&word40, reinterpret_cast<const uint8_t*>(&peer_->Table(SHFE_2PS)[2]) + 40 * 4, 4);
    EXPECT_EQ(word40, 0xABCDu);

    // The same with direct calls on single entries.
    card_->WriteTableWord(SHFE_2PS, 0, 0x80000004u);
    Kest_U50::CInstrumentType token("cu2412");
    SetChannel(0, "cu2412", false);
    peer_->Subscribe(SHFE_2PS, true, 0, 0, token);
    EXPECT_EQ(Word0(SHFE_2PS, 0), 0x80000005u);
    peer_->Subscribe(SHFE_2PS, false, 0, 7, token);  // feed not enabled
    EXPECT_EQ(Word0(SHFE_2PS, 0), 0x80000005u);
    peer_->Unsubscribe(SHFE_2PS, 0, 2);
    EXPECT_EQ(Word0(SHFE_2PS, 0), 0x80000001u);
    peer_->Unsubscribe(SHFE_2PS, 0, 0);
    EXPECT_EQ(Word0(SHFE_2PS, 0), 0x80000000u);
}

TEST_F(InstrumentTableTest, CountsBeyondTheHostTableAreClamped) {
    Load(SHFE_2PS, kShfe);
    card_->WriteReg(Reg::SHFE_INST_COUNT, 0xFFFFFFF0u);
    card_->WriteReg(Reg::INE_INST_COUNT, 5000);
    SetChannel(6, "al", false);
    peer_->SubscribeManager(6);
    EXPECT_EQ(Word0(SHFE_2PS, 5), 0x80000040u);
    EXPECT_EQ(Word0(SHFE_2PS, 4095), 0x80000000u);
    EXPECT_EQ(peer_->SubscribeManager(16), 0);  // no such channel: nothing happens
}

TEST_F(InstrumentTableTest, TableWriteSendsEnabledFeedsAndZeroesAboveTheCount) {
    for (uint32_t i = 0; i < 1024; ++i) {
        card_->WriteTableWord(INE_2PS, i * 64 + 1, 0x1111u);
        card_->WriteTableWord(SHFE_2PS, i * 64 + 1, 0x2222u);
    }
    Load(SHFE_2PS, kShfe);
    for (size_t i = 0; i < kShfe.size(); ++i)
        card_->WriteTableWord(SHFE_2PS, static_cast<uint32_t>(i) * 64 + 1, 0);
    std::strncpy(peer_->Table(INE_2PS)[2].inst_id, "sc2412", 32);
    peer_->Table(INE_2PS)[2].volume = 77;

    peer_->WriteContractTable(SHFE_2PS, true, static_cast<int32_t>(kShfe.size() - 1));
    for (uint32_t i = 0; i < kShfe.size(); ++i) {
        const SInstTableType inCard = card_->ReadTableEntry(SHFE_2PS, i);
        EXPECT_EQ(std::memcmp(&inCard, &peer_->Table(SHFE_2PS)[i], sizeof inCard), 0) << i;
    }
    EXPECT_EQ(card_->ReadTableWord(SHFE_2PS, 8 * 64 + 1), 0u);
    EXPECT_EQ(card_->Stats().table_writes[SHFE_2PS], 4096u * 64u);

    // A disabled feed: entries up to the count keep what the card holds.
    LogWatch log;
    peer_->WriteContractTable(INE_2PS, false, 3);
    EXPECT_EQ(card_->ReadTableWord(INE_2PS, 2 * 64 + 1), 0x1111u);
    EXPECT_EQ(card_->ReadTableWord(INE_2PS, 3 * 64 + 1), 0x1111u);
    EXPECT_EQ(card_->ReadTableWord(INE_2PS, 4 * 64 + 1), 0u);
    EXPECT_EQ(card_->ReadTableWord(INE_2PS, 1023 * 64 + 1), 0u);
    EXPECT_EQ(card_->Stats().table_writes[INE_2PS], 1020u * 64u);
    EXPECT_TRUE(log.Has("index:2,inst_id:sc2412,price_tick:0,"));
    EXPECT_TRUE(log.Has(",volume:77,last_price:0"));
    EXPECT_EQ(log.CountOf("index:"), 4u);
}

}  // namespace
