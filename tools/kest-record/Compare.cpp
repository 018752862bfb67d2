// kest-record compare: the first record and field in which two recordings differ.
#include <cinttypes>
#include <cstdio>

#include "Stream.h"
#include "Verbs.h"
#include "recording/QuoteCsv.h"

namespace kest_record {

int Compare(const std::string& a, const std::string& b) {
    Stream x(a), y(b);
    const kest_rec::Entry *ex = nullptr, *ey = nullptr;
    size_t nx = 0, ny = 0;
    uint64_t n = 0;
    // A damaged block's records are skipped, so what follows it is compared
    // out of step: its difference would name a record, not the damage.
    auto not_whole = [&] {
        std::printf("not compared whole: %" PRIu64 " damaged block(s) skipped (named above)\n",
                    x.damaged() + y.damaged());
        return 1;
    };
    for (;;) {
        const bool hx = nx > 0 || x.NextRun(&ex, &nx), hy = ny > 0 || y.NextRun(&ey, &ny);
        if (x.failed() || y.failed()) return 1;
        if (!hx || !hy) {
            if (hx == hy && x.damaged() + y.damaged() == 0) {
                std::printf("same: %" PRIu64 " records, identical bytes in the same order\n", n);
                return x.index_damaged() + y.index_damaged() == 0 ? 0 : 1;
            }
            if (x.damaged() + y.damaged() > 0) return not_whole();
            std::printf("differ: %s ends after %" PRIu64 " records, the other goes on\n",
                        (hx ? b : a).c_str(), n);
            return 1;
        }
        const std::string diff = kest_rec::FirstDifference(ex->record, ey->record);
        if (!diff.empty()) {
            if (x.damaged() + y.damaged() > 0) return not_whole();
            std::printf("differ: record %" PRIu64
                        " (from 0), %.16s change %u against %.16s change %u: field %s\n",
                        n, ex->record.inst_id, ex->record.change_no, ey->record.inst_id, ey->record.change_no,
                        diff.c_str());
            return 1;
        }
        ++n, ++ex, ++ey, --nx, --ny;
    }
}

}  // namespace kest_record
