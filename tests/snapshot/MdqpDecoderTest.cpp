// Decoding of single MDQP messages into the host tables: price coding, the
// no-value marker, book levels, counters, the card registers a message
// writes, and messages whose fields do not fit.
#include <cmath>
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

TEST_F(MdqpDecoderTest, InstrumentInformationCodesPricesAndCountsTheHighestNumberPerFeed) {
    const std::string longId(31, 'x');
    struct Case {
        EMDQPDataType feed;
        inst_info_t info;
        int32_t tick, codec;
        std::string id;
        uint64_t count;
    } cases[] = {
        {SHFE_2PS, InstInfo(12, "cu2412", 10.0, 70120.5, 5), 1000, 7012050, "cu2412", 12},
        // The no-value marker gives 0; an identifier of 31 bytes keeps 30.
        {SHFE_2PS, InstInfo(13, longId.c_str(), 0.5, MDQP_NO_VALUE, 9), 50, 0, std::string(30, 'x'), 13},
        {SHFE_2PS, InstInfo(8, "x", kNaN, -1e300), 0, kMin32, "x", 13},
        {INE_4PS, InstInfo(40, "sc2501"), 20, 400000, "sc2501", 40},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.id);
        Parse(MessageBuilder().Field(MDQP_FIELD_INST_INFO, c.info).Build(),
              static_cast<uint16_t>(kPort + c.feed));
        const SInstTableType& e = Entry(c.feed, c.info.inst_no);
        EXPECT_EQ(e.price_tick, c.tick);
        EXPECT_EQ(e.codec_price, c.codec);
        EXPECT_EQ(e.vol_multiple, static_cast<uint32_t>(c.info.volume_multiple));
        EXPECT_EQ(std::string(e.inst_id), c.id);
        EXPECT_EQ(peer_->Count(c.feed), c.count);
    }
    EXPECT_EQ(peer_->Count(SHFE_2PS), 13u);
    EXPECT_EQ(peer_->Count(SHFE_4PS), 0u);
    EXPECT_EQ(Entry(SHFE_2PS, 40).inst_id[0], '\0');
}

TEST_F(MdqpDecoderTest, DealInformationRoundsAndTakesMarkersAndOutOfRangeValuesAsZeroOrTheLimit) {
    struct Case {
        deal_info_t deal;
        int32_t last;
        uint64_t turnover, openInterest;
    } cases[] = {
        {DealInfo(3, MDQP_NO_VALUE, 1234.5, 98765.4, 11, 42, 250), 0, 123450, 98765},
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
        EXPECT_EQ(e.volume, static_cast<uint32_t>(c.deal.volume));
        EXPECT_EQ(e.change_no, static_cast<uint32_t>(c.deal.change_no));
        EXPECT_EQ(e.update_mill_sec, static_cast<uint32_t>(c.deal.update_mill_sec));
    }
}

TEST_F(MdqpDecoderTest, PriceDetailsFillTheFirstEmptyLevelOfTheirSide) {
    MessageBuilder m;
    for (int i = 0; i < 6; ++i)
        m.Field(MDQP_FIELD_PRICE_DETAIL, PriceDetail(9, '0', 4012.2 - 0.2 * i, 10 + i));
    m.Field(MDQP_FIELD_PRICE_DETAIL, PriceDetail(9, '1', 4012.4, 3));
    m.Field(MDQP_FIELD_PRICE_DETAIL, PriceDetail(9, '1', 0.0, 4));            // leaves ask 2 empty
    m.Field(MDQP_FIELD_PRICE_DETAIL, PriceDetail(9, '1', 4012.8, 5));         // lands on ask 2 again
    m.Field(MDQP_FIELD_PRICE_DETAIL, PriceDetail(9, '1', MDQP_NO_VALUE, 6));  // taken as 0: ask 3 stays empty
    m.Field(MDQP_FIELD_PRICE_DETAIL, PriceDetail(9, '2', 1.0, 7));            // no side: ignored
    Parse(m.Build());
    const SInstTableType& e = Entry(SHFE_2PS, 9);
    using V = std::vector<int64_t>;
    // The sixth bid overwrote the fifth.
    EXPECT_EQ(V({e.bid1_price, e.bid2_price, e.bid3_price, e.bid4_price, e.bid5_price}),
              V({401220, 401200, 401180, 401160, 401120}));
    EXPECT_EQ(V({e.bid1_vol, e.bid2_vol, e.bid3_vol, e.bid4_vol, e.bid5_vol}), V({10, 11, 12, 13, 15}));
    EXPECT_EQ(V({e.ask1_price, e.ask2_price, e.ask3_price, e.ask4_price, e.ask5_price}),
              V({401240, 401280, 0, 0, 0}));
    EXPECT_EQ(V({e.ask1_vol, e.ask2_vol, e.ask3_vol, e.ask4_vol, e.ask5_vol}), V({3, 5, 6, 0, 0}));
}

