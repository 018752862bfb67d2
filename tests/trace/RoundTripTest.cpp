// The tracing and replay libraries over the card model with the unchanged
// product and its receive tool: a channel-0 start-up traced (snapshot faults
// on, a lost-packet re-bring-up), replayed on the same trace without a
// departure and with the same register writes call for call; a changed
// register value in the trace and a changed configuration file are each
// named at the call where they first change the conversation; the traced
// quotes are the receiver's recording.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>

#include "FpgaRegisterCommon.h"
#include "ToolRunner.h"
#include "cardtrace/Trace.h"
#include "kest_cardsim.h"
#include "recording/Recording.h"

namespace {

namespace R = Kest_U50::Reg;
using kest_trace::Call;
using kest_trace::Fn;
using nlohmann::json;
using tools_test::Process;
using tools_test::Result;
using tools_test::TempDir;

size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

std::string ModelLibrary() { return std::string(KEST_MODEL_DIR) + "/libenyx-hw-c.so.5"; }
std::string TracePath() { return std::string(KEST_TRACE_DIR) + ":" + KEST_MODEL_DIR; }
std::string ReplayPath() { return std::string(KEST_REPLAY_DIR) + ":" + KEST_MODEL_DIR; }

// Every entry of a trace in order, without holding them (a bring-up is millions).
template <typename Fn_>
void ForEach(const std::string& path, Fn_ each) {
    std::string error;
    auto r = kest_trace::Reader::Open(path, &error);
    ASSERT_TRUE(r) << error;
    Call c;
    while (r->Next(c)) each(c);
    EXPECT_EQ(r->Problem(), "");
    EXPECT_TRUE(r->SawEnd()) << path << " was not closed";
}

// The trace at `from` written to `to` entry for entry, each as `change` leaves it.
template <typename Change>
void Rewrite(const std::string& from, const std::string& to, Change change) {
    std::string error;
    auto w = kest_trace::Writer::Open(to, kest_trace::WriterOptions{}, &error);
    ASSERT_TRUE(w) << error;
    ForEach(from, [&](Call& c) {
        change(c);
        if (c.fn != Fn::kEnd) w->Add(c);
    });
}

// The first write (or read) of a register.
Call First(const std::string& path, Fn fn, uint32_t reg) {
    Call found;
    ForEach(path, [&](const Call& c) {
        if (found.number == 0 && c.fn == fn && kest_trace::RegisterOf(c) == reg) found = c;
    });
    return found;
}

json Summary(const std::string& path) {
    const std::string text = tools_test::ReadFile(path);
    EXPECT_FALSE(text.empty()) << path;
    return json::parse(text.empty() ? "{}" : text);
}

class TraceRoundTrip : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ns_ = "tracetest." + std::to_string(getpid());
        setenv("KEST_CARDSIM_NAMESPACE", ns_.c_str(), 1);
        setenv("TZ", "Asia/Shanghai",
               1);  // the exchange's zone: the lost-packet event is not in an ignored minute
        dir_ = new TempDir;
        config_ = dir_->File("kest_md.ini");
        tools_test::WriteFile(config_, tools_test::ReadFile(KEST_SAMPLE_CONFIG));
        trace_ = dir_->File("startup.ktr");
        recording_ = dir_->File("recv.rec");
        for (uint32_t index : kest_sim::ListCards()) kest_sim::RemoveCard(index);
        ASSERT_EQ(kest_sim::CreateCard(0), 0);
        Process sim(
            {KEST_CARD_SIM, "--card", "0", "--shfe-size", "300", "--ine-size", "80", "--rate", "400",
             "--faults", "all", "--gap", "0.002", "--clock", "10:00", "--stats", "0", "--seconds", "900"},
            dir_->Path(), "sim");
        recv_ = new Process({KEST_MD_RECV, config_, "--quiet", "--seconds", "600", "--record", recording_},
                            dir_->Path(), "traced",
                            {{"LD_LIBRARY_PATH", TracePath()},
                             {"KEST_TRACE_TARGET", ModelLibrary()},
                             {"KEST_TRACE_FILE", trace_},
                             {"KEST_TRACE_QUOTES", "all"}});
        // Awaited: a bring-up, a lost-packet event that is not ignored, and the bring-up it starts.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(8);
        while (recv_->Running() && Count(recv_->OutSoFar(), "logical start") < 2 &&
               std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        recv_->Signal(SIGTERM);
        traced_ = new Result(recv_->Wait());
        sim.Signal(SIGTERM);
        sim.Wait();
        kest_sim::RemoveCard(0);
    }
    static void TearDownTestSuite() {
        delete recv_;
        delete traced_;
        delete dir_;
    }

