// The subscription bits in word 0 of every entry of the card's instrument
// tables, set per channel from its list of tokens.
#include "SnapshotTestSupport.h"

using namespace snapshot_test;
namespace Reg = Kest_U50::Reg;

namespace {

using Words = std::vector<uint32_t>;
constexpr uint32_t T = INST_CONFIG_TOUCHED;  // the entry went through a subscription pass

const std::vector<const char*> kShfe = {"cu2412", "cu2501", "cu2412C70000", "au2412", "cu24120", "al2412",
                                        "",       "c"};
const std::vector<const char*> kIne = {"sc2412", "sc2501", "lu2412", "sc2412C500"};

class InstrumentTableTest : public SnapshotFixture {
protected:
    // Puts identifiers into entries 0..n-1 of a feed, in the host table and
    // in the card, and sets the count register the subscription reads.
    void Load(EMDQPDataType feed, const std::vector<const char*>& ids) {
        for (size_t i = 0; i < ids.size(); ++i) {
            SInstTableType& e = peer_->Table(feed)[i];
            std::memset(static_cast<void*>(&e), 0, sizeof e);
            std::strncpy(e.inst_id, ids[i], sizeof e.inst_id);
            e.price_tick = static_cast<int32_t>(100 + i);
            const uint32_t* words = reinterpret_cast<const uint32_t*>(&e);
            for (uint32_t w = 0; w < 64; ++w)
                card_->WriteTableWord(feed, static_cast<uint32_t>(i) * 64 + w, words[w]);
        }
        card_->WriteReg(feed >= INE_2PS ? Reg::INE_INST_COUNT : Reg::SHFE_INST_COUNT, ids.size() - 1);
    }
    void Subscribe(int32_t channel, const char* insts, bool options) {
        Kest_U50::U50ChannelInfo& c = peer_->Config().channelInfo[channel];
        c.insts.UnSafeCopyFrom(insts);
        c.options = options;
        c.recvall = c.insts.Comp("all") == 0;
        peer_->SubscribeManager(channel);
    }
    // Word 0 of the given entries in the card.
    Words Word0(EMDQPDataType feed, std::initializer_list<uint32_t> entries) {
        Words out;
        for (uint32_t e : entries) out.push_back(card_->ReadTableWord(feed, e * 64));
        return out;
    }
};

TEST_F(InstrumentTableTest, ProductTokensAndFullIdentifiersSubscribeMatchingEntries) {
    Load(SHFE_2PS, kShfe);
    Load(SHFE_4PS, kShfe);
    LogWatch log;
    Subscribe(3, "cu,au2412", false);
    // Not taken: an option by a product token, the seven characters of
    // cu24120, another product, and "c", which does not begin with "cu".
    for (EMDQPDataType feed : {SHFE_2PS, SHFE_4PS})
        EXPECT_EQ(Word0(feed, {0, 1, 2, 3, 4, 5, 7}), Words({T | 8, T | 8, T, T | 8, T, T, T})) << feed;
    EXPECT_EQ(peer_->Table(SHFE_2PS)[0].config, T | 8);  // read back into the host
    EXPECT_TRUE(log.Has("shfeInstCount[7] ineInstCount[0] listen_insts[cu]"));
    EXPECT_TRUE(log.Has("shfeInstCount[7] ineInstCount[0] listen_insts[au2412]"));
    EXPECT_TRUE(log.Has("subscribe au2412 192 2147483656"));
    EXPECT_EQ(log.CountOf("subscribe "), 2u * 2u * 3u);

    // With options the product token takes option identifiers too; a full
    // identifier only matches its own length.
    Subscribe(4, "cu,cu2412", true);
    EXPECT_EQ(Word0(SHFE_2PS, {0, 2, 3, 4}), Words({T | 0x18, T | 0x10, T | 8, T | 0x10}));
    Subscribe(5, "cu2412", false);
    EXPECT_EQ(Word0(SHFE_2PS, {0, 4}), Words({T | 0x38, T | 0x10}));
}

TEST_F(InstrumentTableTest, AllTakesEveryEntryUpToTheCountOfEnabledFeeds) {
    Load(SHFE_2PS, kShfe);
    Load(INE_2PS, kIne);
    Load(INE_4PS, kIne);
    peer_->Config().enabled_mask.enabled_mask = 0x05;  // SHFE 2ps, INE 2ps
    Subscribe(1, "all", false);
    // No options without options; empty entries up to the count too, none
    // above it; disabled feeds only see the unsubscribe pass.
    EXPECT_EQ(Word0(SHFE_2PS, {0, 2, 6, 8}), Words({T | 2, T, T | 2, 0}));
    EXPECT_EQ(Word0(INE_2PS, {1, 3}), Words({T | 2, T}));
    EXPECT_EQ(Word0(INE_4PS, {0}), Words({T}));
    EXPECT_EQ(Word0(SHFE_4PS, {0}), Words({T}));

    Subscribe(2, "all", true);
    EXPECT_EQ(Word0(SHFE_2PS, {0, 2}), Words({T | 6, T | 4}));
    EXPECT_EQ(Word0(INE_2PS, {3}), Words({T | 4}));
    EXPECT_EQ(Word0(INE_4PS, {3}), Words({T}));
}

TEST_F(InstrumentTableTest, UnsubscribePassClearsOnlyItsChannelAndRefreshesTheHost) {
    Load(SHFE_2PS, kShfe);
    card_->WriteTableWord(SHFE_2PS, 0 * 64, T | 5);
    card_->WriteTableWord(SHFE_2PS, 1 * 64, 0x00010004u);   // a bit of another channel, bit 16
    card_->WriteTableWord(SHFE_2PS, 9 * 64, 4);             // above the count
    card_->WriteTableWord(SHFE_2PS, 2 * 64 + 40, 0xABCDu);  // a word the host does not have
    LogWatch log;
    Subscribe(2, "", false);  // an empty list: no token
    EXPECT_EQ(Word0(SHFE_2PS, {0, 1, 3, 9}), Words({T | 1, T | 0x10000, T, 4}));
    EXPECT_FALSE(log.Has("listen_insts"));
    // The host entry was read back word by word (word 0 before the write).
    EXPECT_EQ(peer_->Table(SHFE_2PS)[0].config, T | 5);
    EXPECT_EQ(peer_->Table(SHFE_2PS)[2].inst_id[0], 'c');
    uint32_t word40;
    std::memcpy(&word40, reinterpret_cast<const uint8_t*>(&peer_->Table(SHFE_2PS)[2]) + 40 * 4, 4);
    EXPECT_EQ(word40, 0xABCDu);
}

TEST_F(InstrumentTableTest, CountsBeyondTheHostTableAreClampedAndUnknownChannelsIgnored) {
    Load(SHFE_2PS, kShfe);
    card_->WriteReg(Reg::SHFE_INST_COUNT, 0xFFFFFFF0u);
    card_->WriteReg(Reg::INE_INST_COUNT, 5000);
    Subscribe(6, "al", false);
    EXPECT_EQ(Word0(SHFE_2PS, {5, 4095}), Words({T | 0x40, T}));
    LogWatch log;
    peer_->SubscribeManager(16);
    EXPECT_TRUE(log.Has("channel id[16] out of range"));
}

}  // namespace
