// Where a verb writes: a recording, CSV or JSON lines.
#pragma once

#include <cstdio>
#include <memory>
#include <string>

#include "recording/Recording.h"

namespace kest_record {

// An output: a recording, CSV or JSON lines; to a file only once complete
// (written under a temporary name and renamed), so a failed run leaves no OUT
// behind (and an OUT from before as it was).

class Output {
public:
    enum Form { kRecording, kCsv, kJsonl };
    Output(Form form, const std::string& path) : form_(form), path_(path) {}
    bool Open(const kest_rec::FileHeader& like, bool compress);
    // from: the header of the file e was read from, whose exchange clock
    // dates CSV and JSON lines (none given: the host's clock).
    void Put(const kest_rec::Entry& e, const kest_rec::FileHeader& from = kest_rec::FileHeader{});
    // Completes the output when keep, else removes it. false when writing failed.
    bool Close(bool keep);

private:
    Form form_;
    std::string path_, temporary_;
    std::unique_ptr<kest_rec::Writer> writer_;
    FILE* out_ = nullptr;
};

}  // namespace kest_record
