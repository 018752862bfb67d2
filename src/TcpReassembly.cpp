// Reassembly of the mirrored MDQP snapshot connections.
//
// During bring-up the card copies every frame of the exchange's snapshot TCP
// connections to the host. The host is no TCP endpoint: it only watches the
// copies, rebuilds each connection's byte stream (one slot per destination
// port), cuts it into MDQP messages and hands them to the decoder. When every
// enabled feed has delivered its final message, the next snapshot-port frame
// has the four instrument tables written into the card.
//
// Everything here runs on the bring-up thread; nothing is shared.
#include <cstdlib>
#include <cstring>

#include "FpgaRegisterCommon.h"
#include "KestShfeMdApiImpl.h"

using namespace Kest_U50;

namespace {

// --- Frame layout ------------------------------------------------------------
constexpr uint32_t IPV4_MIN_HEADER = 20;
constexpr uint32_t TCP_MIN_HEADER = 20;
constexpr uint8_t IP_PROTO_ICMP = 1;
constexpr uint8_t IP_PROTO_IGMP = 2;
constexpr uint8_t IP_PROTO_TCP = 6;
constexpr uint8_t IP_PROTO_UDP = 17;
constexpr uint8_t TCP_FLAG_RST = 0x04;
constexpr uint8_t TCP_FLAG_ACK = 0x10;
constexpr uint32_t LOST_NODE_FRAME_SIZE = sizeof(tcp_lost_buf_t::buf);
// A first segment must carry more than this many payload bytes.
constexpr int32_t FIRST_SEGMENT_MIN_PAYLOAD = 44;
constexpr uint16_t SNAP_FIELD_SIZE = sizeof(snap_t);

// Header fields before the port filter are read from the first bytes of the
// DMA message. The farthest byte read there is the TCP flag byte behind an
// IPv4 header of 60 bytes (26 + 60 + 13); a message shorter than this is
// read through a zero-padded copy, which gives exactly the values a zeroed
// work buffer of 2048 bytes would give. Every later read (payload, stored
// frames) is bounded by the validated ip_len, which lies inside the message,
// so the work buffer's zero tail is never looked at and need not be built.
constexpr uint32_t HEADER_SPAN = 128;
static_assert(HEADER_SPAN >= DMA_TCP_IP_OFFSET + 60 + 14, "header span covers the TCP flags");

inline uint16_t LoadBe16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }

inline uint32_t LoadBe32(const uint8_t* p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

// A 32-bit word as it lies in memory (network order for addresses, host
// order for the little-endian DMA kind word).
inline uint32_t LoadRaw32(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, sizeof(v));
    return v;
}

// Sequence numbers are compared in serial-number arithmetic (RFC 1982): the
// sign of the 32-bit difference says which comes first, so a connection
// whose numbers wrap past 2^32 still orders its segments correctly. Within
// one window (far less than 2^31 bytes) this agrees with a plain unsigned
// comparison everywhere the numbers do not wrap.
inline int32_t SeqDiff(uint32_t a, uint32_t b) { return static_cast<int32_t>(a - b); }

// One TCP segment of a mirrored frame (the frame starts at its Ethernet header).
struct Segment {
    const uint8_t* payload;
    int32_t payloadSize;
    uint32_t seq;
    uint32_t srcHost;  // network order
    uint32_t dstHost;  // network order
    uint16_t srcPort;
    uint16_t dstPort;
    uint8_t flags;
};

// Validates the IPv4 and TCP headers of a frame and locates its payload.
// Rejects header lengths below the minimum, headers that run past ip_len or
// the frame, an ip_len beyond the frame, and so a negative payload size.
bool ParseFrame(const uint8_t* frame, uint32_t frameLen, Segment& seg) {
    if (frameLen < ETH_HEADER_SIZE + IPV4_MIN_HEADER + TCP_MIN_HEADER) {
        return false;
    }
    const uint8_t* ip = frame + ETH_HEADER_SIZE;
    const uint32_t ipHeader = (ip[0] & 0x0Fu) * 4u;
    const uint32_t ipLen = LoadBe16(ip + 2);
    if (ipHeader < IPV4_MIN_HEADER || ipLen > frameLen - ETH_HEADER_SIZE ||
        ipHeader + TCP_MIN_HEADER > ipLen) {
        return false;
    }
    const uint8_t* tcp = ip + ipHeader;
    const uint32_t tcpHeader = (tcp[12] >> 4) * 4u;
    if (tcpHeader < TCP_MIN_HEADER || ipHeader + tcpHeader > ipLen) {
        return false;
    }
    seg.payload = tcp + tcpHeader;
    seg.payloadSize = static_cast<int32_t>(ipLen - ipHeader - tcpHeader);
    seg.seq = LoadBe32(tcp + 4);
    seg.srcHost = LoadRaw32(ip + 12);
    seg.dstHost = LoadRaw32(ip + 16);
    seg.srcPort = LoadBe16(tcp);
    seg.dstPort = LoadBe16(tcp + 2);
    seg.flags = tcp[13];
    return true;
}

