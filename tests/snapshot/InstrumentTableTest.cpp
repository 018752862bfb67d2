// The subscription bits in word 0 of the card's table entries at their
// edges: identifier lengths, counts and disabled feeds. Which instruments
// each kind of list selects, for sixteen channels at once, is proven end to end.
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
    EXPECT_TRUE(log.Has("shfeInstCount[7] ineInstCount[0] listen_insts[au2412]"));
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
}

TEST_F(InstrumentTableTest, EachPassChangesOnlyItsChannelAndAllWithOptionsTakesOptions) {
    Load(SHFE_2PS, kShfe);
    Subscribe(3, "cu", false);
    Subscribe(5, "all", true);
    // cu2412, cu2501, the option, au2412 and the empty entry.
    EXPECT_EQ(Word0(SHFE_2PS, {0, 1, 2, 3, 6}), Words({T | 0x28, T | 0x28, T | 0x20, T | 0x20, T | 0x20}));
    Subscribe(3, "", false);  // an empty list only takes the channel's bit away
    EXPECT_EQ(Word0(SHFE_2PS, {0, 1, 2, 3, 6}), Words({T | 0x20, T | 0x20, T | 0x20, T | 0x20, T | 0x20}));
}

TEST_F(InstrumentTableTest, CountsBeyondTheHostTableAreClamped) {
    Load(SHFE_2PS, kShfe);
    card_->WriteReg(Reg::SHFE_INST_COUNT, 0xFFFFFFF0u);
    card_->WriteReg(Reg::INE_INST_COUNT, 5000);
    Subscribe(6, "al", false);
    EXPECT_EQ(Word0(SHFE_2PS, {5, 4095}), Words({T | 0x40, T}));
}

}  // namespace
