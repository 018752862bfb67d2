// Shared pieces of the snapshot-path tests: access to the implementation
// object's private state, a process-wide card of the model with the register
// singleton opened on it, log reading, and builders of MDQP messages and
// mirrored frames.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "FpgaRegisterCommon.h"
#include "KestShfeMdApiImpl.h"
#include "TestSupport.h"
#include "exchangesim/TcpSegmenter.h"
#include "kest_cardsim.h"
#include "log/CommonLog.h"
#include "reg/DriveRegEnyx.h"

// The implementation object's private state, for the tests only.
class CKestShfeMdApiImplTestPeer {
public:
    explicit CKestShfeMdApiImplTestPeer(CKestShfeMdApiImpl& impl) : impl_(impl) {}

    Kest_U50::U50ConfigInfo& Config() { return impl_.m_u50ConfigInfo; }
    U50InstTable& Tables() { return impl_.m_u50InstTable; }
    Kest_U50::U50InstCount& Counts() { return impl_.m_u50InstCount; }
    tcp_session_t& Session(uint16_t port) { return impl_.m_sessions[port]; }
    Kest_U50::U50DstPort& Ports() { return impl_.m_u50DstPort; }
    Kest_U50::UEnabledMask& Finished() { return impl_.m_finishedMask; }
    bool& TcpInitFinished() { return impl_.m_isTcpInitFinished; }

    SInstTableType (&Table(EMDQPDataType feed))[Kest_U50::INST_TABLE_SIZE] {
        switch (feed) {
            case SHFE_4PS:
                return impl_.m_u50InstTable.shfe4psInstTable;
            case INE_2PS:
                return impl_.m_u50InstTable.ine2psInstTable;
            case INE_4PS:
                return impl_.m_u50InstTable.ine4psInstTable;
            case SHFE_2PS:
            default:
                return impl_.m_u50InstTable.shfe2psInstTable;
        }
    }
    uint64_t Count(EMDQPDataType feed) {
        const Kest_U50::U50InstCount& c = impl_.m_u50InstCount;
        const uint64_t counts[4] = {c.shfe_inst_cnt_2ps, c.shfe_inst_cnt_4ps, c.ine_inst_cnt_2ps,
                                    c.ine_inst_cnt_4ps};
        return counts[feed];
    }

    void Handle(const std::vector<uint8_t>& dma) {
        CKestShfeMdApiImpl::_TcpHandler(dma.data(), static_cast<unsigned int>(dma.size()), &impl_);
    }
    static void HandleRaw(const unsigned char* data, unsigned int length, void* user) {
        CKestShfeMdApiImpl::_TcpHandler(data, length, user);
    }
    int32_t InitTcpSession(tcp_session_t& s, int32_t port) { return impl_._InitTcpSession(s, port); }
    void ResetTcpSessions() { impl_._ResetTcpSessions(); }
    int32_t ParseMdqp(std::vector<uint8_t>& message, uint16_t port) {
        return CKestShfeMdApiImpl::_ParseMdqp(reinterpret_cast<mdqp_t*>(message.data()), port, impl_);
    }
    int32_t WriteContractTable(EMDQPDataType feed, bool enabled, int32_t count) {
        const uint32_t addr[4] = {Kest_U50::Reg::SHFE2PS_TABLE_WADDR, Kest_U50::Reg::SHFE4PS_TABLE_WADDR,
                                  Kest_U50::Reg::INE2PS_TABLE_WADDR, Kest_U50::Reg::INE4PS_TABLE_WADDR};
        const int32_t size[4] = {4096, 4096, 1024, 1024};
        return impl_._WriteContractTable(Table(feed), enabled, addr[feed], addr[feed] + 1, count, size[feed]);
    }
    int32_t SubscribeManager(int32_t channel) { return impl_._ContractSubscribeManager(channel); }
    int32_t Unsubscribe(EMDQPDataType feed, int32_t count, int32_t channel) {
        const uint32_t w = WriteAddr(feed);
        return impl_._ContractUnsubscribe(Table(feed), w + 2, w + 3, w, w + 1, count, channel);
    }
    int32_t Subscribe(EMDQPDataType feed, bool enabled, int32_t index, int32_t channel,
                      Kest_U50::CInstrumentType& token) {
        const uint32_t w = WriteAddr(feed);
        return impl_._ContractSubscribe(Table(feed), enabled, w + 2, w + 3, w, w + 1, index, channel, token);
    }
    static uint32_t WriteAddr(EMDQPDataType feed) {
        const uint32_t addr[4] = {Kest_U50::Reg::SHFE2PS_TABLE_WADDR, Kest_U50::Reg::SHFE4PS_TABLE_WADDR,
                                  Kest_U50::Reg::INE2PS_TABLE_WADDR, Kest_U50::Reg::INE4PS_TABLE_WADDR};
        return addr[feed];
    }

private:
    CKestShfeMdApiImpl& impl_;
};

