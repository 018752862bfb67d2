// Arbitrary bytes as one MDQP message into the decoder, on a port that is
// registered for one of the four feeds (or for none). The message lies in a
// buffer of exactly its size; a length field that claims more than the
// input holds is cut to the input, as the reassembly only ever hands over
// complete messages. No card is open: register writes fail and are only
// logged (silenced).
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

#include "KestShfeMdApiImpl.h"

class CKestShfeMdApiImplTestPeer {
public:
    static constexpr uint16_t FIRST_PORT = 41000;

    static CKestShfeMdApiImpl* Make() { return new (std::nothrow) CKestShfeMdApiImpl(); }
    static void Register(CKestShfeMdApiImpl& impl) {
        impl.m_finishedMask.enabled_mask = 0;
        impl.m_u50DstPort.port_shfe_2ps = FIRST_PORT;
        impl.m_u50DstPort.port_shfe_4ps = FIRST_PORT + 1;
        impl.m_u50DstPort.port_ine_2ps = FIRST_PORT + 2;
        impl.m_u50DstPort.port_ine_4ps = FIRST_PORT + 3;
    }
    static int32_t Parse(CKestShfeMdApiImpl& impl, uint8_t* message, uint16_t port) {
        return CKestShfeMdApiImpl::_ParseMdqp(reinterpret_cast<mdqp_t*>(message), port, impl);
    }
};

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static CKestShfeMdApiImpl* impl = [] {
        Kest_U50::CCommonLog::GetInstance().SetLogLevel(0);
        return CKestShfeMdApiImplTestPeer::Make();
    }();
    if (impl == nullptr || size < sizeof(mdqp_t) || size > 65535 + sizeof(mdqp_t)) return 0;
    CKestShfeMdApiImplTestPeer::Register(*impl);
    std::unique_ptr<uint8_t[]> message(new uint8_t[size]);
    std::memcpy(message.get(), data, size);
    uint16_t length;
    std::memcpy(&length, message.get() + offsetof(mdqp_t, length), sizeof length);
    if (length + sizeof(mdqp_t) > size) {
        length = static_cast<uint16_t>(size - sizeof(mdqp_t));
        std::memcpy(message.get() + offsetof(mdqp_t, length), &length, sizeof length);
    }
    const uint16_t port = static_cast<uint16_t>(CKestShfeMdApiImplTestPeer::FIRST_PORT + size % 5);
    (void)CKestShfeMdApiImplTestPeer::Parse(*impl, message.get(), port);
    return 0;
}
