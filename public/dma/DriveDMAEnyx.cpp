#include "dma/DriveDMAEnyx.h"

#include <cerrno>
#include <cstring>

namespace Kest_U50 {

CDrvDMAEnyx::CDrvDMAEnyx()
    : m_lpAcc(nullptr),
      m_lpA2c(nullptr),
      m_lpC2a(nullptr),
      m_nA2cMtu(0),
      m_nC2aMtu(0),
      m_logServer(CCommonLog::GetInstance()),
      m_drvRegEnyx(CDrvRegEnyx::GetInstance()) {}

CDrvDMAEnyx::~CDrvDMAEnyx() { Release(); }

void CDrvDMAEnyx::Release() {
    if (m_lpA2c != nullptr) {
        enyx_hw_a2c_stream_destroy(m_lpA2c);
        m_lpA2c = nullptr;
    }
    if (m_lpC2a != nullptr) {
        enyx_hw_c2a_stream_destroy(m_lpC2a);
        m_lpC2a = nullptr;
    }
    m_nA2cMtu = 0;
    m_nC2aMtu = 0;
}

int32_t CDrvDMAEnyx::Init(uint16_t nBusId, const CFPGADMANameType& refDMAName) {
    m_lpAcc = m_drvRegEnyx.GetHwAccelerator(nBusId);
    if (m_lpAcc == nullptr) {
        m_logServer.WriteLog(LOG_ERROR, "[%s] [%d] GetHwAccelerator failed!", __FUNCTION__, __LINE__);
        return -1;
    }
    if (_InitDma(refDMAName) != 0) {
        m_logServer.WriteLog(LOG_ERROR, "[%s] [%d] Init DMA failed!", __FUNCTION__, __LINE__);
        return -1;
    }
    m_logServer.WriteLog(LOG_INFO, "[%s] [%d] Init DMA success! DMAName:%s", __FUNCTION__, __LINE__,
                         refDMAName.data());
    return 0;
}

// Not latency-critical. Each failure releases what this run still holds (the
// filter, a descriptor list not yet freed); a stream already created stays in
// the object and is closed by Release() or the destructor.
int32_t CDrvDMAEnyx::_InitDma(const CFPGADMANameType& refDMAName) {
    enyx_hw_filter* filter = enyx_hw_filter_create();
    if (filter == nullptr) {
        m_logServer.WriteLog(LOG_ERROR, "[%s] [%d] Could not create dma filter. err:%s", __FUNCTION__,
                             __LINE__, strerror(errno));
        return -1;
    }
    if (enyx_hw_filter_set_name(filter, refDMAName.data()) != 0) {
        m_logServer.WriteLog(LOG_ERROR, "[%s] [%d] Could not set dma filter name: %s. err:%s", __FUNCTION__,
                             __LINE__, refDMAName.data(), strerror(errno));
        enyx_hw_filter_destroy(filter);
        return -1;
    }

    const enyx_hw_a2c_stream_descriptor* a2c_descs[1] = {nullptr};
    if (enyx_hw_accelerator_enumerate_a2c_streams(m_lpAcc, filter, a2c_descs, 1) != 1) {
        m_logServer.WriteLog(LOG_ERROR, "[%s] [%d] Could not find a2c stream. err:%s", __FUNCTION__, __LINE__,
                             strerror(errno));
        if (a2c_descs[0] != nullptr) {
            enyx_hw_free_a2c_stream_descriptors(a2c_descs, 1);
        }
        enyx_hw_filter_destroy(filter);
        return -1;
    }
    m_lpA2c = enyx_hw_a2c_stream_create(a2c_descs[0], 0);
    const int a2cErrno = errno;
    enyx_hw_free_a2c_stream_descriptors(a2c_descs, 1);
    if (m_lpA2c == nullptr) {
        m_logServer.WriteLog(LOG_ERROR, "[%s] [%d] Could not create a2c stream. err:%s", __FUNCTION__,
                             __LINE__, strerror(a2cErrno));
        enyx_hw_filter_destroy(filter);
        return -1;
    }

    const enyx_hw_c2a_stream_descriptor* c2a_descs[1] = {nullptr};
    if (enyx_hw_accelerator_enumerate_c2a_streams(m_lpAcc, filter, c2a_descs, 1) != 1) {
        m_logServer.WriteLog(LOG_ERROR, "[%s] [%d] Could not find c2a stream. err:%s", __FUNCTION__, __LINE__,
                             strerror(errno));
        if (c2a_descs[0] != nullptr) {
            enyx_hw_free_c2a_stream_descriptors(c2a_descs, 1);
        }
        enyx_hw_filter_destroy(filter);
        return -1;
    }
    m_lpC2a = enyx_hw_c2a_stream_create(c2a_descs[0], 0);
    const int c2aErrno = errno;
    enyx_hw_free_c2a_stream_descriptors(c2a_descs, 1);
    if (m_lpC2a == nullptr) {
        m_logServer.WriteLog(LOG_ERROR, "[%s] [%d] Could not create c2a stream. err:%s", __FUNCTION__,
                             __LINE__, strerror(c2aErrno));
        enyx_hw_filter_destroy(filter);
        return -1;
    }
    enyx_hw_filter_destroy(filter);

    if (enyx_hw_a2c_stream_get_mtu(m_lpA2c, &m_nA2cMtu) != 0) {
        m_logServer.WriteLog(LOG_ERROR, "[%s] [%d] Could not get a2c mtu. err:%s", __FUNCTION__, __LINE__,
                             strerror(errno));
        return -1;
    }
    if (enyx_hw_c2a_stream_get_mtu(m_lpC2a, &m_nC2aMtu) != 0) {
        m_logServer.WriteLog(LOG_ERROR, "[%s] [%d] Could not get c2a mtu. err:%s", __FUNCTION__, __LINE__,
                             strerror(errno));
        return -1;
    }
    return 0;
}

int32_t CDrvDMAEnyx::Send(const void* data, uint32_t nSize) {
    if (nSize > m_nC2aMtu) {
        m_logServer.WriteLog(LOG_ERROR, "[%s] [%d] send error, exceed c2amtu, sendsize:%u, mtu:%u",
                             __FUNCTION__, __LINE__, nSize, m_nC2aMtu);
        return -1;
    }
    if (enyx_hw_c2a_stream_send(m_lpC2a, data, nSize) != 0) {
        m_logServer.WriteLog(LOG_ERROR,
                             "[%s] [%d] send error, enyx_hw_c2a_stream_send failed, sendsize:%u, mtu:%u",
                             __FUNCTION__, __LINE__, nSize, m_nC2aMtu);
        return -1;
    }
    return 0;
}

}  // namespace Kest_U50
