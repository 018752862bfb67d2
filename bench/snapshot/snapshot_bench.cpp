// Throughput of the snapshot path: mirrored frames of a four-feed snapshot
// through the TCP reassembly and the MDQP decoder into the host tables
// (frames generated before timing), against a memcpy of the same bytes; and
// the cost of writing the four tables into the card model at completion.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "FpgaRegisterCommon.h"
#include "KestShfeMdApiImpl.h"
#include "SnapshotFeeds.h"
#include "cardlogic/DmaFraming.h"
#include "exchangesim/SnapshotMirror.h"
#include "exchangesim/TcpSegmenter.h"
#include "exchangesim/Universe.h"
#include "kest_cardsim.h"
#include "reg/DriveRegEnyx.h"

class CKestShfeMdApiImplTestPeer {
public:
    static CKestShfeMdApiImpl* Make() {
        CKestShfeMdApiImpl* impl = new (std::nothrow) CKestShfeMdApiImpl();
        if (impl == nullptr) return nullptr;
        kest_test::EnableAllFeedsWithDefaults(impl->m_u50ConfigInfo);
        return impl;
    }
    static void Restart(CKestShfeMdApiImpl& impl) {
        impl._ResetTcpSessions();
        std::memset(static_cast<void*>(&impl.m_u50InstTable), 0, sizeof(impl.m_u50InstTable));
        impl.m_u50InstCount = Kest_U50::U50InstCount();
        impl.m_finishedMask.enabled_mask = 0;
        impl.m_u50DstPort = Kest_U50::U50DstPort();
        impl.m_isTcpInitFinished = false;
    }
    static void Handle(CKestShfeMdApiImpl& impl, const std::vector<uint8_t>& dma) {
        CKestShfeMdApiImpl::_TcpHandler(dma.data(), static_cast<unsigned int>(dma.size()), &impl);
    }
    static uint8_t Finished(CKestShfeMdApiImpl& impl) { return impl.m_finishedMask.enabled_mask; }
    static void WriteTables(CKestShfeMdApiImpl& impl) {
        U50InstTable& t = impl.m_u50InstTable;
        const Kest_U50::U50InstCount& c = impl.m_u50InstCount;
        namespace Reg = Kest_U50::Reg;
        impl._WriteContractTable(t.shfe2psInstTable, true, Reg::SHFE2PS_TABLE_WADDR, Reg::SHFE2PS_TABLE_WDATA,
                                 static_cast<int32_t>(c.shfe_inst_cnt_2ps), Reg::SHFE_TABLE_ENTRIES);
        impl._WriteContractTable(t.shfe4psInstTable, true, Reg::SHFE4PS_TABLE_WADDR, Reg::SHFE4PS_TABLE_WDATA,
                                 static_cast<int32_t>(c.shfe_inst_cnt_4ps), Reg::SHFE_TABLE_ENTRIES);
        impl._WriteContractTable(t.ine2psInstTable, true, Reg::INE2PS_TABLE_WADDR, Reg::INE2PS_TABLE_WDATA,
                                 static_cast<int32_t>(c.ine_inst_cnt_2ps), Reg::INE_TABLE_ENTRIES);
        impl._WriteContractTable(t.ine4psInstTable, true, Reg::INE4PS_TABLE_WADDR, Reg::INE4PS_TABLE_WDATA,
                                 static_cast<int32_t>(c.ine_inst_cnt_4ps), Reg::INE_TABLE_ENTRIES);
    }
};

