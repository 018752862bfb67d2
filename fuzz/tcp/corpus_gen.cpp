// Writes the seed corpora of the two snapshot fuzzers from the simulated
// exchange: for fuzz/tcp, whole mirrored snapshot rounds (small universes,
// several fault plans) as [16-bit length][DMA message] runs; for fuzz/mdqp,
// single MDQP messages of encoded snapshots.
//   kest_snapshot_corpus_gen TCP_DIR MDQP_DIR
#include <sys/stat.h>

#include <cstdio>
#include <string>
#include <vector>

#include "exchangesim/MdqpEncoder.h"
#include "exchangesim/SnapshotMirror.h"
#include "exchangesim/TcpSegmenter.h"
#include "exchangesim/Universe.h"

namespace {

bool Write(const std::string& path, const std::vector<uint8_t>& bytes) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return false;
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

void AppendMessage(std::vector<uint8_t>& out, const std::vector<uint8_t>& frame) {
    const std::vector<uint8_t> dma = kest_sim::ToDmaMessage(frame);
    out.push_back(static_cast<uint8_t>(dma.size() & 0xFF));
    out.push_back(static_cast<uint8_t>(dma.size() >> 8));
    out.insert(out.end(), dma.begin(), dma.end());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s TCP_DIR MDQP_DIR\n", argv[0]);
        return 2;
    }
    const std::string tcpDir = argv[1], mdqpDir = argv[2];
    ::mkdir(tcpDir.c_str(), 0755);
    ::mkdir(mdqpDir.c_str(), 0755);

    const char* plans[] = {"none", "all", "awkward,tiny", "rst", "reorder=0.2,dup=0.1,loss=0.1,window=20"};
    const uint8_t masks[] = {0x0F, 0x01, 0x08};
    int files = 0;
    for (uint64_t seed = 1; seed <= 2; ++seed) {
        std::vector<kest_sim::Universe> universes;
        for (int f = 0; f < 4; ++f) {
            universes.push_back(
                kest_sim::Universe::Make(static_cast<EMDQPDataType>(f), seed * 10 + f, 3 + f));
        }
        const kest_sim::Universe* ptrs[4] = {&universes[0], &universes[1], &universes[2], &universes[3]};
        for (const char* plan : plans) {
            for (uint8_t mask : masks) {
                for (bool wrap : {false, true}) {
                    kest_sim::MirrorOptions opt;
                    opt.seed = seed;
                    opt.feed_mask = mask;
                    opt.wrap_sequence = wrap;
                    opt.encoder.max_insts_per_message = 2;
                    opt.encoder.skipped_fields = seed == 2;
                    if (!kest_sim::ParseFaultPlan(plan, opt.faults)) return 1;
                    kest_sim::SnapshotMirror mirror(ptrs, opt);
                    std::vector<uint8_t> out;
                    for (const kest_sim::Frame& fr : mirror.Round(0)) AppendMessage(out, fr.bytes);
                    for (const kest_sim::Frame& fr : mirror.KeepAlives()) AppendMessage(out, fr.bytes);
                    char name[64];
                    std::snprintf(name, sizeof name, "/round-%03d", files++);
                    if (!Write(tcpDir + name, out)) return 1;
                }
            }
        }
    }

    int messages = 0;
    for (int variant = 0; variant < 6; ++variant) {
        const auto feed = static_cast<EMDQPDataType>(variant % 4);
        const kest_sim::Universe u = kest_sim::Universe::Make(feed, 100 + variant, 6);
        kest_sim::EncoderOptions eo;
        eo.seed = static_cast<uint64_t>(variant + 1);
        eo.max_insts_per_message = 3;
        eo.skipped_fields = variant >= 1;
        eo.unknown_field = variant == 2;
        eo.packet_no_at_end = variant == 3;
        eo.empty_final_message = variant == 4;
        eo.instruments_in_first_message = variant == 5;
        const kest_sim::EncodedSnapshot snap = kest_sim::EncodeSnapshot(u, eo);
        for (const kest_sim::MdqpMessageInfo& m : snap.messages) {
            const std::vector<uint8_t> bytes(
                snap.bytes.begin() + static_cast<std::ptrdiff_t>(m.offset),
                snap.bytes.begin() + static_cast<std::ptrdiff_t>(m.offset + m.size));
            char name[64];
            std::snprintf(name, sizeof name, "/message-%03d", messages++);
            if (!Write(mdqpDir + name, bytes)) return 1;
        }
    }
    std::printf("%d tcp inputs, %d mdqp inputs\n", files, messages);
    return 0;
}