// Sequence number of a stored out-of-order frame (validated when stored).
inline uint32_t NodeSeq(const tcp_lost_buf_t* node) {
    const uint32_t ipHeader = (node->buf[ETH_HEADER_SIZE] & 0x0Fu) * 4u;
    return LoadBe32(node->buf + ETH_HEADER_SIZE + ipHeader + 4);
}

inline uint32_t MessageSize(const uint8_t* message) {
    uint16_t length;
    std::memcpy(&length, message + offsetof(mdqp_t, length), sizeof(length));
    return static_cast<uint32_t>(length) + sizeof(mdqp_t);
}

// Whether a run can open a snapshot message (flag 0x01 or 0x11, type '2'),
// judged on the bytes it holds: a run of one byte is checked on its flag
// alone and an empty run passes, so that a segment boundary inside a message
// header does not lose the stream.
inline bool AcceptableHeader(const uint8_t* run, uint32_t size) {
    if (size >= 1 && run[0] != MDQP_FLAG_LAST && run[0] != MDQP_FLAG_MORE) {
        return false;
    }
    return size < 2 || static_cast<int8_t>(run[1]) == MDQP_TYPE_SNAPSHOT;
}

typedef int32_t (*MdqpParser)(mdqp_t* mdqp, uint16_t dstport, CKestShfeMdApiImpl& refShfeMdApiImpl);

// What the stream helpers need of the implementation object.
struct StreamContext {
    CKestShfeMdApiImpl& impl;
    MdqpParser parse;
    CCommonLog& log;
    U50DstPort& dstPorts;
};

void UnregisterAllPorts(U50DstPort& ports) {
    ports.port_shfe_2ps = 0;
    ports.port_shfe_4ps = 0;
    ports.port_ine_2ps = 0;
    ports.port_ine_4ps = 0;
}

// Releases every out-of-order node of a slot and empties its list.
void ReleaseLostList(tcp_session_t& session, CCommonLog* logFree) {
    tcp_lost_buf_t* node = session.lost_buf_head;
    while (node != nullptr) {
        tcp_lost_buf_t* next = node->next;
        std::free(node);
        if (logFree != nullptr) {
            KEST_IMPL_LOG(*logFree, LOG_ERROR, "free");
        }
        node = next;
    }
    session.lost_buf_head = nullptr;
    session.lost_flag = 0;
    session.lost_buf_size = 0;
}

// Abandons a stream: the slot becomes free with no buffers, and every feed
// must be identified again by a new first segment.
void GiveUpStream(StreamContext& ctx, tcp_session_t& session) {
    session.init = 0;
    session.frag_flag = 0;
    session.frag_buf_offset = 0;
    if (session.frag_buf != nullptr) {
        std::free(session.frag_buf);
        session.frag_buf = nullptr;
        KEST_IMPL_LOG(ctx.log, LOG_ERROR, "free");
    }
    ReleaseLostList(session, &ctx.log);
    UnregisterAllPorts(ctx.dstPorts);
}

// Cuts a run of stream bytes that starts at a message boundary into
// messages; a trailing partial message is kept at the start of the fragment
// buffer (the run may itself be the fragment buffer).
void CutMessages(StreamContext& ctx, tcp_session_t& session, const uint8_t* run, uint32_t size) {
    uint32_t pos = 0;
    for (;;) {
        const uint32_t rest = size - pos;
        if (rest == 0) {
            session.frag_flag = 0;
            session.frag_buf_offset = 0;
            return;
        }
        if (rest < sizeof(mdqp_t) || rest < MessageSize(run + pos)) {
            // A partial message is shorter than the largest message
            // (65543 bytes), which the fragment buffer always holds.
            if (session.frag_buf == nullptr) {
                session.frag_flag = 0;
                session.frag_buf_offset = 0;
                return;
            }
            std::memmove(session.frag_buf, run + pos, rest);
            session.frag_flag = 1;
            session.frag_buf_offset = rest;
            return;
        }
        const uint32_t messageSize = MessageSize(run + pos);
        // The decoder only reads the message; its signature is not const.
        (void)ctx.parse(reinterpret_cast<mdqp_t*>(const_cast<uint8_t*>(run + pos)), session.dst_port,
                        ctx.impl);
        pos += messageSize;
    }
}

