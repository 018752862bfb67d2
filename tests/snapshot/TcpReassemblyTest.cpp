// Reassembly of mirrored snapshot connections, first with frames built by
// hand for each rule, then with whole simulated snapshots of all four feeds
// under the faults a mirror port sees.
#include <algorithm>
#include <cstdlib>

#include "SnapshotTestSupport.h"
#include "exchangesim/MdqpEncoder.h"
#include "exchangesim/SnapshotMirror.h"
#include "exchangesim/Universe.h"

using namespace snapshot_test;
namespace Reg = Kest_U50::Reg;

namespace {

const bool kEnvironment = (RegisterCardEnvironment(), true);

constexpr uint32_t kSeq0 = 1000;

// The opening message of a SHFE 2ps stream: identification, packet number
// and one instrument.
std::vector<uint8_t> Opening(int16_t topic = 1000, int32_t instNo = 0) {
    return MessageBuilder()
        .Snap(topic)
        .PacketNo(1)
        .Field(MDQP_FIELD_INST_INFO, InstInfo(instNo, "open00"))
        .Build();
}

// A message carrying `count` instruments from `first` on, each with one bid.
std::vector<uint8_t> Instruments(int32_t first, int32_t count, uint8_t flag = MDQP_FLAG_MORE) {
    MessageBuilder m(flag);
    for (int32_t i = first; i < first + count; ++i) {
        char id[16];
        std::snprintf(id, sizeof id, "cu%04d", i);
        m.Field(MDQP_FIELD_INST_INFO, InstInfo(i, id, 10.0, 70000.0 + i));
        m.Field(MDQP_FIELD_PRICE_DETAIL, PriceDetail(i, '0', 69000.0 + i, i + 1));
    }
    return m.Build();
}

class TcpReassemblyTest : public SnapshotFixture {
protected:
    // Sends stream bytes [from, to) of `stream` as one segment.
    void SendRange(const std::vector<uint8_t>& stream, size_t from, size_t to,
                   uint8_t flags = kest_sim::kTcpAck) {
        peer_->Handle(TcpDma(conn_, static_cast<uint32_t>(kSeq0 + from), Slice(stream, from, to), flags));
    }
    bool Decoded(int32_t instNo, EMDQPDataType feed = SHFE_2PS) {
        char id[16];
        std::snprintf(id, sizeof id, "cu%04d", instNo);
        return std::strcmp(peer_->Table(feed)[instNo].inst_id, id) == 0;
    }
    tcp_session_t& Slot() { return peer_->Session(conn_.clientPort); }
    void CheckDecoded(size_t cut) {
        for (int32_t i = 1; i <= 5; ++i) {
            ASSERT_TRUE(Decoded(i)) << "cut " << cut << " inst " << i;
            ASSERT_EQ(peer_->Table(SHFE_2PS)[i].bid1_price, (69000 + i) * 100) << "cut " << cut;
            ASSERT_EQ(peer_->Table(SHFE_2PS)[i].bid2_price, 0) << "cut " << cut;
        }
        EXPECT_EQ(peer_->Counts().shfe_inst_cnt_2ps, 5u);
        EXPECT_EQ(Slot().frag_flag, 0);
    }
    void ClearShfe2ps() {
        std::memset(static_cast<void*>(peer_->Table(SHFE_2PS)), 0, sizeof(SInstTableType) * 64);
        peer_->Counts().shfe_inst_cnt_2ps = 0;
    }

