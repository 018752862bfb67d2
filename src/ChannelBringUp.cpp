// Bring-up of the card by the channel-0 instance: the decision whether the
// card already runs with this configuration, the register programming, the
// snapshot wait and the logical start. Not latency-critical: it contains
// three 1 s pauses and a busy snapshot wait.
#include <arpa/inet.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "FpgaRegisterCommon.h"
#include "KestShfeMdApiImpl.h"

using namespace Kest_U50;

namespace {

// Dotted text to the host-order value the card expects; refused text gives 0xFFFFFFFF.
inline uint32_t Ipv4HostOrder(const char* text) { return ntohl(inet_addr(text)); }

struct MacWords {
    uint32_t hi;  // first two bytes
    uint32_t b[6];
};

inline MacWords ParseMac(const CMACType& mac) {
    MacWords words = {0, {0, 0, 0, 0, 0, 0}};
    unsigned int b[6] = {0, 0, 0, 0, 0, 0};
    // Fields that do not parse stay 0; the scan's result is not examined.
    (void)std::sscanf(mac.data(), "%02x:%02x:%02x:%02x:%02x:%02x", &b[0], &b[1], &b[2], &b[3], &b[4], &b[5]);
    for (int i = 0; i < 6; ++i) {
        words.b[i] = b[i];
    }
    words.hi = ((b[0] << 8) | b[1]) & 0xFFFFu;
    return words;
}

inline uint32_t MacLow(const MacWords& mac, uint32_t slot) {
    return (mac.b[2] << 24) | (mac.b[3] << 16) | (mac.b[4] << 8) | (mac.b[5] + slot);
}

}  // namespace

int32_t CKestShfeMdApiImpl::_ChechAndKestSubDmaUp() {
    uint32_t configCrc = 0;
    if (_GetConfigCrc(configCrc) != 0) {
        KEST_IMPL_LOG(m_logServer, LOG_ERROR, "Error opening file [%s].", m_configFileName.data());
        return -1;
    }

    m_logServer.SetLogLevel(static_cast<ELOGLEVEL>(31));
    U50MuxPkts muxPkts;
    (void)m_drvRegEnyx.ReadRegister(Reg::MUX0_2PS_PKTS, muxPkts.Mux0_2ps_pkts);
    (void)m_drvRegEnyx.ReadRegister(Reg::MUX1_2PS_PKTS, muxPkts.Mux1_2ps_pkts);
    (void)m_drvRegEnyx.ReadRegister(Reg::MUX0_4PS_PKTS, muxPkts.Mux0_4ps_pkts);
    (void)m_drvRegEnyx.ReadRegister(Reg::MUX1_4PS_PKTS, muxPkts.Mux1_4ps_pkts);
    uint32_t lasrtCrc = 0;
    (void)m_drvRegEnyx.ReadRegister(Reg::CONFIG_CRC, lasrtCrc);
    m_logServer.SetLogLevel(m_u50ConfigInfo.log_level);

    const bool counting = muxPkts.Mux0_2ps_pkts != 0 || muxPkts.Mux1_2ps_pkts != 0 ||
                          muxPkts.Mux0_4ps_pkts != 0 || muxPkts.Mux1_4ps_pkts != 0;
    if (m_u50ConfigInfo.crc_mux_check && lasrtCrc == configCrc && counting) {
        KEST_IMPL_LOG(m_logServer, LOG_WARNING,
                      "channel%d %s no changes have occurred, no initialization required [%lu %lu %lu %lu].",
                      m_u50ConfigInfo.channel_id, m_configFileName.data(),
                      static_cast<unsigned long>(muxPkts.Mux0_2ps_pkts),
                      static_cast<unsigned long>(muxPkts.Mux1_2ps_pkts),
                      static_cast<unsigned long>(muxPkts.Mux0_4ps_pkts),
                      static_cast<unsigned long>(muxPkts.Mux1_4ps_pkts));
        return 0;
    }
    return _KestSubDmaUp(configCrc);
}

