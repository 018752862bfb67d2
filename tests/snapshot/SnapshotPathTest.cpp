// The snapshot path over the card model and the simulated exchange: decoding of single MDQP messages,
// the subscription bits of the instrument tables at their edges, reassembly of the mirrored TCP streams
// by hand-built frames for each rule, and the minutes in which a lost packet does not start the snapshot
// over. Whole simulated snapshots under mirror-port faults are the reassembly fuzzer's (against an
// oracle of its own).
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "FpgaRegisterCommon.h"
#include "KestShfeMdApiImpl.h"
#include "SnapshotFeeds.h"
#include "SnapshotPeer.h"
#include "TestSupport.h"
#include "cardlogic/DmaFraming.h"
#include "exchangesim/SnapshotMirror.h"
#include "kest_cardsim.h"

namespace {

using Peer = CKestShfeMdApiImplTestPeer;
using Kest_U50::INST_TABLE_SIZE;
using Kest_U50::MDQP_NO_VALUE;
namespace Reg = Kest_U50::Reg;

// One card of the model per process, in a private namespace and opened by the register singleton.
class CardEnvironment : public ::testing::Environment {
    void SetUp() override {
        dir_.reset(new kest_test::ScopedTempDir());
        kest_test::UsePrivateCardNamespace("snapshot");
        kest_sim::CardOptions options;
        options.a2c_ring_bytes = options.c2a_ring_bytes = 4096;
        ASSERT_EQ(kest_sim::CreateCard(0, options), 0);
        ASSERT_EQ(Kest_U50::CDrvRegEnyx::GetInstance().Init(0, Reg::DESIGN_CORE_ID), 0);
    }
    void TearDown() override {
        kest_sim::RemoveCard(0);
        dir_.reset();
    }
    std::unique_ptr<kest_test::ScopedTempDir> dir_;
};
const bool kCardEnvironment = (::testing::AddGlobalTestEnvironment(new CardEnvironment()), true);

// Log text written after the watch was made.
struct LogWatch {
    static std::string Whole() {
        return kest_test::ReadFile(Kest_U50::CCommonLog::GetInstance().GetLogFileName());
    }
    bool Has(const std::string& text) const { return Whole().find(text, mark) != std::string::npos; }
    size_t mark = Whole().size();
};

// A fresh card and object with the default ports and topics, all feeds enabled.
class SnapshotFixture : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(kest_sim::ResetCard(0), 0);
        ASSERT_NE(card_ = kest_sim::Card::Open(0), nullptr);
        Kest_U50::CCommonLog::GetInstance().SetLogLevel(Kest_U50::LOG_ERROR | Kest_U50::LOG_WARNING |
                                                        Kest_U50::LOG_INFO | Kest_U50::LOG_DEBUG);
        impl_.reset(Peer::Make());
    }
    std::unique_ptr<kest_sim::Card> card_;  // destroyed last
    std::unique_ptr<CKestShfeMdApiImpl> impl_;
};

inst_info_t InstInfo(int32_t instNo, const char* id, double tick = 0.2, double codec = 4000.0) {
    inst_info_t f{};
    std::memcpy(f.inst_id, id, std::min(sizeof f.inst_id, std::strlen(id)));
    f.price_tick = tick;
    f.codec_price = codec;
    f.inst_no = instNo;
    return f;
}

struct MessageBuilder {
    explicit MessageBuilder(uint8_t flag = MDQP_FLAG_MORE, int8_t type = MDQP_TYPE_SNAPSHOT)
        : bytes{flag, static_cast<uint8_t>(type), 0, 0, 0, 0, 0, 0} {}
    template <typename T>
    MessageBuilder& Field(uint16_t id, const T& payload) {
        return Raw(id, &payload, sizeof payload);
    }
    // A field of `size` payload bytes whose header declares `declared` bytes.
    MessageBuilder& Raw(uint16_t id, const void* payload, size_t size, size_t declared = SIZE_MAX) {
        const field_t f{id, static_cast<uint16_t>(declared == SIZE_MAX ? size : declared)};
        const auto *h = reinterpret_cast<const uint8_t*>(&f), *p = static_cast<const uint8_t*>(payload);
        bytes.insert(bytes.end(), h, h + sizeof f);
        bytes.insert(bytes.end(), p, p + size);
        return *this;
    }
    MessageBuilder& Snap(int16_t topic) { return Field(MDQP_FIELD_SNAP, snap_t{topic, 1}); }
    MessageBuilder& Inst(int32_t no, const char* id) { return Field(MDQP_FIELD_INST_INFO, InstInfo(no, id)); }
    MessageBuilder& PacketNo(int32_t no) { return Field(MDQP_FIELD_PACKET_NO, packet_no_t{no}); }
    // The message with its length field set to what follows the header, or to a shorter `length`.
    std::vector<uint8_t> Build(size_t length = SIZE_MAX) const {
        std::vector<uint8_t> out = bytes;
        const uint16_t len = static_cast<uint16_t>(std::min(length, out.size() - sizeof(mdqp_t)));
        std::memcpy(out.data() + offsetof(mdqp_t, length), &len, sizeof len);
        return out;
    }
    std::vector<uint8_t> bytes;
};

