// Shared pieces of the snapshot-path tests: the implementation's private
// state, one card of the model per process, log reading and MDQP messages.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "FpgaRegisterCommon.h"
#include "KestShfeMdApiImpl.h"
#include "SnapshotFeeds.h"
#include "TestSupport.h"
#include "kest_cardsim.h"
#include "log/CommonLog.h"
#include "reg/DriveRegEnyx.h"

// The implementation object's private state, for the tests only.
class CKestShfeMdApiImplTestPeer {
public:
    using TableRef = SInstTableType (&)[Kest_U50::INST_TABLE_SIZE];
    explicit CKestShfeMdApiImplTestPeer(CKestShfeMdApiImpl& impl) : impl_(impl) {}

    Kest_U50::U50ConfigInfo& Config() { return impl_.m_u50ConfigInfo; }
    tcp_session_t& Session(uint16_t port) { return impl_.m_sessions[port]; }
    Kest_U50::U50DstPort& Ports() { return impl_.m_u50DstPort; }
    Kest_U50::UEnabledMask& Finished() { return impl_.m_finishedMask; }
    bool TcpInitFinished() const { return impl_.m_isTcpInitFinished; }
    TableRef Table(EMDQPDataType f) {
        U50InstTable& t = impl_.m_u50InstTable;
        return f == SHFE_4PS  ? t.shfe4psInstTable
               : f == INE_2PS ? t.ine2psInstTable
               : f == INE_4PS ? t.ine4psInstTable
                              : t.shfe2psInstTable;
    }
    uint64_t& Count(EMDQPDataType f) {
        Kest_U50::U50InstCount& c = impl_.m_u50InstCount;
        return f == SHFE_4PS  ? c.shfe_inst_cnt_4ps
               : f == INE_2PS ? c.ine_inst_cnt_2ps
               : f == INE_4PS ? c.ine_inst_cnt_4ps
                              : c.shfe_inst_cnt_2ps;
    }

    void Handle(const std::vector<uint8_t>& dma) {
        CKestShfeMdApiImpl::_TcpHandler(dma.data(), static_cast<unsigned int>(dma.size()), &impl_);
    }
    int32_t InitTcpSession(tcp_session_t& s, int32_t port) { return impl_._InitTcpSession(s, port); }
    void ResetTcpSessions() { impl_._ResetTcpSessions(); }
    int32_t ParseMdqp(std::vector<uint8_t>& message, uint16_t port) {
        return CKestShfeMdApiImpl::_ParseMdqp(reinterpret_cast<mdqp_t*>(message.data()), port, impl_);
    }
    int32_t SubscribeManager(int32_t channel) { return impl_._ContractSubscribeManager(channel); }

private:
    CKestShfeMdApiImpl& impl_;
};

namespace snapshot_test {

using Peer = CKestShfeMdApiImplTestPeer;

// One card of the model per test process, in a private namespace, with the
// register singleton opened on it; the logger writes into a private directory.
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

// Registered once per test executable, before main.
inline const bool kCardEnvironment = (::testing::AddGlobalTestEnvironment(new CardEnvironment()), true);

// Log text written after the watch was made.
class LogWatch {
public:
    LogWatch() : mark_(Whole().size()) {}
    bool Has(const std::string& text) const { return CountOf(text) > 0; }
    size_t CountOf(const std::string& text) const {
        const std::string all = Whole();
        const std::string s = all.size() > mark_ ? all.substr(mark_) : std::string();
        size_t n = 0;
        for (size_t p = s.find(text); p != std::string::npos; p = s.find(text, p + 1)) ++n;
        return n;
    }

private:
    static std::string Whole() {
        const std::string name = Kest_U50::CCommonLog::GetInstance().GetLogFileName();
        return name.empty() ? std::string() : kest_test::ReadFile(name);
    }
    size_t mark_;
};

// A fresh card and object with the default ports and topics, all feeds enabled.
class SnapshotFixture : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(kest_sim::ResetCard(0), 0);
        card_ = kest_sim::Card::Open(0);
        ASSERT_NE(card_, nullptr);
        Kest_U50::CCommonLog::GetInstance().SetLogLevel(Kest_U50::LOG_ERROR | Kest_U50::LOG_WARNING |
                                                        Kest_U50::LOG_INFO | Kest_U50::LOG_DEBUG);
        impl_.reset(new CKestShfeMdApiImpl());
        peer_.reset(new Peer(*impl_));
        kest_test::EnableAllFeedsWithDefaults(peer_->Config());
    }

    std::unique_ptr<kest_sim::Card> card_;  // destroyed last
    std::unique_ptr<CKestShfeMdApiImpl> impl_;
    std::unique_ptr<Peer> peer_;
};

inline inst_info_t InstInfo(int32_t instNo, const char* id, double tick = 0.2, double codec = 4000.0) {
    inst_info_t f{};
    std::memcpy(f.inst_id, id, std::min(sizeof f.inst_id, std::strlen(id)));
    f.volume_multiple = 5;
    f.price_tick = tick;
    f.codec_price = codec;
    f.inst_no = instNo;
    return f;
}

class MessageBuilder {
public:
    explicit MessageBuilder(uint8_t flag = MDQP_FLAG_MORE, int8_t type = MDQP_TYPE_SNAPSHOT) {
        mdqp_t h{};
        h.flag = flag;
        h.type_id = type;
        Bytes(&h, sizeof h);
    }
    template <typename T>
    MessageBuilder& Field(uint16_t id, const T& payload) {
        return Raw(id, &payload, sizeof payload);
    }
    // A field of `size` payload bytes whose header declares `declared` bytes.
    MessageBuilder& Raw(uint16_t id, const void* payload, size_t size, size_t declared = SIZE_MAX) {
        const field_t f{id, static_cast<uint16_t>(declared == SIZE_MAX ? size : declared)};
        return Bytes(&f, sizeof f).Bytes(payload, size);
    }
    MessageBuilder& Snap(int16_t topic) { return Field(MDQP_FIELD_SNAP, snap_t{topic, 1}); }
    MessageBuilder& Inst(int32_t instNo, const char* id) {
        return Field(MDQP_FIELD_INST_INFO, InstInfo(instNo, id));
    }
    MessageBuilder& PacketNo(int32_t no) { return Field(MDQP_FIELD_PACKET_NO, packet_no_t{no}); }
    MessageBuilder& Bytes(const void* p, size_t n) {
        bytes_.insert(bytes_.end(), static_cast<const uint8_t*>(p), static_cast<const uint8_t*>(p) + n);
        return *this;
    }
    // The message with its length field set to what follows the header, or to `length`.
    std::vector<uint8_t> Build(int32_t length = -1) const {
        std::vector<uint8_t> out = bytes_;
        const uint16_t len = static_cast<uint16_t>(length >= 0 ? length : out.size() - sizeof(mdqp_t));
        std::memcpy(out.data() + offsetof(mdqp_t, length), &len, sizeof len);
        return out;
    }

private:
    std::vector<uint8_t> bytes_;
};

}  // namespace snapshot_test
