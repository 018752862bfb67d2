// kest-card-ctl: creates, lists, resets, removes and inspects model cards of
// the namespace in $KEST_CARDSIM_NAMESPACE (default "default"): the model's
// own management, beside kest-card-info, which looks at any card the way the
// library does.
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "FeedTable.h"
#include "FpgaRegisterCommon.h"
#include "ToolOptions.h"
#include "kest_cardsim.h"

namespace {

namespace R = Kest_U50::Reg;

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
    static_assert(kest_sim::kTables == Kest_U50::FEED_COUNT, "one instrument table per feed");
    std::printf("tables:\n");
    for (uint32_t t = 0; t < kest_sim::kTables; ++t) {
        std::printf("  %-8s entries=%u channel=%s writes=%" PRIu64 " closed_drops=%" PRIu64
                    " range_drops=%" PRIu64 "\n",
                    Kest_U50::FEEDS[t].symbol, card->TableEntries(static_cast<int>(t)),
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
    bool noDesignCore = false;
    bool all = false;
    uint64_t ringBytes = kest_sim::CardOptions().a2c_ring_bytes;
    kest_tools::ToolOptions opts(
        "kest-card-ctl", "COMMAND [INDEX] [OPTION]...",
        "Manages the simulated cards of the card model (not real cards):\n"
        "  create [INDEX]   create card INDEX (default 0)\n"
        "  list             list the cards of the namespace\n"
        "  reset [INDEX]    put card INDEX back to a fresh card with the same options\n"
        "  remove [INDEX]   remove card INDEX (--all: every card of the namespace)\n"
        "  status [INDEX]   the model's own view of card INDEX: options, registers, tables, rings\n"
        "INDEX is 0 to 65535. For what a card is doing as the library sees it, on a real card or the\n"
        "model alike, use kest-card-info.");
    opts.Flag("all", "remove: every card of the namespace (none is no error)", &all);
    opts.Flag("no-design-core", "create: a card whose core tree lacks the design core 474", &noDesignCore);
    opts.Unsigned("a2c-ring-bytes", "N",
                  "create: card-to-host ring of each channel, 4096 to 1073741824\n"
                  "bytes, rounded up to a power of two (default 268435456)",
                  &ringBytes, 4096, 1u << 30);
    opts.Epilogue(
        "Cards live in the namespace KEST_CARDSIM_NAMESPACE names (default \"default\").\n"
        "Exit status: 0 done, 1 the model refused (no such card, exists already, ...), 2 bad arguments.");
    const std::vector<std::string> operands = opts.Parse(argc, argv);
    if (operands.empty())
        opts.Fail("needs a command: create, list, reset, remove or status (see kest-card-ctl --help)");
    const std::string& cmd = operands[0];
    if (cmd != "create" && cmd != "list" && cmd != "reset" && cmd != "remove" && cmd != "status")
        opts.Fail("unknown command '" + cmd + "' (see kest-card-ctl --help)");
    if (cmd != "create" && (opts.Given("no-design-core") || opts.Given("a2c-ring-bytes")))
        opts.Fail("--no-design-core and --a2c-ring-bytes belong to create only");
    if (opts.Given("all") && (cmd != "remove" || operands.size() > 1))
        opts.Fail("--all belongs to remove, without INDEX");
    const size_t maxOperands = cmd == "list" ? 1 : 2;
    if (operands.size() > maxOperands)
        opts.Fail("unexpected argument '" + operands[maxOperands] + "' (see kest-card-ctl --help)");
    const uint32_t index =
        operands.size() > 1 ? static_cast<uint32_t>(opts.WholeOperand("INDEX", operands[1], 0, 65535)) : 0;

    if (cmd == "list") {
        for (uint32_t i : kest_sim::ListCards()) std::printf("%u %s\n", i, kest_sim::ShmName(i).c_str());
        return 0;
    }
    if (cmd == "create") {
        kest_sim::CardOptions opt;
        opt.design_core = !noDesignCore;
        opt.a2c_ring_bytes = static_cast<uint32_t>(ringBytes);
        if (kest_sim::CreateCard(index, opt) != 0) return Fail("cannot create", index);
        std::printf("created card %u %s\n", index, kest_sim::ShmName(index).c_str());
        return 0;
    }
    if (cmd == "reset") {
        if (kest_sim::ResetCard(index) != 0) return Fail("cannot reset", index);
        return 0;
    }
    if (cmd == "remove" && all) {
        int rc = 0;
        for (uint32_t i : kest_sim::ListCards()) {
            if (kest_sim::RemoveCard(i) != 0) rc = Fail("cannot remove", i);
        }
        return rc;
    }
    if (cmd == "remove") {
        if (kest_sim::RemoveCard(index) != 0) return Fail("cannot remove", index);
        return 0;
    }
    return Status(index);
}
