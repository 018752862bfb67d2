// The four feeds as the configuration's defaults describe them, all
// enabled: what the snapshot tests, fuzzers and benchmark feed the
// reassembly with.
#pragma once

#include "FpgaConfigCommon.h"

namespace kest_test {

inline void EnableAllFeedsWithDefaults(Kest_U50::U50ConfigInfo& cfg) {
    cfg.enabled_mask.enabled_mask = 0x0F;
    cfg.topicID.shfe2ps_topic_id = 1000;
    cfg.topicID.shfe4ps_topic_id = 1101;
    cfg.topicID.ine2ps_topic_id = 5000;
    cfg.topicID.ine4ps_topic_id = 5101;
    cfg.snapTcpPort.shfe2ps_snap_port = 33022;
    cfg.snapTcpPort.shfe4ps_snap_port = 22000;
    cfg.snapTcpPort.ine2ps_snap_port = 33022;
    cfg.snapTcpPort.ine4ps_snap_port = 22000;
}

}  // namespace kest_test
