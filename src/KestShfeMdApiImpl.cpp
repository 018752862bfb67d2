// The implementation object: factory, start-up, configuration and the
// receive path. Bring-up, tables and snapshot reassembly live in their own
// files but belong to the same object.
#include "KestShfeMdApiImpl.h"

#include <sched.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>
#include <string>

#include "FpgaRegisterCommon.h"
#include "config/IniReader.h"

using namespace Kest_U50;

namespace {

// The version number comes from the build (the project's version), so the
// start-up line and the installed package can never disagree.
#ifndef KEST_VERSION_TEXT
#error "KEST_VERSION_TEXT (the project version, e.g. \"1.1.1.9\") must be defined by the build"
#endif

// Build time and version of the library, fixed when it is loaded.
const CBufferType KEST_U50_VERSION(__DATE__ " " __TIME__ " V" KEST_VERSION_TEXT);

// The compiler may assume a reference is never null; the factory's contract
// (a reference whose address is null when memory is short) needs the
// address tested without that assumption.
inline bool IsNullAddress(const CKestShfeMdApi* address) {
    asm("" : "+r"(address));
    return address == nullptr;
}

__attribute__((no_sanitize("null"))) CKestShfeMdApi& NullApiReference() {
    CKestShfeMdApi* address = nullptr;
    asm("" : "+r"(address));
    return *address;
}

}  // namespace

// ---------------------------------------------------------------------------
// Factory (the library's only exported functions besides the interface's own)
// ---------------------------------------------------------------------------

CKestShfeMdApi& CKestShfeMdApi::CreateKestShfeMdApi() {
    CKestShfeMdApiImpl* impl = new (std::nothrow) CKestShfeMdApiImpl();
    if (impl == nullptr) {
        return NullApiReference();
    }
    return *impl;
}

void CKestShfeMdApi::DestroyKestShfeMdApi(CKestShfeMdApi& refKestShfeMdApi) {
    if (IsNullAddress(&refKestShfeMdApi)) {
        return;
    }
    delete static_cast<CKestShfeMdApiImpl*>(&refKestShfeMdApi);
}

// ---------------------------------------------------------------------------
// Construction and destruction
// ---------------------------------------------------------------------------

CKestShfeMdApiImpl::CKestShfeMdApiImpl()
    : m_kestShfeMdSpiOptional(),
      m_configFileName(),
      m_drvDMAEnyx(),
      m_drvRegEnyx(CDrvRegEnyx::GetInstance()),
      m_logServer(CCommonLog::GetInstance()),
      m_crc32(),
      m_u50ConfigInfo(),
      m_isTcpInitFinished(false),
      m_u50InstCount(),
      m_u50DstPort(),
      m_finishedMask(),
      m_u50UserData() {
    // The configuration record is a plain aggregate of fixed strings and
    // numbers: zero it as raw bytes, then give it its constructed values.
    std::memset(static_cast<void*>(&m_u50ConfigInfo), 0, sizeof(m_u50ConfigInfo));
    new (&m_u50ConfigInfo) U50ConfigInfo();
    std::memset(static_cast<void*>(&m_u50InstTable), 0, sizeof(m_u50InstTable));
    std::memset(static_cast<void*>(m_sessions), 0, sizeof(m_sessions));
    m_finishedMask.enabled_mask = 0;
    m_u50UserData.userDataType = CALL_BACK;
    m_u50UserData.lpMdApi = nullptr;
    m_u50UserData.lpMdData = nullptr;
    m_u50UserData.isQuote = false;
}

CKestShfeMdApiImpl::~CKestShfeMdApiImpl() {
    // Fragment buffers and out-of-order nodes; the DMA member closes its streams.
    _ResetTcpSessions();
}

// ---------------------------------------------------------------------------
// Start operations (not latency-critical)
// ---------------------------------------------------------------------------