int32_t CKestShfeMdApiImpl::_GetConfigCrc(uint32_t& configCrc) {
    FILE* file = std::fopen(m_configFileName.data(), "r");
    if (file == nullptr) {
        KEST_IMPL_LOG(m_logServer, LOG_ERROR, "Error opening file [%s] [%u].", m_configFileName.data(),
                      static_cast<uint32_t>(-1));
        return -1;
    }
    int32_t result = 0;
    unsigned char* buffer = nullptr;
    long size = -1;
    if (std::fseek(file, 0, SEEK_END) == 0) {
        size = std::ftell(file);
    }
    if (size == 0) {
        KEST_IMPL_LOG(m_logServer, LOG_ERROR, "file is empty [%s] [%u].", m_configFileName.data(),
                      static_cast<uint32_t>(-2));
        result = -2;
    } else if (size < 0 || size > 0x7FFFFFFFL) {
        // Not a regular file of a size a checksum can be taken over in one pass.
        KEST_IMPL_LOG(m_logServer, LOG_ERROR, "error reading certificate file[%s] [%u].",
                      m_configFileName.data(), static_cast<uint32_t>(-4));
        result = -4;
    } else {
        buffer = static_cast<unsigned char*>(std::malloc(static_cast<size_t>(size) + 1));
        if (buffer == nullptr) {
            KEST_IMPL_LOG(m_logServer, LOG_ERROR, "Error allocating memory for file[%s] [%u].",
                          m_configFileName.data(), static_cast<uint32_t>(-3));
            result = -3;
        } else if (std::fseek(file, 0, SEEK_SET) != 0 ||
                   std::fread(buffer, 1, static_cast<size_t>(size), file) != static_cast<size_t>(size)) {
            KEST_IMPL_LOG(m_logServer, LOG_ERROR, "error reading certificate file[%s] [%u].",
                          m_configFileName.data(), static_cast<uint32_t>(-4));
            result = -4;
        } else if (m_crc32.calculate_crc32c(configCrc, buffer, static_cast<int32_t>(size)) != 0) {
            KEST_IMPL_LOG(m_logServer, LOG_ERROR, "calculate_crc32c failed file[%s] [%u].",
                          m_configFileName.data(), static_cast<uint32_t>(-5));
            result = -5;
        }
    }
    std::free(buffer);
    std::fclose(file);
    return result;
}

int32_t CKestShfeMdApiImpl::_KestSubDmaUp(uint32_t configCrc) {
    const int32_t channelId = m_u50ConfigInfo.channel_id;
    if (channelId != MANAGER_CHANNEL) {
        return 0;
    }
    KEST_IMPL_LOG(m_logServer, LOG_DEBUG, "channel%d FPGA Init......begin", channelId);
    if (_InitFpga() != 0) {
        return -1;
    }

    m_logServer.SetLogLevel(static_cast<ELOGLEVEL>(31));
    if (configCrc != 0) {
        (void)m_drvRegEnyx.WriteRegister(Reg::CONFIG_CRC, configCrc);
        KEST_IMPL_LOG(m_logServer, LOG_DEBUG, "channel%d update_reg configCrc[%u]", channelId, configCrc);
    }
    m_logServer.SetLogLevel(m_u50ConfigInfo.log_level);
    KEST_IMPL_LOG(m_logServer, LOG_DEBUG, "channel%d FPGA Init......end", channelId);

    for (int32_t channelIndex = 0; channelIndex < CHANNEL_SIZE; ++channelIndex) {
        KEST_IMPL_LOG(m_logServer, LOG_INFO, "channel%d subscribe start...", channelIndex);
        (void)_ContractSubscribeManager(channelIndex);
        KEST_IMPL_LOG(m_logServer, LOG_INFO, "channel%d subscribe end", channelIndex);
    }

    const U50MaxInstNo& maxInstNo = m_u50ConfigInfo.maxInstNo;
    m_logServer.SetLogLevel(static_cast<ELOGLEVEL>(31));
    (void)m_drvRegEnyx.WriteRegister(Reg::SHFE2PS_MAX_INST_NO,
                                     static_cast<uint32_t>(maxInstNo.shfe2ps_max_inst_no));
    (void)m_drvRegEnyx.WriteRegister(Reg::SHFE4PS_MAX_INST_NO,
                                     static_cast<uint32_t>(maxInstNo.shfe4ps_max_inst_no));
    (void)m_drvRegEnyx.WriteRegister(Reg::INE2PS_MAX_INST_NO,
                                     static_cast<uint32_t>(maxInstNo.ine2ps_max_inst_no));
    (void)m_drvRegEnyx.WriteRegister(Reg::INE4PS_MAX_INST_NO,
                                     static_cast<uint32_t>(maxInstNo.ine4ps_max_inst_no));
    (void)m_drvRegEnyx.WriteRegister(Reg::LAST_TICK_CHANNEL, m_u50ConfigInfo.last_tick_channel);
    KEST_IMPL_LOG(
        m_logServer, LOG_INFO,
        "shfe2ps_max_inst_no[%d] shfe4ps_max_inst_no[%d] ine2ps_max_inst_no[%d] ine4ps_max_inst_no[%d] "
        "lastTickChannel[%u]",
        maxInstNo.shfe2ps_max_inst_no, maxInstNo.shfe4ps_max_inst_no, maxInstNo.ine2ps_max_inst_no,
        maxInstNo.ine4ps_max_inst_no, m_u50ConfigInfo.last_tick_channel);
    (void)_StartDmaUp();
    m_logServer.SetLogLevel(m_u50ConfigInfo.log_level);
    return 0;
}

