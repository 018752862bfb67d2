// kest-record merge: several recordings into one in arrival order.
#include <memory>
#include <queue>

#include "Output.h"
#include "Stream.h"
#include "Verbs.h"

namespace kest_record {

int Merge(const std::vector<std::string>& paths, const std::string& out_path, bool compress) {
    struct Source {
        std::unique_ptr<Stream> stream;
        const kest_rec::Entry* run = nullptr;
        size_t left = 0;
        bool Advance() {
            if (left > 0 && --left > 0) return ++run, true;
            return stream->NextRun(&run, &left);
        }
    };
    std::vector<Source> sources(paths.size());
    auto later = [&](size_t a, size_t b) {  // ties keep the order of the operands
        const int64_t ta = sources[a].run->arrival_ns, tb = sources[b].run->arrival_ns;
        return ta != tb ? ta > tb : a > b;
    };
    std::priority_queue<size_t, std::vector<size_t>, decltype(later)> heap(later);
    kest_rec::FileHeader like{};
    for (size_t i = 0; i < paths.size(); ++i) {
        sources[i].stream.reset(new Stream(paths[i]));
        if (sources[i].stream->NextRun(&sources[i].run, &sources[i].left)) heap.push(i);
        if (i == 0) like = sources[i].stream->header();
    }
    Output out(Output::kRecording, out_path);
    if (!out.Open(like, compress)) return 1;
    while (!heap.empty()) {
        const size_t i = heap.top();
        heap.pop();
        out.Put(*sources[i].run);
        if (sources[i].Advance()) heap.push(i);
    }
    bool failed = false, damaged = false;
    for (Source& s : sources) failed |= s.stream->failed(), damaged |= s.stream->damaged() > 0;
    const bool ok = out.Close(!failed);
    return failed || !ok || damaged ? 1 : 0;
}

}  // namespace kest_record
