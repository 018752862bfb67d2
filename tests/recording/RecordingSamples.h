// Deterministic quote records with every field distinct, for recording tests.
#pragma once

#include <cstddef>
#include <cstdio>
#include <cstring>

#include "KestShfeMdStruct.h"

namespace kest_test_rec {

inline const KestShfeMdType& SampleRecord(uint32_t i) {
    static KestShfeMdType q;
    std::memset(&q, 0, sizeof q);
    q.inst_no = i % 4096;
    std::snprintf(q.inst_id, sizeof q.inst_id, "sc%04u", 2500 + i % 97);
    q.update_time = 90000 + i % 60;
    q.update_milli_sec = static_cast<uint16_t>(i % 1000);
    q.type = static_cast<uint16_t>(i % 4);
    q.change_no = 1000 + i;
    q.last_px = static_cast<int32_t>(500000 + 7 * i);
    q.volume = 10 * i + 1;
    q.turnover = 123456789LL * (i + 1);
    q.open_interest = 99999LL + i;
    for (int k = 0; k < 20; ++k) {  // the ten price/volume pairs, 4 bytes each from bid1_px
        const int32_t v = static_cast<int32_t>(i * 31 + static_cast<uint32_t>(k));
        std::memcpy(reinterpret_cast<char*>(&q) + offsetof(KestShfeMdType, bid1_px) + 4 * k, &v, sizeof v);
    }
    q.reverse1 = 0x0102030405060708ULL + i;
    q.reverse2[0] = 1;
    q.reverse2[1] = 2;
    q.reverse2[2] = static_cast<uint8_t>(i);
    q.last_tick_flag = (i % 3) == 0;
    q.max_inst_no = 81000 + i % 5;
    return q;
}

}  // namespace kest_test_rec
