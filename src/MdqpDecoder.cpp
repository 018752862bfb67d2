// Decoding of MDQP snapshot messages into the host instrument tables.
//
// Each complete message of a snapshot stream arrives here with the
// destination port of its connection; the port says which feed it belongs
// to. Fields are walked strictly inside the message and each payload record
// is only handed on when the field holds all of it.
#include <cmath>
#include <cstring>

#include "FpgaRegisterCommon.h"
#include "KestShfeMdApiImpl.h"

using namespace Kest_U50;

namespace {

constexpr uint16_t FIELD_TOPIC_REFRESH_A = 0x0031;
constexpr uint16_t FIELD_TOPIC_REFRESH_B = 0x0032;
constexpr uint16_t FIELD_SKIPPED_0104 = 0x0104;
constexpr uint16_t FIELD_SKIPPED_1002 = 0x1002;
constexpr uint16_t FIELD_SKIPPED_1003 = 0x1003;
constexpr char DIRECTION_BID = '0';
constexpr char DIRECTION_ASK = '1';

// Per-feed destinations of the decoded data.
struct FeedTarget {
    SInstTableType* table;
    uint64_t* count;
    uint32_t packetNoReg;
    uint32_t countReg;
    uint8_t bit;
    uint16_t* port;
    const char* finishedFormat;
};

FeedTarget TargetOf(EMDQPDataType feed, U50InstTable& tables, U50InstCount& counts, U50DstPort& ports) {
    switch (feed) {
        case SHFE_4PS:
            return {tables.shfe4psInstTable,
                    &counts.shfe_inst_cnt_4ps,
                    Reg::SHFE4PS_SNAP_PKT_NO,
                    Reg::SHFE_INST_COUNT,
                    FEED_BIT_SHFE_4PS,
                    &ports.port_shfe_4ps,
                    "shfe4ps init finished, total instruments:%lu"};
        case INE_2PS:
            return {tables.ine2psInstTable,
                    &counts.ine_inst_cnt_2ps,
                    Reg::INE2PS_SNAP_PKT_NO,
                    Reg::INE_INST_COUNT,
                    FEED_BIT_INE_2PS,
                    &ports.port_ine_2ps,
                    "ine2ps init finished, total instruments:%lu"};
        case INE_4PS:
            return {tables.ine4psInstTable,
                    &counts.ine_inst_cnt_4ps,
                    Reg::INE4PS_SNAP_PKT_NO,
                    Reg::INE_INST_COUNT,
                    FEED_BIT_INE_4PS,
                    &ports.port_ine_4ps,
                    "ine4ps init finished, total instruments:%lu"};
        case SHFE_2PS:
        default:
            return {tables.shfe2psInstTable,
                    &counts.shfe_inst_cnt_2ps,
                    Reg::SHFE2PS_SNAP_PKT_NO,
                    Reg::SHFE_INST_COUNT,
                    FEED_BIT_SHFE_2PS,
                    &ports.port_shfe_2ps,
                    "shfe2ps init finished, total instruments:%lu"};
    }
}

// Instrument numbers index a table of INST_TABLE_SIZE entries; anything
// else in the data is rejected before it can touch memory.
inline bool ValidInstNo(int32_t instNo) { return instNo >= 0 && instNo < INST_TABLE_SIZE; }

// Value x 100 + 0.5, truncated toward zero, into a signed 32-bit field.
// Values beyond the field's range are clamped to it; NaN gives 0.
int32_t CodePrice(double value) {
    const double coded = value * 100.0 + 0.5;
    if (std::isnan(coded)) {
        return 0;
    }
    if (coded >= 2147483648.0) {
        return INT32_MAX;
    }
    if (coded <= -2147483649.0) {
        return INT32_MIN;
    }
    return static_cast<int32_t>(coded);
}

// Truncation toward zero into an unsigned 64-bit field: negative values
// give 0, values of 2^64 and above are clamped to the largest value.
uint64_t TruncateToUint64(double value) {
    if (!(value >= 1.0)) {
        return 0;  // NaN, negative, or truncating to 0 anyway
    }
    if (value >= 18446744073709551616.0) {
        return UINT64_MAX;
    }
    return static_cast<uint64_t>(value);
}

// Book levels of one side, best first: byte offsets of each level's price
// in the table entry (its volume follows the price).
constexpr size_t BID_LEVELS[5] = {offsetof(SInstTableType, bid1_price), offsetof(SInstTableType, bid2_price),
                                  offsetof(SInstTableType, bid3_price), offsetof(SInstTableType, bid4_price),
                                  offsetof(SInstTableType, bid5_price)};
constexpr size_t ASK_LEVELS[5] = {offsetof(SInstTableType, ask1_price), offsetof(SInstTableType, ask2_price),
                                  offsetof(SInstTableType, ask3_price), offsetof(SInstTableType, ask4_price),
                                  offsetof(SInstTableType, ask5_price)};

void FillLevel(SInstTableType& entry, const size_t (&levels)[5], int32_t price, uint32_t volume) {
    uint8_t* base = reinterpret_cast<uint8_t*>(&entry);
    size_t chosen = levels[4];  // the fifth level is overwritten when the first four are taken
    for (size_t i = 0; i < 4; ++i) {
        int32_t held;
        std::memcpy(&held, base + levels[i], sizeof(held));
        if (held < 1) {
            chosen = levels[i];
            break;
        }
    }
    std::memcpy(base + chosen, &price, sizeof(price));
    std::memcpy(base + chosen + sizeof(int32_t), &volume, sizeof(volume));
}

}  // namespace

