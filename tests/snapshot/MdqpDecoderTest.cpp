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

const bool kEnvironment = (RegisterCardEnvironment(), true);

constexpr uint16_t kPort = 41000;

class MdqpDecoderTest : public SnapshotFixture {
protected:
    void SetUp() override {
        SnapshotFixture::SetUp();
        peer_->Ports().port_shfe_2ps = kPort;
        peer_->Ports().port_shfe_4ps = kPort + 1;
        peer_->Ports().port_ine_2ps = kPort + 2;
        peer_->Ports().port_ine_4ps = kPort + 3;
    }
    SInstTableType& Entry(EMDQPDataType feed, int32_t instNo) { return peer_->Table(feed)[instNo]; }
    int32_t Parse(std::vector<uint8_t> message, uint16_t port = kPort) {
        return peer_->ParseMdqp(message, port);
    }
};

TEST_F(MdqpDecoderTest, InstrumentInformationCodesPricesAndCopiesTheIdentifier) {
    Parse(MessageBuilder().Field(MDQP_FIELD_INST_INFO, InstInfo(12, "cu2412", 10.0, 70120.5, 5)).Build());
    const SInstTableType& e = Entry(SHFE_2PS, 12);
    EXPECT_EQ(e.price_tick, 1000);
    EXPECT_EQ(e.codec_price, 7012050);
    EXPECT_EQ(e.vol_multiple, 5u);
    EXPECT_STREQ(e.inst_id, "cu2412");
    EXPECT_EQ(peer_->Counts().shfe_inst_cnt_2ps, 12u);

    // The no-value marker as reference price gives 0; an identifier filling
    // all 31 bytes keeps its first 30 characters.
    const std::string longId(31, 'x');
    inst_info_t info = InstInfo(13, "", 0.5, MDQP_NO_VALUE);
    std::memcpy(info.inst_id, longId.data(), sizeof info.inst_id);
    Parse(MessageBuilder().Field(MDQP_FIELD_INST_INFO, info).Build());
    EXPECT_EQ(Entry(SHFE_2PS, 13).codec_price, 0);
    EXPECT_EQ(Entry(SHFE_2PS, 13).price_tick, 50);
    EXPECT_EQ(std::string(Entry(SHFE_2PS, 13).inst_id), std::string(30, 'x'));
}

TEST_F(MdqpDecoderTest, CounterKeepsTheHighestInstrumentNumberPerFeed) {
    Parse(MessageBuilder()
              .Field(MDQP_FIELD_INST_INFO, InstInfo(25, "al2501"))
              .Field(MDQP_FIELD_INST_INFO, InstInfo(17, "al2412"))
              .Build());
    EXPECT_EQ(peer_->Counts().shfe_inst_cnt_2ps, 25u);
    EXPECT_STREQ(Entry(SHFE_2PS, 17).inst_id, "al2412");
    Parse(MessageBuilder().Field(MDQP_FIELD_INST_INFO, InstInfo(40, "sc2501")).Build(), kPort + 3);
    EXPECT_EQ(peer_->Counts().ine_inst_cnt_4ps, 40u);
    EXPECT_STREQ(Entry(INE_4PS, 40).inst_id, "sc2501");
    EXPECT_EQ(peer_->Counts().shfe_inst_cnt_2ps, 25u);
    EXPECT_EQ(peer_->Counts().shfe_inst_cnt_4ps, 0u);
    EXPECT_EQ(Entry(SHFE_2PS, 40).inst_id[0], '\0');
}

TEST_F(MdqpDecoderTest, DealInformationHandlesMarkersAndRounding) {
    Parse(MessageBuilder()
              .Field(MDQP_FIELD_DEAL_INFO, DealInfo(3, MDQP_NO_VALUE, 1234.5, 98765.4, 11, 42, 250))
              .Build());
    const SInstTableType& e = Entry(SHFE_2PS, 3);
    EXPECT_EQ(e.last_price, 0);
    EXPECT_EQ(static_cast<uint64_t>(e.turnover), 123450u);
    EXPECT_EQ(static_cast<uint64_t>(e.open_interest), 98765u);
    EXPECT_EQ(e.volume, 11u);
    EXPECT_EQ(e.change_no, 42u);
    EXPECT_EQ(e.update_mill_sec, 250u);

    Parse(MessageBuilder().Field(MDQP_FIELD_DEAL_INFO, DealInfo(4, 4012.2, MDQP_NO_VALUE, 10.5)).Build());
    EXPECT_EQ(Entry(SHFE_2PS, 4).last_price, 401220);
    EXPECT_EQ(static_cast<uint64_t>(Entry(SHFE_2PS, 4).turnover), 0u);
    EXPECT_EQ(static_cast<uint64_t>(Entry(SHFE_2PS, 4).open_interest), 11u);
}