namespace snapshot_test {

using Peer = CKestShfeMdApiImplTestPeer;

// One card of the model per test process, in a private namespace, with the
// product's register singleton opened on it; the process works in a private
// temporary directory where the logger puts its file.
class CardEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        dir_.reset(new kest_test::ScopedTempDir());
        kest_test::UsePrivateCardNamespace("snapshot");
        kest_sim::CardOptions options;
        options.a2c_ring_bytes = 4096;
        options.c2a_ring_bytes = 4096;
        ASSERT_EQ(kest_sim::CreateCard(0, options), 0);
        ASSERT_EQ(Kest_U50::CDrvRegEnyx::GetInstance().Init(0, Kest_U50::Reg::DESIGN_CORE_ID), 0);
    }
    void TearDown() override {
        kest_sim::RemoveCard(0);
        dir_.reset();
    }

private:
    std::unique_ptr<kest_test::ScopedTempDir> dir_;
};

// Registers the environment once per test executable.
inline void RegisterCardEnvironment() {
    static bool done = false;
    if (!done) {
        ::testing::AddGlobalTestEnvironment(new CardEnvironment());
        done = true;
    }
}

// Log lines written after a mark.
class LogWatch {
public:
    LogWatch() { mark_ = Whole().size(); }
    std::string Since() const {
        const std::string all = Whole();
        return all.size() > mark_ ? all.substr(mark_) : std::string();
    }
    bool Has(const std::string& text) const { return Since().find(text) != std::string::npos; }
    size_t CountOf(const std::string& text) const {
        const std::string s = Since();
        size_t n = 0;
        for (size_t p = s.find(text); p != std::string::npos; p = s.find(text, p + 1)) ++n;
        return n;
    }

private:
    static std::string Whole() {
        const std::string name = Kest_U50::CCommonLog::GetInstance().GetLogFileName();
        return name.empty() ? std::string() : kest_test::ReadFile(name);
    }
    size_t mark_ = 0;
};

// Base fixture: a fresh card, a fresh object on the heap with the default
// snapshot ports and topic ids and all four feeds enabled.
class SnapshotFixture : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(kest_sim::ResetCard(0), 0);
        card_ = kest_sim::Card::Open(0);
        ASSERT_NE(card_, nullptr);
        Kest_U50::CCommonLog::GetInstance().SetLogLevel(Kest_U50::LOG_ERROR | Kest_U50::LOG_WARNING |
                                                        Kest_U50::LOG_INFO | Kest_U50::LOG_DEBUG);
        impl_ = new (std::nothrow) CKestShfeMdApiImpl();
        ASSERT_NE(impl_, nullptr);
        peer_.reset(new Peer(*impl_));
        Kest_U50::U50ConfigInfo& cfg = peer_->Config();
        cfg.enabled_mask.enabled_mask = 0x0F;
        cfg.topicID.shfe2ps_topic_id = 1000;
        cfg.topicID.shfe4ps_topic_id = 1101;
        cfg.topicID.ine2ps_topic_id = 5000;
        cfg.topicID.ine4ps_topic_id = 5101;
        cfg.snapTcpPort.shfe2ps_snap_port = 33022;
        cfg.snapTcpPort.shfe4ps_snap_port = 22000;
        cfg.snapTcpPort.ine2ps_snap_port = 33022;
        cfg.snapTcpPort.ine4ps_snap_port = 22000;
    }
    void TearDown() override {
        peer_.reset();
        delete impl_;
        impl_ = nullptr;
    }

    CKestShfeMdApiImpl* impl_ = nullptr;
    std::unique_ptr<Peer> peer_;
    std::unique_ptr<kest_sim::Card> card_;
};

// --- MDQP messages built by hand ---------------------------------------------------

