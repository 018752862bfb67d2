// kest-record cat, slice and csv: the records asked for, in file order.
#include <cinttypes>
#include <cstdio>

#include "Stream.h"
#include "Verbs.h"

namespace kest_record {

int Slice(const std::vector<std::string>& paths, const Selection& sel, Output::Form form,
          const std::string& out_path, uint64_t limit, bool compress, bool stats) {
    Output out(form, out_path);
    bool opened = false, failed = false;
    uint64_t written = 0, damaged = 0, blocks = 0;
    for (const std::string& path : paths) {
        Stream in(path, &sel);
        const kest_rec::Entry* e;
        size_t n;
        while (written < limit && in.NextRun(&e, &n)) {
            if (!opened) {
                if (!out.Open(in.header(), compress)) return 1;
                opened = true;
            }
            for (size_t i = 0; i < n && written < limit; ++i) {
                if (!sel.Wants(e[i])) continue;
                out.Put(e[i], in.file_header());
                ++written;
            }
        }
        failed |= in.failed();
        damaged += in.damaged();
        blocks += in.blocks_read();
        if (in.trailing() > 0) {
            std::fprintf(stderr, "%s: %s: %" PRIu64 " bytes after the last whole record ignored\n", kTool,
                         path.c_str(), in.trailing());
        }
    }
    if (!opened && !failed) opened = out.Open(kest_rec::FileHeader{}, compress);
    const bool ok = !opened || out.Close(!failed);
    if (stats)
        std::fprintf(stderr, "%s: %" PRIu64 " records written, %" PRIu64 " blocks read\n", kTool, written,
                     blocks);
    return failed || !ok || damaged > 0 ? 1 : 0;
}

}  // namespace kest_record
