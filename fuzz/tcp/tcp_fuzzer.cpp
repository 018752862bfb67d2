// Arbitrary bytes as a run of mirrored DMA messages through the snapshot
// reassembly and, behind it, the MDQP decoder. Input: repeated
// [16-bit little-endian length][that many bytes]; each message is handed
// over in a buffer of exactly its size so that any read past it is caught.
// No card is open: register writes fail and are only logged (silenced).
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "KestShfeMdApiImpl.h"
#include "SnapshotFeeds.h"

class CKestShfeMdApiImplTestPeer {
public:
    static CKestShfeMdApiImpl* Make() {
        CKestShfeMdApiImpl* impl = new (std::nothrow) CKestShfeMdApiImpl();
        if (impl == nullptr) return nullptr;
        kest_test::EnableAllFeedsWithDefaults(impl->m_u50ConfigInfo);
        return impl;
    }
    // What a new bring-up starts from (the tables themselves are left as
    // they are, as a bring-up does). Only the slots an input may have used
    // are released: all 65536 would cost more than the input itself.
    static void Restart(CKestShfeMdApiImpl& impl, const std::vector<uint16_t>& ports) {
        for (uint16_t port : ports) {
            tcp_session_t& s = impl.m_sessions[port];
            std::free(s.frag_buf);
            for (tcp_lost_buf_t* n = s.lost_buf_head; n != nullptr;) {
                tcp_lost_buf_t* next = n->next;
                std::free(n);
                n = next;
            }
            std::memset(static_cast<void*>(&s), 0, sizeof s);
        }
        impl.m_finishedMask.enabled_mask = 0;
        impl.m_u50DstPort = Kest_U50::U50DstPort();
        impl.m_isTcpInitFinished = false;
    }
    static void Handle(CKestShfeMdApiImpl& impl, const uint8_t* data, unsigned int size) {
        CKestShfeMdApiImpl::_TcpHandler(data, size, &impl);
    }
};

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static CKestShfeMdApiImpl* impl = [] {
        Kest_U50::CCommonLog::GetInstance().SetLogLevel(0);
        return CKestShfeMdApiImplTestPeer::Make();
    }();
    if (impl == nullptr) return 0;
    std::vector<uint16_t> ports;
    size_t pos = 0;
    while (size - pos >= 2) {
        const size_t length = static_cast<size_t>(data[pos]) | (static_cast<size_t>(data[pos + 1]) << 8);
        pos += 2;
        const size_t take = length < size - pos ? length : size - pos;
        std::unique_ptr<uint8_t[]> message(new uint8_t[take == 0 ? 1 : take]);
        if (take != 0) std::memcpy(message.get(), data + pos, take);
        // The slot a frame can reach: its TCP destination port.
        const uint8_t* m = message.get();
        if (take > DMA_TCP_IP_OFFSET) {
            const size_t at = DMA_TCP_IP_OFFSET + (m[DMA_TCP_IP_OFFSET] & 0x0Fu) * 4u + 2u;
            if (at + 2 <= take) ports.push_back(static_cast<uint16_t>((m[at] << 8) | m[at + 1]));
        }
        CKestShfeMdApiImplTestPeer::Handle(*impl, m, static_cast<unsigned int>(take));
        pos += take;
    }
    CKestShfeMdApiImplTestPeer::Restart(*impl, ports);
    return 0;
}