    // The unchanged receiver over the replay of `trace`, with `config`, and the replay's summary.
    static std::pair<Result, json> Replay(const std::string& trace, const std::string& config,
                                          const std::string& name) {
        const std::string summary = dir_->File(name + ".json");
        Process p({KEST_MD_RECV, config, "--quiet", "--seconds", "600"}, dir_->Path(), "replay",
                  {{"LD_LIBRARY_PATH", ReplayPath()},
                   {"KEST_REPLAY_TRACE", trace},
                   {"KEST_REPLAY_SUMMARY", summary},
                   {"KEST_REPLAY_WAIT_S", "3"}});
        Result r = p.Wait();
        return {r, Summary(summary)};
    }
    // The first write of the route register, which the sample configuration sets to 0.
    static Call RouteWrite() { return First(trace_, Fn::kWrite, R::ROUTE); }

    static std::string ns_;
    static TempDir* dir_;
    static std::string config_, trace_, recording_;
    static Process* recv_;
    static Result* traced_;
};
std::string TraceRoundTrip::ns_;
TempDir* TraceRoundTrip::dir_ = nullptr;
std::string TraceRoundTrip::config_, TraceRoundTrip::trace_, TraceRoundTrip::recording_;
Process* TraceRoundTrip::recv_ = nullptr;
Result* TraceRoundTrip::traced_ = nullptr;

TEST_F(TraceRoundTrip, TheTracedStartUpHasTwoBringUpsAndEveryKindOfCall) {
    ASSERT_EQ(traced_->exit, 0) << traced_->err;
    EXPECT_NE(traced_->out.find("received lost pkt event, event="), std::string::npos)
        << "a lost-packet re-bring-up";
    // Both bring-ups as phases: InfoShowsBothBringUpsAndDiffFindsThePlantedValue.
    bool tcp = false, mtu = false, names = false;
    ForEach(trace_, [&](const Call& c) {
        tcp |= c.fn == Fn::kA2cPoll && kest_trace::MessageKind(c.data) == 2;
        mtu |= c.fn == Fn::kA2cGetMtu && c.arg[1] > 0;
        names |= c.fn == Fn::kFilterSetName && c.data == "CUSTOM_CHAN0_DATA";
    });
    EXPECT_TRUE(tcp && mtu && names);
}

TEST_F(TraceRoundTrip, TheReplayGoesThroughTheSameStartUpWithTheSameRegisterWrites) {
    uint64_t writes = 0, hash = kest_trace::kWritesHashSeed;
    ForEach(trace_, [&](const Call& c) {
        if (c.fn == Fn::kWrite) {
            ++writes;
            hash = kest_trace::MixWrite(hash, c.arg[1], c.arg[3]);
        }
    });
    const auto [r, j] = Replay(trace_, config_, "replay");
    EXPECT_EQ(r.err.find("departure"), std::string::npos) << r.err;
    EXPECT_EQ(j["departed"], false) << j.dump();
    EXPECT_EQ(j["trace_end_reached"], true) << j.dump();
    EXPECT_EQ(j["register_writes"], writes);
    char hex[24];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(hash));
    EXPECT_EQ(j["register_writes_fnv1a"], hex);
    EXPECT_GT(writes, 1000000u);
    EXPECT_NE(r.out.find("received lost pkt event, event="), std::string::npos) << "the re-bring-up replayed";
}