class MessageBuilder {
public:
    explicit MessageBuilder(uint8_t flag = MDQP_FLAG_MORE, int8_t type = MDQP_TYPE_SNAPSHOT) {
        mdqp_t h{};
        h.flag = flag;
        h.type_id = type;
        Append(&h, sizeof h);
    }
    template <typename T>
    MessageBuilder& Field(uint16_t id, const T& payload) {
        return Raw(id, &payload, sizeof payload);
    }
    MessageBuilder& Raw(uint16_t id, const void* payload, size_t size, size_t declared = SIZE_MAX) {
        field_t f{id, static_cast<uint16_t>(declared == SIZE_MAX ? size : declared)};
        Append(&f, sizeof f);
        Append(payload, size);
        return *this;
    }
    MessageBuilder& Snap(int16_t topic, int32_t snapNo = 1) {
        snap_t s{topic, snapNo};
        return Field(MDQP_FIELD_SNAP, s);
    }
    MessageBuilder& PacketNo(int32_t no) {
        packet_no_t p{no};
        return Field(MDQP_FIELD_PACKET_NO, p);
    }
    MessageBuilder& Bytes(const void* p, size_t n) {
        Append(p, n);
        return *this;
    }
    // The message with its length field set to what follows the header
    // (or to `length` when given).
    std::vector<uint8_t> Build(int32_t length = -1) const {
        std::vector<uint8_t> out = bytes_;
        const uint16_t len = static_cast<uint16_t>(length >= 0 ? length : out.size() - sizeof(mdqp_t));
        std::memcpy(out.data() + offsetof(mdqp_t, length), &len, sizeof len);
        return out;
    }

private:
    void Append(const void* p, size_t n) {
        const uint8_t* b = static_cast<const uint8_t*>(p);
        bytes_.insert(bytes_.end(), b, b + n);
    }
    std::vector<uint8_t> bytes_;
};

inline inst_info_t InstInfo(int32_t instNo, const char* id, double tick = 0.2, double codec = 4000.0,
                            int32_t multiple = 5) {
    inst_info_t f;
    std::memset(&f, 0, sizeof f);
    std::strncpy(f.inst_id, id, sizeof f.inst_id);
    f.volume_multiple = multiple;
    f.price_tick = tick;
    f.codec_price = codec;
    f.inst_no = instNo;
    return f;
}

inline deal_info_t DealInfo(int32_t instNo, double last, double turnover, double openInterest,
                            int32_t volume = 7, int32_t changeNo = 3, int32_t milli = 500) {
    deal_info_t f;
    std::memset(&f, 0, sizeof f);
    f.inst_no = instNo;
    f.last_price = last;
    f.turnover = turnover;
    f.open_interest = openInterest;
    f.volume = volume;
    f.change_no = changeNo;
    f.update_mill_sec = milli;
    return f;
}

inline price_detail_t PriceDetail(int32_t instNo, char direction, double price, int32_t volume) {
    price_detail_t f;
    std::memset(&f, 0, sizeof f);
    f.inst_no = instNo;
    f.direction = direction;
    f.price = price;
    f.volume = volume;
    return f;
}

// --- Mirrored frames built by hand ---------------------------------------------------

struct Conn {
    uint32_t serverIp = 0xAC140A0Bu;
    uint32_t clientIp = 0xAC140A65u;
    uint16_t serverPort = 33022;
    uint16_t clientPort = 41000;
};

inline std::vector<uint8_t> TcpDma(const Conn& c, uint32_t seq, const std::vector<uint8_t>& payload,
                                   uint8_t flags = kest_sim::kTcpAck, uint8_t ipOptions = 0,
                                   uint8_t tcpOptions = 0) {
    static const uint8_t mac[6] = {0, 1, 2, 3, 4, 5};
    kest_sim::TcpFrameSpec frame;
    frame.src_mac = mac;
    frame.dst_mac = mac;
    frame.src_ip = c.serverIp;
    frame.dst_ip = c.clientIp;
    frame.src_port = c.serverPort;
    frame.dst_port = c.clientPort;
    frame.seq = seq;
    frame.ack = 1;
    frame.flags = flags;
    frame.ip_option_bytes = ipOptions;
    frame.tcp_option_bytes = tcpOptions;
    frame.payload = payload.empty() ? nullptr : payload.data();
    frame.payload_size = payload.size();
    return kest_sim::ToDmaMessage(kest_sim::BuildTcpFrame(frame));
}

inline std::vector<uint8_t> Concat(std::initializer_list<std::vector<uint8_t>> parts) {
    std::vector<uint8_t> out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

inline std::vector<uint8_t> Slice(const std::vector<uint8_t>& v, size_t from, size_t to) {
    return std::vector<uint8_t>(v.begin() + static_cast<std::ptrdiff_t>(from),
                                v.begin() + static_cast<std::ptrdiff_t>(to));
}

}  // namespace snapshot_test