TEST_F(MdqpDecoderTest, ValuesOutsideTheFieldRangesAreClampedOrZero) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    Parse(MessageBuilder()
              .Field(MDQP_FIELD_DEAL_INFO, DealInfo(5, 1e12, -5.0, MDQP_NO_VALUE))
              .Field(MDQP_FIELD_DEAL_INFO, DealInfo(6, -1e12, 1e300, 1e30))
              .Field(MDQP_FIELD_DEAL_INFO, DealInfo(7, nan, nan, -3.0))
              .Field(MDQP_FIELD_INST_INFO, InstInfo(8, "x", nan, -1e300))
              .Build());
    EXPECT_EQ(Entry(SHFE_2PS, 5).last_price, std::numeric_limits<int32_t>::max());
    EXPECT_EQ(static_cast<uint64_t>(Entry(SHFE_2PS, 5).turnover), 0u);
    EXPECT_EQ(static_cast<uint64_t>(Entry(SHFE_2PS, 5).open_interest), 0u);  // the no-value marker
    EXPECT_EQ(Entry(SHFE_2PS, 6).last_price, std::numeric_limits<int32_t>::min());
    EXPECT_EQ(static_cast<uint64_t>(Entry(SHFE_2PS, 6).turnover), std::numeric_limits<uint64_t>::max());
    EXPECT_EQ(static_cast<uint64_t>(Entry(SHFE_2PS, 6).open_interest), std::numeric_limits<uint64_t>::max());
    EXPECT_EQ(Entry(SHFE_2PS, 7).last_price, 0);
    EXPECT_EQ(static_cast<uint64_t>(Entry(SHFE_2PS, 7).turnover), 0u);
    EXPECT_EQ(static_cast<uint64_t>(Entry(SHFE_2PS, 7).open_interest), 0u);
    EXPECT_EQ(Entry(SHFE_2PS, 8).price_tick, 0);
    EXPECT_EQ(Entry(SHFE_2PS, 8).codec_price, std::numeric_limits<int32_t>::min());
}

TEST_F(MdqpDecoderTest, PriceDetailsFillTheFirstEmptyLevelOfTheirSide) {
    MessageBuilder m;
    const double bids[6] = {4012.2, 4012.0, 4011.8, 4011.6, 4011.4, 4011.2};
    for (int i = 0; i < 6; ++i) m.Field(MDQP_FIELD_PRICE_DETAIL, PriceDetail(9, '0', bids[i], 10 + i));
    m.Field(MDQP_FIELD_PRICE_DETAIL, PriceDetail(9, '1', 4012.4, 3));
    m.Field(MDQP_FIELD_PRICE_DETAIL, PriceDetail(9, '1', 0.0, 4));            // leaves ask 2 empty
    m.Field(MDQP_FIELD_PRICE_DETAIL, PriceDetail(9, '1', 4012.8, 5));         // lands on ask 2 again
    m.Field(MDQP_FIELD_PRICE_DETAIL, PriceDetail(9, '1', MDQP_NO_VALUE, 6));  // taken as 0: ask 3 stays empty
    m.Field(MDQP_FIELD_PRICE_DETAIL, PriceDetail(9, '2', 1.0, 7));            // no side: ignored
    Parse(m.Build());
    const SInstTableType& e = Entry(SHFE_2PS, 9);
    EXPECT_EQ(e.bid1_price, 401220);
    EXPECT_EQ(e.bid1_vol, 10u);
    EXPECT_EQ(e.bid2_price, 401200);
    EXPECT_EQ(e.bid3_price, 401180);
    EXPECT_EQ(e.bid4_price, 401160);
    EXPECT_EQ(e.bid4_vol, 13u);
    EXPECT_EQ(e.bid5_price, 401120);  // the sixth overwrote the fifth
    EXPECT_EQ(e.bid5_vol, 15u);
    EXPECT_EQ(e.ask1_price, 401240);
    EXPECT_EQ(e.ask2_price, 401280);
    EXPECT_EQ(e.ask2_vol, 5u);
    EXPECT_EQ(e.ask3_price, 0);
    EXPECT_EQ(e.ask3_vol, 6u);
    EXPECT_EQ(e.ask4_price, 0);
    EXPECT_EQ(e.ask4_vol, 0u);
}