int32_t CKestShfeMdApiImpl::KestStart(CKestShfeMdSpi& refKestShfeMdSpi, const char* lpConfig) {
    if (lpConfig == nullptr) {
        KEST_IMPL_LOG(m_logServer, LOG_ERROR, "lpConfig is nullptr");
        return -1;
    }
    m_kestShfeMdSpiOptional = CUSTOptional<CKestShfeMdSpi>(refKestShfeMdSpi);
    m_configFileName.UnSafeCopyFrom(lpConfig);
    // A repeated start makes the object un-started until it succeeds again,
    // so that polls in between touch no half-opened stream.
    m_u50UserData.lpMdApi = nullptr;
    if (Init() != 0) {
        KEST_IMPL_LOG(m_logServer, LOG_ERROR, "_Init error");
        return -2;
    }
    m_u50UserData.lpMdApi = this;
    m_u50UserData.userDataType = CALL_BACK;
    return 0;
}

int32_t CKestShfeMdApiImpl::KestStart(const char* lpConfig) {
    if (lpConfig == nullptr) {
        KEST_IMPL_LOG(m_logServer, LOG_ERROR, "lpConfig is nullptr");
        return -1;
    }
    m_configFileName.UnSafeCopyFrom(lpConfig);
    m_u50UserData.lpMdApi = nullptr;
    if (Init() != 0) {
        KEST_IMPL_LOG(m_logServer, LOG_ERROR, "_Init error");
        return -2;
    }
    m_u50UserData.lpMdApi = this;
    m_u50UserData.userDataType = BUFF_FETCH;
    return 0;
}

