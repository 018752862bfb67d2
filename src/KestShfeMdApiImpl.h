// The implementation object: all state of one receiver (configuration,
// instrument tables, snapshot reassembly, the DMA stream pair, the delivery
// context). Large (over 7 MiB): always allocated on the heap by the factory.
#pragma once

#include <cstdint>

#include "DateType.h"
#include "FpgaConfigCommon.h"
#include "FpgaDataType.h"
#include "FpgaStructCommon.h"
#include "KestShfeMdApi.h"
#include "crc/Crc32.h"
#include "dma/DriveDMAEnyx.h"
#include "log/CommonLog.h"
#include "reg/DriveRegEnyx.h"
#include "signal/SignalProcess.h"

namespace Kest_U50 {

// An optional reference: one pointer, null when empty.
template <typename T>
class CUSTOptional {
public:
    CUSTOptional() : m_pointer(nullptr) {}
    explicit CUSTOptional(T& ref) : m_pointer(&ref) {}
    T& GetData(bool& valid) const {
        valid = (m_pointer != nullptr);
        return *m_pointer;
    }

private:
    T* m_pointer;
};

}  // namespace Kest_U50

// Delivery context handed to every poll of the card-to-host stream.
struct U50UserData {
    EUserDataType userDataType;  // CALL_BACK until a start succeeds
    void* lpMdApi;               // the implementation object; null until a start succeeds
    void* lpMdData;              // the caller's record buffer (buffer mode)
    bool isQuote;                // a record was delivered during the current poll
};

// The host copy of the card's four instrument tables.
struct U50InstTable {
    typedef SInstTableType InstTable[Kest_U50::INST_TABLE_SIZE];
    InstTable shfe2psInstTable;
    InstTable shfe4psInstTable;
    InstTable ine2psInstTable;
    InstTable ine4psInstTable;
};

// One out-of-order snapshot segment, kept from its Ethernet header on.
struct tcp_lost_buf_t {
    uint8_t buf[1600];
    uint32_t len;
    tcp_lost_buf_t* next;
    tcp_lost_buf_t* before;
};

// Reassembly state of one snapshot connection, indexed by destination port.
struct tcp_session_t {
    uint32_t src_host;  // network order
    uint32_t dst_host;  // network order
    uint16_t src_port;  // host order
    uint16_t dst_port;  // host order
    tcp_lost_buf_t* lost_buf_head;
    uint8_t* frag_buf;
    uint32_t lost_buf_size;
    uint32_t frag_buf_offset;
    uint32_t next_expt_seq;
    uint32_t current_seq;
    uint8_t frag_flag;
    uint8_t lost_flag;
    uint8_t init;
    uint8_t reserved;
};

constexpr uint32_t TCP_SESSION_COUNT = 65536;
constexpr uint32_t TCP_WORK_BUF_SIZE = 2048;
constexpr uint32_t TCP_FRAG_BUF_SIZE = 100000;
constexpr uint32_t TCP_LOST_LIST_LIMIT = 20;

class CKestShfeMdApiImplTestPeer;

class CKestShfeMdApiImpl : public CKestShfeMdApi, public Kest_U50::CSignalProcess {
    friend class CKestShfeMdApiImplTestPeer;

public:
    static constexpr int32_t MANAGER_CHANNEL = 0;

    CKestShfeMdApiImpl();
    CKestShfeMdApiImpl(const CKestShfeMdApiImpl&) = delete;
    CKestShfeMdApiImpl& operator=(const CKestShfeMdApiImpl&) = delete;

    int32_t KestRecvStart(CKestShfeMdSpi& refKestShfeMdSpi, const char* lpConfig) override;
    int32_t KestStart(CKestShfeMdSpi& refKestShfeMdSpi, const char* lpConfig) override;
    int32_t KestRecv() override;
    int32_t KestStart(const char* lpConfig) override;
    int32_t KestRecv(KestShfeMdType& refSKestShfeMd) override;

    virtual ~CKestShfeMdApiImpl();

private:
    // --- start-up (not latency-critical) ---
    int32_t Init();
    int32_t _ReadConfig();
    int32_t _BindCpu();

    // --- receive path ---
    static void _MdHandler(const unsigned char* data, unsigned int length, void* user_data);
    bool _CheckLostUdpPktHandler(uint32_t event_data0);