TEST_F(TraceRoundTrip, AChangedRegisterValueInTheTraceIsNamedWhereTheProductTakesAnotherWay) {
    // The card now says it runs with this very file and counts packets: the
    // product skips the bring-up, and the trace's reset is never made.
    uint32_t crc = 0;
    ASSERT_TRUE(kest_rec::FileCrc32c(config_, crc));
    const std::string planted = dir_->File("planted-register.ktr");
    bool decided = false;
    Rewrite(trace_, planted, [&](Call& c) {
        if (decided || c.fn != Fn::kRead) return;
        if (kest_trace::RegisterOf(c) == R::MUX0_2PS_PKTS) c.arg[3] = 1;
        if (kest_trace::RegisterOf(c) == R::CONFIG_CRC) {
            c.arg[3] = crc;
            decided = true;
        }
    });
    ASSERT_TRUE(decided);
    const Call reset = First(planted, Fn::kWrite, R::CARD_START);
    ASSERT_NE(reset.number, 0u);
    const auto [r, j] = Replay(planted, config_, "planted-register");
    ASSERT_EQ(j["departed"], true) << r.err;
    // The register access of the reset begins with its lock.
    EXPECT_EQ(j["departure"]["call"], reset.number - 1) << j.dump();
    EXPECT_EQ(j["departure"]["function"], "enyx_hw_core_lock");
    EXPECT_EQ(j["departure"]["actual_function"], "enyx_hw_a2c_stream_poll_once");
    EXPECT_NE(r.err.find("kest replay: departure at call " + std::to_string(reset.number - 1) +
                         ", enyx_hw_core_lock: expected enyx_hw_core_lock("),
              std::string::npos)
        << r.err;
    EXPECT_EQ(Count(r.err, "departure"), 1u) << r.err;
}

TEST_F(TraceRoundTrip, AChangedConfigurationIsNamedAtItsFirstRegisterWrite) {
    std::string text = tools_test::ReadFile(config_);
    const size_t at = text.find("TARGETROUTE=0");
    ASSERT_NE(at, std::string::npos);
    text.replace(at, 13, "TARGETROUTE=3");
    const std::string changed = dir_->File("changed.ini");
    tools_test::WriteFile(changed, text);
    const Call route = RouteWrite();
    ASSERT_NE(route.number, 0u);
    const auto [r, j] = Replay(trace_, changed, "planted-config");
    ASSERT_EQ(j["departed"], true) << r.err;
    EXPECT_EQ(j["departure"]["call"], route.number) << j.dump();
    EXPECT_EQ(j["departure"]["function"], "enyx_hw_write");
    const std::string line = "kest replay: departure at call " + std::to_string(route.number) +
                             ", enyx_hw_write: expected enyx_hw_write(core #" + std::to_string(route.arg[0]) +
                             ", reg 0x03000 32/0, value 0x0) actual enyx_hw_write(core #" +
                             std::to_string(route.arg[0]) + ", reg 0x03000 32/0, value 0x3)";
    EXPECT_NE(r.err.find(line), std::string::npos) << r.err;
}

TEST_F(TraceRoundTrip, TheTracedQuotesAreWhatTheReceiverRecorded) {
    const std::string quotes = dir_->File("quotes.rec");
    const Result q = tools_test::RunTool({KEST_TRACE, "quotes", trace_, "-o", quotes});
    ASSERT_EQ(q.exit, 0) << q.err;
    const Result cmp = tools_test::RunTool({KEST_RECORD, "compare", quotes, recording_});
    EXPECT_EQ(cmp.exit, 0) << cmp.out << cmp.err;
    const Result info = tools_test::RunTool({KEST_RECORD, "info", quotes});
    EXPECT_EQ(info.exit, 0) << info.err;
    EXPECT_EQ(info.out.find("records: 0"), std::string::npos) << info.out;
}