TEST_F(MdqpDecoderTest, PacketNumberGoesToTheFeedRegisterEvenAsTheLastField) {
    const uint32_t regs[4] = {Reg::SHFE2PS_SNAP_PKT_NO, Reg::SHFE4PS_SNAP_PKT_NO, Reg::INE2PS_SNAP_PKT_NO,
                              Reg::INE4PS_SNAP_PKT_NO};
    for (uint16_t feed = 0; feed < 4; ++feed) {
        // 8 bytes (header included) ending exactly at length + 8.
        std::vector<uint8_t> msg =
            MessageBuilder().Field(MDQP_FIELD_INST_INFO, InstInfo(1, "ag2412")).PacketNo(7000 + feed).Build();
        EXPECT_EQ(Parse(msg, static_cast<uint16_t>(kPort + feed)), 0);
        EXPECT_EQ(card_->ReadReg(regs[feed]), 7000u + feed) << "feed " << feed;
    }
    Parse(MessageBuilder().PacketNo(-2).Build());
    EXPECT_EQ(card_->ReadReg(Reg::SHFE2PS_SNAP_PKT_NO), 0xFFFFFFFEu);
}

TEST_F(MdqpDecoderTest, FinalMessageFinishesTheFeedAndWritesTheSharedCountRegister) {
    peer_->Session(kPort).init = 1;
    peer_->Session(kPort + 1).init = 1;
    LogWatch log;
    Parse(MessageBuilder(MDQP_FLAG_LAST).Field(MDQP_FIELD_INST_INFO, InstInfo(30, "cu2501")).Build());
    EXPECT_EQ(peer_->Finished().enabled_mask, 0x01);
    EXPECT_EQ(card_->ReadReg(Reg::SHFE_INST_COUNT), 30u);
    EXPECT_EQ(peer_->Session(kPort).init, 0);
    EXPECT_EQ(peer_->Ports().port_shfe_2ps, 0);
    EXPECT_TRUE(log.Has("shfe2ps init finished, total instruments:30"));

    Parse(MessageBuilder(MDQP_FLAG_LAST).Field(MDQP_FIELD_INST_INFO, InstInfo(21, "cu2502")).Build(),
          kPort + 1);
    EXPECT_EQ(peer_->Finished().enabled_mask, 0x03);
    EXPECT_EQ(card_->ReadReg(Reg::SHFE_INST_COUNT), 21u);  // same register as the 2ps completion
    EXPECT_EQ(card_->ReadReg(Reg::INE_INST_COUNT), 0u);
    EXPECT_EQ(peer_->Session(kPort + 1).init, 0);
    EXPECT_EQ(peer_->Ports().port_shfe_4ps, 0);
    EXPECT_EQ(peer_->Ports().port_ine_2ps, kPort + 2);
    EXPECT_TRUE(log.Has("shfe4ps init finished, total instruments:21"));

    Parse(MessageBuilder(MDQP_FLAG_LAST).Field(MDQP_FIELD_INST_INFO, InstInfo(900, "sc2501")).Build(),
          kPort + 2);
    EXPECT_EQ(card_->ReadReg(Reg::INE_INST_COUNT), 900u);
    EXPECT_EQ(peer_->Finished().enabled_mask, 0x07);
    EXPECT_TRUE(log.Has("ine2ps init finished, total instruments:900"));
}