TEST_F(MdqpDecoderTest, FinalMessageFinishesItsFeedAndEachFeedWritesItsOwnRegisters) {
    Parse(MessageBuilder().PacketNo(-2).Build());
    EXPECT_EQ(card_->ReadReg(Reg::SHFE2PS_SNAP_PKT_NO), 0xFFFFFFFEu);
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
        const uint16_t port = static_cast<uint16_t>(kPort + c.feed);
        peer_->Session(port).init = 1;
        LogWatch log;
        // The packet number, as the last field, ends exactly at the message end.
        EXPECT_EQ(Parse(MessageBuilder(MDQP_FLAG_LAST)
                            .Field(MDQP_FIELD_INST_INFO, InstInfo(c.last, "cu2501"))
                            .PacketNo(7000 + c.feed)
                            .Build(),
                        port),
                  0);
        EXPECT_EQ(card_->ReadReg(c.packetNoReg), 7000u + c.feed);
        EXPECT_EQ(peer_->Finished().enabled_mask, (2u << c.feed) - 1);
        EXPECT_EQ(card_->ReadReg(Reg::SHFE_INST_COUNT), c.shfeCount);
        EXPECT_EQ(card_->ReadReg(Reg::INE_INST_COUNT), c.ineCount);
        EXPECT_EQ(peer_->Session(port).init, 0);
        EXPECT_TRUE(log.Has(c.logLine));
        // Finished feeds give up their port; the others keep theirs.
        const Kest_U50::U50DstPort& p = peer_->Ports();
        const uint16_t ports[4] = {p.port_shfe_2ps, p.port_shfe_4ps, p.port_ine_2ps, p.port_ine_4ps};
        for (int f = 0; f < 4; ++f) EXPECT_EQ(ports[f], f <= c.feed ? 0 : kPort + f) << f;
    }
}

TEST_F(MdqpDecoderTest, MessageOnAnUnregisteredPortChangesNothing) {
    tcp_session_t& s = peer_->Session(5555);
    s.src_host = 77;
    s.src_port = 33022;
    s.dst_host = 88;
    s.dst_port = 5555;
    LogWatch log;
    EXPECT_EQ(Parse(MessageBuilder(MDQP_FLAG_LAST)
                        .Field(MDQP_FIELD_INST_INFO, InstInfo(3, "zn2501"))
                        .PacketNo(5)
                        .Build(),
                    5555),
              -1);
    EXPECT_TRUE(log.Has("src_host[77] src_port[33022] dst_host[88] dst_port[5555] unknown."));
    for (int f = 0; f < 4; ++f) EXPECT_EQ(Entry(static_cast<EMDQPDataType>(f), 3).inst_id[0], '\0');
    EXPECT_EQ(peer_->Finished().enabled_mask, 0);
    EXPECT_EQ(card_->ReadReg(Reg::SHFE2PS_SNAP_PKT_NO), 0u);

    // A feed without a registered stream holds port 0, which names no stream.
    peer_->Ports().port_shfe_2ps = 0;
    EXPECT_EQ(Parse(MessageBuilder().Field(MDQP_FIELD_INST_INFO, InstInfo(3, "zn2501")).Build(), 0), -1);
    EXPECT_EQ(Entry(SHFE_2PS, 3).inst_id[0], '\0');
}

TEST_F(MdqpDecoderTest, FieldsThatDoNotFitOrAreUnknownAreSkippedWithoutReadingBeyondTheMessage) {
    const uint8_t junk[5] = {1, 2, 3, 4, 5};
    const inst_info_t info = InstInfo(20, "short");
    struct Case {
        const char* what;
        std::vector<uint8_t> message;  // exactly the message: nothing beyond it can be read
        int32_t kept, lost;
        const char* logText;
    } cases[] = {
        {"skipped and unknown fields",
         MessageBuilder()
             .Raw(0x0031, junk, 5)
             .Raw(0x0032, junk, 0)
             .Raw(0x0104, junk, 3)
             .Snap(1000)
             .Raw(0x1002, junk, 5)
             .Raw(0x1003, junk, 1)
             .Raw(0x0777, junk, 5)
             .Field(MDQP_FIELD_INST_INFO, InstInfo(2, "kept"))
             .Build(),
         2, -1, "unknown field id: 777"},
        {"instrument numbers outside the table",
         MessageBuilder()
             .Field(MDQP_FIELD_INST_INFO, InstInfo(-1, "neg"))
             .Field(MDQP_FIELD_INST_INFO, InstInfo(4096, "big"))
             .Field(MDQP_FIELD_DEAL_INFO, DealInfo(4096, 1, 1, 1))
             .Field(MDQP_FIELD_DEAL_INFO, DealInfo(kMin32, 1, 1, 1))
             .Field(MDQP_FIELD_PRICE_DETAIL, PriceDetail(70000, '0', 1, 1))
             .Field(MDQP_FIELD_INST_INFO, InstInfo(4095, "kept"))
             .Build(),
         4095, -1, "inst_no[-1] out of range"},
        {"fields shorter than their record",
         MessageBuilder()
             .Raw(MDQP_FIELD_INST_INFO, &info, sizeof info - 1)
             .Raw(MDQP_FIELD_PACKET_NO, "\x01\x02", 2)
             .Field(MDQP_FIELD_INST_INFO, InstInfo(21, "kept"))
             .Build(),
         21, 20, "shorter than its 112-byte record"},
        {"a field running past the end",
         MessageBuilder()
             .Field(MDQP_FIELD_INST_INFO, InstInfo(22, "kept"))
             .Raw(MDQP_FIELD_INST_INFO, &info, 50, sizeof info)
             .Build(),
         22, 20, "runs past the message end"},
        {"a length field shorter than the bytes present",
         MessageBuilder()
             .Field(MDQP_FIELD_INST_INFO, InstInfo(23, "kept"))
             .Field(MDQP_FIELD_INST_INFO, InstInfo(24, "outside"))
             .Build(sizeof(field_t) + sizeof(inst_info_t) + 3),
         23, 24, "field header cut by the message end"},
    };
    LogWatch all;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
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
