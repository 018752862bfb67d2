// Writes a recording of deterministic records and, beside it, one record's
// fields as C++ reads them from the struct, for the Python reader's test.
//   kest_recording_sample OUT.kestrec OUT.json COUNT INDEX [zstd] [rotate]
// rotate: a new file (OUT.1, OUT.2, ...) every 300 entries or so, by size.
// clock: a simulated exchange clock 1000 times as fast from Thursday
// 2025-01-02 17:50 CST, each record stamped with its time of day.
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "RecordingSamples.h"
#include "recording/Recording.h"

int main(int argc, char** argv) {
    if (argc < 5) return 2;
    const uint32_t count = static_cast<uint32_t>(std::strtoul(argv[3], nullptr, 10));
    const uint32_t index = static_cast<uint32_t>(std::strtoul(argv[4], nullptr, 10));
    kest_rec::WriterOptions opt;
    opt.channel = 11;
    opt.config_crc = 0x12345678u;
    const int64_t t0 = INT64_C(1765000000000000000), x0 = INT64_C(1735811400000000000);
    bool clock = false;
    for (int i = 5; i < argc; ++i) {
        if (std::strcmp(argv[i], "clock") == 0)
            clock = true;
        else if (std::strcmp(argv[i], "zstd") == 0)
            opt.compress = true;
        else if (std::strcmp(argv[i], "rotate") == 0)
            opt.rotate_bytes = 64 + 64 + 300 * 160;  // the header, a block header, 300 entries
        else
            return 2;
    }
    if (clock) {
        opt.exchange_clock = [&](int64_t, kest_rec::FileHeader& h) {
            h.exchange_anchor_s = static_cast<uint32_t>(t0 / 1000000000);
            h.exchange_anchor_ns = x0;
            h.exchange_rate_milli = 1000000;
            return true;
        };
    }
    {
        auto w = kest_rec::Writer::Open(argv[1], opt, nullptr);
        if (!w) return 1;
        for (uint32_t i = 0; i < count; ++i) {
            KestShfeMdType q = kest_test_rec::SampleRecord(i);
            const int64_t s = (x0 / 1000000000 + i + 8 * 3600) % 86400;  // i ms here, i s on the exchange
            if (clock) q.update_time = static_cast<uint32_t>(s / 3600 * 10000 + s / 60 % 60 * 100 + s % 60);
            if (clock) q.update_milli_sec = 0;
            w->Append(t0 + static_cast<int64_t>(i) * 1000000, q);
        }
    }
    const KestShfeMdType& q = kest_test_rec::SampleRecord(index);
    FILE* f = std::fopen(argv[2], "w");
    if (f == nullptr) return 1;
    std::fprintf(f,
                 "{\"arrival_ns\": %" PRId64 ", \"inst_no\": %u, \"inst_id\": \"%s\", \"update_time\": %u, ",
                 t0 + static_cast<int64_t>(index) * 1000000, q.inst_no, q.inst_id, q.update_time);
    std::fprintf(
        f, "\"update_milli_sec\": %u, \"type\": %u, \"change_no\": %u, \"last_px\": %d, \"volume\": %u, ",
        q.update_milli_sec, q.type, q.change_no, q.last_px, q.volume);
    std::fprintf(f, "\"turnover\": %" PRId64 ", \"open_interest\": %" PRId64 ", ",
                 static_cast<int64_t>(q.turnover), static_cast<int64_t>(q.open_interest));
    const int32_t bpx[5] = {q.bid1_px, q.bid2_px, q.bid3_px, q.bid4_px, q.bid5_px};
    const uint32_t bvol[5] = {q.bid1_vol, q.bid2_vol, q.bid3_vol, q.bid4_vol, q.bid5_vol};
    const int32_t apx[5] = {q.ask1_px, q.ask2_px, q.ask3_px, q.ask4_px, q.ask5_px};
    const uint32_t avol[5] = {q.ask1_vol, q.ask2_vol, q.ask3_vol, q.ask4_vol, q.ask5_vol};
    for (int l = 0; l < 5; ++l) {
        std::fprintf(f, "\"bid%d_px\": %d, \"bid%d_vol\": %u, \"ask%d_px\": %d, \"ask%d_vol\": %u, ", l + 1,
                     bpx[l], l + 1, bvol[l], l + 1, apx[l], l + 1, avol[l]);
    }
    std::fprintf(f, "\"reverse1\": %" PRIu64 ", \"reverse2\": [%u, %u, %u], \"last_tick_flag\": %s, ",
                 static_cast<uint64_t>(q.reverse1), q.reverse2[0], q.reverse2[1], q.reverse2[2],
                 q.last_tick_flag ? "true" : "false");
    std::fprintf(f, "\"max_inst_no\": %u}\n", q.max_inst_no);
    return std::fclose(f) == 0 ? 0 : 1;
}