    // --- channel bring-up (not latency-critical) ---
    int32_t _ChechAndKestSubDmaUp();
    int32_t _GetConfigCrc(uint32_t& configCrc);
    int32_t _KestSubDmaUp(uint32_t configCrc);
    int32_t _InitFpga();
    int32_t _SetRegIpAndPort(uint32_t ipReg, uint32_t portReg, const Kest_U50::CAddressType& ipAndPort,
                             bool isEnabled);
    int32_t _StartDmaUp();

    // --- instrument tables and subscription (not latency-critical) ---
    int32_t _WriteContractTable(SInstTableType (&refInstTable)[Kest_U50::INST_TABLE_SIZE], bool isEnabled,
                                uint32_t writeAddrReg, uint32_t writeDataReg, int32_t instCount,
                                int32_t instMaxCount);
    int32_t _ContractSubscribeManager(int32_t channelID);
    int32_t _ContractUnsubscribe(SInstTableType (&refInstTable)[Kest_U50::INST_TABLE_SIZE],
                                 uint32_t readAddrReg, uint32_t readDataReg, uint32_t writeAddrReg,
                                 uint32_t writeDataReg, int32_t instCount, int32_t channelID);
    int32_t _ContractSubscribe(SInstTableType (&refInstTable)[Kest_U50::INST_TABLE_SIZE], bool isEnabled,
                               uint32_t readAddrReg, uint32_t readDataReg, uint32_t writeAddrReg,
                               uint32_t writeDataReg, int32_t instIndex, int32_t channelID,
                               Kest_U50::CInstrumentType& refInstrument);

    // --- snapshot stream reassembly and decoding (not latency-critical) ---
    static void _TcpHandler(const unsigned char* lpPacket, unsigned int length, void* user_data);
    int32_t _InitTcpSession(tcp_session_t& refSession, int32_t dstPort);
    void _ResetTcpSessions();
    static int32_t _ParseMdqp(mdqp_t* mdqp, uint16_t dstport, CKestShfeMdApiImpl& refShfeMdApiImpl);
    static int32_t _FieldID1004(packet_no_t& refPktNo, const EMDQPDataType& refMDQPDataType,
                                CKestShfeMdApiImpl& refShfeMdApiImpl);
    static int32_t _FieldID0101(inst_info_t& refInstInfo, const EMDQPDataType& refMDQPDataType,
                                CKestShfeMdApiImpl& refShfeMdApiImpl);
    static int32_t _FieldID0102(deal_info_t& refDealInfo, const EMDQPDataType& refMDQPDataType,
                                CKestShfeMdApiImpl& refShfeMdApiImpl);
    static int32_t _FieldID0103(price_detail_t& refPriceDetail, const EMDQPDataType& refMDQPDataType,
                                CKestShfeMdApiImpl& refShfeMdApiImpl);

    // Members, in the order of the object's layout.
    Kest_U50::CUSTOptional<CKestShfeMdSpi> m_kestShfeMdSpiOptional;
    Kest_U50::CConfigFileNameType m_configFileName;
    Kest_U50::CDrvDMAEnyx m_drvDMAEnyx;
    Kest_U50::CDrvRegEnyx& m_drvRegEnyx;
    Kest_U50::CCommonLog& m_logServer;
    Kest_U50::CCrc32 m_crc32;
    Kest_U50::U50ConfigInfo m_u50ConfigInfo;
    U50InstTable m_u50InstTable;
    bool m_isTcpInitFinished;
    Kest_U50::U50InstCount m_u50InstCount;
    tcp_session_t m_sessions[TCP_SESSION_COUNT];
    Kest_U50::U50DstPort m_u50DstPort;
    Kest_U50::UEnabledMask m_finishedMask;
    U50UserData m_u50UserData;
};

// Source name carried by every message of the implementation object.
#define KEST_IMPL_SOURCE_FILE "./src/KestShfeMdApiImpl.cpp"

// "[file:line] [function] " prefix of the implementation object's messages.
#define KEST_IMPL_LOG(logger, level, fmt, ...)                                                     \
    (logger).WriteLog((level), "[%s:%d] [%s] " fmt, KEST_IMPL_SOURCE_FILE, __LINE__, __FUNCTION__, \
                      ##__VA_ARGS__)
