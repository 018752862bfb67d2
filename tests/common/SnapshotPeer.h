// The snapshot path's private state of an implementation object, reached
// through the friend it grants its tests: what the snapshot tests and
// fuzzers drive and compare.
#pragma once

#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "KestShfeMdApiImpl.h"
#include "SnapshotFeeds.h"

class CKestShfeMdApiImplTestPeer {
public:
    // Every feed enabled, so that the other three keep the tables from being
    // written (a million failing register writes without a card).
    static CKestShfeMdApiImpl* Make() {
        CKestShfeMdApiImpl* impl = new (std::nothrow) CKestShfeMdApiImpl();
        if (impl != nullptr) kest_test::EnableAllFeedsWithDefaults(impl->m_u50ConfigInfo);
        return impl;
    }
    // What a new bring-up starts from, for the one slot used (all 65536 would
    // cost more than the input), with the first `entries` of every table cleared.
    static void Restart(CKestShfeMdApiImpl& impl, uint16_t port, size_t entries) {
        tcp_session_t& s = impl.m_sessions[port];
        std::free(s.frag_buf);
        for (tcp_lost_buf_t *n = s.lost_buf_head, *next; n != nullptr; n = next) {
            next = n->next;
            std::free(n);
        }
        std::memset(static_cast<void*>(&s), 0, sizeof s);
        for (int f = 0; f < 4; ++f)
            std::memset(static_cast<void*>(Table(impl, f)), 0, entries * sizeof(SInstTableType));
        impl.m_u50InstCount = Kest_U50::U50InstCount();
        impl.m_finishedMask.enabled_mask = 0;
        impl.m_u50DstPort = Kest_U50::U50DstPort();
        impl.m_isTcpInitFinished = false;
    }
    // Each in a buffer of exactly its size: overreads show.
    static void Handle(CKestShfeMdApiImpl& impl, std::vector<uint8_t> dma) {
        CKestShfeMdApiImpl::_TcpHandler(dma.data(), static_cast<unsigned int>(dma.size()), &impl);
    }
    static int32_t Parse(CKestShfeMdApiImpl& impl, std::vector<uint8_t> message, uint16_t port) {
        return CKestShfeMdApiImpl::_ParseMdqp(reinterpret_cast<mdqp_t*>(message.data()), port, impl);
    }
    static int32_t Subscribe(CKestShfeMdApiImpl& impl, int32_t channel) {
        return impl._ContractSubscribeManager(channel);
    }
    static bool LostPacket(CKestShfeMdApiImpl& impl, uint32_t event) {
        return impl._CheckLostUdpPktHandler(event);
    }
    static Kest_U50::U50ConfigInfo& Config(CKestShfeMdApiImpl& impl) { return impl.m_u50ConfigInfo; }
    static tcp_session_t& Session(CKestShfeMdApiImpl& impl, uint16_t port) { return impl.m_sessions[port]; }
    static Kest_U50::U50DstPort& Ports(CKestShfeMdApiImpl& impl) { return impl.m_u50DstPort; }
    static SInstTableType* Table(CKestShfeMdApiImpl& impl, int f) {
        U50InstTable& t = impl.m_u50InstTable;
        return std::array<SInstTableType*, 4>{t.shfe2psInstTable, t.shfe4psInstTable, t.ine2psInstTable,
                                              t.ine4psInstTable}[f];
    }
    static uint64_t Count(CKestShfeMdApiImpl& impl, int f) {
        const Kest_U50::U50InstCount& c = impl.m_u50InstCount;
        return std::array<uint64_t, 4>{c.shfe_inst_cnt_2ps, c.shfe_inst_cnt_4ps, c.ine_inst_cnt_2ps,
                                       c.ine_inst_cnt_4ps}[f];
    }
    static uint16_t& Port(CKestShfeMdApiImpl& impl, int f) {
        Kest_U50::U50DstPort& p = impl.m_u50DstPort;
        return *std::array<uint16_t*, 4>{&p.port_shfe_2ps, &p.port_shfe_4ps, &p.port_ine_2ps,
                                         &p.port_ine_4ps}[f];
    }
    static uint8_t& Finished(CKestShfeMdApiImpl& impl) { return impl.m_finishedMask.enabled_mask; }
    static bool& TablesWritten(CKestShfeMdApiImpl& impl) { return impl.m_isTcpInitFinished; }
    static bool SlotOpen(CKestShfeMdApiImpl& impl, uint16_t port) { return impl.m_sessions[port].init != 0; }
};
