// kest-record info: per recording from its index.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <ctime>
#include <map>

#include "Verbs.h"
#include "recording/ChinaTime.h"
#include "recording/ExchangeClock.h"
#include "recording/RunReader.h"

namespace kest_record {

namespace {

std::string Utc(int64_t ns) {
    const int64_t sec = kest_rec::FloorSeconds(ns);
    const time_t s = static_cast<time_t>(sec);
    struct tm t {};
    gmtime_r(&s, &t);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%09" PRId64 "Z", t.tm_year + 1900,
                  t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec, kest_rec::NanosPastSecond(ns));
    return buf;
}

}  // namespace

int Info(const std::vector<std::string>& paths) {
    int rc = 0;
    for (const std::string& path : paths) {
        const std::vector<std::string> files = kest_rec::RecordingFiles(path);
        uint64_t n = 0, trailing = 0, blocks = 0, indexed = 0;
        bool damaged = false;
        int64_t first = INT64_MAX, last = INT64_MIN;
        std::map<std::string, uint64_t> contracts;
        kest_rec::FileHeader h{};
        bool failed = false;
        for (size_t i = 0; i < files.size() && !failed; ++i) {
            std::string error;
            auto r = kest_rec::RunReader::Open(files[i], &error);
            if (!r) {
                std::fprintf(stderr, "%s: %s\n", kTool, error.c_str());
                failed = true;
                break;
            }
            if (i == 0) h = r->Header();
            trailing += r->TrailingBytes();
            n += r->Entries();
            blocks += r->Blocks().size();
            indexed += r->HasIndex();
            for (const kest_rec::BlockRef& b : r->Blocks()) {
                first = std::min(first, b.min_ns);
                last = std::max(last, b.max_ns);
            }
            for (const kest_rec::ContractCount& c : r->Contracts()) contracts[c.id] += c.entries;
            // Every block is read, as verify reads it, so that damage is named
            // here too (and version 1, without block times, gives its arrivals).
            const kest_rec::Entry* e;
            size_t k;
            while (r->NextRun(&e, &k)) {
                for (size_t j = 0; j < k && r->Header().version == 1; ++j) {
                    first = std::min(first, e[j].arrival_ns);
                    last = std::max(last, e[j].arrival_ns);
                }
            }
            damaged |= SayDamage(*r, files[i], "  ");
        }
        if (failed) {
            rc = 1;
            continue;
        }
        std::printf("%s: format %u, channel %u, configuration crc %08x, %zu file(s), %" PRIu64 " records\n",
                    path.c_str(), h.version, h.channel, h.config_crc, files.size(), n);
        if (n > 0) {
            std::printf("  arrivals %s .. %s (%.3f s)\n", Utc(first).c_str(), Utc(last).c_str(),
                        static_cast<double>(last - first) / 1e9);
        }
        if (kest_rec::HasExchangeClock(h)) {
            std::printf(
                "  exchange clock: simulated, %s when the host's was %s, %u.%03u exchange seconds a second "
                "(trading dates "
                "follow it)\n",
                Utc(h.exchange_anchor_ns).c_str(), Utc(int64_t{h.exchange_anchor_s} * 1000000000).c_str(),
                h.exchange_rate_milli / 1000, h.exchange_rate_milli % 1000);
        }
        if (h.version >= 2) {
            std::printf("  %" PRIu64 " blocks; index in %" PRIu64 " of %zu file(s)%s\n", blocks, indexed,
                        files.size(),
                        indexed < files.size() ? " (the others' rebuilt from their blocks)" : "");
        }
        std::printf("  %zu contracts (records):", contracts.size());
        size_t column = 100;
        for (const auto& c : contracts) {
            if (column > 90) column = std::printf("\n   ") - 1;
            column += std::printf(" %s %" PRIu64, c.first.c_str(), c.second);
        }
        std::printf("\n");
        if (damaged) rc = 1;
        if (trailing > 0) {
            std::printf("  %" PRIu64
                        " bytes after the last whole record ignored (the recorder stopped mid-block)\n",
                        trailing);
        }
    }
    return rc;
}

}  // namespace kest_record
