// kest-record verify: every block of every file checked.
#include <cinttypes>
#include <cstdio>

#include "Verbs.h"
#include "recording/RunReader.h"

namespace kest_record {

bool SayDamage(const kest_rec::RunReader& r, const std::string& file, const char* indent) {
    for (const kest_rec::Damage& d : r.Damages()) {
        std::printf("%s%s: damaged block %" PRIu64 " at offset %" PRIu64 " (%" PRIu64 " entries): %s\n",
                    indent, d.file.c_str(), d.block, d.offset, d.entries, d.what.c_str());
    }
    if (!r.IndexProblem().empty())
        std::printf("%s%s: index damaged: %s\n", indent, file.c_str(), r.IndexProblem().c_str());
    return !r.Damages().empty() || !r.IndexProblem().empty();
}

int Verify(const std::vector<std::string>& paths) {
    int rc = 0;
    for (const std::string& path : paths) {
        for (const std::string& file : kest_rec::RecordingFiles(path)) {
            std::string error;
            auto r = kest_rec::RunReader::Open(file, &error);
            if (!r) {
                std::printf("%s: unreadable: %s\n", file.c_str(), error.c_str());
                rc = 1;
                continue;
            }
            uint64_t good = 0;
            const kest_rec::Entry* e;
            size_t n;
            while (r->NextRun(&e, &n)) good += n;
            const bool bad = SayDamage(*r, file, "");
            std::printf("%s: %s, format %u, %" PRIu64 " entries trusted, %" PRIu64
                        " untrusted in %zu damaged block(s)",
                        file.c_str(), bad ? "DAMAGED" : "ok", r->Header().version, good, r->Untrusted(),
                        r->Damages().size());
            if (r->Header().version >= 2 && !r->HasIndex())
                std::printf(", no index (the recorder stopped before closing)");
            if (r->TrailingBytes() > 0)
                std::printf(", %" PRIu64 " bytes of a cut last write", r->TrailingBytes());
            if (r->Header().version == 1)
                std::printf(" (version 1 holds no checksums: only its layout is checked)");
            std::printf("\n");
            if (bad) rc = 1;
        }
    }
    return rc;
}

}  // namespace kest_record