enum class PayloadResult { CONSUMED, BAD_HEADER, GIVEN_UP };

// The stream bytes of an in-order segment (or of a drained node), whose
// sequence number has already been accounted for.
PayloadResult ConsumePayload(StreamContext& ctx, tcp_session_t& session, const uint8_t* payload,
                             uint32_t size) {
    if (session.frag_flag == 1 && session.frag_buf != nullptr) {
        if (size > TCP_FRAG_BUF_SIZE - session.frag_buf_offset) {
            KEST_IMPL_LOG(ctx.log, LOG_WARNING,
                          "fragment buffer overflow dstport:%d held:%u segment:%u, stream given up",
                          static_cast<int32_t>(session.dst_port), session.frag_buf_offset, size);
            GiveUpStream(ctx, session);
            return PayloadResult::GIVEN_UP;
        }
        std::memcpy(session.frag_buf + session.frag_buf_offset, payload, size);
        session.frag_buf_offset += size;
        const uint32_t held = session.frag_buf_offset;
        if (!AcceptableHeader(session.frag_buf, held)) {
            return PayloadResult::BAD_HEADER;
        }
        if (held < sizeof(mdqp_t) || held < MessageSize(session.frag_buf)) {
            return PayloadResult::CONSUMED;  // the message is still incomplete
        }
        CutMessages(ctx, session, session.frag_buf, held);
        return PayloadResult::CONSUMED;
    }
    if (!AcceptableHeader(payload, size)) {
        return PayloadResult::BAD_HEADER;
    }
    CutMessages(ctx, session, payload, size);
    return PayloadResult::CONSUMED;
}

// Consumes the held segments that have become in order.
void DrainLostList(StreamContext& ctx, tcp_session_t& session) {
    while (session.lost_flag == 1 && session.lost_buf_head != nullptr) {
        tcp_lost_buf_t* node = session.lost_buf_head;
        const int32_t diff = SeqDiff(NodeSeq(node), session.next_expt_seq);
        if (diff > 0) {
            break;  // a gap remains
        }
        session.lost_buf_head = node->next;
        if (session.lost_buf_head != nullptr) {
            session.lost_buf_head->before = nullptr;
        }
        if (diff < 0) {
            std::free(node);  // a stale copy of bytes already consumed
            continue;
        }
        Segment seg;
        if (!ParseFrame(node->buf, node->len - DMA_TCP_FRAME_OFFSET, seg)) {
            std::free(node);  // cannot happen: frames are validated before they are stored
            continue;
        }
        session.next_expt_seq += static_cast<uint32_t>(seg.payloadSize);
        const PayloadResult result =
            ConsumePayload(ctx, session, seg.payload, static_cast<uint32_t>(seg.payloadSize));
        std::free(node);
        if (result == PayloadResult::GIVEN_UP) {
            return;
        }
        if (result == PayloadResult::BAD_HEADER) {
            KEST_IMPL_LOG(ctx.log, LOG_ERROR, "not a mdqp header, check program logic");
            break;
        }
    }
    if (session.lost_buf_head == nullptr) {
        session.lost_flag = 0;
        session.lost_buf_size = 0;
    }
}

tcp_lost_buf_t* NewLostNode(StreamContext& ctx, const uint8_t* frame, uint32_t dmaLength) {
    tcp_lost_buf_t* node = static_cast<tcp_lost_buf_t*>(std::calloc(1, sizeof(tcp_lost_buf_t)));
    if (node == nullptr) {
        KEST_IMPL_LOG(ctx.log, LOG_ERROR, "failed to malloc buffer to store tcp_lost_buf_t");
        return nullptr;
    }
    std::memcpy(node->buf, frame, dmaLength - DMA_TCP_FRAME_OFFSET);
    node->len = dmaLength;
    return node;
}

