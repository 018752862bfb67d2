// Per-instance records of the library: the configuration loaded from the INI
// file and the small per-feed records beside it. Plain aggregates that the
// owner zero-fills as raw bytes before constructing them.
#pragma once

#include <cstdint>

#include "DateType.h"
#include "FpgaDataType.h"
#include "log/CommonLog.h"

namespace Kest_U50 {

// Which feeds are enabled (or finished); bit values as FEED_BIT_*.
union UEnabledMask {
    uint8_t enabled_mask;
    struct {
        uint8_t shfe2ps : 1;
        uint8_t shfe4ps : 1;
        uint8_t ine2ps : 1;
        uint8_t ine4ps : 1;
        uint8_t reserved : 4;
    };
};
static_assert(sizeof(UEnabledMask) == 1, "one byte of feed bits");

// "address:port" texts of each feed's A and B multicast lines.
struct U50MultiIpAndPort {
    CAddressType shfe2ps_ip_a;
    CAddressType shfe2ps_ip_b;
    CAddressType shfe4ps_ip_a;
    CAddressType shfe4ps_ip_b;
    CAddressType ine2ps_ip_a;
    CAddressType ine2ps_ip_b;
    CAddressType ine4ps_ip_a;
    CAddressType ine4ps_ip_b;
};

struct U50TopicID {
    int32_t shfe2ps_topic_id;
    int32_t shfe4ps_topic_id;
    int32_t ine2ps_topic_id;
    int32_t ine4ps_topic_id;
};

struct U50SnapTcpPort {
    uint16_t shfe2ps_snap_port;
    uint16_t shfe4ps_snap_port;
    uint16_t ine2ps_snap_port;
    uint16_t ine4ps_snap_port;
    U50SnapTcpPort() : shfe2ps_snap_port(0), shfe4ps_snap_port(0), ine2ps_snap_port(0), ine4ps_snap_port(0) {}
};

struct U50MaxInstNo {
    int32_t shfe2ps_max_inst_no;
    int32_t shfe4ps_max_inst_no;
    int32_t ine2ps_max_inst_no;
    int32_t ine4ps_max_inst_no;
    U50MaxInstNo()
        : shfe2ps_max_inst_no(0), shfe4ps_max_inst_no(0), ine2ps_max_inst_no(0), ine4ps_max_inst_no(0) {}
};

// Instrument selection of one processing channel.
struct U50ChannelInfo {
    CInstrumentListType insts;  // comma-separated identifiers or product tokens, or exactly "all"
    bool options;               // also take identifiers longer than six characters by token / all
    bool recvall;               // insts is exactly "all"
    U50ChannelInfo() : options(false), recvall(false) { insts.Clear(); }
};

// The whole configuration of one API object.
struct U50ConfigInfo {
    int32_t bus_id;
    int32_t channel_id;
    int32_t cpucore;
    UEnabledMask enabled_mask;
    U50MultiIpAndPort multiIpAndPort;
    U50TopicID topicID;
    U50SnapTcpPort snapTcpPort;
    U50MaxInstNo maxInstNo;
    uint32_t last_tick_channel;
    uint32_t detect_interval;
    int32_t board_id;
    ELOGLEVEL log_level;
    CMACType DSTMAC;
    CIPType DSTIP;
    uint16_t DSTPORT;
    CMACType SRCMAC;
    CIPType SRCIP;
    uint16_t SRCPORT;
    int32_t TARGETROUTE;
    bool crc_mux_check;
    U50ChannelInfo channelInfo[CHANNEL_SIZE];

    U50ConfigInfo() : bus_id(0), channel_id(0), cpucore(-1) {}
};

// Highest instrument number seen in each feed's snapshot.
struct U50InstCount {
    uint64_t shfe_inst_cnt_2ps;
    uint64_t shfe_inst_cnt_4ps;
    uint64_t ine_inst_cnt_2ps;
    uint64_t ine_inst_cnt_4ps;
    U50InstCount() : shfe_inst_cnt_2ps(0), shfe_inst_cnt_4ps(0), ine_inst_cnt_2ps(0), ine_inst_cnt_4ps(0) {}
};

// Destination port of the session registered as each feed's snapshot stream.
struct U50DstPort {
    uint16_t port_shfe_2ps;
    uint16_t port_shfe_4ps;
    uint16_t port_ine_2ps;
    uint16_t port_ine_4ps;
    U50DstPort() : port_shfe_2ps(0), port_shfe_4ps(0), port_ine_2ps(0), port_ine_4ps(0) {}
};

// The card's multicast packet counters, read before deciding on bring-up.
struct U50MuxPkts {
    uint64_t Mux0_2ps_pkts;
    uint64_t Mux1_2ps_pkts;
    uint64_t Mux0_4ps_pkts;
    uint64_t Mux1_4ps_pkts;
    U50MuxPkts() : Mux0_2ps_pkts(0), Mux1_2ps_pkts(0), Mux0_4ps_pkts(0), Mux1_4ps_pkts(0) {}
};

}  // namespace Kest_U50