int32_t CKestShfeMdApiImpl::KestRecvStart(CKestShfeMdSpi& refKestShfeMdSpi, const char* lpConfig) {
    CKestShfeMdApi& api = *this;
    if (api.KestStart(refKestShfeMdSpi, lpConfig) != 0) {
        return -1;
    }
    while (api.KestRecv() != -1) {
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Polls: the quote path
// ---------------------------------------------------------------------------

int32_t CKestShfeMdApiImpl::KestRecv() {
    if (__builtin_expect(IsExit(), 0)) {
        return -1;
    }
    // Not started, or buffer mode before any buffer was named: nothing to
    // poll into. The record stays in the ring for a later poll.
    if (__builtin_expect(m_u50UserData.lpMdApi == nullptr, 0) ||
        __builtin_expect(m_u50UserData.userDataType != CALL_BACK && m_u50UserData.lpMdData == nullptr, 0)) {
        return 0;
    }
    m_u50UserData.isQuote = false;
    m_drvDMAEnyx.RecvOnce(reinterpret_cast<void*>(&CKestShfeMdApiImpl::_MdHandler), &m_u50UserData);
    return m_u50UserData.isQuote ? 1 : 0;
}

int32_t CKestShfeMdApiImpl::KestRecv(KestShfeMdType& refSKestShfeMd) {
    if (__builtin_expect(IsExit(), 0)) {
        return -1;
    }
    if (__builtin_expect(m_u50UserData.lpMdApi == nullptr, 0)) {
        return 0;
    }
    m_u50UserData.lpMdData = &refSKestShfeMd;
    m_u50UserData.isQuote = false;
    m_drvDMAEnyx.RecvOnce(reinterpret_cast<void*>(&CKestShfeMdApiImpl::_MdHandler), &m_u50UserData);
    return m_u50UserData.isQuote ? 1 : 0;
}

void CKestShfeMdApiImpl::_MdHandler(const unsigned char* data, unsigned int length, void* user_data) {
    U50UserData* const userData = static_cast<U50UserData*>(user_data);
    if (__builtin_expect(userData == nullptr, 0)) {
        KEST_IMPL_LOG(CCommonLog::GetInstance(), LOG_ERROR, "user_data is nullptr");
        return;
    }
    CKestShfeMdApiImpl* const impl = static_cast<CKestShfeMdApiImpl*>(userData->lpMdApi);

    if (__builtin_expect(length >= DMA_QUOTE_MSG_SIZE, 1)) {
        uint32_t dmaType;
        std::memcpy(&dmaType, data, sizeof(dmaType));
        if (__builtin_expect(dmaType == DMA_UDP, 1)) {
            if (userData->userDataType == CALL_BACK) {
                bool valid = false;
                CKestShfeMdSpi& spi = impl->m_kestShfeMdSpiOptional.GetData(valid);
                if (__builtin_expect(!valid, 0)) {
                    KEST_IMPL_LOG(impl->m_logServer, LOG_ERROR, "refMdSpi is nullptr");
                    return;
                }
                userData->isQuote = true;
                spi.OnShfeMdData(reinterpret_cast<const KestShfeMdType*>(data + DMA_PAYLOAD_OFFSET));
            } else if (userData->userDataType == BUFF_FETCH) {
                std::memcpy(userData->lpMdData, data + DMA_PAYLOAD_OFFSET, sizeof(KestShfeMdType));
                userData->isQuote = true;
            }
            return;
        }
        if (dmaType == DMA_EVENT) {
            uint32_t eventWord;
            std::memcpy(&eventWord, data + DMA_PAYLOAD_OFFSET, sizeof(eventWord));
            if (impl->_CheckLostUdpPktHandler(eventWord)) {
                (void)impl->_KestSubDmaUp(0);
            }
        }
        return;
    }

    // Shorter than a quote: events (32 bytes) and anything truncated.
    if (length < sizeof(uint32_t)) {
        KEST_IMPL_LOG(impl->m_logServer, LOG_WARNING, "short DMA message dropped, length[%u]", length);
        return;
    }
    uint32_t dmaType;
    std::memcpy(&dmaType, data, sizeof(dmaType));
    if (dmaType == DMA_EVENT) {
        if (length < DMA_PAYLOAD_OFFSET + sizeof(uint32_t)) {
            KEST_IMPL_LOG(impl->m_logServer, LOG_WARNING, "short DMA message dropped, type[%u] length[%u]",
                          dmaType, length);
            return;
        }
        uint32_t eventWord;
        std::memcpy(&eventWord, data + DMA_PAYLOAD_OFFSET, sizeof(eventWord));
        if (impl->_CheckLostUdpPktHandler(eventWord)) {
            (void)impl->_KestSubDmaUp(0);
        }
    } else if (dmaType == DMA_UDP) {
        KEST_IMPL_LOG(impl->m_logServer, LOG_WARNING, "short DMA message dropped, type[%u] length[%u]",
                      dmaType, length);
    }
}

// Not latency-critical: runs only for card events.
bool CKestShfeMdApiImpl::_CheckLostUdpPktHandler(uint32_t event_data0) {
    if ((event_data0 & LOST_PKT_EVENT_MASK) == 0) {
        return false;
    }
    uint64_t lastUpdateTime[Reg::LAST_UPDATE_TIME_COUNT] = {0, 0, 0, 0};
    for (uint32_t i = 0; i < Reg::LAST_UPDATE_TIME_COUNT; ++i) {
        (void)m_drvRegEnyx.ReadRegister(Reg::LAST_UPDATE_TIME_0 + i, lastUpdateTime[i]);
    }
    int64_t newest = 0;
    for (uint32_t i = 0; i < Reg::LAST_UPDATE_TIME_COUNT; ++i) {
        const int64_t t = static_cast<int64_t>(lastUpdateTime[i]);
        if (t > newest) {
            newest = t;
        }
    }
    const time_t seconds = static_cast<time_t>(newest);
    struct tm local;
    std::memset(&local, 0, sizeof(local));
    localtime_r(&seconds, &local);
    const int hour = local.tm_hour;
    const int minute = local.tm_min;

    // Minutes around the sessions' opening, breaks and close, when the
    // exchange's feeds are known to pause: a gap then is not a loss.
    bool ignored = false;
    switch (hour) {
        case 8:
        case 20:
            ignored = (minute >= 55 && minute <= 59);
            break;
        case 9:
        case 21:
            ignored = (minute == 0);
            break;
        case 10:
            ignored = (minute == 15 || minute == 30);
            break;
        case 11:
        case 13:
        case 2:
            ignored = (minute == 30);
            break;
        case 15:
            ignored = true;
            break;
        default:
            break;
    }
    if (ignored) {
        KEST_IMPL_LOG(m_logServer, LOG_INFO,
                      "received lost pkt event, ignore. event=%u last_update_time[%u,%u,%u,%u] ts[%u,%u]",
                      event_data0, static_cast<uint32_t>(lastUpdateTime[0]),
                      static_cast<uint32_t>(lastUpdateTime[1]), static_cast<uint32_t>(lastUpdateTime[2]),
                      static_cast<uint32_t>(lastUpdateTime[3]), static_cast<uint32_t>(hour),
                      static_cast<uint32_t>(minute));
        return false;
    }
    KEST_IMPL_LOG(m_logServer, LOG_WARNING,
                  "received lost pkt event, event=%u last_update_time[%u,%u,%u,%u] ts[%u,%u]", event_data0,
                  static_cast<uint32_t>(lastUpdateTime[0]), static_cast<uint32_t>(lastUpdateTime[1]),
                  static_cast<uint32_t>(lastUpdateTime[2]), static_cast<uint32_t>(lastUpdateTime[3]),
                  static_cast<uint32_t>(hour), static_cast<uint32_t>(minute));
    m_finishedMask.enabled_mask = 0;
    m_u50DstPort.port_shfe_2ps = 0;
    m_u50DstPort.port_shfe_4ps = 0;
    m_u50DstPort.port_ine_2ps = 0;
    m_u50DstPort.port_ine_4ps = 0;
    m_isTcpInitFinished = false;
    return true;
}

// ---------------------------------------------------------------------------
// Start-up sequence (not latency-critical)
// ---------------------------------------------------------------------------

int32_t CKestShfeMdApiImpl::Init() {
    KEST_IMPL_LOG(m_logServer, LOG_INFO, "KEST_U50_VERSION[%s]", KEST_U50_VERSION.data());
    (void)InitSignal();

    if (_ReadConfig() != 0) {
        KEST_IMPL_LOG(m_logServer, LOG_ERROR, "_ReadConfig failed");
        return -2;
    }
    m_logServer.SetLogLevel(m_u50ConfigInfo.log_level);
    (void)_BindCpu();

    const uint16_t busId = static_cast<uint16_t>(m_u50ConfigInfo.bus_id);
    if (m_drvRegEnyx.Init(busId, Reg::DESIGN_CORE_ID) != 0) {
        KEST_IMPL_LOG(m_logServer, LOG_ERROR, "Reg Init failed");
        return -4;
    }

    CFPGADMANameType dmaName("CUSTOM_CHAN");
    dmaName.Append(static_cast<int32_t>(m_u50ConfigInfo.channel_id));
    dmaName.Append("_DATA");
    // A repeated start acquires the streams again: close the ones held.
    m_drvDMAEnyx.Release();
    if (m_drvDMAEnyx.Init(busId, dmaName) != 0) {
        KEST_IMPL_LOG(m_logServer, LOG_ERROR, "DMA Init failed");
        return -3;
    }

    m_logServer.SetLogLevel(static_cast<ELOGLEVEL>(31));
    uint32_t compileDate = 0;
    uint32_t compileVersion = 0;
    (void)m_drvRegEnyx.ReadRegister(Reg::COMPILE_DATE, compileDate);
    (void)m_drvRegEnyx.ReadRegister(Reg::COMPILE_VER, compileVersion);
    KEST_IMPL_LOG(m_logServer, LOG_INFO, "FPGA COMPILE_DATE[%08x] COMPILE_VER[%08x]", compileDate,
                  compileVersion);
    m_logServer.SetLogLevel(m_u50ConfigInfo.log_level);

    return _ChechAndKestSubDmaUp();
}

int32_t CKestShfeMdApiImpl::_BindCpu() {
    const int32_t cpucore = m_u50ConfigInfo.cpucore;
    if (cpucore == -1) {
        KEST_IMPL_LOG(m_logServer, LOG_WARNING, "could not set CPU[%d] affinity", cpucore);
        return -1;
    }
    cpu_set_t cpuSet;  // 1024 bits
    CPU_ZERO(&cpuSet);
    const uint64_t cpu = static_cast<uint64_t>(static_cast<int64_t>(cpucore));
    if (cpu < 1024) {
        CPU_SET(static_cast<size_t>(cpu), &cpuSet);
    }
    if (sched_setaffinity(0, sizeof(cpuSet), &cpuSet) != 0) {
        KEST_IMPL_LOG(m_logServer, LOG_WARNING, "set CPU[%d] affinity failed.", cpucore);
        return -1;
    }
    KEST_IMPL_LOG(m_logServer, LOG_DEBUG, "set CPU[%d] affinity successful.", cpucore);
    return 0;
}

int32_t CKestShfeMdApiImpl::_ReadConfig() {
    CIniReader iniReader;
    if (!iniReader.ReadConfig(m_configFileName.data())) {
        KEST_IMPL_LOG(m_logServer, LOG_ERROR, "ReadConfig %s failed", m_configFileName.data());
        return -1;
    }
    U50ConfigInfo& cfg = m_u50ConfigInfo;
    static const char* const kConfig = "config";

    cfg.log_level = static_cast<ELOGLEVEL>(iniReader.ReadInt32(kConfig, "log_level", 15));
    cfg.cpucore = iniReader.ReadInt32(kConfig, "cpucore", -1);
    const std::string device = iniReader.ReadString(kConfig, "device", "xilinx0:0");
    // A number that does not scan leaves its field as it was.
    (void)std::sscanf(device.c_str(), "xilinx%d:%d", &cfg.bus_id, &cfg.channel_id);

    KEST_IMPL_LOG(m_logServer, LOG_DEBUG, "log_level[%d]", static_cast<int32_t>(cfg.log_level));
    KEST_IMPL_LOG(m_logServer, LOG_DEBUG, "cpucore[%d]", cfg.cpucore);
    KEST_IMPL_LOG(m_logServer, LOG_DEBUG, "bus_id[%d] channel_id[%d]", cfg.bus_id, cfg.channel_id);

    if (cfg.channel_id != MANAGER_CHANNEL) {
        return 0;
    }

    cfg.enabled_mask.shfe2ps = (iniReader.ReadString(kConfig, "shfe2ps", "enabled") == "enabled") ? 1 : 0;
    cfg.enabled_mask.shfe4ps = (iniReader.ReadString(kConfig, "shfe4ps", "disabled") == "enabled") ? 1 : 0;
    cfg.enabled_mask.ine2ps = (iniReader.ReadString(kConfig, "ine2ps", "disabled") == "enabled") ? 1 : 0;
    cfg.enabled_mask.ine4ps = (iniReader.ReadString(kConfig, "ine4ps", "enabled") == "enabled") ? 1 : 0;

    U50MultiIpAndPort& mc = cfg.multiIpAndPort;
    mc.shfe2ps_ip_a.UnSafeCopyFrom(
        iniReader.ReadString(kConfig, "shfe2ps_ip_a", "239.3.42.71:21000").c_str());
    mc.shfe2ps_ip_b.UnSafeCopyFrom(
        iniReader.ReadString(kConfig, "shfe2ps_ip_b", "239.4.42.72:21000").c_str());
    mc.shfe4ps_ip_a.UnSafeCopyFrom(iniReader.ReadString(kConfig, "shfe4ps_ip_a", "239.3.2.3:21101").c_str());
    mc.shfe4ps_ip_b.UnSafeCopyFrom(iniReader.ReadString(kConfig, "shfe4ps_ip_b", "239.4.2.4:21101").c_str());
    mc.ine2ps_ip_a.UnSafeCopyFrom(iniReader.ReadString(kConfig, "ine2ps_ip_a", "239.3.52.71:25000").c_str());
    mc.ine2ps_ip_b.UnSafeCopyFrom(iniReader.ReadString(kConfig, "ine2ps_ip_b", "239.4.52.72:25000").c_str());
    mc.ine4ps_ip_a.UnSafeCopyFrom(iniReader.ReadString(kConfig, "ine4ps_ip_a", "239.3.151.91:25101").c_str());
    mc.ine4ps_ip_b.UnSafeCopyFrom(iniReader.ReadString(kConfig, "ine4ps_ip_b", "239.4.151.92:25101").c_str());

    cfg.topicID.shfe2ps_topic_id = iniReader.ReadInt32(kConfig, "shfe2ps_topic_id", 1000);
    cfg.topicID.shfe4ps_topic_id = iniReader.ReadInt32(kConfig, "shfe4ps_topic_id", 1101);
    cfg.topicID.ine2ps_topic_id = iniReader.ReadInt32(kConfig, "ine2ps_topic_id", 5000);
    cfg.topicID.ine4ps_topic_id = iniReader.ReadInt32(kConfig, "ine4ps_topic_id", 5101);
    cfg.snapTcpPort.shfe2ps_snap_port = iniReader.ReadUInt16(kConfig, "shfe2ps_snap_port", 33022);
    cfg.snapTcpPort.shfe4ps_snap_port = iniReader.ReadUInt16(kConfig, "shfe4ps_snap_port", 22000);
    cfg.snapTcpPort.ine2ps_snap_port = iniReader.ReadUInt16(kConfig, "ine2ps_snap_port", 33022);
    cfg.snapTcpPort.ine4ps_snap_port = iniReader.ReadUInt16(kConfig, "ine4ps_snap_port", 22000);
    cfg.maxInstNo.shfe2ps_max_inst_no = iniReader.ReadInt32(kConfig, "shfe2ps_max_inst_no", 81000);
    cfg.maxInstNo.shfe4ps_max_inst_no = iniReader.ReadInt32(kConfig, "shfe4ps_max_inst_no", 81101);
    cfg.maxInstNo.ine2ps_max_inst_no = iniReader.ReadInt32(kConfig, "ine2ps_max_inst_no", 85000);
    cfg.maxInstNo.ine4ps_max_inst_no = iniReader.ReadInt32(kConfig, "ine4ps_max_inst_no", 85101);

    cfg.last_tick_channel = iniReader.ReadUInt32(kConfig, "last_tick_channel", 0) & 0xFFFFu;
    cfg.detect_interval = 4294967295u;
    cfg.board_id = iniReader.ReadInt32(kConfig, "board_id", 0);

    cfg.DSTMAC.UnSafeCopyFrom(iniReader.ReadString(kConfig, "DSTMAC", "").c_str());
    cfg.DSTIP.UnSafeCopyFrom(iniReader.ReadString(kConfig, "DSTIP", "").c_str());
    cfg.DSTPORT = iniReader.ReadUInt16(kConfig, "DSTPORT", 0);
    cfg.SRCMAC.UnSafeCopyFrom(iniReader.ReadString(kConfig, "SRCMAC", "").c_str());
    cfg.SRCIP.UnSafeCopyFrom(iniReader.ReadString(kConfig, "SRCIP", "").c_str());
    cfg.SRCPORT = iniReader.ReadUInt16(kConfig, "SRCPORT", 0);
    cfg.TARGETROUTE = iniReader.ReadInt32(kConfig, "TARGETROUTE", 0);
    cfg.crc_mux_check = (iniReader.ReadUInt16(kConfig, "crc_mux_check", 0) == 1);

    KEST_IMPL_LOG(m_logServer, LOG_DEBUG, "enabled_mask[%d]",
                  static_cast<int32_t>(cfg.enabled_mask.enabled_mask));
    KEST_IMPL_LOG(m_logServer, LOG_DEBUG, "shfe2ps_ip_a[%s]", mc.shfe2ps_ip_a.data());
    KEST_IMPL_LOG(m_logServer, LOG_DEBUG, "shfe2ps_ip_b[%s]", mc.shfe2ps_ip_b.data());
    KEST_IMPL_LOG(m_logServer, LOG_DEBUG, "shfe4ps_ip_a[%s]", mc.shfe4ps_ip_a.data());
    KEST_IMPL_LOG(m_logServer, LOG_DEBUG, "shfe4ps_ip_b[%s]", mc.shfe4ps_ip_b.data());
    KEST_IMPL_LOG(m_logServer, LOG_DEBUG, "ine2ps_ip_a[%s]", mc.ine2ps_ip_a.data());
    KEST_IMPL_LOG(m_logServer, LOG_DEBUG, "ine2ps_ip_b[%s]", mc.ine2ps_ip_b.data());
    KEST_IMPL_LOG(m_logServer, LOG_DEBUG, "ine4ps_ip_a[%s]", mc.ine4ps_ip_a.data());
    KEST_IMPL_LOG(m_logServer, LOG_DEBUG, "ine4ps_ip_b[%s]", mc.ine4ps_ip_b.data());
    KEST_IMPL_LOG(m_logServer, LOG_DEBUG, "shfe2ps_topic_id[%d]", cfg.topicID.shfe2ps_topic_id);
    KEST_IMPL_LOG(m_logServer, LOG_DEBUG, "shfe4ps_topic_id[%d]", cfg.topicID.shfe4ps_topic_id);
    KEST_IMPL_LOG(m_logServer, LOG_DEBUG, "ine2ps_topic_id[%d]", cfg.topicID.ine2ps_topic_id);
    KEST_IMPL_LOG(m_logServer, LOG_DEBUG, "ine4ps_topic_id[%d]", cfg.topicID.ine4ps_topic_id);
    KEST_IMPL_LOG(m_logServer, LOG_DEBUG, "shfe2ps_snap_port[%d]", cfg.snapTcpPort.shfe2ps_snap_port);
    KEST_IMPL_LOG(m_logServer, LOG_DEBUG, "shfe4ps_snap_port[%d]", cfg.snapTcpPort.shfe4ps_snap_port);
    KEST_IMPL_LOG(m_logServer, LOG_DEBUG, "ine2ps_snap_port[%d]", cfg.snapTcpPort.ine2ps_snap_port);
    KEST_IMPL_LOG(m_logServer, LOG_DEBUG, "ine4ps_snap_port[%d]", cfg.snapTcpPort.ine4ps_snap_port);
    KEST_IMPL_LOG(m_logServer, LOG_DEBUG, "shfe2ps_max_inst_no[%d]", cfg.maxInstNo.shfe2ps_max_inst_no);
    KEST_IMPL_LOG(m_logServer, LOG_DEBUG, "shfe4ps_max_inst_no[%d]", cfg.maxInstNo.shfe4ps_max_inst_no);
    KEST_IMPL_LOG(m_logServer, LOG_DEBUG, "ine2ps_max_inst_no[%d]", cfg.maxInstNo.ine2ps_max_inst_no);
    KEST_IMPL_LOG(m_logServer, LOG_DEBUG, "ine4ps_max_inst_no[%d]", cfg.maxInstNo.ine4ps_max_inst_no);
    KEST_IMPL_LOG(m_logServer, LOG_DEBUG, "last_tick_channel[%u]", cfg.last_tick_channel);
    KEST_IMPL_LOG(m_logServer, LOG_DEBUG, "detect_interval[%u]", cfg.detect_interval);
    KEST_IMPL_LOG(m_logServer, LOG_DEBUG, "board_id[%d]", cfg.board_id);
    KEST_IMPL_LOG(m_logServer, LOG_DEBUG, "DSTMAC[%s]", cfg.DSTMAC.data());
    KEST_IMPL_LOG(m_logServer, LOG_DEBUG, "DSTIP[%s]", cfg.DSTIP.data());
    KEST_IMPL_LOG(m_logServer, LOG_DEBUG, "DSTPORT[%d]", cfg.DSTPORT);
    KEST_IMPL_LOG(m_logServer, LOG_DEBUG, "SRCMAC[%s]", cfg.SRCMAC.data());
    KEST_IMPL_LOG(m_logServer, LOG_DEBUG, "SRCIP[%s]", cfg.SRCIP.data());
    KEST_IMPL_LOG(m_logServer, LOG_DEBUG, "SRCPORT[%d]", cfg.SRCPORT);
    KEST_IMPL_LOG(m_logServer, LOG_DEBUG, "TARGETROUTE[%d]", cfg.TARGETROUTE);
    KEST_IMPL_LOG(m_logServer, LOG_DEBUG, "crc_mux_check[%d]", cfg.crc_mux_check ? 1 : 0);

    for (int32_t channelIndex = 0; channelIndex < CHANNEL_SIZE; ++channelIndex) {
        CChannelNameType section("channel");
        section.Append(channelIndex);
        U50ChannelInfo& channel = cfg.channelInfo[channelIndex];
        channel.insts.UnSafeCopyFrom(iniReader.ReadString(section.data(), "insts", "").c_str());
        channel.options = (iniReader.ReadString(section.data(), "options", "norecv") == "recv");
        channel.recvall = (channel.insts.Comp("all") == 0);
    }
    return 0;
}
