// A full bring-up on channel 0 over the card model with the card's running
// logic and simulated exchange at their default sizes: KestStart from call to
// return, with every register access it makes counted by the model.
//
// Limit, same run: the bring-up's three 1 s pauses, timed here as three
// sleep(1) calls. What the bring-up takes beyond them is programming, the
// snapshot and the subscription of sixteen channels.
//
// Prints FIGURE bringup <s> <pauses s> and a line with the access counts.
#include <unistd.h>

#include "BenchSupport.h"
#include "cardlogic/LiveCard.h"

namespace {

using namespace kest_bench;
using Clock = std::chrono::steady_clock;

struct NullSpi : CKestShfeMdSpi {
    void OnShfeMdData(const KestShfeMdType*) override {}
};

std::string Config(const std::string& dir) {
    const std::string path = dir + "/ch0.ini";
    std::ofstream out(path);
    out << "[config]\nlog_level=1\ncpucore=-1\ndevice=xilinx0:0\ncrc_mux_check=0\n"
           "shfe2ps=enabled\nshfe4ps=enabled\nine2ps=enabled\nine4ps=enabled\n";
    const char* lists[16] = {"all", "cu,al,zn", "sc", "all", "",      "au,ag", "", "all",
                             "",    "rb,hc",    "",   "",    "fu,bu", "",      "", "all"};
    for (int c = 0; c < 16; ++c) {
        if (lists[c][0] != '\0') out << "[channel" << c << "]\ninsts=" << lists[c] << "\n";
    }
    return path;
}

}  // namespace

int main() {
    PrivateCard card("bench_bringup");
    kest_cardlogic::LiveCardOptions options;  // default universe sizes
    auto live = kest_cardlogic::LiveCard::Open(options);
    if (!live || !live->Start()) return 1;
    const std::string path = Config(card.dir);

    const auto p0 = Clock::now();
    for (int i = 0; i < 3; ++i) sleep(1);
    const double pauses = std::chrono::duration<double>(Clock::now() - p0).count();

    CKestShfeMdApi& api = CKestShfeMdApi::CreateKestShfeMdApi();
    NullSpi spi;
    const kest_sim::CardStats before = card.card->Stats();
    const auto t0 = Clock::now();
    const int32_t rc = api.KestStart(spi, path.c_str());
    const double took = std::chrono::duration<double>(Clock::now() - t0).count();
    const kest_sim::CardStats after = card.card->Stats();
    live->Stop();
    CKestShfeMdApi::DestroyKestShfeMdApi(api);
    if (rc != 0) return 1;
    const uint64_t reads = after.host_reads - before.host_reads,
                   writes = after.host_writes - before.host_writes;
    std::printf("register accesses %llu (reads %llu, writes %llu), %.1f ns each beyond the pauses\n",
                static_cast<unsigned long long>(reads + writes), static_cast<unsigned long long>(reads),
                static_cast<unsigned long long>(writes),
                (took - pauses) * 1e9 / static_cast<double>(reads + writes));
    Figure("bringup", took, pauses, "s");
    return 0;
}
