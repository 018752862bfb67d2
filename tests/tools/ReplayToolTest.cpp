// kest-card-sim --replay through its command line: the window it plays is the
// one kest-record slices (half-open, a time without a zone in China Standard
// Time) on a host in UTC as in China's zone, and --hold keeps the card up
// after the last record.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "../recording/RecordingSamples.h"
#include "FpgaStructCommon.h"
#include "ToolRunner.h"
#include "host_access.h"
#include "recording/Recording.h"

namespace {

using tools_test::Process;
using tools_test::Result;
using tools_test::RunTool;
using tools_test::TempDir;

constexpr int64_t kT0 = 1735781400LL * 1000000000;  // 2025-01-02T09:30:00+08:00
constexpr int64_t kMinute = 60LL * 1000000000;

class ReplayTool : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("KEST_CARDSIM_NAMESPACE", ("replaytest." + std::to_string(getpid())).c_str(), 1);
        for (uint32_t index : kest_sim::ListCards()) kest_sim::RemoveCard(index);
        // Record i (change number 1000 + i) at each arrival; the window's ends are records 1 and 4.
        const int64_t arrivals[] = {kT0 - 1,           kT0,           kT0 + 1,
                                    kT0 + kMinute - 1, kT0 + kMinute, kT0 + kMinute + 1};
        auto w = kest_rec::Writer::Open(file_, {}, nullptr);
        ASSERT_TRUE(w);
        for (uint32_t i = 0; i < 6; ++i) w->Append(arrivals[i], kest_test_rec::SampleRecord(i));
    }
    void TearDown() override {
        unsetenv("TZ");
        for (uint32_t index : kest_sim::ListCards()) kest_sim::RemoveCard(index);
    }
    // The change numbers kest-record slice gives for the window.
    std::vector<uint32_t> Sliced(const char* from, const char* to) {
        const Result r = RunTool({KEST_RECORD, "slice", file_, "--from", from, "--to", to, "--jsonl"});
        EXPECT_EQ(r.exit, 0) << r.err;
        std::vector<uint32_t> out;
        std::istringstream in(r.out);
        for (std::string line; std::getline(in, line);)
            out.push_back(nlohmann::json::parse(line)["change_no"].get<uint32_t>());
        return out;
    }
    // Waits until `sim` says its replay is done; false when it ended first.
    static bool Replayed(Process& sim) {
        return tools_test::WaitWhileRunning(
            sim, [&] { return sim.OutSoFar().find("replayed ") != std::string::npos; }, "the replay's end");
    }
    // The change numbers of the quotes waiting in channel 3 of card 0.
    static std::vector<uint32_t> Channel3() {
        std::vector<uint32_t> out;
        enyx_hw_accelerator* acc = nullptr;
        if (cardsim_test::FindAccelerators(0, &acc) != 1) return out;
        enyx_hw_a2c_stream* s = cardsim_test::OpenA2c(acc, 3);
        if (s == nullptr) return out;
        for (const auto& m : cardsim_test::Drain(s)) {
            KestShfeMdType q;
            if (m.size() != DMA_QUOTE_MSG_SIZE) continue;
            std::memcpy(&q, m.data() + sizeof(dma_header_t), sizeof q);
            out.push_back(q.change_no);
        }
        enyx_hw_a2c_stream_destroy(s);
        return out;
    }
    TempDir dir_;
    std::string file_ = dir_.File("w.kestrec");
};

TEST_F(ReplayTool, TheReplayPlaysTheWindowKestRecordSlicesInEveryZone) {
    const struct {
        const char* from;
        const char* to;
        std::vector<uint32_t> played;
    } cases[] = {
        {"2025-01-02T09:30", "2025-01-02T09:31", {1001, 1002, 1003}},
        {"2025-01-02T01:30:00.000000001Z", "2025-01-02T09:31:00.000000001", {1002, 1003, 1004}},
    };
    int runs = 0;  // each run's output files its own
    for (const char* tz : {"UTC", "Asia/Shanghai"}) {
        setenv("TZ", tz, 1);
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(tz) + " " + c.from + " .. " + c.to);
            EXPECT_EQ(Sliced(c.from, c.to), c.played);
            Process sim({KEST_CARD_SIM, "--replay", file_, "--channel", "3", "--speed", "max", "--hold",
                         "--from", c.from, "--to", c.to, "--stats", "0"},
                        dir_.Path(), "sim" + std::to_string(++runs));
            ASSERT_TRUE(Replayed(sim)) << sim.Wait().err;
            EXPECT_NE(sim.OutSoFar().find("replayed 3 records into channel 3"), std::string::npos)
                << sim.OutSoFar();
            EXPECT_EQ(Channel3(), c.played);
            EXPECT_TRUE(sim.Running()) << "--hold: the card stays up after the last record";
            sim.Signal(SIGTERM);
            const Result end = sim.Wait();
            EXPECT_EQ(end.exit, 0) << end.signal << end.err << end.out;
        }
    }
}

TEST_F(ReplayTool, HoldKeepsTheCardUpAfterTheLastRecordAndWithoutItTheRunEnds) {
    Process once({KEST_CARD_SIM, "--replay", file_, "--channel", "3", "--speed", "max", "--stats", "0"},
                 dir_.Path(), "once");
    const Result r =
        once.Wait();  // ends by itself once the last record is in the ring (CTest's limit bounds it)
    EXPECT_EQ(r.exit, 0) << r.err;
    EXPECT_NE(r.out.find("replayed 6 records"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("card 0 kept: 6 replayed records not yet taken"), std::string::npos) << r.out;
    kest_sim::RemoveCard(0);

    Process held(
        {KEST_CARD_SIM, "--replay", file_, "--channel", "3", "--speed", "max", "--hold", "--stats", "0"},
        dir_.Path(), "held");
    ASSERT_TRUE(Replayed(held)) << held.Wait().err;
    // Up after the last record: still running with its card a while after the replay's end.
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
    while (std::chrono::steady_clock::now() < until && held.Running())
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_TRUE(held.Running() && kest_sim::CardExists(0));
    EXPECT_EQ(Channel3().size(), 6u);
    held.Signal(SIGTERM);
    EXPECT_EQ(held.Wait().exit, 0);
}

}  // namespace