int32_t CKestShfeMdApiImpl::_InitFpga() {
    _ResetTcpSessions();

    const U50ConfigInfo& cfg = m_u50ConfigInfo;
    m_logServer.SetLogLevel(static_cast<ELOGLEVEL>(31));
    (void)m_drvRegEnyx.WriteRegister(Reg::CARD_START, 1);
    sleep(1);
    (void)m_drvRegEnyx.WriteRegister(Reg::SNAPSHOT_MODE, Reg::SNAPSHOT_MODE_ON);
    (void)m_drvRegEnyx.WriteRegister(Reg::SHFE_INST_COUNT, 0);
    (void)m_drvRegEnyx.WriteRegister(Reg::INE_INST_COUNT, 0);
    (void)m_drvRegEnyx.WriteRegister(Reg::DETECT_INTERVAL_2PS, cfg.detect_interval);
    (void)m_drvRegEnyx.WriteRegister(Reg::DETECT_INTERVAL_4PS, cfg.detect_interval);

    const uint32_t route = static_cast<uint32_t>(cfg.TARGETROUTE) & 0xFu;
    (void)m_drvRegEnyx.WriteRegister(Reg::ROUTE, route);
    m_logServer.WriteLog(LOG_INFO, "route[%d]", static_cast<int32_t>(route));

    const MacWords dstMac = ParseMac(cfg.DSTMAC);
    for (uint32_t k = 0; k < Reg::SLOT_COUNT; ++k) {
        (void)m_drvRegEnyx.WriteRegister(Reg::SlotDstMacHi(k), dstMac.hi);
        (void)m_drvRegEnyx.WriteRegister(Reg::SlotDstMacLo(k), MacLow(dstMac, 0));
    }
    const uint32_t dstIp = Ipv4HostOrder(cfg.DSTIP.data());
    for (uint32_t k = 0; k < Reg::SLOT_COUNT; ++k) {
        (void)m_drvRegEnyx.WriteRegister(Reg::SlotDstIp(k), dstIp);
    }
    for (uint32_t k = 0; k < Reg::SLOT_COUNT; ++k) {
        (void)m_drvRegEnyx.WriteRegister(Reg::SlotDstPort(k), cfg.DSTPORT);
    }
    const MacWords srcMac = ParseMac(cfg.SRCMAC);
    for (uint32_t k = 0; k < Reg::SLOT_COUNT; ++k) {
        (void)m_drvRegEnyx.WriteRegister(Reg::SlotSrcMacHi(k), srcMac.hi);
        (void)m_drvRegEnyx.WriteRegister(Reg::SlotSrcMacLo(k), MacLow(srcMac, k));
    }
    const uint32_t srcIp = Ipv4HostOrder(cfg.SRCIP.data());
    for (uint32_t k = 0; k < Reg::SLOT_COUNT; ++k) {
        (void)m_drvRegEnyx.WriteRegister(Reg::SlotSrcIp(k), srcIp);
    }
    for (uint32_t k = 0; k < Reg::SLOT_COUNT; ++k) {
        (void)m_drvRegEnyx.WriteRegister(Reg::SlotSrcPort(k), cfg.SRCPORT);
    }

    (void)m_drvRegEnyx.WriteRegister(Reg::BLOCK_2PS_START, 1);
    sleep(1);
    (void)m_drvRegEnyx.WriteRegister(Reg::BLOCK_4PS_START, 1);
    sleep(1);

    const U50MultiIpAndPort& mc = cfg.multiIpAndPort;
    const UEnabledMask mask = cfg.enabled_mask;
    (void)_SetRegIpAndPort(Reg::SHFE2PS_MCAST_IP_A, Reg::SHFE2PS_MCAST_PORT_A, mc.shfe2ps_ip_a, mask.shfe2ps);
    (void)_SetRegIpAndPort(Reg::SHFE2PS_MCAST_IP_B, Reg::SHFE2PS_MCAST_PORT_B, mc.shfe2ps_ip_b, mask.shfe2ps);
    (void)_SetRegIpAndPort(Reg::INE2PS_MCAST_IP_A, Reg::INE2PS_MCAST_PORT_A, mc.ine2ps_ip_a, mask.ine2ps);
    (void)_SetRegIpAndPort(Reg::INE2PS_MCAST_IP_B, Reg::INE2PS_MCAST_PORT_B, mc.ine2ps_ip_b, mask.ine2ps);
    (void)_SetRegIpAndPort(Reg::SHFE4PS_MCAST_IP_A, Reg::SHFE4PS_MCAST_PORT_A, mc.shfe4ps_ip_a, mask.shfe4ps);
    (void)_SetRegIpAndPort(Reg::SHFE4PS_MCAST_IP_B, Reg::SHFE4PS_MCAST_PORT_B, mc.shfe4ps_ip_b, mask.shfe4ps);
    (void)_SetRegIpAndPort(Reg::INE4PS_MCAST_IP_A, Reg::INE4PS_MCAST_PORT_A, mc.ine4ps_ip_a, mask.ine4ps);
    (void)_SetRegIpAndPort(Reg::INE4PS_MCAST_IP_B, Reg::INE4PS_MCAST_PORT_B, mc.ine4ps_ip_b, mask.ine4ps);
    (void)m_drvRegEnyx.WriteRegister(Reg::MCAST_PROGRAMMED, 0);

    m_logServer.SetLogLevel(cfg.log_level);
    KEST_IMPL_LOG(m_logServer, LOG_INFO, "listening tcp basement data");

    // The card mirrors the snapshot connections now; the TCP handler fills
    // the tables and sets m_isTcpInitFinished once every enabled feed is done.
    while (!IsExit() && !m_isTcpInitFinished) {
        (void)m_drvDMAEnyx.RecvOnce(reinterpret_cast<void*>(&CKestShfeMdApiImpl::_TcpHandler), this);
    }
    if (IsExit()) {
        return -1;
    }
    KEST_IMPL_LOG(m_logServer, LOG_INFO, "tcp init finished, start listening udp data");

    m_logServer.SetLogLevel(static_cast<ELOGLEVEL>(31));
    (void)m_drvRegEnyx.WriteRegister(Reg::SNAPSHOT_MODE, 0);
    m_logServer.SetLogLevel(cfg.log_level);
    return 0;
}