// --- Single MDQP messages: price coding edges, book levels, final-message registers, fields that misfit.

constexpr uint16_t kPort = 41000;  // SHFE 2ps; the other feeds follow
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr int32_t kMin32 = std::numeric_limits<int32_t>::min(), kMax32 = std::numeric_limits<int32_t>::max();
constexpr uint64_t kMax64 = std::numeric_limits<uint64_t>::max();

deal_info_t DealInfo(int32_t instNo, double last = 0, double turnover = 0, double openInterest = 0) {
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
        Kest_U50::U50DstPort& p = Peer::Ports(*impl_);
        p.port_shfe_2ps = kPort;
        p.port_shfe_4ps = kPort + 1;
        p.port_ine_2ps = kPort + 2;
        p.port_ine_4ps = kPort + 3;
    }
    SInstTableType& Entry(int32_t instNo) { return Peer::Table(*impl_, SHFE_2PS)[instNo]; }
    int32_t Parse(const std::vector<uint8_t>& message, int port = kPort) {
        return Peer::Parse(*impl_, message, port);
    }
};

TEST_F(MdqpDecoderTest, InstrumentInformationTakesMarkersAndLimitsAndCountsTheHighestNumber) {
    MessageBuilder m(MDQP_FLAG_LAST);
    m.Field(MDQP_FIELD_INST_INFO, InstInfo(13, std::string(31, 'x').c_str(), 0.5, MDQP_NO_VALUE));
    m.Field(MDQP_FIELD_INST_INFO, InstInfo(8, "x", kNaN, -1e300));
    Parse(m.Build());
    // The no-value marker gives 0; an identifier of 31 bytes keeps 30.
    EXPECT_EQ(std::string(Entry(13).inst_id), std::string(30, 'x'));
    EXPECT_EQ(std::make_pair(Entry(13).price_tick, Entry(13).codec_price), std::make_pair(50, 0));
    EXPECT_EQ(std::make_pair(Entry(8).price_tick, Entry(8).codec_price), std::make_pair(0, kMin32));
    EXPECT_EQ(card_->ReadReg(Reg::SHFE_INST_COUNT), 13u);  // the highest number seen, not the last
}

TEST_F(MdqpDecoderTest, DealInformationRoundsAndTakesMarkersAndOutOfRangeValuesAsZeroOrTheLimit) {
    // Deal information, then the last price, turnover and open interest it leaves.
    const std::tuple<deal_info_t, int32_t, uint64_t, uint64_t> cases[] = {
        {DealInfo(3, MDQP_NO_VALUE, 1234.5, 98765.4), 0, 123450, 98765},
        {DealInfo(4, 4012.2, MDQP_NO_VALUE, 10.5), 401220, 0, 11},
        {DealInfo(5, 1e12, -5.0, MDQP_NO_VALUE), kMax32, 0, 0},
        {DealInfo(6, -1e12, 1e300, 1e30), kMin32, kMax64, kMax64},
    };
    for (const auto& [deal, last, turnover, openInterest] : cases) {
        Parse(MessageBuilder().Field(MDQP_FIELD_DEAL_INFO, deal).Build());
        const SInstTableType& e = Entry(deal.inst_no);
        // Copies: the entry is packed, so its 64-bit fields cannot bind to references.
        EXPECT_EQ(std::make_tuple(int32_t{e.last_price}, uint64_t{e.turnover}, uint64_t{e.open_interest}),
                  std::make_tuple(last, turnover, openInterest));
    }
}

