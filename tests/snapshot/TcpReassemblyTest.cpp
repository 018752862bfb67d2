// Reassembly of mirrored snapshot connections, first with frames built by
// hand for each rule, then with whole simulated snapshots of all four feeds
// under the faults a mirror port sees.
#include "SnapshotTestSupport.h"
#include "exchangesim/MdqpEncoder.h"
#include "exchangesim/SnapshotMirror.h"
#include "exchangesim/TcpSegmenter.h"
#include "exchangesim/Universe.h"

using namespace snapshot_test;
namespace Reg = Kest_U50::Reg;

namespace {

constexpr uint32_t kSeq0 = 1000;
constexpr uint8_t kAck = kest_sim::kTcpAck;
constexpr uint8_t kRstAck = kest_sim::kTcpRst | kest_sim::kTcpAck;

// One segment from the server of a mirrored connection, in the card's DMA form.
std::vector<uint8_t> TcpDma(const kest_sim::ConnectionParams& c, uint32_t seq,
                            const std::vector<uint8_t>& payload, uint8_t flags = kest_sim::kTcpAck) {
    kest_sim::TcpFrameSpec frame = kest_sim::ServerSegment(c, seq, flags);
    frame.payload = payload.empty() ? nullptr : payload.data();
    frame.payload_size = payload.size();
    return kest_sim::ToDmaMessage(kest_sim::BuildTcpFrame(frame));
}

std::vector<uint8_t> Concat(std::initializer_list<std::vector<uint8_t>> parts) {
    std::vector<uint8_t> out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

std::vector<uint8_t> Slice(const std::vector<uint8_t>& v, size_t from, size_t to) {
    return std::vector<uint8_t>(v.begin() + static_cast<std::ptrdiff_t>(from),
                                v.begin() + static_cast<std::ptrdiff_t>(to));
}

// The opening message of a stream: identification, packet number and one instrument.
std::vector<uint8_t> Opening(int16_t topic = 1000) {
    return MessageBuilder().Snap(topic).PacketNo(1).Inst(0, "open00").Build();
}

// A message carrying `count` instruments from `first` on, each with one bid.
std::vector<uint8_t> Instruments(int32_t first, int32_t count, uint8_t flag = MDQP_FLAG_MORE) {
    MessageBuilder m(flag);
    for (int32_t i = first; i < first + count; ++i) {
        m.Field(MDQP_FIELD_INST_INFO,
                InstInfo(i, ("cu" + std::to_string(1000 + i)).c_str(), 10.0, 70000.0 + i));
        m.Field(MDQP_FIELD_PRICE_DETAIL, price_detail_t{i, '0', 69000.0 + i, i + 1});
    }
    return m.Build();
}

class TcpReassemblyTest : public SnapshotFixture {
protected:
    // Sends bytes [from, to) of a stream that starts at seq0_ as one segment.
    void Send(const std::vector<uint8_t>& stream, size_t from, size_t to, uint8_t flags = kAck) {
        peer_->Handle(TcpDma(conn_, static_cast<uint32_t>(seq0_ + from), Slice(stream, from, to), flags));
    }
    bool Decoded(int32_t instNo) {
        return peer_->Table(SHFE_2PS)[instNo].inst_id == "cu" + std::to_string(1000 + instNo);
    }
    // Decoded exactly once: a second decode would put the bid on level 2.
    void ExpectDecodedOnce(int32_t first, int32_t last) {
        for (int32_t i = first; i <= last; ++i) {
            ASSERT_TRUE(Decoded(i)) << i;
            ASSERT_EQ(peer_->Table(SHFE_2PS)[i].bid1_price, (69000 + i) * 100) << i;
            ASSERT_EQ(peer_->Table(SHFE_2PS)[i].bid2_price, 0) << i;
        }
    }
    // A new stream of SHFE 2ps on another port, into empty entries (the streams here use 0..7).
    void NewStream(uint16_t port, uint32_t seq0 = kSeq0) {
        std::memset(static_cast<void*>(peer_->Table(SHFE_2PS)), 0, sizeof(SInstTableType) * 8);
        peer_->Count(SHFE_2PS) = 0;
        conn_.client_port = port;
        seq0_ = seq0;
    }
    tcp_session_t& Slot() { return peer_->Session(conn_.client_port); }

    kest_sim::ConnectionParams conn_;
    uint32_t seq0_ = kSeq0;
};

TEST_F(TcpReassemblyTest, FirstSegmentMustOpenAStreamOfAnEnabledUnfinishedFeed) {
    // An identification and a packet number, padded to `size` bytes.
    auto first = [](size_t size, uint8_t flag = MDQP_FLAG_MORE, int8_t type = MDQP_TYPE_SNAPSHOT) {
        const uint8_t pad[64] = {};
        return MessageBuilder(flag, type).Snap(1000).PacketNo(1).Raw(0x1002, pad, size - 30).Build();
    };
    struct Case {
        const char* what;
        std::vector<uint8_t> payload;
        uint8_t enabled, finished, flags;
    } rejected[] = {
        {"44 payload bytes", first(44), 0x0F, 0, kAck},
        {"final flag", first(60, MDQP_FLAG_LAST), 0x0F, 0, kAck},
        {"another type", first(60, MDQP_FLAG_MORE, '3'), 0x0F, 0, kAck},
        {"unknown topic", Opening(1234), 0x0F, 0, kAck},
        {"disabled feed", Opening(), 0x0E, 0, kAck},
        {"finished feed", Opening(), 0x0F, 0x01, kAck},
        {"reset with no feed enabled", Opening(), 0, 0, kRstAck},
    };
    LogWatch log;
    for (const Case& c : rejected) {
        SCOPED_TRACE(c.what);
        peer_->Config().enabled_mask.enabled_mask = c.enabled;
        peer_->Finished().enabled_mask = c.finished;
        conn_.client_port++;
        peer_->Handle(TcpDma(conn_, kSeq0, c.payload, c.flags));
        EXPECT_EQ(peer_->Ports().port_shfe_2ps, 0);
        EXPECT_EQ(peer_->Table(SHFE_2PS)[0].inst_id[0], '\0');
    }
    EXPECT_TRUE(log.Has("invalide topic id[1234]"));
    EXPECT_TRUE(log.Has("both shfe and ine are not subscribed"));
    EXPECT_FALSE(log.Has("Session closed"));

    // 45 bytes of an enabled, unfinished feed identify the stream.
    peer_->Config().enabled_mask.enabled_mask = 0x0F;
    peer_->Finished().enabled_mask = 0;
    conn_.client_port = 42000;
    peer_->Handle(TcpDma(conn_, kSeq0, first(45)));
    EXPECT_EQ(peer_->Ports().port_shfe_2ps, 42000);
    EXPECT_EQ(card_->ReadReg(Reg::SHFE2PS_SNAP_PKT_NO), 1u);
}

TEST_F(TcpReassemblyTest, EveryCutPointAndOneByteSegmentsGiveTheSameTables) {
    const size_t a = Opening().size();
    const std::vector<uint8_t> stream =
        Concat({Opening(), Instruments(1, 2), Instruments(3, 1), Instruments(4, 2)});
    for (size_t cut = a + 1; cut < stream.size(); ++cut) {
        // With the opening message alone first, and with a first segment
        // that itself ends inside a later message.
        for (size_t firstEnd : {a, cut}) {
            SCOPED_TRACE("cut " + std::to_string(cut) + " first segment " + std::to_string(firstEnd));
            NewStream(static_cast<uint16_t>(43000 + cut + (firstEnd == a ? 0 : 1000)));
            Send(stream, 0, firstEnd);
            if (firstEnd < cut) Send(stream, firstEnd, cut);
            Send(stream, cut, stream.size());
            ASSERT_NO_FATAL_FAILURE(ExpectDecodedOnce(1, 5));
            EXPECT_EQ(peer_->Count(SHFE_2PS), 5u);
        }
    }
    NewStream(44999);
    Send(stream, 0, a);
    for (size_t b = a; b < stream.size(); ++b) Send(stream, b, b + 1);
    ExpectDecodedOnce(1, 5);
}

TEST_F(TcpReassemblyTest, HeldSegmentsAreDecodedInOrderOnceTheGapClosesEvenAcrossTheSequenceWrap) {
    const std::vector<uint8_t> m1 = Instruments(1, 2), m2 = Instruments(3, 2);
    const std::vector<uint8_t> stream = Concat({Opening(), m1, m2, Instruments(5, 2)});
    const size_t a = Opening().size(), b = a + m1.size(), c = b + m2.size();
    // The second start puts 2^32 inside the segment that closes the gap.
    for (uint32_t seq0 : {kSeq0, 0xFFFFFFFFu - static_cast<uint32_t>(a + m1.size() / 2)}) {
        SCOPED_TRACE(seq0);
        NewStream(static_cast<uint16_t>(41000 + seq0 % 7), seq0);
        Send(stream, 0, a);
        Send(stream, b, c);
        Send(stream, c, stream.size());
        Send(stream, b, c);  // a duplicate is not held twice
        EXPECT_EQ(Slot().lost_buf_size, 2u);
        EXPECT_FALSE(Decoded(3));
        Send(stream, a, c);  // also covers the first held segment, which is then stale
        ExpectDecodedOnce(1, 6);
        // Retransmissions of consumed bytes change nothing.
        Send(stream, 0, a);
        Send(stream, b, c);
        Send(stream, a, stream.size());
        ExpectDecodedOnce(1, 6);
    }
}

TEST_F(TcpReassemblyTest, TwentyFirstHeldSegmentGivesTheStreamUp) {
    std::vector<uint8_t> stream = Opening();
    std::vector<size_t> starts{0, stream.size()};  // of each message
    for (int32_t i = 1; i <= 23; ++i) {
        stream = Concat({stream, Instruments(i, 1)});
        starts.push_back(stream.size());
    }
    Send(stream, 0, starts[1]);
    peer_->Ports().port_ine_4ps = 999;  // every feed's registration goes
    for (size_t k = 2; k < 22; ++k) Send(stream, starts[k], starts[k + 1]);
    LogWatch log;
    Send(stream, starts[22], starts[23]);
    EXPECT_TRUE(log.Has("break tcp seq detected. expt: " + std::to_string(kSeq0 + starts[1]) +
                        ", Got: " + std::to_string(kSeq0 + starts[22])));
    EXPECT_EQ(peer_->Ports().port_shfe_2ps, 0);
    EXPECT_EQ(peer_->Ports().port_ine_4ps, 0);
    // The missing segment arrives too late: the free slot does not take it.
    Send(stream, starts[1], starts[2]);
    EXPECT_FALSE(Decoded(1));
}

TEST_F(TcpReassemblyTest, ResetClosesTheSessionAndANewStreamStartsClean) {
    const std::vector<uint8_t> stream = Concat({Opening(), Instruments(1, 2), Instruments(3, 2)});
    const size_t a = Opening().size();
    Send(stream, 0, a + 10);              // a partial message in the fragment buffer
    Send(stream, a + 40, stream.size());  // held
    peer_->Ports().port_shfe_4ps = 123;
    LogWatch log;
    Send(stream, a + 10, a + 10, kRstAck);
    EXPECT_TRUE(log.Has("Session closed dstport:40000"));
    EXPECT_EQ(peer_->Ports().port_shfe_2ps, 0);
    EXPECT_EQ(peer_->Ports().port_shfe_4ps, 0);
    // A new stream on the same port, with other sequence numbers, inherits
    // nothing; RST without ACK is an ordinary segment.
    const std::vector<uint8_t> again = Concat({Opening(), Instruments(7, 2)});
    seq0_ = 5000000;
    Send(again, 0, a + 5);
    Send(again, a + 5, again.size(), kest_sim::kTcpRst);
    ExpectDecodedOnce(7, 8);
    EXPECT_FALSE(Decoded(1));
}

TEST_F(TcpReassemblyTest, TablesAreWrittenAfterTheLastFinalMessageAndOneMoreSegment) {
    peer_->Config().enabled_mask.enabled_mask = 0x01;
    const std::vector<uint8_t> stream =
        Concat({Opening(), Instruments(1, 3), Instruments(4, 1, MDQP_FLAG_LAST)});
    Send(stream, 0, stream.size());
    ASSERT_EQ(peer_->Finished().enabled_mask, 0x01);
    EXPECT_FALSE(peer_->TcpInitFinished());
    EXPECT_EQ(card_->Stats().table_writes[SHFE_2PS], 0u);

    LogWatch log;
    Send(stream, stream.size() - 1, stream.size() - 1);  // a keep-alive
    EXPECT_TRUE(peer_->TcpInitFinished());
    EXPECT_TRUE(log.Has("shfe_inst_cnt_2ps:4 shfe_inst_cnt_4ps:0 ine_inst_cnt_2ps:0 ine_inst_cnt_4ps:0"));
    // Entries up to the count are logged, for disabled feeds too (entry 0).
    EXPECT_EQ(log.CountOf("index:"), 5u + 3u);
    EXPECT_TRUE(log.Has("index:4,inst_id:cu1004,price_tick:1000,codec_price:7000400,"));
    // Disabled feeds keep what the card holds up to their count; everything above it is zeroed.
    const kest_sim::CardStats stats = card_->Stats();
    EXPECT_EQ(stats.table_writes[SHFE_2PS], 4096u * 64u);
    EXPECT_EQ(stats.table_writes[SHFE_4PS], 4095u * 64u);
    EXPECT_EQ(stats.table_writes[INE_2PS], 1023u * 64u);
    // Once written, later segments do not write the tables again.
    Send(stream, stream.size() - 1, stream.size() - 1);
    EXPECT_EQ(card_->Stats().table_writes[SHFE_2PS], 4096u * 64u);
}

TEST_F(TcpReassemblyTest, MalformedInputIsDroppedWithoutTouchingOtherMemory) {
    const std::vector<uint8_t> stream = Concat({Opening(), Instruments(1, 2)});
    const std::vector<uint8_t> first = TcpDma(conn_, kSeq0, Opening());
    LogWatch log;
    std::vector<uint8_t> huge(2049, 0);
    huge[0] = DMA_TCP;
    peer_->Handle(huge);
    EXPECT_TRUE(log.Has("DMA message of 2049 bytes exceeds the 2048-byte work buffer"));
    const size_t ip = DMA_TCP_IP_OFFSET, tcp = DMA_TCP_IP_OFFSET + 20;
    // A frame cut inside the Ethernet, IPv4 and TCP headers and the payload,
    // each in a buffer of exactly its size.
    for (size_t len : {size_t{0}, ip - 4, ip + 10, tcp + 10, first.size() - 1}) {
        peer_->Handle(Slice(first, 0, len));
        ASSERT_EQ(peer_->Ports().port_shfe_2ps, 0) << len;
    }
    const char* const kMalformed = "malformed snapshot frame dropped";
    struct Case {
        const char* what;
        std::vector<std::pair<size_t, uint8_t>> bytes;
        const char* logText;  // none: dropped without a word
    } cases[] = {
        {"another DMA kind", {{0, DMA_UDP}}, "invalide DMA Data Type[1]"},
        {"GRE", {{ip + 9, 47}}, "ip_p[47]"},
        {"UDP", {{ip + 9, 17}}, nullptr},
        {"ip_hl 4: ports read from inside the IPv4 header", {{ip, 0x44}}, nullptr},
        {"doff 4", {{tcp + 12, 0x40}}, kMalformed},
        {"ip_len beyond the frame", {{ip + 2, 0x07}}, kMalformed},
        {"ip_len shorter than both headers", {{ip + 2, 0}, {ip + 3, 30}}, kMalformed},
        {"doff 15 past ip_len", {{tcp + 12, 0xF0}, {ip + 2, 0}, {ip + 3, 60}}, kMalformed},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<uint8_t> bad = first;
        for (const auto& b : c.bytes) bad[b.first] = b.second;
        LogWatch caseLog;
        peer_->Handle(bad);
        EXPECT_TRUE(c.logText != nullptr ? caseLog.Has(c.logText)
                                         : !caseLog.Has("ip_p[") && !caseLog.Has(kMalformed));
        EXPECT_EQ(peer_->Ports().port_shfe_2ps, 0);
    }

    // The identified stream ignores other hosts.
    peer_->Handle(first);
    ASSERT_EQ(peer_->Ports().port_shfe_2ps, conn_.client_port);
    kest_sim::ConnectionParams stranger = conn_;
    stranger.server_ip = 0x0A000001u;
    peer_->Handle(TcpDma(stranger, static_cast<uint32_t>(kSeq0 + Opening().size()),
                         Slice(stream, Opening().size(), stream.size())));
    EXPECT_FALSE(Decoded(1));
    // A first-segment scan over a field whose size runs past the payload.
    conn_.client_port = 41777;
    std::vector<uint8_t> runaway = Opening();
    const uint16_t size = 0xFFF0;
    std::memcpy(runaway.data() + sizeof(mdqp_t) + 2, &size, 2);  // the identification claims 65520 bytes
    peer_->Handle(TcpDma(conn_, kSeq0, runaway));
    EXPECT_EQ(Slot().init, 0);
}

TEST_F(TcpReassemblyTest, FramesBeyondTheNodeOrFragmentLimitsAreRejected) {
    const std::vector<uint8_t> stream = Concat({Opening(), Instruments(1, 30)});  // about 4 KB
    const size_t a = Opening().size();
    Send(stream, 0, a);
    LogWatch log;
    Send(stream, a + 100, a + 1800);  // 1700 bytes ahead of the stream: too large for a node
    EXPECT_TRUE(log.Has("does not fit an out-of-order node"));
    // In order the same size is fine.
    Send(stream, a, a + 1800);
    Send(stream, a + 1800, a + 3000);
    Send(stream, a + 3000, stream.size());
    ExpectDecodedOnce(1, 30);

    // A stream whose partial message cannot be an MDQP message: its bytes
    // pile up until the fragment buffer would overflow, then it is given up.
    conn_.client_port = 41888;
    std::vector<uint8_t> junk = Opening();
    junk.push_back(0x55);
    junk.resize(junk.size() + 80 * 1400, 0x55);
    Send(junk, 0, Opening().size() + 1);
    for (size_t pos = Opening().size() + 1; pos < junk.size() && Slot().init == 1; pos += 1400)
        Send(junk, pos, pos + 1400);
    EXPECT_TRUE(log.Has("fragment buffer overflow dstport:41888"));
    EXPECT_EQ(peer_->Ports().port_shfe_2ps, 0);
}

TEST_F(TcpReassemblyTest, ResetOfAllSessionsReleasesHeldBuffersAndAPreparedSlotStartsEmpty) {
    const std::vector<uint8_t> stream = Concat({Opening(), Instruments(1, 4)});
    Send(stream, 0, Opening().size() + 3);
    Send(stream, Opening().size() + 50, stream.size());
    ASSERT_NE(Slot().lost_buf_head, nullptr);
    // Under ASan a leak shows here, a double free in the destructor's reset.
    peer_->ResetTcpSessions();
    EXPECT_EQ(Slot().frag_buf, nullptr);
    EXPECT_EQ(Slot().lost_buf_head, nullptr);
    // A slot's buffer is allocated once and reused empty.
    tcp_session_t& s = peer_->Session(100);
    ASSERT_EQ(peer_->InitTcpSession(s, 100), 0);
    uint8_t* buffer = s.frag_buf;
    ASSERT_NE(buffer, nullptr);
    s.frag_buf_offset = 7;
    ASSERT_EQ(peer_->InitTcpSession(s, 100), 0);
    EXPECT_EQ(s.frag_buf, buffer);
    EXPECT_EQ(s.frag_buf_offset, 0u);
}

// --- Whole snapshots of the simulated exchange ----------------------------------

struct MirrorCase {
    const char* name;
    const char* faults;
    int32_t shfeSize, ineSize;
    bool wrap;
    uint8_t feeds;  // feeds sent and enabled
};

class SimulatedSnapshotTest : public SnapshotFixture, public ::testing::WithParamInterface<MirrorCase> {};

TEST_P(SimulatedSnapshotTest, HostAndCardTablesHoldWhatTheExchangeEncoded) {
    const MirrorCase& mc = GetParam();
    Kest_U50::CCommonLog::GetInstance().SetLogLevel(Kest_U50::LOG_ERROR | Kest_U50::LOG_WARNING);
    std::vector<kest_sim::Universe> universes;
    for (int f = 0; f < 4; ++f) {
        const auto feed = static_cast<EMDQPDataType>(f);
        universes.push_back(
            kest_sim::Universe::Make(feed, 11 + f, kest_sim::IsIneFeed(feed) ? mc.ineSize : mc.shfeSize));
    }
    const kest_sim::Universe* ptrs[4] = {&universes[0], &universes[1], &universes[2], &universes[3]};
    kest_sim::MirrorOptions opt;
    opt.seed = 21;
    std::string error;
    ASSERT_TRUE(kest_sim::ParseFaultPlan(mc.faults, opt.faults, &error)) << error;
    opt.wrap_sequence = mc.wrap;
    opt.feed_mask = mc.feeds;
    opt.encoder.skipped_fields = true;
    peer_->Config().enabled_mask.enabled_mask = mc.feeds;
    kest_sim::SnapshotMirror mirror(ptrs, opt);
    for (const kest_sim::Frame& frame : mirror.Round(0)) peer_->Handle(kest_sim::ToDmaMessage(frame.bytes));
    ASSERT_EQ(peer_->Finished().enabled_mask, mc.feeds);
    for (const kest_sim::Frame& frame : mirror.KeepAlives())
        peer_->Handle(kest_sim::ToDmaMessage(frame.bytes));
    ASSERT_TRUE(peer_->TcpInitFinished());

    for (int f = 0; f < 4; ++f) {
        const auto feed = static_cast<EMDQPDataType>(f);
        SCOPED_TRACE(kest_sim::FeedName(feed));
        if ((mc.feeds & (1u << f)) == 0) {
            EXPECT_EQ(peer_->Count(feed), 0u);
            continue;
        }
        const kest_sim::Universe& u = universes[static_cast<size_t>(f)];
        EXPECT_EQ(peer_->Count(feed), static_cast<uint64_t>(u.MaxInstNo()));
        for (const kest_sim::Instrument& inst : u.Instruments()) {
            const SInstTableType expected = kest_sim::ExpectedEntry(inst);
            const SInstTableType& host = peer_->Table(feed)[inst.inst_no];
            // After a reset the new connection sends the snapshot again, so
            // an instrument decoded before the reset is decoded twice.
            const SInstTableType twice = kest_sim::ExpectedEntry(inst, &expected);
            const SInstTableType inCard = card_->ReadTableEntry(f, static_cast<uint32_t>(inst.inst_no));
            ASSERT_TRUE(std::memcmp(&expected, &host, sizeof host) == 0 ||
                        (mc.feeds == 0x01 && std::memcmp(&twice, &host, sizeof host) == 0))
                << "host entry of " << inst.inst_id;
            ASSERT_EQ(std::memcmp(&inCard, &host, sizeof host), 0) << "card entry of " << inst.inst_id;
        }
        const SInstTableType above = card_->ReadTableEntry(f, static_cast<uint32_t>(u.Size())), zero{};
        EXPECT_EQ(std::memcmp(&above, &zero, sizeof zero), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Faults, SimulatedSnapshotTest,
    ::testing::Values(
        MirrorCase{"InOrderFullSize", "none", 0, 0, false, 0x0F},
        MirrorCase{"ReorderedDuplicatedLost", "reorder=0.08,dup=0.05,loss=0.05,window=20,seed=3", 600, 300,
                   false, 0x0F},
        MirrorCase{"AwkwardAndTinySplits", "awkward,tiny,seed=4", 400, 200, false, 0x0F},
        MirrorCase{"OptionsAndForeignFrames", "ipopt,tcpopt,foreign=0.2,seed=5", 400, 200, false, 0x0F},
        MirrorCase{"EveryFault", "all,seed=6", 600, 300, false, 0x0F},
        MirrorCase{"ResetAndReconnect", "rst,reorder=0.05,seed=7", 400, 200, false, 0x01},
        MirrorCase{"SequenceWrap", "reorder=0.08,dup=0.05,loss=0.05,seed=8", 400, 200, true, 0x0F}),
    [](const ::testing::TestParamInfo<MirrorCase>& info) { return std::string(info.param.name); });

}  // namespace