int32_t CKestShfeMdApiImpl::_SetRegIpAndPort(uint32_t ipReg, uint32_t portReg, const CAddressType& ipAndPort,
                                             bool isEnabled) {
    if (!isEnabled) {
        (void)m_drvRegEnyx.WriteRegister(ipReg, 0);
        (void)m_drvRegEnyx.WriteRegister(portReg, 0);
        return 0;
    }
    std::vector<CAddressType> parts;
    ipAndPort.SplitByChar(parts, ':');
    if (parts.size() < 2) {
        KEST_IMPL_LOG(m_logServer, LOG_ERROR, "_SetRegIpAndPort failed");
        return -1;
    }
    const int32_t port = parts[1].ToInt32();
    KEST_IMPL_LOG(m_logServer, LOG_INFO, "%u[%s] %u[%d]", ipReg, parts[0].data(), portReg, port);
    (void)m_drvRegEnyx.WriteRegister(ipReg, Ipv4HostOrder(parts[0].data()));
    (void)m_drvRegEnyx.WriteRegister(portReg, static_cast<uint32_t>(port));
    return 0;
}

int32_t CKestShfeMdApiImpl::_StartDmaUp() {
    const int32_t channelId = m_u50ConfigInfo.channel_id;
    if (channelId != MANAGER_CHANNEL) {
        return 0;
    }
    KEST_IMPL_LOG(m_logServer, LOG_INFO, "channel%d close read/write channle", channelId);
    const uint32_t tables[4][2] = {{Reg::SHFE4PS_TABLE_WDATA, Reg::SHFE4PS_TABLE_WADDR},
                                   {Reg::SHFE2PS_TABLE_WDATA, Reg::SHFE2PS_TABLE_WADDR},
                                   {Reg::INE2PS_TABLE_WDATA, Reg::INE2PS_TABLE_WADDR},
                                   {Reg::INE4PS_TABLE_WDATA, Reg::INE4PS_TABLE_WADDR}};
    for (const auto& table : tables) {
        (void)m_drvRegEnyx.WriteRegister(table[0], Reg::TABLE_CLOSE_DATA);
        (void)m_drvRegEnyx.WriteRegister(table[1], Reg::TABLE_CLOSE_ADDR);
    }
    KEST_IMPL_LOG(m_logServer, LOG_INFO, "channel%d logical start", channelId);
    (void)m_drvRegEnyx.WriteRegister(Reg::LOGIC_START_2PS, 1);
    (void)m_drvRegEnyx.WriteRegister(Reg::LOGIC_START_4PS, 1);
    return 0;
}