TEST_F(TraceRoundTrip, InfoShowsBothBringUpsAndDiffFindsThePlantedValue) {
    const Result info = tools_test::RunTool({KEST_TRACE, "info", trace_});
    ASSERT_EQ(info.exit, 0) << info.err;
    for (const char* phase : {"decision", "1 reset", "1 programming", "1 snapshot SHFE_2PS", "1 tables",
                              "1 subscription", "1 start", "2 reset", "2 start"})
        EXPECT_NE(info.out.find(std::string("  ") + phase + " "), std::string::npos) << phase << "\n"
                                                                                     << info.out;
    EXPECT_NE(info.out.find("closed at the process's exit"), std::string::npos) << info.out;

    const Call route = RouteWrite();
    ASSERT_NE(route.number, 0u);
    const std::string other = dir_->File("other.ktr");
    Rewrite(trace_, other, [&](Call& c) {
        if (c.number == route.number) c.arg[3] = 7;
    });
    const Result same = tools_test::RunTool({KEST_TRACE, "diff", trace_, trace_});
    EXPECT_EQ(same.exit, 0) << same.out;
    const Result diff = tools_test::RunTool({KEST_TRACE, "diff", trace_, other});
    EXPECT_EQ(diff.exit, 1);
    EXPECT_NE(diff.out.find("A call " + std::to_string(route.number) + ": enyx_hw_write(core #" +
                            std::to_string(route.arg[0]) + ", reg 0x03000 32/0, value 0x0)"),
              std::string::npos)
        << diff.out;
    EXPECT_NE(diff.out.find("value 0x7)"), std::string::npos) << diff.out;
    EXPECT_NE(diff.out.find("0 further calls differ"), std::string::npos) << diff.out;

    const Result dump =
        tools_test::RunTool({KEST_TRACE, "dump", trace_, "--function", "write", "--from",
                             std::to_string(route.number), "--to", std::to_string(route.number)});
    EXPECT_EQ(dump.exit, 0) << dump.err;
    EXPECT_EQ(Count(dump.out, "\n"), 1u) << dump.out;
    EXPECT_NE(dump.out.find("reg 0x03000"), std::string::npos) << dump.out;
}

// A few register writes in uncompressed blocks of a trace, enough for several blocks.
std::string SmallTrace() {
    kest_trace::WriterOptions opt;
    opt.compress = false;
    std::string bytes;
    auto w = kest_trace::Writer::ToString(&bytes, opt);
    for (uint64_t i = 0; i < 20000; ++i) {
        const uint64_t args[kest_trace::kMaxArgs] = {5, 4 * R::ROUTE, kest_trace::Bits(0, 32), i};
        w->Add(Fn::kWrite, 0, 0, 1000 + 40 * static_cast<int64_t>(i), args, nullptr, 0);
    }
    w.reset();
    return bytes;
}

// The receiver over `libraries` with `vars`: what it said and how it ended.
Result Receiver(const std::string& libraries, tools_test::Environment vars) {
    TempDir dir;
    tools_test::WriteFile(dir.File("ch5.ini"), "[config]\nlog_level=1\ncpucore=-1\ndevice=xilinx0:5\n");
    vars.push_back({"LD_LIBRARY_PATH", libraries + ":" + KEST_MODEL_DIR});
    return Process({KEST_MD_RECV, dir.File("ch5.ini"), "--quiet", "--seconds", "1"}, dir.Path(), "recv", vars)
        .Wait();
}

TEST(TraceBadInput, TheTracingLibraryWithoutACardLibraryBehindItSaysSoInOneLineAndExits78) {
    const std::vector<std::pair<tools_test::Environment, std::string>> cases = {
        {{{"KEST_TRACE_TARGET", ""}}, "KEST_TRACE_TARGET is not set and there is no "},
        {{{"KEST_TRACE_TARGET", "/nonexistent/libenyx-hw-c.so.5"}}, "No such file or directory"},
        {{{"KEST_TRACE_TARGET", "lib/libenyx-hw-c.so.5"}}, "is not an absolute path"},
        {{{"KEST_TRACE_TARGET", "/tmp"}}, "the target does not load: "},
        {{{"KEST_TRACE_TARGET", KEST_PRODUCT}}, "has no function enyx_hw_filter_create"},
        {{{"KEST_TRACE_TARGET", std::string(KEST_TRACE_DIR) + "/libenyx-hw-c.so.5"}},
         "is this tracing library itself"},
        {{{"KEST_TRACE_TARGET", ModelLibrary()}, {"KEST_TRACE_QUOTES", "some"}}, "not summary or all"},
        {{{"KEST_TRACE_TARGET", ModelLibrary()}, {"KEST_TRACE_MAX_MB", "0"}}, "not a size in MiB"},
        {{{"KEST_TRACE_TARGET", ModelLibrary()}, {"KEST_TRACE_FILE", "/nonexistent/t.ktr"}},
         "cannot write the trace"},
    };
    for (const auto& [vars, said] : cases) {
        const Result r = Receiver(KEST_TRACE_DIR, vars);
        EXPECT_EQ(r.exit, kest_trace::kSetupExit) << said;
        EXPECT_EQ(r.err.rfind("libenyx-hw-c.so.5 (kest trace): ", 0), 0u) << r.err;
        EXPECT_NE(r.err.find(said), std::string::npos) << r.err;
        EXPECT_EQ(Count(r.err, "\n"), 1u) << r.err;
    }
}