TEST_F(MdqpDecoderTest, PriceDetailsFillTheirOwnSideAndADirectionNeitherBidNorAskIsIgnored) {
    MessageBuilder m;
    m.Field(MDQP_FIELD_PRICE_DETAIL, price_detail_t{9, '0', 4012.2, 3});
    m.Field(MDQP_FIELD_PRICE_DETAIL, price_detail_t{9, '1', 4013.0, 4});
    // Neither bid ("0") nor ask ("1"): the letters, the next digit, no direction at all.
    for (const char other : {'2', 'B', 'S', 'a', '\0', '/'})
        m.Field(MDQP_FIELD_PRICE_DETAIL, price_detail_t{9, other, 5000.0 + other, 77});
    m.Field(MDQP_FIELD_PRICE_DETAIL, price_detail_t{9, '0', 4011.8, 5});
    m.Field(MDQP_FIELD_PRICE_DETAIL, price_detail_t{9, '1', 4013.4, 6});
    EXPECT_EQ(Parse(m.Build()), 0);
    const SInstTableType& e = Entry(9);
    // Price and volume of levels 1 to 5, copied (unary +): the entry is packed.
    using V = std::vector<int64_t>;
    EXPECT_EQ((V{+e.bid1_price, +e.bid1_vol, +e.bid2_price, +e.bid2_vol, +e.bid3_price, +e.bid3_vol,
                 +e.bid4_price, +e.bid4_vol, +e.bid5_price, +e.bid5_vol}),
              (V{401220, 3, 401180, 5, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ((V{+e.ask1_price, +e.ask1_vol, +e.ask2_price, +e.ask2_vol, +e.ask3_price, +e.ask3_vol,
                 +e.ask4_price, +e.ask4_vol, +e.ask5_price, +e.ask5_vol}),
              (V{401300, 4, 401340, 6, 0, 0, 0, 0, 0, 0}));
}

TEST_F(MdqpDecoderTest, FinalMessageFinishesItsFeedAndEachFeedWritesItsOwnRegisters) {
    // Feed, its packet number register, last instrument, the count registers (one per exchange), name.
    const std::tuple<int, uint32_t, int32_t, uint32_t, uint32_t, const char*> cases[] = {
        {SHFE_2PS, Reg::SHFE2PS_SNAP_PKT_NO, 30, 30, 0, "shfe2ps"},
        {SHFE_4PS, Reg::SHFE4PS_SNAP_PKT_NO, 21, 21, 0, "shfe4ps"},
        {INE_2PS, Reg::INE2PS_SNAP_PKT_NO, 900, 21, 900, "ine2ps"},
        {INE_4PS, Reg::INE4PS_SNAP_PKT_NO, 5, 21, 5, "ine4ps"},
    };
    for (const auto& [feed, packetNoReg, last, shfeCount, ineCount, name] : cases) {
        SCOPED_TRACE(name);
        LogWatch log;
        // The packet number, as the last field, ends exactly at the message end.
        const auto message =
            MessageBuilder(MDQP_FLAG_LAST).Inst(last, "cu2501").PacketNo(7000 + feed).Build();
        EXPECT_EQ(Parse(message, kPort + feed), 0);
        EXPECT_EQ(card_->ReadReg(packetNoReg), 7000u + feed);
        EXPECT_EQ(Peer::Finished(*impl_), (2u << feed) - 1);
        EXPECT_EQ(card_->ReadReg(Reg::SHFE_INST_COUNT), shfeCount);
        EXPECT_EQ(card_->ReadReg(Reg::INE_INST_COUNT), ineCount);
        EXPECT_TRUE(log.Has(std::string(name) + " init finished, total instruments:" + std::to_string(last)));
        // Finished feeds give up their port; the others keep theirs.
        const Kest_U50::U50DstPort& p = Peer::Ports(*impl_);
        const uint16_t ports[4] = {p.port_shfe_2ps, p.port_shfe_4ps, p.port_ine_2ps, p.port_ine_4ps};
        for (int f = 0; f < 4; ++f) EXPECT_EQ(ports[f], f <= feed ? 0 : kPort + f) << f;
    }
}

TEST_F(MdqpDecoderTest, FieldsThatDoNotFitOrAreUnknownAreSkippedWithoutReadingBeyondTheMessage) {
    const uint8_t junk[5] = {1, 2, 3, 4, 5};
    const inst_info_t info = InstInfo(20, "short");
    MessageBuilder skipped, outside, shorter, pastEnd, cut, tail;
    skipped.Raw(0x0031, junk, 5).Raw(0x0032, junk, 0).Raw(0x0104, junk, 3).Snap(1000).Raw(0x1002, junk, 5);
    skipped.Raw(0x1003, junk, 1).Raw(0x0777, junk, 5).Inst(2, "kept");
    outside.Inst(-1, "neg").Inst(INST_TABLE_SIZE, "big").Field(MDQP_FIELD_DEAL_INFO, DealInfo(kMin32));
    outside.Field(MDQP_FIELD_DEAL_INFO, DealInfo(INST_TABLE_SIZE)).Inst(INST_TABLE_SIZE - 1, "kept");
    outside.Field(MDQP_FIELD_PRICE_DETAIL, price_detail_t{70000, '0', 1, 1});
    shorter.Raw(MDQP_FIELD_INST_INFO, &info, sizeof info - 1).Raw(MDQP_FIELD_PACKET_NO, junk, 2);
    shorter.Inst(21, "kept");
    pastEnd.Inst(22, "kept").Raw(MDQP_FIELD_INST_INFO, &info, 50, sizeof info);
    cut.Inst(23, "kept").Inst(24, "outside");
    // The message (nothing beyond it can be read), an entry decoded, one not decoded, the log.
    const std::tuple<std::vector<uint8_t>, int32_t, int32_t, const char*> cases[] = {
        {skipped.Build(), 2, -1, "unknown field id: 777"},
        {outside.Build(), INST_TABLE_SIZE - 1, -1, "inst_no[-1] out of range"},
        {shorter.Build(), 21, 20, "shorter than its 112-byte record"},
        {pastEnd.Build(), 22, 20, "runs past the message end"},
        // The length field ends inside the second field's header.
        {cut.Build(sizeof(field_t) + sizeof(inst_info_t) + 3), 23, 24, "field header cut by the message end"},
    };
    for (const auto& [message, kept, lost, logText] : cases) {
        SCOPED_TRACE(logText);
        LogWatch log;
        Parse(message);
        EXPECT_STREQ(Entry(kept).inst_id, "kept");
        EXPECT_TRUE(lost < 0 || Entry(lost).inst_id[0] == '\0');
        EXPECT_TRUE(log.Has(logText));
    }
    EXPECT_EQ(Peer::Table(*impl_, SHFE_4PS)[0].inst_id[0], '\0');  // where entry 4096 would be
    tail.bytes.insert(tail.bytes.end(), {1, 1});                   // 2 bytes of a field header
    EXPECT_EQ(Parse(tail.Build()), 0);
}

// --- Subscription bits in word 0 of the card's entries at their edges (list selection is proven end to end).

using Words = std::vector<uint32_t>;
constexpr uint32_t T = INST_CONFIG_TOUCHED;  // the entry went through a subscription pass

const std::vector<const char*> kShfe = {"cu2412", "cu2501", "cu2412C70000", "au2412", "cu24120", "al2412",
                                        "",       "c"};
const std::vector<const char*> kIne = {"sc2412", "sc2501", "lu2412", "sc2412C500"};

class InstrumentTableTest : public SnapshotFixture {
protected:
    // Identifiers into entries 0..n-1 of the host and card tables, and the count register the pass reads.
    void Load(EMDQPDataType feed, const std::vector<const char*>& ids) {
        for (uint32_t i = 0; i < ids.size(); ++i) {
            SInstTableType& e = Peer::Table(*impl_, feed)[i];
            std::memcpy(e.inst_id, ids[i], std::strlen(ids[i]));
            e.price_tick = static_cast<int32_t>(100 + i);
            for (uint32_t w = 0; w < 64; ++w)
                card_->WriteTableWord(feed, i * 64 + w, reinterpret_cast<uint32_t*>(&e)[w]);
        }
        card_->WriteReg(feed >= INE_2PS ? Reg::INE_INST_COUNT : Reg::SHFE_INST_COUNT, ids.size() - 1);
    }
    void Subscribe(int32_t channel, const char* insts, bool options) {
        Kest_U50::U50ChannelInfo& c = Peer::Config(*impl_).channelInfo[channel];
        c.insts.UnSafeCopyFrom(insts);
        c.options = options;
        c.recvall = c.insts.Comp("all") == 0;
        Peer::Subscribe(*impl_, channel);
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
    Subscribe(3, "cu,au2412", false);
    // Not taken: an option by a product token, cu24120 (7 characters), another product, and "c".
    for (EMDQPDataType feed : {SHFE_2PS, SHFE_4PS})
        EXPECT_EQ(Word0(feed, {0, 1, 2, 3, 4, 5, 7}), Words({T | 8, T | 8, T, T | 8, T, T, T})) << feed;
}

TEST_F(InstrumentTableTest, AllTakesEveryEntryUpToTheCountOfEnabledFeeds) {
    Load(SHFE_2PS, kShfe);
    Load(INE_2PS, kIne);
    Load(INE_4PS, kIne);
    Peer::Config(*impl_).enabled_mask.enabled_mask = 0x05;  // SHFE 2ps, INE 2ps
    Subscribe(1, "all", false);
    // No options without options; empty entries up to the count too; disabled feeds see only the unsubscribe.
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

// --- Reassembly: hand-built frames for each rule.

constexpr uint32_t kSeq0 = 1000;
const uint8_t kZeros[64] = {};
constexpr uint8_t kAck = kest_exch::kTcpAck;

std::vector<uint8_t> operator+(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// The opening message of a stream: identification, packet number and one instrument.
std::vector<uint8_t> Opening(int16_t topic = 1000) {
    return MessageBuilder().Snap(topic).PacketNo(1).Inst(0, "open00").Build();
}
const size_t kOpen = Opening().size();

// A message carrying `count` instruments from `first` on, each with one bid.
std::vector<uint8_t> Instruments(int32_t first, int32_t count, uint8_t flag = MDQP_FLAG_MORE) {
    MessageBuilder m(flag);
    for (int32_t i = first; i < first + count; ++i)
        m.Field(MDQP_FIELD_INST_INFO,
                InstInfo(i, ("cu" + std::to_string(1000 + i)).c_str(), 10.0, 70000.0 + i))
            .Field(MDQP_FIELD_PRICE_DETAIL, price_detail_t{i, '0', 69000.0 + i, i + 1});
    return m.Build();
}

class TcpReassemblyTest : public SnapshotFixture {
protected:
    // One segment from the server, `offset` bytes into the stream, in the card's DMA form; `change` makes
    // another frame of it (other addresses).
    std::vector<uint8_t> Dma(const std::vector<uint8_t>& payload, size_t offset = 0, uint8_t flags = kAck,
                             const std::function<void(kest_exch::TcpFrameFields&)>& change = nullptr) {
        kest_exch::TcpFrameFields frame =
            kest_exch::ServerSegment(conn_, static_cast<uint32_t>(seq0_ + offset), flags);
        frame.payload = payload.data();
        frame.payload_size = payload.size();
        if (change) change(frame);
        return kest_cardlogic::ToDmaMessage(kest_exch::BuildTcpFrame(frame));
    }
    void Send(const std::vector<uint8_t>& s, size_t from, size_t to, uint8_t flags = kAck) {
        Peer::Handle(*impl_, Dma({s.begin() + from, s.begin() + to}, from, flags));
    }
    bool Decoded(int32_t i) {
        return Peer::Table(*impl_, SHFE_2PS)[i].inst_id == "cu" + std::to_string(1000 + i);
    }
    // Decoded exactly once: a second decode would put the bid on level 2.
    void ExpectDecodedOnce(int32_t first, int32_t last) {
        for (int32_t i = first; i <= last; ++i) {
            const SInstTableType& e = Peer::Table(*impl_, SHFE_2PS)[i];
            ASSERT_TRUE(Decoded(i) && e.bid1_price == (69000 + i) * 100 && e.bid2_price == 0) << i;
        }
    }

    kest_exch::ConnectionParams conn_;
    uint32_t seq0_ = kSeq0;
};

TEST_F(TcpReassemblyTest, FirstSegmentMustOpenAStreamOfAnEnabledUnfinishedFeed) {
    // An identification and a packet number, padded to `size` bytes.
    auto first = [](size_t size, uint8_t flag = MDQP_FLAG_MORE, int8_t type = MDQP_TYPE_SNAPSHOT) {
        return MessageBuilder(flag, type).Snap(1000).PacketNo(1).Raw(0x1002, kZeros, size - 30).Build();
    };
    // What, payload, enabled and finished feeds, TCP flags, whether it opens the stream.
    const std::tuple<const char*, std::vector<uint8_t>, uint8_t, uint8_t, uint8_t, bool> cases[] = {
        {"44 payload bytes", first(44), 0x0F, 0, kAck, false},
        {"final flag", first(60, MDQP_FLAG_LAST), 0x0F, 0, kAck, false},
        {"another type", first(60, MDQP_FLAG_MORE, '3'), 0x0F, 0, kAck, false},
        {"unknown topic", Opening(1234), 0x0F, 0, kAck, false},
        {"disabled feed", Opening(), 0x0E, 0, kAck, false},
        {"finished feed", Opening(), 0x0F, 0x01, kAck, false},
        {"45 payload bytes", first(45), 0x0F, 0, kAck, true},
    };
    LogWatch log;
    for (const auto& [what, payload, enabled, finished, flags, opens] : cases) {
        SCOPED_TRACE(what);
        Peer::Config(*impl_).enabled_mask.enabled_mask = enabled;
        Peer::Finished(*impl_) = finished;
        conn_.client_port++;
        Send(payload, 0, payload.size(), flags);
        EXPECT_EQ(Peer::Ports(*impl_).port_shfe_2ps, opens ? conn_.client_port : 0);
        EXPECT_EQ(Peer::Table(*impl_, SHFE_2PS)[0].inst_id[0], '\0');
    }
    EXPECT_TRUE(log.Has("invalide topic id[1234]"));
    EXPECT_EQ(card_->ReadReg(Reg::SHFE2PS_SNAP_PKT_NO), 1u);
}

TEST_F(TcpReassemblyTest, OnlySegmentsFromTheSnapshotServerToTheClientOfTheStreamAreTaken) {
    const auto stream = Opening() + Instruments(1, 1) + Instruments(2, 1);
    const size_t second = kOpen, third = second + Instruments(1, 1).size();
    // A segment of the stream as another frame: the same bytes, its addresses changed.
    auto frame = [&](size_t from, size_t to, const std::function<void(kest_exch::TcpFrameFields&)>& change) {
        return Dma({stream.begin() + from, stream.begin() + to}, from, kAck, change);
    };
    // The client's side of the connection (to the snapshot port) opens nothing.
    Peer::Handle(*impl_, frame(0, second, [](kest_exch::TcpFrameFields& f) {
        std::swap(f.src_ip, f.dst_ip), std::swap(f.src_port, f.dst_port);
    }));
    EXPECT_EQ(Peer::Ports(*impl_).port_shfe_2ps, 0);
    EXPECT_EQ(Peer::Session(*impl_, conn_.server_port).init, 0);
    Send(stream, 0, second);
    ASSERT_EQ(Peer::Ports(*impl_).port_shfe_2ps, conn_.client_port);
    // The next bytes in order, but from another host or to another host: not this stream's.
    Peer::Handle(*impl_, frame(second, third, [](kest_exch::TcpFrameFields& f) { f.src_ip ^= 0x100; }));
    Peer::Handle(*impl_, frame(second, third, [](kest_exch::TcpFrameFields& f) { f.dst_ip ^= 0x100; }));
    EXPECT_FALSE(Decoded(1));
    Send(stream, second, third);
    EXPECT_TRUE(Decoded(1));
    Peer::Handle(*impl_, frame(third, stream.size(), [](kest_exch::TcpFrameFields& f) { f.src_ip += 1; }));
    Peer::Handle(*impl_, frame(third, stream.size(), [](kest_exch::TcpFrameFields& f) { f.dst_ip += 1; }));
    EXPECT_FALSE(Decoded(2));
    Send(stream, third, stream.size());
    ExpectDecodedOnce(1, 2);
}

TEST_F(TcpReassemblyTest, TablesAreWrittenAfterTheLastFinalMessageAndOneMoreSegment) {
    Peer::Config(*impl_).enabled_mask.enabled_mask = 0x01;
    const auto stream = Opening() + Instruments(1, 3) + Instruments(4, 1, MDQP_FLAG_LAST);
    Send(stream, 0, stream.size());
    ASSERT_EQ(Peer::Finished(*impl_), 0x01);
    EXPECT_EQ(card_->Stats().table_writes[SHFE_2PS], 0u);
    LogWatch log;
    Send(stream, stream.size() - 1, stream.size() - 1);  // a keep-alive
    EXPECT_TRUE(log.Has("index:4,inst_id:cu1004,price_tick:1000,codec_price:7000400,"));
    // Disabled feeds keep what the card holds up to their count; everything above it is zeroed.
    const kest_sim::CardStats stats = card_->Stats();
    EXPECT_EQ(std::vector<uint64_t>(stats.table_writes, stats.table_writes + 3),
              std::vector<uint64_t>(
                  {INST_TABLE_SIZE * 64, (INST_TABLE_SIZE - 1) * 64, kest_exch::kIneMaxInstNo * 64}));
    // Once written, later segments do not write the tables again.
    Send(stream, stream.size() - 1, stream.size() - 1);
    EXPECT_EQ(card_->Stats().table_writes[SHFE_2PS], stats.table_writes[SHFE_2PS]);
}

TEST_F(TcpReassemblyTest, MalformedInputIsDroppedWithoutTouchingOtherMemory) {
    const std::vector<uint8_t> first = Dma(Opening());
    const size_t n = first.size(), ip = DMA_TCP_IP_OFFSET, tcp = DMA_TCP_IP_OFFSET + 20;
    const char* const kMalformed = "malformed snapshot frame dropped";
    // What, message size (cut ones in buffers of exactly their size), changed bytes, log (none: not checked).
    const std::tuple<const char*, size_t, std::vector<std::pair<size_t, uint8_t>>, const char*> cases[] = {
        {"cut in the Ethernet header", ip - 4, {}, nullptr},
        {"cut in the IPv4 header", ip + 10, {}, nullptr},
        {"cut in the TCP header", tcp + 10, {}, nullptr},
        {"cut in the payload", n - 1, {}, nullptr},
        {"too long", TCP_WORK_BUF_SIZE + 1, {}, "DMA message of 2049 bytes exceeds the 2048-byte"},
        {"another DMA kind", n, {{0, DMA_UDP}}, "invalide DMA Data Type[1]"},
        {"GRE", n, {{ip + 9, 47}}, "ip_p[47]"},
        {"ip_hl 4: ports read from inside the IPv4 header", n, {{ip, 0x44}}, nullptr},
        {"doff 4", n, {{tcp + 12, 0x40}}, kMalformed},
        {"ip_len beyond the frame", n, {{ip + 2, 0x07}}, kMalformed},
        {"ip_len shorter than both headers", n, {{ip + 2, 0}, {ip + 3, 30}}, kMalformed},
        {"doff 15 past ip_len", n, {{tcp + 12, 0xF0}, {ip + 2, 0}, {ip + 3, 60}}, kMalformed},
    };
    for (const auto& [what, size, bytes, logText] : cases) {
        SCOPED_TRACE(what);
        std::vector<uint8_t> bad(first.begin(), first.begin() + std::min(size, n));
        bad.resize(size);
        for (const auto& b : bytes) bad[b.first] = b.second;
        LogWatch log;
        Peer::Handle(*impl_, bad);
        EXPECT_TRUE(logText == nullptr || log.Has(logText));
        EXPECT_EQ(Peer::Ports(*impl_).port_shfe_2ps, 0);
    }
    // A first-segment scan over a field whose size runs past the payload.
    std::vector<uint8_t> runaway = Opening();
    runaway[sizeof(mdqp_t) + 3] = 0xFF;  // the identification claims 65286 bytes
    Send(runaway, 0, runaway.size());
    EXPECT_EQ(Peer::Session(*impl_, conn_.client_port).init, 0);
    // The identified stream ignores other hosts.
    Peer::Handle(*impl_, first);
    ASSERT_EQ(Peer::Ports(*impl_).port_shfe_2ps, conn_.client_port);
    conn_.server_ip++;
    Peer::Handle(*impl_, Dma(Instruments(1, 2), kOpen));
    EXPECT_FALSE(Decoded(1));
}

// A held segment sent again is not held twice: with it, a full hold list still takes the stream on.
TEST_F(TcpReassemblyTest, ASegmentHeldAgainIsHeldOnce) {
    std::vector<uint8_t> stream = Opening();
    std::vector<size_t> starts;  // of instrument i's message, i = 1 ... the list's limit + 1
    for (int32_t i = 1; i <= static_cast<int32_t>(TCP_LOST_LIST_LIMIT) + 1; ++i) {
        starts.push_back(stream.size());
        stream = stream + Instruments(i, 1);
    }
    starts.push_back(stream.size());
    Send(stream, 0, kOpen);
    for (size_t i = 1; i < starts.size() - 1; ++i) {  // all but the first, the second twice
        Send(stream, starts[i], starts[i + 1]);
        if (i == 1) Send(stream, starts[i], starts[i + 1]);
    }
    Send(stream, starts[0], starts[1]);
    ExpectDecodedOnce(1, static_cast<int32_t>(TCP_LOST_LIST_LIMIT) + 1);
}

TEST_F(TcpReassemblyTest, FramesBeyondTheNodeOrFragmentLimitsAreRejected) {
    const auto stream = Opening() + Instruments(1, 13);  // a message of 1789 bytes
    Send(stream, 0, kOpen);
    LogWatch log;
    Send(stream, kOpen + 100, stream.size());  // ahead of the stream: too large for a node
    EXPECT_TRUE(log.Has("does not fit an out-of-order node"));
    Send(stream, kOpen, stream.size());  // in order the same size is fine
    ExpectDecodedOnce(1, 13);
    // A partial message that never completes piles up until the fragment buffer would overflow.
    conn_.client_port = 41888;
    std::vector<uint8_t> junk = Opening();
    junk.resize(kOpen + 1 + 80 * 1400, 0x55);
    Send(junk, 0, kOpen + 1);
    for (size_t pos = kOpen + 1; pos < junk.size(); pos += 1400) Send(junk, pos, pos + 1400);
    EXPECT_TRUE(log.Has("fragment buffer overflow dstport:41888"));
    EXPECT_EQ(Peer::Ports(*impl_).port_shfe_2ps, 0);
}

// --- The minutes in which a lost-packet event is forgiven, as the design lists them (local time).

struct IgnoredWindow {
    int hour, first, last;
};
constexpr IgnoredWindow kIgnoredWindows[] = {{8, 55, 59},  {20, 55, 59}, {9, 0, 0},    {21, 0, 0},
                                             {10, 15, 15}, {10, 30, 30}, {11, 30, 30}, {13, 30, 30},
                                             {15, 0, 59},  {2, 30, 30}};

TEST_F(SnapshotFixture, ALostPacketIsForgivenExactlyInTheListedMinutesOfLocalTime) {
    const char* const oldTz = std::getenv("TZ");
    const std::string savedTz = oldTz != nullptr ? oldTz : "";
    setenv("TZ", "CST-8", 1);  // the exchange's local time, eight hours ahead of UTC
    tzset();
    Kest_U50::CCommonLog::GetInstance().SetLogLevel(Kest_U50::LOG_ERROR);
    const uint32_t lossBits[] = {0x00000040, 0x00004000, 0x00400000, 0x40000000};
    constexpr int64_t kMidnight = 1772380800;  // 2026-03-02 00:00 in that zone
    // Every minute of every hour, so each window is seen from both sides.
    for (int hour = 0; hour < 24; ++hour) {
        for (int minute = 0; minute < 60; ++minute) {
            const int64_t at = kMidnight + hour * 3600 + minute * 60 + 59;
            // The newest of the four times counts; the others are older, none or before the epoch.
            const uint32_t newest = static_cast<uint32_t>(hour + minute) % 4;
            for (uint32_t k = 0; k < 4; ++k) {
                const int64_t other = k % 2 == 0 ? at - 7200 : -at;
                card_->WriteReg(Reg::LAST_UPDATE_TIME_0 + k, static_cast<uint64_t>(k == newest ? at : other));
            }
            bool forgiven = false;
            for (const IgnoredWindow& w : kIgnoredWindows)
                forgiven = forgiven || (w.hour == hour && minute >= w.first && minute <= w.last);
            // A snapshot complete on all four feeds: a loss that is not forgiven starts it all over.
            Kest_U50::U50DstPort& ports = Peer::Ports(*impl_);
            ports.port_shfe_2ps = 1, ports.port_shfe_4ps = 2, ports.port_ine_2ps = 3, ports.port_ine_4ps = 4;
            Peer::Finished(*impl_) = 0x0F;
            Peer::TablesWritten(*impl_) = true;
            const bool startsOver = Peer::LostPacket(*impl_, lossBits[minute % 4] | 0x1);
            ASSERT_EQ(startsOver, !forgiven) << hour << ":" << minute;
            const std::vector<int> kept = {ports.port_shfe_2ps, ports.port_shfe_4ps, ports.port_ine_2ps,
                                           ports.port_ine_4ps};
            const std::vector<int> want = forgiven ? std::vector<int>{1, 2, 3, 4} : std::vector<int>(4, 0);
            EXPECT_EQ(kept, want) << hour << ":" << minute;
            EXPECT_EQ(Peer::Finished(*impl_), forgiven ? 0x0F : 0) << hour << ":" << minute;
            EXPECT_EQ(Peer::TablesWritten(*impl_), forgiven) << hour << ":" << minute;
        }
    }
    oldTz != nullptr ? setenv("TZ", savedTz.c_str(), 1) : unsetenv("TZ");
    tzset();
}

}  // namespace
