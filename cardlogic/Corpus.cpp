#include "cardlogic/Corpus.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace kest_cardlogic {
namespace {

bool WriteFile(const std::string& path, const uint8_t* data, size_t size) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return false;
    const bool ok = std::fwrite(data, 1, size, f) == size;
    return std::fclose(f) == 0 && ok;
}

}  // namespace

long WriteCorpus(const CorpusOptions& opt, std::string* error) {
    auto fail = [&](const std::string& why) {
        if (error) *error = why;
        return -1L;
    };
    if (opt.out_dir.empty()) return fail("no output directory");
    if (::mkdir(opt.out_dir.c_str(), 0755) != 0 && errno != EEXIST) {
        return fail("cannot create " + opt.out_dir + ": " + std::strerror(errno));
    }
    kest_exch::UniverseOptions uo;
    uo.feed = opt.feed;
    uo.seed = opt.seed;
    uo.size = opt.universe_size;
    const kest_exch::Universe u = kest_exch::Universe::Make(uo);
    kest_exch::EncoderOptions eo = opt.encoder;
    if (eo.topic_id == 0) eo.topic_id = kest_exch::DefaultTopicId(opt.feed);
    eo.seed = opt.seed;
    const kest_exch::EncodedSnapshot snap = kest_exch::EncodeSnapshot(u, eo);
    const std::string prefix =
        opt.out_dir + "/" + kest_exch::FeedName(opt.feed) + "-s" + std::to_string(opt.seed) + "-";
    long written = 0;
    char name[32];
    if (opt.mdqp) {
        for (const kest_exch::MdqpMessageInfo& m : snap.messages) {
            if (opt.max_files && static_cast<size_t>(written) >= opt.max_files) break;
            std::snprintf(name, sizeof name, "%06ld.mdqp", written);
            if (!WriteFile(prefix + name, snap.bytes.data() + m.offset, m.size))
                return fail("cannot write " + prefix + name);
            ++written;
        }
        return written;
    }
    kest_exch::ConnectionParams c;
    c.server_port = opt.snapshot_port ? opt.snapshot_port : kest_exch::DefaultSnapshotPort(opt.feed);
    c.client_port = static_cast<uint16_t>(41000 + (opt.seed % 20000));
    c.initial_seq = static_cast<uint32_t>(kest_exch::MixSeed(opt.seed, 0xC0) & 0x7FFFFFFF);
    kest_exch::FaultPlan plan = opt.faults;
    if (plan.seed == kest_exch::FaultPlan{}.seed) plan.seed = opt.seed;
    const kest_exch::SegmentedConnection sc = kest_exch::TcpSegmenter(c, plan).Segment(snap.bytes);
    for (const kest_exch::Frame& f : sc.frames) {
        if (opt.max_files && static_cast<size_t>(written) >= opt.max_files) break;
        const std::vector<uint8_t> msg = ToDmaMessage(f.bytes);
        std::snprintf(name, sizeof name, "%06ld.dma", written);
        if (!WriteFile(prefix + name, msg.data(), msg.size())) return fail("cannot write " + prefix + name);
        ++written;
    }
    return written;
}

}  // namespace kest_cardlogic