int32_t CKestShfeMdApiImpl::_ParseMdqp(mdqp_t* mdqp, uint16_t dstport, CKestShfeMdApiImpl& refShfeMdApiImpl) {
    CKestShfeMdApiImpl& impl = refShfeMdApiImpl;
    if (mdqp == nullptr) {
        return -1;
    }
    // Port 0 is no connection's port: a feed without a registered stream holds 0.
    const U50DstPort& ports = impl.m_u50DstPort;
    EMDQPDataType feed;
    if (dstport != 0 && dstport == ports.port_shfe_2ps) {
        feed = SHFE_2PS;
    } else if (dstport != 0 && dstport == ports.port_shfe_4ps) {
        feed = SHFE_4PS;
    } else if (dstport != 0 && dstport == ports.port_ine_2ps) {
        feed = INE_2PS;
    } else if (dstport != 0 && dstport == ports.port_ine_4ps) {
        feed = INE_4PS;
    } else {
        const tcp_session_t& session = impl.m_sessions[dstport];
        impl.m_logServer.WriteLog(LOG_DEBUG, "src_host[%u] src_port[%d] dst_host[%u] dst_port[%d] unknown.",
                                  session.src_host, static_cast<int32_t>(session.src_port), session.dst_host,
                                  static_cast<int32_t>(session.dst_port));
        return -1;
    }

    uint8_t* const message = reinterpret_cast<uint8_t*>(mdqp);
    const uint32_t end = static_cast<uint32_t>(mdqp->length) + sizeof(mdqp_t);
    uint32_t pos = sizeof(mdqp_t);
    while (pos < end) {
        if (end - pos < sizeof(field_t)) {
            KEST_IMPL_LOG(impl.m_logServer, LOG_WARNING, "field header cut by the message end at %u of %u",
                          pos, end);
            break;
        }
        field_t field;
        std::memcpy(&field, message + pos, sizeof(field));
        const uint32_t dataPos = pos + static_cast<uint32_t>(sizeof(field_t));
        if (field.field_size > end - dataPos) {
            KEST_IMPL_LOG(
                impl.m_logServer, LOG_WARNING,
                "field id %04x of %u bytes at %u runs past the message end %u, rest of message skipped",
                static_cast<uint32_t>(field.field_id), static_cast<uint32_t>(field.field_size), pos, end);
            break;
        }
        uint8_t* const data = message + dataPos;
        size_t needed = 0;
        switch (field.field_id) {
            case MDQP_FIELD_INST_INFO:
                needed = sizeof(inst_info_t);
                break;
            case MDQP_FIELD_DEAL_INFO:
                needed = sizeof(deal_info_t);
                break;
            case MDQP_FIELD_PRICE_DETAIL:
                needed = sizeof(price_detail_t);
                break;
            case MDQP_FIELD_PACKET_NO:
                needed = sizeof(packet_no_t);
                break;
            case FIELD_TOPIC_REFRESH_A:
            case FIELD_TOPIC_REFRESH_B:
            case FIELD_SKIPPED_0104:
            case MDQP_FIELD_SNAP:
            case FIELD_SKIPPED_1002:
            case FIELD_SKIPPED_1003:
                break;
            default:
                impl.m_logServer.WriteLog(LOG_ERROR, "unknown field id: %02x",
                                          static_cast<uint32_t>(field.field_id));
                break;
        }
        if (needed != 0) {
            if (field.field_size < needed) {
                KEST_IMPL_LOG(impl.m_logServer, LOG_DEBUG,
                              "field id %04x of %u bytes is shorter than its %u-byte record, skipped",
                              static_cast<uint32_t>(field.field_id), static_cast<uint32_t>(field.field_size),
                              static_cast<uint32_t>(needed));
            } else if (field.field_id == MDQP_FIELD_INST_INFO) {
                (void)_FieldID0101(*reinterpret_cast<inst_info_t*>(data), feed, impl);
            } else if (field.field_id == MDQP_FIELD_DEAL_INFO) {
                (void)_FieldID0102(*reinterpret_cast<deal_info_t*>(data), feed, impl);
            } else if (field.field_id == MDQP_FIELD_PRICE_DETAIL) {
                (void)_FieldID0103(*reinterpret_cast<price_detail_t*>(data), feed, impl);
            } else {
                (void)_FieldID1004(*reinterpret_cast<packet_no_t*>(data), feed, impl);
            }
        }
        pos = dataPos + field.field_size;
    }

    if (mdqp->flag == MDQP_FLAG_LAST) {
        const FeedTarget target = TargetOf(feed, impl.m_u50InstTable, impl.m_u50InstCount, impl.m_u50DstPort);
        impl.m_finishedMask.enabled_mask =
            static_cast<uint8_t>(impl.m_finishedMask.enabled_mask | target.bit);
        (void)impl.m_drvRegEnyx.WriteRegister(target.countReg, static_cast<uint32_t>(*target.count));
        impl.m_sessions[dstport].init = 0;
        *target.port = 0;
        impl.m_logServer.WriteLog(LOG_INFO, target.finishedFormat, static_cast<unsigned long>(*target.count));
    }
    return 0;
}

