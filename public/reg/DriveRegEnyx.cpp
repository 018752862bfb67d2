#include "reg/DriveRegEnyx.h"

#include <cerrno>
#include <cstring>

namespace Kest_U50 {

namespace {

// Every access is a whole 32-bit register at byte address 4 x reg. Built in
// place: a returned copy is reloaded as 16 bytes and stalls on the stores.
struct CRegisterDescription : enyx_hw_register_description {
    explicit CRegisterDescription(uint32_t reg) : enyx_hw_register_description() {
        address = static_cast<uint64_t>(reg) * 4U;
        offset = 0;
        size = 32;
    }
};

}  // namespace

CDrvRegEnyx& CDrvRegEnyx::GetInstance() {
    // Never destroyed: the card stays open until the process ends.
    static CDrvRegEnyx* const instance = new CDrvRegEnyx();
    return *instance;
}

CDrvRegEnyx::CDrvRegEnyx()
    : m_logServer(CCommonLog::GetInstance()),
      m_lpHwAccelerator(nullptr),
      m_lpHwCore(nullptr),
      m_lpMmio(nullptr),
      m_lpCoreTree(nullptr) {}

// Not latency-critical: runs once per process at start-up.
enyx_hw_accelerator* CDrvRegEnyx::_DrvEnyxCoreGetAcc(uint16_t nBusId) {
    if (m_lpHwAccelerator != nullptr) {
        return m_lpHwAccelerator;
    }
    enyx_hw_filter* filter = enyx_hw_filter_create();
    if (filter == nullptr) {
        m_logServer.WriteLog(LOG_ERROR, "[%s] [%d] Could not create filter for DMA. err:%s", __FUNCTION__,
                             __LINE__, strerror(errno));
        return nullptr;
    }
    const enyx_hw_accelerator_descriptor* descriptors[1] = {nullptr};
    if (enyx_hw_filter_set_index(filter, nBusId) != 0) {
        m_logServer.WriteLog(LOG_ERROR, "[%s] [%d] Could not set filter id. err:%s", __FUNCTION__, __LINE__,
                             strerror(errno));
        enyx_hw_filter_destroy(filter);
        return nullptr;
    }
    if (enyx_hw_enumerate_accelerators(filter, descriptors, 1) != 1) {
        m_logServer.WriteLog(LOG_ERROR, "[%s] [%d] Could not find accelerator. err:%s", __FUNCTION__,
                             __LINE__, strerror(errno));
        enyx_hw_filter_destroy(filter);
        if (descriptors[0] != nullptr) {
            enyx_hw_free_accelerator_descriptors(descriptors, 1);
        }
        return nullptr;
    }
    enyx_hw_filter_destroy(filter);

    m_lpHwAccelerator = enyx_hw_accelerator_get(descriptors[0]);
    if (m_lpHwAccelerator == nullptr) {
        m_logServer.WriteLog(LOG_ERROR, "[%s] [%d] Could not get accelerator. err:%s", __FUNCTION__, __LINE__,
                             strerror(errno));
    }
    enyx_hw_free_accelerator_descriptors(descriptors, 1);
    return m_lpHwAccelerator;
}

// Not latency-critical: runs once per process at start-up.
enyx_hw_core* CDrvRegEnyx::_GetCore(uint16_t nBusId, uint16_t nCoreId) {
    enyx_hw_accelerator* accelerator = _DrvEnyxCoreGetAcc(nBusId);
    if (accelerator == nullptr) {
        m_logServer.WriteLog(LOG_ERROR, "[%s] [%d] Get accelerator Failed", __FUNCTION__, __LINE__);
        return nullptr;
    }

    enyx_hw_filter* mmio_filter = enyx_hw_filter_create();
    if (mmio_filter == nullptr) {
        m_logServer.WriteLog(LOG_ERROR, "[%s] [%d] enyx_hw_filter_create failed. err:%s", __FUNCTION__,
                             __LINE__, strerror(errno));
        return nullptr;
    }
    if (enyx_hw_filter_set_index(mmio_filter, 0) != 0) {
        m_logServer.WriteLog(LOG_ERROR, "[%s] [%d] enyx_hw_filter_set_index failed. err:%s", __FUNCTION__,
                             __LINE__, strerror(errno));
        enyx_hw_filter_destroy(mmio_filter);
        return nullptr;
    }
    const enyx_hw_mmio_descriptor* mmio_descs[1] = {nullptr};
    if (enyx_hw_accelerator_enumerate_mmios(accelerator, mmio_filter, mmio_descs, 1) != 1) {
        m_logServer.WriteLog(LOG_ERROR, "[%s] [%d] enyx_hw_accelerator_enumerate_mmios failed. err:%s",
                             __FUNCTION__, __LINE__, strerror(errno));
        enyx_hw_filter_destroy(mmio_filter);
        if (mmio_descs[0] != nullptr) {
            enyx_hw_free_mmio_descriptors(mmio_descs, 1);
        }
        return nullptr;
    }
    enyx_hw_filter_destroy(mmio_filter);

    enyx_hw_mmio* mmio = enyx_hw_mmio_create(mmio_descs[0]);
    if (mmio == nullptr) {
        m_logServer.WriteLog(LOG_ERROR, "[%s] [%d] enyx_hw_mmio_create failed. err:%s", __FUNCTION__,
                             __LINE__, strerror(errno));
        enyx_hw_free_mmio_descriptors(mmio_descs, 1);
        return nullptr;
    }
    enyx_hw_free_mmio_descriptors(mmio_descs, 1);

    enyx_hw_core_tree* core_tree = enyx_hw_enumerate_cores(mmio);
    if (core_tree == nullptr) {
        m_logServer.WriteLog(LOG_ERROR, "[%s] [%d] enyx_hw_enumerate_cores failed. err:%s", __FUNCTION__,
                             __LINE__, strerror(errno));
        enyx_hw_mmio_destroy(mmio);
        return nullptr;
    }
    enyx_hw_core* core_root = enyx_hw_core_tree_get_root(core_tree);
    if (core_root == nullptr) {
        m_logServer.WriteLog(LOG_ERROR, "[%s] [%d] enyx_hw_core_tree_get_root failed. err:%s", __FUNCTION__,
                             __LINE__, strerror(errno));
        enyx_hw_mmio_destroy(mmio);
        enyx_hw_destroy_tree(core_tree);
        return nullptr;
    }
    (void)enyx_hw_core_reset(core_root);

    enyx_hw_core* core = nullptr;
    const ssize_t nSize = enyx_hw_core_enumerate(core_root, nCoreId, &core, 1);
    if (nSize == -1) {
        m_logServer.WriteLog(LOG_ERROR, "[%s] [%d] enyx_hw_core_enumerate failed. err:%s", __FUNCTION__,
                             __LINE__, strerror(errno));
        enyx_hw_mmio_destroy(mmio);
        enyx_hw_destroy_tree(core_tree);
        return nullptr;
    }
    // A repeated Init (a second start in the same process) replaces the
    // handles of the previous one rather than leaking them.
    if (m_lpCoreTree != nullptr) {
        enyx_hw_destroy_tree(m_lpCoreTree);
    }
    if (m_lpMmio != nullptr) {
        enyx_hw_mmio_destroy(m_lpMmio);
    }
    m_lpMmio = mmio;
    m_lpCoreTree = core_tree;
    m_lpHwCore = core;
    return m_lpHwCore;
}

int32_t CDrvRegEnyx::Init(uint16_t nBusId, uint16_t nCoreId) {
    if (_GetCore(nBusId, nCoreId) == nullptr) {
        m_logServer.WriteLog(LOG_ERROR, "[%s] [%d] _GetCore is nullptr!", __FUNCTION__, __LINE__);
        return -1;
    }
    return 0;
}

int32_t CDrvRegEnyx::WriteRegister(uint32_t reg, uint32_t value) {
    if (m_lpHwCore == nullptr) {
        m_logServer.WriteLog(
            LOG_ERROR,
            "[%s] [%d] m_lpHwCore is nullptr, please check if the CDrvRegEnyx has been initialized",
            __FUNCTION__, __LINE__);
        return -1;
    }
    const CRegisterDescription description(reg);
    enyx_hw_core_lock(m_lpHwCore);
    if (enyx_hw_write(m_lpHwCore, &description, static_cast<uint64_t>(value)) != 0) {
        m_logServer.WriteLog(LOG_ERROR, "[%s] [%d] enyx_hw_write failed", __FUNCTION__, __LINE__);
        enyx_hw_core_unlock(m_lpHwCore);
        return -1;
    }
    enyx_hw_core_unlock(m_lpHwCore);
    m_logServer.WriteLog(LOG_DEBUG_EX, "[%s] [%d] 0x%04x: wrote 0x%08x (%u)", __FUNCTION__, __LINE__, reg,
                         value, value);
    return 0;
}

int32_t CDrvRegEnyx::ReadRegister(uint32_t reg, uint64_t& val) {
    if (m_lpHwCore == nullptr) {
        m_logServer.WriteLog(
            LOG_ERROR,
            "[%s] [%d] m_lpHwCore is nullptr, please check if the CDrvRegEnyx has been initialized",
            __FUNCTION__, __LINE__);
        return -1;
    }
    const CRegisterDescription description(reg);
    enyx_hw_core_lock(m_lpHwCore);
    if (enyx_hw_read(m_lpHwCore, &description, &val) != 0) {
        m_logServer.WriteLog(LOG_ERROR, "[%s] [%d] enyx_hw_read failed", __FUNCTION__, __LINE__);
        enyx_hw_core_unlock(m_lpHwCore);
        return -1;
    }
    enyx_hw_core_unlock(m_lpHwCore);
    const uint32_t low = static_cast<uint32_t>(val);
    m_logServer.WriteLog(LOG_DEBUG_EX, "[%s] [%d] 0x%04x: read 0x%08x (%u)", __FUNCTION__, __LINE__, reg, low,
                         low);
    return 0;
}

int32_t CDrvRegEnyx::ReadRegister(uint32_t reg, uint32_t& val) {
    uint64_t wide = 0;
    const int32_t result = ReadRegister(reg, wide);
    val = static_cast<uint32_t>(wide);
    return result;
}

enyx_hw_accelerator* CDrvRegEnyx::GetHwAccelerator(uint16_t nBusId) { return _DrvEnyxCoreGetAcc(nBusId); }

}  // namespace Kest_U50