namespace {

using Peer = CKestShfeMdApiImplTestPeer;

// The DMA messages of one round of all four feeds' snapshot connections:
// SHFE feeds of 4000 instruments, INE feeds of 1024 (the card's INE limit).
struct Snapshot {
    std::vector<std::vector<uint8_t>> messages;
    size_t bytes = 0;
};

const Snapshot& FourFeedSnapshot() {
    static const Snapshot snapshot = [] {
        std::vector<kest_exch::Universe> universes;
        for (int f = 0; f < 4; ++f) {
            const auto feed = static_cast<EMDQPDataType>(f);
            universes.push_back(
                kest_exch::Universe::Make(feed, 7 + f, kest_exch::IsIneFeed(feed) ? 1024 : 4000));
        }
        const kest_exch::Universe* ptrs[4] = {&universes[0], &universes[1], &universes[2], &universes[3]};
        kest_exch::MirrorOptions opt;
        opt.seed = 3;
        kest_exch::SnapshotMirror mirror(ptrs, opt);
        Snapshot s;
        for (const kest_exch::Frame& f : mirror.Round(0)) {
            s.messages.push_back(kest_cardlogic::ToDmaMessage(f.bytes));
            s.bytes += s.messages.back().size();
        }
        return s;
    }();
    return snapshot;
}

// One card of the model for the whole run, in a namespace of this process,
// so that the decoder's register writes go where they go in a bring-up.
bool OpenCard() {
    static const bool open = [] {
        const std::string ns = "snapshot-bench." + std::to_string(getpid());
        setenv("KEST_CARDSIM_NAMESPACE", ns.c_str(), 1);
        if (kest_sim::CreateCard(0) != 0) return false;
        std::atexit([] { kest_sim::RemoveCard(0); });
        return Kest_U50::CDrvRegEnyx::GetInstance().Init(0, Kest_U50::Reg::DESIGN_CORE_ID) == 0;
    }();
    return open;
}

void BM_SnapshotReassemblyAndDecoding(benchmark::State& state) {
    if (!OpenCard()) {
        state.SkipWithError("no card model");
        return;
    }
    const Snapshot& snap = FourFeedSnapshot();
    Kest_U50::CCommonLog::GetInstance().SetLogLevel(Kest_U50::LOG_ERROR);
    std::unique_ptr<CKestShfeMdApiImpl> impl(Peer::Make());
    for (auto _ : state) {
        state.PauseTiming();
        Peer::Restart(*impl);
        state.ResumeTiming();
        for (const std::vector<uint8_t>& m : snap.messages) Peer::Handle(*impl, m);
        benchmark::ClobberMemory();
    }
    if (Peer::Finished(*impl) != 0x0F) state.SkipWithError("the snapshot did not complete");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(snap.bytes));
    state.counters["frames"] = static_cast<double>(snap.messages.size());
    state.counters["snapshot_MB"] = static_cast<double>(snap.bytes) / 1e6;
}
BENCHMARK(BM_SnapshotReassemblyAndDecoding)->Unit(benchmark::kMillisecond)->UseRealTime();

// Baseline: each DMA message copied once into a 2048-byte buffer.
void BM_MemcpyBaseline(benchmark::State& state) {
    const Snapshot& snap = FourFeedSnapshot();
    alignas(64) static uint8_t work[2048];
    for (auto _ : state) {
        for (const std::vector<uint8_t>& m : snap.messages) {
            std::memcpy(work, m.data(), m.size());
            benchmark::DoNotOptimize(work);
        }
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(snap.bytes));
}
BENCHMARK(BM_MemcpyBaseline)->Unit(benchmark::kMillisecond)->UseRealTime();

// The four table writes at completion over the card model: 2 x 4096 + 2 x
// 1024 entries of 64 words, two register writes per word.
void BM_CardTableWrite(benchmark::State& state) {
    if (!OpenCard()) {
        state.SkipWithError("no card model");
        return;
    }
    Kest_U50::CCommonLog::GetInstance().SetLogLevel(Kest_U50::LOG_ERROR);
    std::unique_ptr<CKestShfeMdApiImpl> impl(Peer::Make());
    Peer::Restart(*impl);
    for (const std::vector<uint8_t>& m : FourFeedSnapshot().messages) Peer::Handle(*impl, m);
    for (auto _ : state) Peer::WriteTables(*impl);
    const double writes = 2.0 * 64.0 * (2.0 * 4096.0 + 2.0 * 1024.0);
    state.counters["register_writes"] = writes;
    state.counters["writes_per_s"] =
        benchmark::Counter(writes * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_CardTableWrite)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