// Keeps a segment that arrived ahead of a missing one, in sequence order.
void HoldOutOfOrder(StreamContext& ctx, tcp_session_t& session, const Segment& seg, const uint8_t* frame,
                    uint32_t dmaLength) {
    if (dmaLength - DMA_TCP_FRAME_OFFSET > LOST_NODE_FRAME_SIZE) {
        KEST_IMPL_LOG(ctx.log, LOG_WARNING,
                      "frame of %u bytes does not fit an out-of-order node, seq:%u dropped",
                      dmaLength - DMA_TCP_FRAME_OFFSET, seg.seq);
        return;
    }
    if (session.lost_flag != 1) {
        tcp_lost_buf_t* node = NewLostNode(ctx, frame, dmaLength);
        if (node == nullptr) {
            return;
        }
        session.lost_buf_head = node;
        session.lost_flag = 1;
        session.lost_buf_size += 1;
        return;
    }
    if (session.lost_buf_size > TCP_LOST_LIST_LIMIT - 1) {
        KEST_IMPL_LOG(ctx.log, LOG_WARNING, "break tcp seq detected. expt: %u, Got: %u",
                      session.next_expt_seq, seg.seq);
        GiveUpStream(ctx, session);
        return;
    }
    tcp_lost_buf_t* before = nullptr;
    tcp_lost_buf_t* after = session.lost_buf_head;
    while (after != nullptr) {
        const int32_t diff = SeqDiff(NodeSeq(after), seg.seq);
        if (diff == 0) {
            return;  // a duplicate of a held segment
        }
        if (diff > 0) {
            break;
        }
        before = after;
        after = after->next;
    }
    tcp_lost_buf_t* node = NewLostNode(ctx, frame, dmaLength);
    if (node == nullptr) {
        return;
    }
    node->before = before;
    node->next = after;
    if (before != nullptr) {
        before->next = node;
    } else {
        session.lost_buf_head = node;
    }
    if (after != nullptr) {
        after->before = node;
    }
    session.lost_buf_size += 1;
}

}  // namespace

int32_t CKestShfeMdApiImpl::_InitTcpSession(tcp_session_t& refSession, int32_t dstPort) {
    if (refSession.frag_buf == nullptr) {
        refSession.frag_buf = static_cast<uint8_t*>(std::calloc(1, TCP_FRAG_BUF_SIZE));
        if (refSession.frag_buf == nullptr) {
            m_logServer.WriteLog(LOG_ERROR, "failed to allocate memcory for fragment memory.");
            return -1;
        }
        KEST_IMPL_LOG(m_logServer, LOG_DEBUG, " dstPort:%d frag_buf:%p", dstPort,
                      static_cast<void*>(refSession.frag_buf));
    }
    // A new stream never inherits a partial message or held segments of the
    // stream that used the port before (closed, abandoned or finished).
    ReleaseLostList(refSession, nullptr);
    refSession.frag_flag = 0;
    refSession.lost_buf_size = 0;
    refSession.frag_buf_offset = 0;
    return 0;
}

void CKestShfeMdApiImpl::_ResetTcpSessions() {
    for (uint32_t port = 0; port < TCP_SESSION_COUNT; ++port) {
        tcp_session_t& session = m_sessions[port];
        if (session.frag_buf != nullptr) {
            std::free(session.frag_buf);
        }
        ReleaseLostList(session, nullptr);
        std::memset(static_cast<void*>(&session), 0, sizeof(session));
    }
}

