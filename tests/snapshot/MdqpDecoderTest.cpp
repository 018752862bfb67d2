// Decoding of single MDQP messages: the edges of price coding that whole
// simulated snapshots do not reach, book levels, the registers a final
// message writes, and fields that do not fit.
#include <limits>

#include "SnapshotTestSupport.h"

using namespace snapshot_test;
using Kest_U50::MDQP_NO_VALUE;
namespace Reg = Kest_U50::Reg;

namespace {

constexpr uint16_t kPort = 41000;  // SHFE 2ps; the other feeds follow
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr int32_t kMin32 = std::numeric_limits<int32_t>::min(), kMax32 = std::numeric_limits<int32_t>::max();
constexpr uint64_t kMax64 = std::numeric_limits<uint64_t>::max();

deal_info_t DealInfo(int32_t instNo, double last, double turnover, double openInterest) {
    deal_info_t f{};
    f.inst_no = instNo;
    f.last_price = last;
    f.turnover = turnover;
    f.open_interest = openInterest;
    return f;
}

class MdqpDecoderTest : public SnapshotFixture {
protected:
    void SetUp() override {
        SnapshotFixture::SetUp();
        Kest_U50::U50DstPort& ports = peer_->Ports();
        ports.port_shfe_2ps = kPort;
        ports.port_shfe_4ps = kPort + 1;
        ports.port_ine_2ps = kPort + 2;
        ports.port_ine_4ps = kPort + 3;
    }
    SInstTableType& Entry(EMDQPDataType feed, int32_t instNo) { return peer_->Table(feed)[instNo]; }
    int32_t Parse(std::vector<uint8_t> message, uint16_t port = kPort) {
        return peer_->ParseMdqp(message, port);
    }
};

TEST_F(MdqpDecoderTest, InstrumentInformationTakesMarkersAndLimitsAndCountsTheHighestNumber) {
    const std::string longId(31, 'x');
    struct Case {
        inst_info_t info;
        int32_t tick, codec;
        std::string id;
    } cases[] = {
        // The no-value marker gives 0; an identifier of 31 bytes keeps 30.
        {InstInfo(13, longId.c_str(), 0.5, MDQP_NO_VALUE), 50, 0, std::string(30, 'x')},
        {InstInfo(8, "x", kNaN, -1e300), 0, kMin32, "x"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.id);
        Parse(MessageBuilder().Field(MDQP_FIELD_INST_INFO, c.info).Build());
        const SInstTableType& e = Entry(SHFE_2PS, c.info.inst_no);
        EXPECT_EQ(e.price_tick, c.tick);
        EXPECT_EQ(e.codec_price, c.codec);
        EXPECT_EQ(std::string(e.inst_id), c.id);
        EXPECT_EQ(peer_->Count(SHFE_2PS), 13u);  // the highest number seen, not the last
    }
}

TEST_F(MdqpDecoderTest, DealInformationRoundsAndTakesMarkersAndOutOfRangeValuesAsZeroOrTheLimit) {
    struct Case {
        deal_info_t deal;
        int32_t last;
        uint64_t turnover, openInterest;
    } cases[] = {
        {DealInfo(3, MDQP_NO_VALUE, 1234.5, 98765.4), 0, 123450, 98765},
        {DealInfo(4, 4012.2, MDQP_NO_VALUE, 10.5), 401220, 0, 11},
        {DealInfo(5, 1e12, -5.0, MDQP_NO_VALUE), kMax32, 0, 0},
        {DealInfo(6, -1e12, 1e300, 1e30), kMin32, kMax64, kMax64},
        {DealInfo(7, kNaN, kNaN, -3.0), 0, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.deal.inst_no);
        Parse(MessageBuilder().Field(MDQP_FIELD_DEAL_INFO, c.deal).Build());
        const SInstTableType& e = Entry(SHFE_2PS, c.deal.inst_no);
        EXPECT_EQ(e.last_price, c.last);
        EXPECT_EQ(static_cast<uint64_t>(e.turnover), c.turnover);
        EXPECT_EQ(static_cast<uint64_t>(e.open_interest), c.openInterest);
    }
}

TEST_F(MdqpDecoderTest, PriceDetailsFillTheFirstEmptyLevelOfTheirSide) {
    MessageBuilder m;
    auto level = [&m](char side, double price, int32_t volume) {
        m.Field(MDQP_FIELD_PRICE_DETAIL, price_detail_t{9, side, price, volume});
    };
    for (int i = 0; i < 6; ++i) level('0', 4012.2 - 0.2 * i, 10 + i);  // the sixth bid overwrites the fifth
    level('1', 4012.4, 3);
    level('1', 0.0, 4);            // leaves ask 2 empty
    level('1', 4012.8, 5);         // lands on ask 2 again
    level('1', MDQP_NO_VALUE, 6);  // taken as 0: ask 3 stays empty
    level('2', 1.0, 7);            // no side: ignored
    Parse(m.Build());
    const SInstTableType& e = Entry(SHFE_2PS, 9);
    using V = std::vector<int64_t>;
    EXPECT_EQ(V({e.bid1_price, e.bid2_price, e.bid3_price, e.bid4_price, e.bid5_price}),
              V({401220, 401200, 401180, 401160, 401120}));
    EXPECT_EQ(V({e.bid1_vol, e.bid2_vol, e.bid3_vol, e.bid4_vol, e.bid5_vol}), V({10, 11, 12, 13, 15}));
    EXPECT_EQ(V({e.ask1_price, e.ask2_price, e.ask3_price, e.ask4_price, e.ask5_price}),
              V({401240, 401280, 0, 0, 0}));
    EXPECT_EQ(V({e.ask1_vol, e.ask2_vol, e.ask3_vol, e.ask4_vol, e.ask5_vol}), V({3, 5, 6, 0, 0}));
}

TEST_F(MdqpDecoderTest, FinalMessageFinishesItsFeedAndEachFeedWritesItsOwnRegisters) {
    struct Case {
        EMDQPDataType feed;
        uint32_t packetNoReg;
        int32_t last;
        uint32_t shfeCount, ineCount;  // one count register per exchange
        const char* logLine;
    } cases[] = {
        {SHFE_2PS, Reg::SHFE2PS_SNAP_PKT_NO, 30, 30, 0, "shfe2ps init finished, total instruments:30"},
        {SHFE_4PS, Reg::SHFE4PS_SNAP_PKT_NO, 21, 21, 0, "shfe4ps init finished, total instruments:21"},
        {INE_2PS, Reg::INE2PS_SNAP_PKT_NO, 900, 21, 900, "ine2ps init finished, total instruments:900"},
        {INE_4PS, Reg::INE4PS_SNAP_PKT_NO, 5, 21, 5, "ine4ps init finished, total instruments:5"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.logLine);
        LogWatch log;
        // The packet number, as the last field, ends exactly at the message end.
        const std::vector<uint8_t> last =
            MessageBuilder(MDQP_FLAG_LAST).Inst(c.last, "cu2501").PacketNo(7000 + c.feed).Build();
        EXPECT_EQ(Parse(last, static_cast<uint16_t>(kPort + c.feed)), 0);
        EXPECT_EQ(card_->ReadReg(c.packetNoReg), 7000u + c.feed);
        EXPECT_EQ(peer_->Finished().enabled_mask, (2u << c.feed) - 1);
        EXPECT_EQ(card_->ReadReg(Reg::SHFE_INST_COUNT), c.shfeCount);
        EXPECT_EQ(card_->ReadReg(Reg::INE_INST_COUNT), c.ineCount);
        EXPECT_TRUE(log.Has(c.logLine));
        // Finished feeds give up their port; the others keep theirs.
        const Kest_U50::U50DstPort& p = peer_->Ports();
        const uint16_t ports[4] = {p.port_shfe_2ps, p.port_shfe_4ps, p.port_ine_2ps, p.port_ine_4ps};
        for (int f = 0; f < 4; ++f) EXPECT_EQ(ports[f], f <= c.feed ? 0 : kPort + f) << f;
    }
}

TEST_F(MdqpDecoderTest, MessageOnAPortOfNoFeedChangesNothing) {
    const std::vector<uint8_t> last = MessageBuilder(MDQP_FLAG_LAST).Inst(3, "zn2501").PacketNo(5).Build();
    peer_->Session(5555).dst_port = 5555;  // the log names the stream the message came on
    LogWatch log;
    EXPECT_EQ(Parse(last, 5555), -1);
    EXPECT_TRUE(log.Has("dst_port[5555] unknown."));
    for (int f = 0; f < 4; ++f) EXPECT_EQ(Entry(static_cast<EMDQPDataType>(f), 3).inst_id[0], '\0');
    EXPECT_EQ(peer_->Finished().enabled_mask, 0);
    EXPECT_EQ(card_->ReadReg(Reg::SHFE2PS_SNAP_PKT_NO), 0u);
}

TEST_F(MdqpDecoderTest, FieldsThatDoNotFitOrAreUnknownAreSkippedWithoutReadingBeyondTheMessage) {
    const uint8_t junk[5] = {1, 2, 3, 4, 5};
    const inst_info_t info = InstInfo(20, "short");
    MessageBuilder skipped, outside, shorter, pastEnd, cut;
    skipped.Raw(0x0031, junk, 5).Raw(0x0032, junk, 0).Raw(0x0104, junk, 3).Snap(1000).Raw(0x1002, junk, 5);
    skipped.Raw(0x1003, junk, 1).Raw(0x0777, junk, 5).Inst(2, "kept");
    outside.Inst(-1, "neg").Inst(4096, "big").Field(MDQP_FIELD_DEAL_INFO, DealInfo(4096, 1, 1, 1));
    outside.Field(MDQP_FIELD_DEAL_INFO, DealInfo(kMin32, 1, 1, 1));
    outside.Field(MDQP_FIELD_PRICE_DETAIL, price_detail_t{70000, '0', 1, 1}).Inst(4095, "kept");
    shorter.Raw(MDQP_FIELD_INST_INFO, &info, sizeof info - 1).Raw(MDQP_FIELD_PACKET_NO, "\x01\x02", 2);
    shorter.Inst(21, "kept");
    pastEnd.Inst(22, "kept").Raw(MDQP_FIELD_INST_INFO, &info, 50, sizeof info);
    cut.Inst(23, "kept").Inst(24, "outside");
    struct Case {
        std::vector<uint8_t> message;  // exactly the message: nothing beyond it can be read
        int32_t kept, lost;
        const char* logText;
    } cases[] = {
        {skipped.Build(), 2, -1, "unknown field id: 777"},
        {outside.Build(), 4095, -1, "inst_no[-1] out of range"},
        {shorter.Build(), 21, 20, "shorter than its 112-byte record"},
        {pastEnd.Build(), 22, 20, "runs past the message end"},
        // The length field ends inside the second field's header.
        {cut.Build(sizeof(field_t) + sizeof(inst_info_t) + 3), 23, 24, "field header cut by the message end"},
    };
    LogWatch all;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.logText);
        LogWatch log;
        Parse(c.message);
        EXPECT_STREQ(Entry(SHFE_2PS, c.kept).inst_id, "kept");
        EXPECT_TRUE(c.lost < 0 || Entry(SHFE_2PS, c.lost).inst_id[0] == '\0');
        EXPECT_TRUE(log.Has(c.logText));
    }
    EXPECT_EQ(all.CountOf("unknown field id:"), 1u);
    EXPECT_EQ(peer_->Count(SHFE_2PS), 4095u);
    EXPECT_EQ(card_->ReadReg(Reg::SHFE2PS_SNAP_PKT_NO), 0u);
    // A bare header and a header with a 2-byte tail.
    EXPECT_EQ(Parse(MessageBuilder().Build()), 0);
    EXPECT_EQ(Parse(MessageBuilder().Bytes("\x01\x01", 2).Build()), 0);
}

}  // namespace