int32_t CKestShfeMdApiImpl::_FieldID1004(packet_no_t& refPktNo, const EMDQPDataType& refMDQPDataType,
                                         CKestShfeMdApiImpl& refShfeMdApiImpl) {
    CKestShfeMdApiImpl& impl = refShfeMdApiImpl;
    const FeedTarget target =
        TargetOf(refMDQPDataType, impl.m_u50InstTable, impl.m_u50InstCount, impl.m_u50DstPort);
    (void)impl.m_drvRegEnyx.WriteRegister(target.packetNoReg, static_cast<uint32_t>(refPktNo.packet_no));
    return 0;
}

int32_t CKestShfeMdApiImpl::_FieldID0101(inst_info_t& refInstInfo, const EMDQPDataType& refMDQPDataType,
                                         CKestShfeMdApiImpl& refShfeMdApiImpl) {
    CKestShfeMdApiImpl& impl = refShfeMdApiImpl;
    const int32_t instNo = refInstInfo.inst_no;
    if (!ValidInstNo(instNo)) {
        KEST_IMPL_LOG(impl.m_logServer, LOG_DEBUG, "inst_no[%d] out of range, instrument information skipped",
                      instNo);
        return 0;
    }
    const FeedTarget target =
        TargetOf(refMDQPDataType, impl.m_u50InstTable, impl.m_u50InstCount, impl.m_u50DstPort);
    if (instNo > static_cast<int32_t>(*target.count)) {
        *target.count = static_cast<uint64_t>(instNo);
    }
    SInstTableType& entry = target.table[instNo];
    entry.price_tick = CodePrice(refInstInfo.price_tick);
    const double codecPrice = refInstInfo.codec_price;
    entry.codec_price = (codecPrice == MDQP_NO_VALUE) ? 0 : CodePrice(codecPrice);
    entry.vol_multiple = static_cast<uint32_t>(refInstInfo.volume_multiple);
    CInstrumentType::BuffCast(entry.inst_id).CopyFrom(refInstInfo.inst_id);
    return 0;
}

