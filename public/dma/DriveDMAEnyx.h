// The pair of DMA streams of one processing channel: card-to-host (quotes,
// events, mirrored snapshot frames) and host-to-card.
#pragma once

#include <cstdint>

#include "DateType.h"
#include "EnyxHw.h"
#include "log/CommonLog.h"
#include "reg/DriveRegEnyx.h"

namespace Kest_U50 {

class CDrvDMAEnyx {
public:
    CDrvDMAEnyx();
    virtual ~CDrvDMAEnyx();

    CDrvDMAEnyx(const CDrvDMAEnyx&) = delete;
    CDrvDMAEnyx& operator=(const CDrvDMAEnyx&) = delete;

    // Not latency-critical: opens both streams of refDMAName. 0 or -1.
    virtual int32_t Init(uint16_t nBusId, const CFPGADMANameType& refDMAName);
    // Sends one message host-to-card. 0 or -1.
    virtual int32_t Send(const void* data, uint32_t nSize);
    // Quote path: one poll of the card-to-host stream, handler called on this
    // thread. Defined here so that a caller holding the object itself (the
    // API object's member) calls the stream library directly, without a call
    // to this wrapper in between.
    virtual int32_t RecvOnce(void* func, void* param) {
        return enyx_hw_a2c_stream_poll_once(m_lpA2c, reinterpret_cast<enyx_hw_a2c_handler>(func), param);
    }

    // Closes both streams (a later Init opens them anew).
    void Release();
    bool IsOpen() const { return m_lpA2c != nullptr; }

private:
    int32_t _InitDma(const CFPGADMANameType& refDMAName);

    enyx_hw_accelerator* m_lpAcc;
    enyx_hw_a2c_stream* m_lpA2c;
    enyx_hw_c2a_stream* m_lpC2a;
    uint32_t m_nA2cMtu;
    uint32_t m_nC2aMtu;
    CCommonLog& m_logServer;
    CDrvRegEnyx& m_drvRegEnyx;
};

}  // namespace Kest_U50
