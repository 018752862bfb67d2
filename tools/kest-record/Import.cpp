// kest-record import: tick CSV archives into a recording.
#include <cinttypes>
#include <cstdio>

#include "Output.h"
#include "TickImport.h"
#include "Verbs.h"

namespace kest_record {

int Import(const std::vector<std::string>& paths, const std::string& out_path, bool compress, bool four_ps) {
    kest_record::TickImport import(four_ps);
    Output out(Output::kRecording, out_path);
    kest_rec::FileHeader like{};
    if (!out.Open(like, compress)) return 1;
    for (const std::string& path : paths) {
        std::string error;
        if (!import.ReadFile(
                path,
                [&](int64_t t, const KestShfeMdType& q) {
                    out.Put({t, q});
                },
                &error)) {
            std::fprintf(stderr, "%s: %s; nothing written\n", kTool, error.c_str());
            out.Close(false);
            return 1;
        }
    }
    std::fprintf(stderr, "%s: %" PRIu64 " ticks imported into %s\n", kTool, import.Rows(), out_path.c_str());
    return out.Close(true) ? 0 : 1;
}

}  // namespace kest_record