    Conn conn_;
};

TEST_F(TcpReassemblyTest, FirstSegmentMustOpenAStreamOfAnEnabledUnfinishedFeed) {
    const uint8_t pad[32] = {};
    // 44 payload bytes: too short, the slot stays free.
    std::vector<uint8_t> exact = MessageBuilder().Snap(1000).PacketNo(1).Raw(0x1002, pad, 14).Build();
    ASSERT_EQ(exact.size(), 44u);
    peer_->Handle(TcpDma(conn_, kSeq0, exact));
    EXPECT_EQ(Slot().init, 0);
    EXPECT_EQ(peer_->Ports().port_shfe_2ps, 0);
    // The final flag 0x01 or another type on the opening message: free too.
    peer_->Handle(
        TcpDma(conn_, kSeq0, MessageBuilder(MDQP_FLAG_LAST).Snap(1000).Raw(0x1002, pad, 30).Build()));
    EXPECT_EQ(Slot().init, 0);
    peer_->Handle(
        TcpDma(conn_, kSeq0, MessageBuilder(MDQP_FLAG_MORE, '3').Snap(1000).Raw(0x1002, pad, 30).Build()));
    EXPECT_EQ(Slot().init, 0);
    // A topic that no feed has.
    LogWatch log;
    peer_->Handle(TcpDma(conn_, kSeq0, Opening(1234)));
    EXPECT_EQ(Slot().init, 0);
    EXPECT_TRUE(log.Has("invalide topic id[1234]"));
    // A disabled feed, then a finished one.
    peer_->Config().enabled_mask.enabled_mask = 0x0E;
    peer_->Handle(TcpDma(conn_, kSeq0, Opening(1000)));
    EXPECT_EQ(Slot().init, 0);
    peer_->Config().enabled_mask.enabled_mask = 0x0F;
    peer_->Finished().enabled_mask = 0x01;
    peer_->Handle(TcpDma(conn_, kSeq0, Opening(1000)));
    EXPECT_EQ(Slot().init, 0);
    EXPECT_EQ(peer_->Ports().port_shfe_2ps, 0);
    EXPECT_EQ(peer_->Table(SHFE_2PS)[0].inst_id[0], '\0');
    // 45 bytes of an enabled, unfinished feed identify the stream.
    peer_->Finished().enabled_mask = 0;
    std::vector<uint8_t> longer = MessageBuilder().Snap(1000).PacketNo(1).Raw(0x1002, pad, 15).Build();
    peer_->Handle(TcpDma(conn_, kSeq0, longer));
    EXPECT_EQ(Slot().init, 1);
    EXPECT_EQ(peer_->Ports().port_shfe_2ps, conn_.clientPort);
    EXPECT_EQ(Slot().next_expt_seq, kSeq0 + 45);
    EXPECT_EQ(Slot().current_seq, kSeq0);
    EXPECT_EQ(card_->ReadReg(Reg::SHFE2PS_SNAP_PKT_NO), 1u);
    // Each topic maps to its own feed.
    const int16_t topics[4] = {1000, 1101, 5000, 5101};
    for (uint16_t f = 1; f < 4; ++f) {
        Conn other = conn_;
        other.clientPort = static_cast<uint16_t>(42000 + f);
        other.serverPort = (f & 1) ? 22000 : 33022;
        peer_->Handle(TcpDma(other, kSeq0, Opening(topics[f])));
    }
    EXPECT_EQ(peer_->Ports().port_shfe_4ps, 42001);
    EXPECT_EQ(peer_->Ports().port_ine_2ps, 42002);
    EXPECT_EQ(peer_->Ports().port_ine_4ps, 42003);
}

TEST_F(TcpReassemblyTest, PartialHeaderIsKeptUntilTheNextSegment) {
    const std::vector<uint8_t> stream = Concat({Opening(), Instruments(1, 3)});
    const size_t cut = Opening().size() + 3;
    SendRange(stream, 0, cut);
    EXPECT_EQ(Slot().frag_flag, 1);
    EXPECT_EQ(Slot().frag_buf_offset, 3u);
    EXPECT_FALSE(Decoded(1));
    SendRange(stream, cut, stream.size());
    EXPECT_TRUE(Decoded(1) && Decoded(2) && Decoded(3));
    EXPECT_EQ(Slot().frag_flag, 0);
    EXPECT_EQ(Slot().frag_buf_offset, 0u);
    EXPECT_EQ(peer_->Table(SHFE_2PS)[2].bid1_price, 6900200);
    EXPECT_EQ(peer_->Table(SHFE_2PS)[2].bid2_price, 0);  // decoded exactly once
}

TEST_F(TcpReassemblyTest, EveryCutPointAndOneByteSegmentsGiveTheSameTables) {
    const std::vector<uint8_t> opening = Opening();
    const std::vector<uint8_t> stream =
        Concat({opening, Instruments(1, 2), Instruments(3, 1), Instruments(4, 2)});
    for (size_t cut = opening.size() + 1; cut < stream.size(); ++cut) {
        ClearShfe2ps();
        conn_.clientPort = static_cast<uint16_t>(43000 + cut);
        SendRange(stream, 0, opening.size());
        SendRange(stream, opening.size(), cut);
        SendRange(stream, cut, stream.size());
        CheckDecoded(cut);
        // The first segment itself ends inside a later message.
        ClearShfe2ps();
        conn_.clientPort = static_cast<uint16_t>(conn_.clientPort + 1000);
        SendRange(stream, 0, cut);
        SendRange(stream, cut, stream.size());
        CheckDecoded(cut);
    }
    // The rest of the stream one byte at a time.
    ClearShfe2ps();
    conn_.clientPort = 44999;
    SendRange(stream, 0, opening.size());
    for (size_t b = opening.size(); b < stream.size(); ++b) SendRange(stream, b, b + 1);
    for (int32_t i = 1; i <= 5; ++i) EXPECT_TRUE(Decoded(i)) << i;
    EXPECT_EQ(Slot().frag_flag, 0);
}

TEST_F(TcpReassemblyTest, MessageLargerThanAnySegmentIsDecodedOnceWhenComplete) {
    const std::vector<uint8_t> big = Instruments(1, 200);  // about 27 KB
    const std::vector<uint8_t> stream = Concat({Opening(), big, Instruments(300, 1)});
    size_t pos = Opening().size();
    SendRange(stream, 0, pos);
    const size_t end = pos + big.size();
    while (pos < end) {
        EXPECT_FALSE(Decoded(1));
        const size_t next = std::min(end, pos + 1400);
        SendRange(stream, pos, next);
        pos = next;
    }
    EXPECT_TRUE(Decoded(1) && Decoded(200));
    EXPECT_EQ(peer_->Table(SHFE_2PS)[200].bid2_price, 0);
    SendRange(stream, end, stream.size());
    EXPECT_TRUE(Decoded(300));
}

TEST_F(TcpReassemblyTest, HeldSegmentsAreDecodedInOrderOnceTheGapCloses) {
    const std::vector<uint8_t> m1 = Instruments(1, 2), m2 = Instruments(3, 2), m3 = Instruments(5, 2);
    const std::vector<uint8_t> stream = Concat({Opening(), m1, m2, m3});
    const size_t a = Opening().size(), b = a + m1.size(), c = b + m2.size();
    SendRange(stream, 0, a);              // 1
    SendRange(stream, b, c);              // 3
    SendRange(stream, c, stream.size());  // 4
    EXPECT_EQ(Slot().lost_flag, 1);
    EXPECT_EQ(Slot().lost_buf_size, 2u);
    EXPECT_FALSE(Decoded(3));
    SendRange(stream, b, c);  // a duplicate of a held segment
    EXPECT_EQ(Slot().lost_buf_size, 2u);
    SendRange(stream, a, b);  // 2
    for (int32_t i = 1; i <= 6; ++i) EXPECT_TRUE(Decoded(i)) << i;
    EXPECT_EQ(Slot().lost_flag, 0);
    EXPECT_EQ(Slot().lost_buf_size, 0u);
    EXPECT_EQ(Slot().lost_buf_head, nullptr);
    EXPECT_EQ(Slot().next_expt_seq, kSeq0 + stream.size());
    // Retransmissions of consumed bytes change nothing (a second decode
    // would put the bid on level 2).
    SendRange(stream, b, c);
    SendRange(stream, a, stream.size());
    EXPECT_EQ(peer_->Table(SHFE_2PS)[3].bid2_price, 0);
    EXPECT_EQ(peer_->Table(SHFE_2PS)[6].bid2_price, 0);
}

TEST_F(TcpReassemblyTest, TwentyFirstHeldSegmentGivesTheStreamUp) {
    std::vector<std::vector<uint8_t>> parts{Opening()};
    for (int32_t i = 0; i < 23; ++i) parts.push_back(Instruments(1 + i, 1));
    std::vector<uint8_t> stream;
    std::vector<size_t> starts;
    for (const auto& p : parts) {
        starts.push_back(stream.size());
        stream.insert(stream.end(), p.begin(), p.end());
    }
    starts.push_back(stream.size());
    SendRange(stream, 0, starts[1]);
    peer_->Ports().port_ine_4ps = 999;  // every feed's registration goes
    for (size_t k = 2; k < 22; ++k) SendRange(stream, starts[k], starts[k + 1]);
    EXPECT_EQ(Slot().lost_buf_size, 20u);
    EXPECT_EQ(Slot().init, 1);
    LogWatch log;
    SendRange(stream, starts[22], starts[23]);
    EXPECT_TRUE(log.Has("break tcp seq detected. expt: " + std::to_string(kSeq0 + starts[1]) +
                        ", Got: " + std::to_string(kSeq0 + starts[22])));
    EXPECT_EQ(log.CountOf("] free"), 21u);  // the fragment buffer and 20 nodes
    EXPECT_EQ(Slot().init, 0);
    EXPECT_EQ(Slot().lost_flag, 0);
    EXPECT_EQ(Slot().lost_buf_head, nullptr);
    EXPECT_EQ(Slot().frag_buf, nullptr);
    EXPECT_EQ(peer_->Ports().port_shfe_2ps, 0);
    EXPECT_EQ(peer_->Ports().port_ine_4ps, 0);
    // The missing segment arrives too late: the free slot does not take it.
    SendRange(stream, starts[1], starts[2]);
    EXPECT_FALSE(Decoded(1));
    EXPECT_EQ(Slot().init, 0);
}

TEST_F(TcpReassemblyTest, ResetClosesTheSessionAndANewStreamStartsClean) {
    const std::vector<uint8_t> stream = Concat({Opening(), Instruments(1, 2), Instruments(3, 2)});
    const size_t a = Opening().size();
    SendRange(stream, 0, a + 10);              // a partial message in the fragment buffer
    SendRange(stream, a + 40, stream.size());  // held
    ASSERT_EQ(Slot().lost_flag, 1);
    peer_->Ports().port_shfe_4ps = 123;
    LogWatch log;
    SendRange(stream, a + 10, a + 10, kest_sim::kTcpRst | kest_sim::kTcpAck);
    EXPECT_TRUE(log.Has("Session closed dstport:41000"));
    EXPECT_EQ(Slot().init, 0);
    EXPECT_EQ(peer_->Ports().port_shfe_2ps, 0);
    EXPECT_EQ(peer_->Ports().port_shfe_4ps, 0);
    // A new stream on the same port, with other sequence numbers.
    const std::vector<uint8_t> again = Concat({Opening(), Instruments(7, 2)});
    peer_->Handle(TcpDma(conn_, 5000000, Slice(again, 0, a + 5)));
    EXPECT_EQ(Slot().init, 1);
    EXPECT_EQ(Slot().lost_buf_head, nullptr);
    EXPECT_EQ(Slot().frag_buf_offset, 5u);
    peer_->Handle(TcpDma(conn_, static_cast<uint32_t>(5000000 + a + 5), Slice(again, a + 5, again.size())));
    EXPECT_TRUE(Decoded(7) && Decoded(8));
    EXPECT_FALSE(Decoded(1));
    // RST alone is an ordinary segment.
    const std::vector<uint8_t> more = Instruments(9, 1);
    peer_->Handle(TcpDma(conn_, static_cast<uint32_t>(5000000 + again.size()), more, kest_sim::kTcpRst));
    EXPECT_TRUE(Decoded(9));
}

TEST_F(TcpReassemblyTest, NothingIsSubscribedWithoutEnabledFeeds) {
    peer_->Config().enabled_mask.enabled_mask = 0;
    LogWatch log;
    peer_->Handle(TcpDma(conn_, kSeq0, Opening()));
    peer_->Handle(TcpDma(conn_, kSeq0, Opening(), kest_sim::kTcpRst | kest_sim::kTcpAck));
    EXPECT_EQ(log.CountOf("both shfe and ine are not subscribed"), 2u);
    EXPECT_FALSE(log.Has("Session closed"));
    EXPECT_EQ(Slot().frag_buf, nullptr);
    EXPECT_EQ(peer_->Ports().port_shfe_2ps, 0);
    EXPECT_FALSE(peer_->TcpInitFinished());
}

TEST_F(TcpReassemblyTest, TablesAreWrittenAfterTheLastFinalMessageAndOneMoreSegment) {
    peer_->Config().enabled_mask.enabled_mask = 0x01;
    // INE 2ps (disabled) sends its snapshot on another port: ignored.
    Conn ine = conn_;
    ine.clientPort = 41500;
    peer_->Handle(TcpDma(ine, kSeq0, Concat({Opening(5000, 7), Instruments(8, 1, MDQP_FLAG_LAST)})));
    EXPECT_EQ(peer_->Table(INE_2PS)[7].inst_id[0], '\0');
    EXPECT_EQ(peer_->Table(SHFE_2PS)[8].inst_id[0], '\0');
    EXPECT_EQ(peer_->Session(41500).init, 0);

    const std::vector<uint8_t> stream =
        Concat({Opening(), Instruments(1, 3), Instruments(4, 1, MDQP_FLAG_LAST)});
    SendRange(stream, 0, stream.size());
    EXPECT_EQ(peer_->Finished().enabled_mask, 0x01);
    EXPECT_EQ(card_->ReadReg(Reg::SHFE_INST_COUNT), 4u);
    EXPECT_FALSE(peer_->TcpInitFinished());
    EXPECT_EQ(card_->Stats().table_writes[SHFE_2PS], 0u);

    // Something on another port is not a snapshot-port segment.
    Conn foreign = conn_;
    foreign.serverPort = 80;
    peer_->Handle(TcpDma(foreign, 1, Instruments(9, 1)));
    EXPECT_FALSE(peer_->TcpInitFinished());

    LogWatch log;
    peer_->Handle(TcpDma(conn_, static_cast<uint32_t>(kSeq0 + stream.size() - 1), {}));  // a keep-alive
    EXPECT_TRUE(peer_->TcpInitFinished());
    EXPECT_TRUE(log.Has("shfe_inst_cnt_2ps:4 shfe_inst_cnt_4ps:0 ine_inst_cnt_2ps:0 ine_inst_cnt_4ps:0"));
    const kest_sim::CardStats stats = card_->Stats();
    EXPECT_EQ(stats.table_writes[SHFE_2PS], 4096u * 64u);
    EXPECT_EQ(stats.table_writes[SHFE_4PS], 4095u * 64u);  // all but entry 0 (0 <= count)
    EXPECT_EQ(stats.table_writes[INE_2PS], 1023u * 64u);
    for (int32_t i = 0; i <= 4; ++i) {
        const SInstTableType inCard = card_->ReadTableEntry(SHFE_2PS, static_cast<uint32_t>(i));
        EXPECT_EQ(std::memcmp(&inCard, &peer_->Table(SHFE_2PS)[i], sizeof inCard), 0) << i;
    }
    // Once written, later segments do not write the tables again.
    peer_->Handle(TcpDma(conn_, static_cast<uint32_t>(kSeq0 + stream.size() - 1), {}));
    EXPECT_EQ(card_->Stats().table_writes[SHFE_2PS], 4096u * 64u);
}

TEST_F(TcpReassemblyTest, SequenceNumbersWrapAroundWithinAStream) {
    const std::vector<uint8_t> m1 = Instruments(1, 2), m2 = Instruments(3, 2), m3 = Instruments(5, 2);
    const std::vector<uint8_t> stream = Concat({Opening(), m1, m2, m3});
    const uint32_t seq0 = 0xFFFFFFFFu - static_cast<uint32_t>(Opening().size() + m1.size() / 2);
    auto send = [&](size_t from, size_t to) {
        peer_->Handle(TcpDma(conn_, static_cast<uint32_t>(seq0 + from), Slice(stream, from, to)));
    };
    const size_t a = Opening().size(), b = a + m1.size(), c = b + m2.size();
    send(0, a);
    send(b, c);  // beyond the wrap, held
    send(c, stream.size());
    EXPECT_EQ(Slot().lost_buf_size, 2u);
    send(a, b);  // crosses 2^32
    for (int32_t i = 1; i <= 6; ++i) EXPECT_TRUE(Decoded(i)) << i;
    EXPECT_EQ(Slot().next_expt_seq, static_cast<uint32_t>(seq0 + stream.size()));
    EXPECT_EQ(Slot().lost_flag, 0);
    send(0, a);  // an old duplicate from before the wrap
    EXPECT_EQ(peer_->Table(SHFE_2PS)[1].bid2_price, 0);
}

TEST_F(TcpReassemblyTest, MalformedInputIsDroppedWithoutTouchingOtherMemory) {
    const std::vector<uint8_t> stream = Concat({Opening(), Instruments(1, 2)});
    const std::vector<uint8_t> first = TcpDma(conn_, kSeq0, Slice(stream, 0, Opening().size()));
    LogWatch log;
    // Oversized DMA message.
    std::vector<uint8_t> huge(2049, 0);
    huge[0] = DMA_TCP;
    peer_->Handle(huge);
    EXPECT_TRUE(log.Has("DMA message of 2049 bytes exceeds the 2048-byte work buffer"));
    // Every truncation of a valid frame, each in a buffer of exactly its size.
    for (size_t len = 0; len < first.size(); ++len) {
        std::unique_ptr<uint8_t[]> exact(new uint8_t[len + 1]);
        std::memcpy(exact.get(), first.data(), len);
        Peer::HandleRaw(exact.get(), static_cast<unsigned int>(len), impl_);
        ASSERT_EQ(Slot().init, 0) << len;
    }
    // Another DMA kind, other protocols, other ports.
    std::vector<uint8_t> quote = first;
    quote[0] = DMA_UDP;
    peer_->Handle(quote);
    EXPECT_TRUE(log.Has("invalide DMA Data Type[1]"));
    std::vector<uint8_t> gre = first;
    gre[DMA_TCP_IP_OFFSET + 9] = 47;
    peer_->Handle(gre);
    EXPECT_TRUE(log.Has("ip_p[47]"));
    std::vector<uint8_t> udp = first;
    udp[DMA_TCP_IP_OFFSET + 9] = 17;
    peer_->Handle(udp);
    EXPECT_FALSE(log.Has("ip_p[17]"));
    EXPECT_EQ(Slot().init, 0);
    // Header lengths: ip_hl and doff below 5, ip_len beyond the frame, headers beyond ip_len.
    const size_t tcpAt = DMA_TCP_IP_OFFSET + 20;
    LogWatch headerLog;
    std::vector<uint8_t> bad = first;
    bad[tcpAt + 12] = 0x40;
    peer_->Handle(bad);
    bad = first;
    bad[DMA_TCP_IP_OFFSET + 2] = 0x07;  // ip_len 1800+
    peer_->Handle(bad);
    bad = first;
    bad[DMA_TCP_IP_OFFSET + 2] = 0;
    bad[DMA_TCP_IP_OFFSET + 3] = 30;  // shorter than both headers
    peer_->Handle(bad);
    bad = first;
    bad[tcpAt + 12] = 0xF0;  // doff 15 with a short payload: past ip_len
    bad[DMA_TCP_IP_OFFSET + 2] = 0;
    bad[DMA_TCP_IP_OFFSET + 3] = 60;
    peer_->Handle(bad);
    EXPECT_EQ(headerLog.CountOf("malformed snapshot frame dropped"), 4u);
    bad = first;
    bad[DMA_TCP_IP_OFFSET] = 0x44;  // ip_hl 4: ports read from inside the IPv4 header
    peer_->Handle(bad);
    EXPECT_EQ(Slot().init, 0);
    EXPECT_EQ(Slot().frag_buf, nullptr);

    // The identified stream ignores other hosts.
    peer_->Handle(first);
    ASSERT_EQ(Slot().init, 1);
    Conn stranger = conn_;
    stranger.serverIp = 0x0A000001u;
    peer_->Handle(TcpDma(stranger, static_cast<uint32_t>(kSeq0 + Opening().size()),
                         Slice(stream, Opening().size(), stream.size())));
    EXPECT_FALSE(Decoded(1));
    // A first-segment scan over fields whose sizes run past the payload.
    Conn scan = conn_;
    scan.clientPort = 41777;
    std::vector<uint8_t> runaway = Opening();
    uint16_t size = 0xFFF0;
    std::memcpy(runaway.data() + 8 + 2, &size, 2);  // the 0x1001 field claims 65520 bytes
    peer_->Handle(TcpDma(scan, kSeq0, runaway));
    EXPECT_EQ(peer_->Session(41777).init, 0);
}

TEST_F(TcpReassemblyTest, FramesBeyondTheNodeOrFragmentLimitsAreRejected) {
    const std::vector<uint8_t> stream = Concat({Opening(), Instruments(1, 30)});  // about 4 KB
    const size_t a = Opening().size();
    SendRange(stream, 0, a);
    LogWatch log;
    // 1700 payload bytes ahead of the stream: too large for a node.
    SendRange(stream, a + 100, a + 1800);
    EXPECT_TRUE(log.Has("does not fit an out-of-order node"));
    EXPECT_EQ(Slot().lost_flag, 0);
    EXPECT_EQ(Slot().lost_buf_head, nullptr);
    // In order the same size is fine.
    SendRange(stream, a, a + 1800);
    SendRange(stream, a + 1800, a + 3000);
    SendRange(stream, a + 3000, stream.size());
    EXPECT_TRUE(Decoded(1) && Decoded(30));

    // A stream whose partial message cannot be an MDQP message: its bytes
    // pile up until the fragment buffer would overflow, then it is given up.
    Conn junk = conn_;
    junk.clientPort = 41888;
    std::vector<uint8_t> tail = Opening();
    tail.push_back(0x55);
    peer_->Handle(TcpDma(junk, kSeq0, tail));
    ASSERT_EQ(peer_->Session(41888).frag_flag, 1);
    std::vector<uint8_t> filler(1400, 0x55);
    uint32_t seq = static_cast<uint32_t>(kSeq0 + tail.size());
    for (int i = 0; i < 80 && peer_->Session(41888).init == 1; ++i) {
        peer_->Handle(TcpDma(junk, seq, filler));
        seq += static_cast<uint32_t>(filler.size());
        ASSERT_LE(peer_->Session(41888).frag_buf_offset, TCP_FRAG_BUF_SIZE);
    }
    EXPECT_TRUE(log.Has("fragment buffer overflow dstport:41888"));
    EXPECT_EQ(peer_->Session(41888).init, 0);
    EXPECT_EQ(peer_->Session(41888).frag_buf, nullptr);
}

TEST_F(TcpReassemblyTest, ResetOfAllSessionsReleasesEveryBuffer) {
    const std::vector<uint8_t> stream = Concat({Opening(), Instruments(1, 4)});
    for (uint16_t port = 41000; port < 41010; ++port) {
        conn_.clientPort = port;
        SendRange(stream, 0, Opening().size() + 3);
        SendRange(stream, Opening().size() + 50, stream.size());
    }
    ASSERT_NE(Slot().lost_buf_head, nullptr);
    peer_->ResetTcpSessions();  // leak-checked under ASan
    for (uint16_t port = 41000; port < 41010; ++port) {
        const tcp_session_t& s = peer_->Session(port);
        EXPECT_EQ(s.frag_buf, nullptr);
        EXPECT_EQ(s.lost_buf_head, nullptr);
        EXPECT_EQ(s.init, 0);
        EXPECT_EQ(s.next_expt_seq, 0u);
    }
    peer_->ResetTcpSessions();  // and again on slots that hold nothing
    // A slot is prepared once with a buffer that is then reused.
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
    int32_t shfeSize;
    int32_t ineSize;
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
    const std::vector<kest_sim::Frame> frames = mirror.Round(0);

    // The tables go to the card with the first snapshot-port frame after
    // the last feed's final message, not with the final message itself.
    bool sawComplete = false;
    for (const kest_sim::Frame& frame : frames) {
        peer_->Handle(kest_sim::ToDmaMessage(frame.bytes));
        if (!sawComplete && peer_->Finished().enabled_mask == mc.feeds) {
            sawComplete = true;
            EXPECT_FALSE(peer_->TcpInitFinished());
            EXPECT_EQ(card_->Stats().table_writes[SHFE_2PS], 0u);
        }
    }
    ASSERT_EQ(peer_->Finished().enabled_mask, mc.feeds);
    const std::vector<kest_sim::Frame> keepAlives = mirror.KeepAlives();
    for (const kest_sim::Frame& frame : keepAlives) peer_->Handle(kest_sim::ToDmaMessage(frame.bytes));
    ASSERT_TRUE(peer_->TcpInitFinished());

    for (int f = 0; f < 4; ++f) {
        const auto feed = static_cast<EMDQPDataType>(f);
        if ((mc.feeds & (1u << f)) == 0) {
            EXPECT_EQ(peer_->Count(feed), 0u);
            continue;
        }
        const kest_sim::Universe& u = universes[static_cast<size_t>(f)];
        EXPECT_EQ(peer_->Count(feed), static_cast<uint64_t>(u.MaxInstNo())) << kest_sim::FeedName(feed);
        const uint32_t countReg = kest_sim::IsIneFeed(feed) ? Reg::INE_INST_COUNT : Reg::SHFE_INST_COUNT;
        EXPECT_NE(card_->ReadReg(countReg), 0u);
        int mismatches = 0;
        for (const kest_sim::Instrument& inst : u.Instruments()) {
            const SInstTableType expected = kest_sim::ExpectedEntry(inst);
            const SInstTableType& host = peer_->Table(feed)[inst.inst_no];
            // After a reset the new connection sends the snapshot again, so
            // an instrument decoded before the reset is decoded twice.
            const SInstTableType twice = kest_sim::ExpectedEntry(inst, &expected);
            const bool asEncoded = std::memcmp(&expected, &host, sizeof host) == 0 ||
                                   (mc.feeds == 0x01 && std::memcmp(&twice, &host, sizeof host) == 0);
            if (!asEncoded && ++mismatches <= 3) {
                ADD_FAILURE() << kest_sim::FeedName(feed) << " inst " << inst.inst_no << " (" << inst.inst_id
                              << ") differs from what was encoded";
            }
            const SInstTableType inCard = card_->ReadTableEntry(f, static_cast<uint32_t>(inst.inst_no));
            if (std::memcmp(&inCard, &host, sizeof host) != 0 && ++mismatches <= 3) {
                ADD_FAILURE() << kest_sim::FeedName(feed) << " inst " << inst.inst_no
                              << " differs in the card";
            }
        }
        EXPECT_EQ(mismatches, 0) << kest_sim::FeedName(feed);
        const SInstTableType above = card_->ReadTableEntry(f, static_cast<uint32_t>(u.Size()));
        const SInstTableType zero{};
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
