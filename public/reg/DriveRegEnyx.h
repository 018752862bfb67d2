// Register access to the card: the only path by which the library reads and
// writes the design's 32-bit registers. Process-wide singleton.
#pragma once

#include <cstdint>

#include "EnyxHw.h"
#include "log/CommonLog.h"

namespace Kest_U50 {

class CDrvRegEnyx {
public:
    static CDrvRegEnyx& GetInstance();

    CDrvRegEnyx(const CDrvRegEnyx&) = delete;
    CDrvRegEnyx& operator=(const CDrvRegEnyx&) = delete;

    // Opens accelerator, MMIO region 0 and the core of id nCoreId. 0 or -1.
    int32_t Init(uint16_t nBusId, uint16_t nCoreId);
    // One locked 32-bit access each. 0 or -1.
    int32_t WriteRegister(uint32_t reg, uint32_t value);
    int32_t ReadRegister(uint32_t reg, uint64_t& val);
    int32_t ReadRegister(uint32_t reg, uint32_t& val);
    // The opened accelerator (discovered on demand); shared with the DMA streams.
    enyx_hw_accelerator* GetHwAccelerator(uint16_t nBusId);

private:
    CDrvRegEnyx();
    ~CDrvRegEnyx() = default;

    enyx_hw_accelerator* _DrvEnyxCoreGetAcc(uint16_t nBusId);
    enyx_hw_core* _GetCore(uint16_t nBusId, uint16_t nCoreId);

    CCommonLog& m_logServer;
    enyx_hw_accelerator* m_lpHwAccelerator;
    enyx_hw_core* m_lpHwCore;
    enyx_hw_mmio* m_lpMmio;
    enyx_hw_core_tree* m_lpCoreTree;
};

}  // namespace Kest_U50
