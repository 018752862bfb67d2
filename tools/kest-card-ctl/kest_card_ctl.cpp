// kest-card-ctl: creates, lists, resets, removes and inspects model cards of
// the namespace in $KEST_CARDSIM_NAMESPACE (default "default").
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "FpgaRegisterCommon.h"
#include "kest_cardsim.h"

namespace {

namespace R = Kest_U50::Reg;

int Usage() {
    std::fprintf(
        stderr,
        "usage: kest-card-ctl create [INDEX] [--no-design-core] [--a2c-ring-bytes N]\n"
        "       kest-card-ctl list\n"
        "       kest-card-ctl reset [INDEX]\n"
        "       kest-card-ctl remove [INDEX]\n"
        "       kest-card-ctl status [INDEX]\n"
        "INDEX defaults to 0; cards live in namespace $KEST_CARDSIM_NAMESPACE (default \"default\").\n");
    return 2;
}

bool ParseU32(const char* s, uint32_t& out) {
    if (s == nullptr || *s == '\0') return false;
    errno = 0;
    char* end = nullptr;
    const unsigned long long v = std::strtoull(s, &end, 0);
    if (errno != 0 || *end != '\0' || v > 0xFFFFFFFFull) return false;
    out = static_cast<uint32_t>(v);
    return true;
}

int Fail(const char* what, uint32_t index) {
    std::fprintf(stderr, "kest-card-ctl: %s card %u (%s): %s\n", what, index,
                 kest_sim::ShmName(index).c_str(), std::strerror(errno));
    return 1;
}

int Status(uint32_t index) {
    auto card = kest_sim::Card::Open(index);
    if (!card) return Fail("cannot open", index);
    const kest_sim::CardOptions o = card->Options();
    std::printf("card %u  %s\n", index, kest_sim::ShmName(index).c_str());
    std::printf("options: design_core=%d a2c_ring=%u a2c_mtu=%u c2a_ring=%u c2a_mtu=%u faults=0x%x\n",
                o.design_core ? 1 : 0, o.a2c_ring_bytes, o.a2c_mtu, o.c2a_ring_bytes, o.c2a_mtu, o.faults);
    const struct {
        const char* name;
        uint32_t reg;
    } regs[] = {
        {"CARD_START", R::CARD_START},           {"SNAPSHOT_MODE", R::SNAPSHOT_MODE},
        {"CONFIG_CRC", R::CONFIG_CRC},           {"SHFE_INST_COUNT", R::SHFE_INST_COUNT},
        {"INE_INST_COUNT", R::INE_INST_COUNT},   {"MCAST_PROGRAMMED", R::MCAST_PROGRAMMED},
        {"LOGIC_START_2PS", R::LOGIC_START_2PS}, {"LOGIC_START_4PS", R::LOGIC_START_4PS},
        {"MUX0_2PS_PKTS", R::MUX0_2PS_PKTS},     {"MUX1_2PS_PKTS", R::MUX1_2PS_PKTS},
        {"MUX0_4PS_PKTS", R::MUX0_4PS_PKTS},     {"MUX1_4PS_PKTS", R::MUX1_4PS_PKTS},
    };
    std::printf("registers:\n");
    for (const auto& r : regs) {
        const uint64_t v = card->ReadReg(r.reg);
        std::printf("  0x%05x %-18s 0x%016" PRIx64 " (%" PRIu64 ")\n", r.reg, r.name, v, v);
    }
    for (uint32_t k = 0; k < R::LAST_UPDATE_TIME_COUNT; ++k) {
        const uint64_t v = card->ReadReg(R::LAST_UPDATE_TIME_0 + k);
        std::printf("  0x%05x LAST_UPDATE_TIME_%u 0x%016" PRIx64 " (%" PRId64 ")\n",
                    R::LAST_UPDATE_TIME_0 + k, k, v, static_cast<int64_t>(v));
    }
    const kest_sim::CardStats s = card->Stats();
    static const char* const kTableNames[kest_sim::kTables] = {"SHFE_2PS", "SHFE_4PS", "INE_2PS", "INE_4PS"};
    std::printf("tables:\n");
    for (uint32_t t = 0; t < kest_sim::kTables; ++t) {
        std::printf("  %-8s entries=%u channel=%s writes=%" PRIu64 " closed_drops=%" PRIu64
                    " range_drops=%" PRIu64 "\n",
                    kTableNames[t], card->TableEntries(static_cast<int>(t)),
                    card->TableChannelOpen(static_cast<int>(t)) ? "open" : "closed", s.table_writes[t],
                    s.table_closed_drops[t], s.table_range_drops[t]);
    }
    std::printf("host: reads=%" PRIu64 " writes=%" PRIu64 " journal_head=%" PRIu64 " core_resets=%" PRIu64
                " card_starts=%" PRIu64 " lock_recoveries=%" PRIu64 "\n",
                s.host_reads, s.host_writes, s.journal_head, s.core_resets, s.card_starts, s.lock_recoveries);
    std::printf(
        "channels:  a2c pending (msgs/bytes/capacity)  pushed  refused  waits  bytes | c2a sent refused\n");
    for (uint32_t c = 0; c < kest_sim::kChannels; ++c) {
        const kest_sim::ChannelStats cs = card->A2cStats(static_cast<int>(c));
        std::printf("  %2u  %8" PRIu64 " / %9" PRIu64 " / %9u  %10" PRIu64 " %8" PRIu64 " %6" PRIu64
                    " %12" PRIu64 " | %8" PRIu64 " %7" PRIu64 "\n",
                    c, cs.pending, cs.pending_bytes, cs.a2c_capacity, cs.pushed, cs.refused, cs.waits,
                    cs.bytes, cs.c2a_sent, cs.c2a_refused);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return Usage();
    const std::string cmd = argv[1];
    if (cmd == "list") {
        if (argc != 2) return Usage();
        for (uint32_t index : kest_sim::ListCards())
            std::printf("%u %s\n", index, kest_sim::ShmName(index).c_str());
        return 0;
    }
    uint32_t index = 0;
    int arg = 2;
    if (arg < argc && argv[arg][0] != '-') {
        if (!ParseU32(argv[arg], index)) return Usage();
        ++arg;
    }
    if (cmd == "create") {
        kest_sim::CardOptions opt;
        for (; arg < argc; ++arg) {
            if (std::strcmp(argv[arg], "--no-design-core") == 0) {
                opt.design_core = false;
            } else if (std::strcmp(argv[arg], "--a2c-ring-bytes") == 0 && arg + 1 < argc &&
                       ParseU32(argv[arg + 1], opt.a2c_ring_bytes)) {
                ++arg;
            } else {
                return Usage();
            }
        }
        if (kest_sim::CreateCard(index, opt) != 0) return Fail("cannot create", index);
        std::printf("created card %u %s\n", index, kest_sim::ShmName(index).c_str());
        return 0;
    }
    if (arg != argc) return Usage();
    if (cmd == "reset") {
        if (kest_sim::ResetCard(index) != 0) return Fail("cannot reset", index);
        return 0;
    }
    if (cmd == "remove") {
        if (kest_sim::RemoveCard(index) != 0) return Fail("cannot remove", index);
        return 0;
    }
    if (cmd == "status") return Status(index);
    return Usage();
}
