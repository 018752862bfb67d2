// SHFE/INE five-level market-data API over the U50 card.
// Self-contained: include it on its own in C++11 or later.
//
// Use: obtain the object from CreateKestShfeMdApi(), start it once with the
// path of its INI configuration, then poll from one thread of your own (the
// thread that started it, which the start binds to the configured core), and
// finally hand it back to DestroyKestShfeMdApi().
#ifndef KEST_SHFE_MD_API_H
#define KEST_SHFE_MD_API_H

#include <stdint.h>

#include "KestShfeMdStruct.h"

#if defined(_WIN32)
#define KEST_SHFE_MD_API_EXPORT
#else
#define KEST_SHFE_MD_API_EXPORT __attribute__((visibility("default")))
#endif

// Implemented by the application: receives every quote in callback mode.
struct KEST_SHFE_MD_API_EXPORT CKestShfeMdSpi {
    // The record lives in the DMA buffer and is valid only during the call.
    virtual void OnShfeMdData(const KestShfeMdType* lpKestShfeMd) = 0;
};

struct KEST_SHFE_MD_API_EXPORT CKestShfeMdApi {
    // Starts in callback mode, then polls until SIGINT or SIGTERM.
    // Returns -1 if the start failed, 0 after the exit request.
    virtual int32_t KestRecvStart(CKestShfeMdSpi& refKestShfeMdSpi, const char* lpConfig) = 0;
    // Starts in callback mode. 0 success, -1 null path, -2 start-up failed.
    virtual int32_t KestStart(CKestShfeMdSpi& refKestShfeMdSpi, const char* lpConfig) = 0;
    // Polls once: 1 when a quote went to OnShfeMdData, 0 otherwise, -1 on exit.
    virtual int32_t KestRecv() = 0;
    // Starts in buffer mode. 0 success, -1 null path, -2 start-up failed.
    virtual int32_t KestStart(const char* lpConfig) = 0;
    // Polls once: 1 when refSKestShfeMd holds a new quote, 0 otherwise, -1 on exit.
    virtual int32_t KestRecv(KestShfeMdType& refSKestShfeMd) = 0;

    // Returns a reference whose address is null when memory is short.
    static CKestShfeMdApi& CreateKestShfeMdApi();
    // Does nothing for the null reference.
    static void DestroyKestShfeMdApi(CKestShfeMdApi& refKestShfeMdApi);
};

#endif  // KEST_SHFE_MD_API_H
