// The library's own loading of a configuration file, reached through the
// friend the implementation object grants its tests.
#pragma once

#include <cstdint>
#include <string>

#include "KestShfeMdApiImpl.h"

class CKestShfeMdApiImplTestPeer {
public:
    static int32_t Load(CKestShfeMdApiImpl& api, const std::string& path) {
        api.m_configFileName.UnSafeCopyFrom(path.c_str());
        return api._ReadConfig();
    }
    static const Kest_U50::U50ConfigInfo& Config(const CKestShfeMdApiImpl& api) {
        return api.m_u50ConfigInfo;
    }
};