void CKestShfeMdApiImpl::_TcpHandler(const unsigned char* lpPacket, unsigned int length, void* user_data) {
    if (user_data == nullptr || lpPacket == nullptr) {
        KEST_IMPL_LOG(CCommonLog::GetInstance(), LOG_DEBUG, "user_data or lpPacket is nullptr");
        return;
    }
    CKestShfeMdApiImpl& impl = *static_cast<CKestShfeMdApiImpl*>(user_data);
    CCommonLog& log = impl.m_logServer;
    if (length > TCP_WORK_BUF_SIZE) {
        KEST_IMPL_LOG(log, LOG_WARNING, "DMA message of %u bytes exceeds the %u-byte work buffer, dropped",
                      length, TCP_WORK_BUF_SIZE);
        return;
    }

    uint8_t padded[HEADER_SPAN];
    const uint8_t* head = lpPacket;
    if (length < HEADER_SPAN) {
        std::memset(padded, 0, sizeof(padded));
        std::memcpy(padded, lpPacket, length);
        head = padded;
    }
    const uint32_t kind = LoadRaw32(head);
    if (kind != DMA_TCP) {
        KEST_IMPL_LOG(log, LOG_WARNING, "invalide DMA Data Type[%u]", kind);
        return;
    }
    const uint8_t* ip = head + DMA_TCP_IP_OFFSET;
    const uint8_t protocol = ip[9];
    if (protocol != IP_PROTO_TCP) {
        if (protocol != IP_PROTO_UDP && protocol != IP_PROTO_ICMP && protocol != IP_PROTO_IGMP) {
            KEST_IMPL_LOG(log, LOG_DEBUG, "ip_p[%d]", static_cast<int32_t>(protocol));
        }
        return;
    }
    const uint16_t srcPort = LoadBe16(ip + (ip[0] & 0x0Fu) * 4u);
    const U50SnapTcpPort& snapPorts = impl.m_u50ConfigInfo.snapTcpPort;
    if (srcPort != snapPorts.shfe2ps_snap_port && srcPort != snapPorts.shfe4ps_snap_port &&
        srcPort != snapPorts.ine2ps_snap_port && srcPort != snapPorts.ine4ps_snap_port) {
        return;
    }
    const uint8_t* frame = lpPacket + DMA_TCP_FRAME_OFFSET;
    Segment seg;
    if (length < DMA_TCP_FRAME_OFFSET || !ParseFrame(frame, length - DMA_TCP_FRAME_OFFSET, seg)) {
        KEST_IMPL_LOG(log, LOG_DEBUG, "malformed snapshot frame dropped, DMA length[%u] ip_hl[%u] ip_len[%u]",
                      length, static_cast<uint32_t>(ip[0] & 0x0Fu), static_cast<uint32_t>(LoadBe16(ip + 2)));
        return;
    }

    // Completion: the first snapshot-port segment after the last enabled
    // feed's final message has the tables written (once per bring-up: the
    // flag stays set until a new bring-up clears it).
    const uint8_t enabledMask = impl.m_u50ConfigInfo.enabled_mask.enabled_mask;
    if (enabledMask != 0 && enabledMask == impl.m_finishedMask.enabled_mask && !impl.m_isTcpInitFinished) {
        const U50InstCount& counts = impl.m_u50InstCount;
        log.WriteLog(LOG_INFO,
                     "shfe_inst_cnt_2ps:%lu shfe_inst_cnt_4ps:%lu ine_inst_cnt_2ps:%lu ine_inst_cnt_4ps:%lu",
                     static_cast<unsigned long>(counts.shfe_inst_cnt_2ps),
                     static_cast<unsigned long>(counts.shfe_inst_cnt_4ps),
                     static_cast<unsigned long>(counts.ine_inst_cnt_2ps),
                     static_cast<unsigned long>(counts.ine_inst_cnt_4ps));
        impl.m_isTcpInitFinished = true;
        U50InstTable& tables = impl.m_u50InstTable;
        (void)impl._WriteContractTable(tables.shfe2psInstTable, (enabledMask & FEED_BIT_SHFE_2PS) != 0,
                                       Reg::SHFE2PS_TABLE_WADDR, Reg::SHFE2PS_TABLE_WDATA,
                                       static_cast<int32_t>(counts.shfe_inst_cnt_2ps),
                                       Reg::SHFE_TABLE_ENTRIES);
        (void)impl._WriteContractTable(tables.shfe4psInstTable, (enabledMask & FEED_BIT_SHFE_4PS) != 0,
                                       Reg::SHFE4PS_TABLE_WADDR, Reg::SHFE4PS_TABLE_WDATA,
                                       static_cast<int32_t>(counts.shfe_inst_cnt_4ps),
                                       Reg::SHFE_TABLE_ENTRIES);
        (void)impl._WriteContractTable(tables.ine2psInstTable, (enabledMask & FEED_BIT_INE_2PS) != 0,
                                       Reg::INE2PS_TABLE_WADDR, Reg::INE2PS_TABLE_WDATA,
                                       static_cast<int32_t>(counts.ine_inst_cnt_2ps), Reg::INE_TABLE_ENTRIES);
        (void)impl._WriteContractTable(tables.ine4psInstTable, (enabledMask & FEED_BIT_INE_4PS) != 0,
                                       Reg::INE4PS_TABLE_WADDR, Reg::INE4PS_TABLE_WDATA,
                                       static_cast<int32_t>(counts.ine_inst_cnt_4ps), Reg::INE_TABLE_ENTRIES);
    } else if (enabledMask == 0) {
        log.WriteLog(LOG_ERROR, "both shfe and ine are not subscribed");
        return;
    }

    StreamContext ctx{impl, &CKestShfeMdApiImpl::_ParseMdqp, log, impl.m_u50DstPort};
    tcp_session_t& session = impl.m_sessions[seg.dstPort];
    const uint32_t payloadSize = static_cast<uint32_t>(seg.payloadSize);

    if ((seg.flags & (TCP_FLAG_RST | TCP_FLAG_ACK)) == (TCP_FLAG_RST | TCP_FLAG_ACK)) {
        session.init = 0;
        session.lost_buf_size = 0;
        session.frag_buf_offset = 0;
        session.frag_flag = 0;
        ReleaseLostList(session, nullptr);
        UnregisterAllPorts(impl.m_u50DstPort);
        KEST_IMPL_LOG(log, LOG_WARNING, "Session closed dstport:%d", static_cast<int32_t>(seg.dstPort));
        return;
    }

    if (session.init == 0) {
        // First segment of a stream: it must open with the snapshot
        // identification of an enabled feed that is not finished yet.
        if (impl._InitTcpSession(session, seg.dstPort) != 0) {
            return;
        }
        session.dst_host = seg.dstHost;
        session.src_host = seg.srcHost;
        session.dst_port = seg.dstPort;
        session.src_port = seg.srcPort;
        if (seg.payloadSize <= FIRST_SEGMENT_MIN_PAYLOAD || seg.payload[0] != MDQP_FLAG_MORE ||
            static_cast<int8_t>(seg.payload[1]) != MDQP_TYPE_SNAPSHOT) {
            return;
        }
        session.current_seq = seg.seq;
        session.next_expt_seq = seg.seq + payloadSize;

        const U50TopicID& topics = impl.m_u50ConfigInfo.topicID;
        uint32_t pos = sizeof(mdqp_t);
        while (payloadSize - pos >= sizeof(field_t)) {
            field_t field;
            std::memcpy(&field, seg.payload + pos, sizeof(field));
            const uint32_t dataPos = pos + static_cast<uint32_t>(sizeof(field_t));
            if (field.field_id == MDQP_FIELD_SNAP && field.field_size == SNAP_FIELD_SIZE) {
                if (payloadSize - dataPos < SNAP_FIELD_SIZE) {
                    break;
                }
                snap_t snap;
                std::memcpy(&snap, seg.payload + dataPos, sizeof(snap));
                KEST_IMPL_LOG(log, LOG_DEBUG, "mdqp packet. TCP dst port: %d",
                              static_cast<int32_t>(seg.dstPort));
                KEST_IMPL_LOG(log, LOG_DEBUG, "topic ID: %d, snap No: %d",
                              static_cast<int32_t>(snap.topic_id), snap.snap_no);
                const int32_t topic = snap.topic_id;
                uint8_t feedBit;
                uint16_t* feedPort;
                if (topic == topics.ine2ps_topic_id) {
                    feedBit = FEED_BIT_INE_2PS;
                    feedPort = &impl.m_u50DstPort.port_ine_2ps;
                } else if (topic == topics.shfe2ps_topic_id) {
                    feedBit = FEED_BIT_SHFE_2PS;
                    feedPort = &impl.m_u50DstPort.port_shfe_2ps;
                } else if (topic == topics.ine4ps_topic_id) {
                    feedBit = FEED_BIT_INE_4PS;
                    feedPort = &impl.m_u50DstPort.port_ine_4ps;
                } else if (topic == topics.shfe4ps_topic_id) {
                    feedBit = FEED_BIT_SHFE_4PS;
                    feedPort = &impl.m_u50DstPort.port_shfe_4ps;
                } else {
                    KEST_IMPL_LOG(log, LOG_WARNING, "invalide topic id[%d]", topic);
                    return;
                }
                if ((enabledMask & feedBit) == 0 || (impl.m_finishedMask.enabled_mask & feedBit) != 0) {
                    return;
                }
                *feedPort = seg.dstPort;
                session.init = 1;
            }
            pos = dataPos + field.field_size;
            if (pos >= payloadSize) {
                break;
            }
        }
        CutMessages(ctx, session, seg.payload, payloadSize);
        return;
    }

    if (seg.dstHost != session.dst_host || seg.srcHost != session.src_host) {
        return;
    }
    const int32_t diff = SeqDiff(seg.seq, session.next_expt_seq);
    if (diff < 0) {
        return;  // bytes already consumed
    }
    if (diff > 0) {
        HoldOutOfOrder(ctx, session, seg, frame, length);
        return;
    }
    session.next_expt_seq += payloadSize;
    if (ConsumePayload(ctx, session, seg.payload, payloadSize) != PayloadResult::CONSUMED) {
        return;
    }
    if (session.lost_flag == 1) {
        DrainLostList(ctx, session);
    }
}