int32_t CKestShfeMdApiImpl::_FieldID0102(deal_info_t& refDealInfo, const EMDQPDataType& refMDQPDataType,
                                         CKestShfeMdApiImpl& refShfeMdApiImpl) {
    CKestShfeMdApiImpl& impl = refShfeMdApiImpl;
    const int32_t instNo = refDealInfo.inst_no;
    if (!ValidInstNo(instNo)) {
        KEST_IMPL_LOG(impl.m_logServer, LOG_DEBUG, "inst_no[%d] out of range, deal information skipped",
                      instNo);
        return 0;
    }
    const FeedTarget target =
        TargetOf(refMDQPDataType, impl.m_u50InstTable, impl.m_u50InstCount, impl.m_u50DstPort);
    SInstTableType& entry = target.table[instNo];
    // Anything not below the no-value marker (the marker itself, infinity,
    // NaN) carries no value and is stored as 0.
    const double lastPrice = refDealInfo.last_price;
    entry.last_price = (lastPrice < MDQP_NO_VALUE) ? CodePrice(lastPrice) : 0;
    const double turnover = refDealInfo.turnover;
    entry.turnover = (turnover < MDQP_NO_VALUE) ? TruncateToUint64(turnover * 100.0 + 0.5) : 0;
    const double openInterest = refDealInfo.open_interest;
    entry.open_interest = (openInterest < MDQP_NO_VALUE) ? TruncateToUint64(openInterest + 0.5) : 0;
    entry.change_no = static_cast<uint32_t>(refDealInfo.change_no);
    entry.update_mill_sec = static_cast<uint32_t>(refDealInfo.update_mill_sec);
    entry.volume = static_cast<uint32_t>(refDealInfo.volume);
    return 0;
}

int32_t CKestShfeMdApiImpl::_FieldID0103(price_detail_t& refPriceDetail, const EMDQPDataType& refMDQPDataType,
                                         CKestShfeMdApiImpl& refShfeMdApiImpl) {
    CKestShfeMdApiImpl& impl = refShfeMdApiImpl;
    const int32_t instNo = refPriceDetail.inst_no;
    if (!ValidInstNo(instNo)) {
        KEST_IMPL_LOG(impl.m_logServer, LOG_DEBUG, "inst_no[%d] out of range, price detail skipped", instNo);
        return 0;
    }
    const char direction = refPriceDetail.direction;
    if (direction != DIRECTION_BID && direction != DIRECTION_ASK) {
        return 0;
    }
    const FeedTarget target =
        TargetOf(refMDQPDataType, impl.m_u50InstTable, impl.m_u50InstCount, impl.m_u50DstPort);
    const double price = refPriceDetail.price;
    const int32_t coded = CodePrice(price == MDQP_NO_VALUE ? 0.0 : price);
    const uint32_t volume = static_cast<uint32_t>(refPriceDetail.volume);
    FillLevel(target.table[instNo], direction == DIRECTION_BID ? BID_LEVELS : ASK_LEVELS, coded, volume);
    return 0;
}