TEST_F(MdqpDecoderTest, MessageOnAnUnregisteredPortChangesNothing) {
    peer_->Session(5555).src_host = 77;
    peer_->Session(5555).src_port = 33022;
    peer_->Session(5555).dst_host = 88;
    peer_->Session(5555).dst_port = 5555;
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

TEST_F(MdqpDecoderTest, SkippedAndUnknownFieldsDoNotStopTheWalk) {
    const uint8_t junk[5] = {1, 2, 3, 4, 5};
    LogWatch log;
    MessageBuilder m;
    m.Raw(0x0031, junk, 5)
        .Raw(0x0032, junk, 0)
        .Raw(0x0104, junk, 3)
        .Snap(1000)
        .Raw(0x1002, junk, 5)
        .Raw(0x1003, junk, 1);
    m.Raw(0x0777, junk, 5).Field(MDQP_FIELD_INST_INFO, InstInfo(2, "pb2501"));
    Parse(m.Build());
    EXPECT_STREQ(Entry(SHFE_2PS, 2).inst_id, "pb2501");
    EXPECT_EQ(log.CountOf("unknown field id:"), 1u);
    EXPECT_TRUE(log.Has("unknown field id: 777"));
}

TEST_F(MdqpDecoderTest, BadFieldsNeverReachBeyondTheMessageOrTheTable) {
    LogWatch log;
    // Instrument numbers outside the table.
    Parse(MessageBuilder()
              .Field(MDQP_FIELD_INST_INFO, InstInfo(-1, "neg"))
              .Field(MDQP_FIELD_INST_INFO, InstInfo(4096, "big"))
              .Field(MDQP_FIELD_DEAL_INFO, DealInfo(4096, 1, 1, 1))
              .Field(MDQP_FIELD_DEAL_INFO, DealInfo(std::numeric_limits<int32_t>::min(), 1, 1, 1))
              .Field(MDQP_FIELD_PRICE_DETAIL, PriceDetail(70000, '0', 1, 1))
              .Field(MDQP_FIELD_INST_INFO, InstInfo(4095, "last"))
              .Build());
    EXPECT_STREQ(Entry(SHFE_2PS, 4095).inst_id, "last");
    EXPECT_EQ(peer_->Counts().shfe_inst_cnt_2ps, 4095u);
    EXPECT_TRUE(log.Has("inst_no[-1] out of range"));

    // A field shorter than its record is skipped, the walk goes on.
    const inst_info_t info = InstInfo(20, "short");
    Parse(MessageBuilder()
              .Raw(MDQP_FIELD_INST_INFO, &info, sizeof info - 1)
              .Raw(MDQP_FIELD_PACKET_NO, "\x01\x02", 2)
              .Field(MDQP_FIELD_INST_INFO, InstInfo(21, "after"))
              .Build());
    EXPECT_EQ(Entry(SHFE_2PS, 20).inst_id[0], '\0');
    EXPECT_STREQ(Entry(SHFE_2PS, 21).inst_id, "after");
    EXPECT_EQ(card_->ReadReg(Reg::SHFE2PS_SNAP_PKT_NO), 0u);

    // A field whose size runs past the end stops the walk; nothing beyond
    // the message is read (the vector is exactly the message).
    Parse(MessageBuilder()
              .Field(MDQP_FIELD_INST_INFO, InstInfo(22, "before"))
              .Raw(MDQP_FIELD_INST_INFO, &info, 50, sizeof info)
              .Build());
    EXPECT_STREQ(Entry(SHFE_2PS, 22).inst_id, "before");
    EXPECT_EQ(Entry(SHFE_2PS, 20).inst_id[0], '\0');
    EXPECT_TRUE(log.Has("runs past the message end"));

    // A length field shorter than the bytes present: fields past it are not read.
    std::vector<uint8_t> cut = MessageBuilder()
                                   .Field(MDQP_FIELD_INST_INFO, InstInfo(23, "inside"))
                                   .Field(MDQP_FIELD_INST_INFO, InstInfo(24, "outside"))
                                   .Build(sizeof(field_t) + sizeof(inst_info_t) + 3);
    Parse(cut);
    EXPECT_STREQ(Entry(SHFE_2PS, 23).inst_id, "inside");
    EXPECT_EQ(Entry(SHFE_2PS, 24).inst_id[0], '\0');
    EXPECT_TRUE(log.Has("field header cut by the message end"));

    // A bare header and a header with a 2-byte tail.
    EXPECT_EQ(Parse(MessageBuilder().Build()), 0);
    EXPECT_EQ(Parse(MessageBuilder().Bytes("\x01\x01", 2).Build()), 0);
}

}  // namespace