TEST(TraceBadInput, AReplayWithoutATraceExits78AndADamagedTraceIsReplayedUpToItsDamage) {
    TempDir dir;
    tools_test::WriteFile(dir.File("garbage.ktr"), std::string(4096, 'x'));
    for (const auto& [trace, said] : std::vector<std::pair<std::string, std::string>>{
             {"", "KEST_REPLAY_TRACE is not set"},
             {dir.File("missing.ktr"), "cannot replay " + dir.File("missing.ktr")},
             {dir.File("garbage.ktr"), "not a trace"}}) {
        const Result r = Receiver(KEST_REPLAY_DIR, {{"KEST_REPLAY_TRACE", trace}});
        EXPECT_EQ(r.exit, kest_trace::kSetupExit) << said;
        EXPECT_EQ(r.err.rfind("kest replay: ", 0), 0u) << r.err;
        EXPECT_NE(r.err.find(said), std::string::npos) << r.err;
    }
    std::string bytes = SmallTrace();
    bytes[64 + 48 + kest_trace::kBlockBytes + 48 + 100] ^= 0x40;  // in the second block's data
    tools_test::WriteFile(dir.File("damaged.ktr"), bytes);
    const Result r = Receiver(KEST_REPLAY_DIR, {{"KEST_REPLAY_TRACE", dir.File("damaged.ktr")},
                                                {"KEST_REPLAY_SUMMARY", dir.File("damaged.json")}});
    EXPECT_NE(r.err.find(": block 1 at offset "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("; replaying the "), std::string::npos) << r.err;
    const json j = Summary(dir.File("damaged.json"));
    EXPECT_NE(j.value("trace_problem", "").find("CRC-32C"), std::string::npos) << j.dump();
    EXPECT_EQ(j["departure"]["call"], 1) << "the product's first call is not the trace's first";
}

TEST(TraceBadInput, KestTraceReadsUpToTheDamageSaysSoAndExitsAsDocumented) {
    TempDir dir;
    const std::string bytes = SmallTrace();
    tools_test::WriteFile(dir.File("garbage.ktr"), std::string(4096, 'x'));
    tools_test::WriteFile(dir.File("cut.ktr"), bytes.substr(0, bytes.size() / 2));
    std::string damaged = bytes;
    damaged[64 + 48 + kest_trace::kBlockBytes + 48 + 100] ^= 0x40;
    tools_test::WriteFile(dir.File("damaged.ktr"), damaged);
    const Result garbage = tools_test::RunTool({KEST_TRACE, "info", dir.File("garbage.ktr")});
    EXPECT_EQ(garbage.exit, 1);
    EXPECT_NE(garbage.err.find("not a trace"), std::string::npos) << garbage.err;
    const Result cut = tools_test::RunTool({KEST_TRACE, "info", dir.File("cut.ktr")});
    EXPECT_EQ(cut.exit, 0) << "a cut trace is not damage";
    EXPECT_NE(cut.err.find("bytes of a cut last block ignored"), std::string::npos) << cut.err;
    EXPECT_NE(cut.out.find("end: not closed"), std::string::npos) << cut.out;
    const Result dump = tools_test::RunTool({KEST_TRACE, "dump", dir.File("damaged.ktr")});
    EXPECT_EQ(dump.exit, 1);
    EXPECT_NE(dump.err.find("block 1 at offset"), std::string::npos) << dump.err;
    EXPECT_NE(dump.err.find("read up to there"), std::string::npos) << dump.err;
    EXPECT_GT(Count(dump.out, "enyx_hw_write("), 1000u) << "the first block is read";
    for (const std::vector<std::string>& bad :
         std::vector<std::vector<std::string>>{{"show", dir.File("cut.ktr")},
                                               {"info", "--bogus", dir.File("cut.ktr")},
                                               {"diff", dir.File("cut.ktr")}})
        EXPECT_EQ(tools_test::RunTool([&] {
                      std::vector<std::string> argv{KEST_TRACE};
                      argv.insert(argv.end(), bad.begin(), bad.end());
                      return argv;
                  }())
                      .exit,
                  2)
            << bad[0] << " " << bad[1];
}

}  // namespace
