// kest-card-info (and the receiver's start messages) over the card model: what
// it reads, that it writes nothing, the decision it foretells for a
// configuration file, and how it sees a card that a receiver has just brought
// up beside it (and records, a file a second).
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "FpgaRegisterCommon.h"
#include "ToolRunner.h"
#include "crc/Crc32.h"
#include "kest_cardsim.h"
#include "recording/RunReader.h"

namespace {

namespace R = Kest_U50::Reg;
using nlohmann::json;
using tools_test::Process;
using tools_test::Result;
using tools_test::RunTool;
using tools_test::TempDir;

uint32_t FileCrc(const std::string& text) {
    uint32_t crc = 0;
    Kest_U50::CCrc32().calculate_crc32c(crc, reinterpret_cast<const uint8_t*>(text.data()),
                                        static_cast<int32_t>(text.size()));
    return crc;
}

// Each test has a namespace of its own, inherited by the tools it runs.
class CardTools : public ::testing::Test {
protected:
    void SetUp() override {
        ns_ = "toolstest." + std::to_string(getpid());
        setenv("KEST_CARDSIM_NAMESPACE", ns_.c_str(), 1);
        for (uint32_t index : kest_sim::ListCards()) kest_sim::RemoveCard(index);
    }
    void TearDown() override {
        for (uint32_t index : kest_sim::ListCards()) kest_sim::RemoveCard(index);
    }
    json Info(const std::vector<std::string>& more = {}) {
        std::vector<std::string> argv = {KEST_CARD_INFO, "--json"};
        argv.insert(argv.end(), more.begin(), more.end());
        const Result r = RunTool(argv);
        EXPECT_EQ(r.exit, 0) << r.err;
        return json::parse(r.out.empty() ? "{}" : r.out);
    }
    std::string ns_;
    TempDir dir_;
};

TEST_F(CardTools, NoCardSaysWhichIndexAndNamespaceWereLookedForAndHowToStartTheModel) {
    const Result text = RunTool({KEST_CARD_INFO, "--card", "3"});
    EXPECT_EQ(text.exit, 1);
    const std::string inNamespace = "namespace \"" + ns_ + "\"";
    for (const char* said :
         {"kest-card-info: no card 3 found", inNamespace.c_str(), "kest-card-sim --card 3"})
        EXPECT_NE(text.err.find(said), std::string::npos) << said << "\n" << text.err;
    const json j = json::parse(RunTool({KEST_CARD_INFO, "--card", "3", "--json"}).out);
    EXPECT_EQ(j["card"], 3);
    EXPECT_EQ(j["error"], "no card 3 found");

    // The receiver gives the same advice, for the card its configuration names.
    const Result recv = RunTool({KEST_MD_RECV, KEST_SAMPLE_CONFIG, "--seconds", "30"}, dir_.Path());
    EXPECT_EQ(recv.exit, 1);
    for (const char* said : {"kest-md-recv: start failed (-2): no card 0 answered", inNamespace.c_str(),
                             "kest-card-sim --card 0", "log file: kest_u50_"})
        EXPECT_NE(recv.err.find(said), std::string::npos) << said << "\n" << recv.err;
}

// The card a receiver names is the one of [config]'s device=, as the library
// reads it: a device= in another section is not the library's.
TEST_F(CardTools, TheReceiverNamesTheCardOfConfigsDeviceNotAnotherSections) {
    const std::string config = dir_.File("other-section.ini");
    tools_test::WriteFile(config, "[config]\ndevice=xilinx3:1\n[channel1]\ndevice=xilinx5:2\n");
    const Result recv = RunTool({KEST_MD_RECV, config, "--seconds", "30"}, dir_.Path());
    EXPECT_EQ(recv.exit, 1);
    EXPECT_NE(recv.err.find("start failed (-2): no card 3 answered"), std::string::npos) << recv.err;
}

TEST_F(CardTools, ShowsWhatTheCardHoldsAndWritesNothing) {
    ASSERT_EQ(kest_sim::CreateCard(0), 0);
    auto card = kest_sim::Card::Open(0);
    ASSERT_TRUE(card);
    const uint64_t now = static_cast<uint64_t>(std::time(nullptr));
    card->WriteReg(R::COMPILE_VER, 0x01020304);
    card->WriteReg(R::COMPILE_DATE, 0x20240618);
    card->WriteReg(R::CONFIG_CRC, 0x89abcdef);
    card->WriteReg(R::SHFE_INST_COUNT, 1499);
    card->WriteReg(R::INE_INST_COUNT, 399);
    const uint64_t times[4] = {now - 30, now - 7200, 0, now};
    for (uint32_t k = 0; k < 4; ++k) card->WriteReg(R::LAST_UPDATE_TIME_0 + k, times[k]);
    const uint32_t counters[4] = {R::MUX0_2PS_PKTS, R::MUX1_2PS_PKTS, R::MUX0_4PS_PKTS, R::MUX1_4PS_PKTS};
    for (uint32_t k = 0; k < 4; ++k) card->WriteReg(counters[k], (uint64_t{1} << 33) + k);
    const kest_sim::CardStats before = card->Stats();

    const json j = Info();
    EXPECT_EQ((std::vector<json>{j["card"], j["version"], j["design_version"], j["design_build_date"],
                                 j["config_checksum"], j["highest_instrument"],
                                 j["last_update"]["shfe2ps"]["epoch"], j["last_update"]["ine2ps"]["local"],
                                 j["multicast_packets"]["mux0_2ps"], j["multicast_packets"]["mux1_4ps"]}),
              (std::vector<json>{0, KEST_TEST_VERSION, 0x01020304, 0x20240618, 0x89abcdefu,
                                 json{{"shfe", 1499}, {"ine", 399}}, times[0], nullptr, uint64_t{1} << 33,
                                 (uint64_t{1} << 33) + 3}));
    EXPECT_NEAR(j["last_update"]["shfe4ps"]["age_seconds"].get<double>(), 7200, 600);
    EXPECT_FALSE(j.contains("config"));
    EXPECT_FALSE(j.contains("multicast_packets_per_second"));

    const Result text = RunTool({KEST_CARD_INFO});
    EXPECT_EQ(text.exit, 0);
    for (const char* shown : {"design version      0x01020304", "design build date   0x20240618  2024-06-18",
                              "config checksum     0x89abcdef", "highest instrument  SHFE 1499, INE 399",
                              "INE 2ps   never", "2ps mux0            8589934592"}) {
        EXPECT_NE(text.out.find(shown), std::string::npos) << shown << "\n" << text.out;
    }

    // Read-only: no register written, no core reset, and the reads went through the host interface.
    const kest_sim::CardStats after = card->Stats();
    EXPECT_EQ(after.host_writes, before.host_writes);
    EXPECT_EQ(after.journal_head, before.journal_head);
    EXPECT_EQ(after.core_resets, before.core_resets);
    EXPECT_GT(after.host_reads, before.host_reads);
}

TEST_F(CardTools, ForetellsTheBringUpDecisionForAConfigurationFile) {
    ASSERT_EQ(kest_sim::CreateCard(0), 0);
    auto card = kest_sim::Card::Open(0);
    ASSERT_TRUE(card);
    const std::string sample = tools_test::ReadFile(KEST_SAMPLE_CONFIG);
    std::string noCheck = sample;
    noCheck.replace(noCheck.find("crc_mux_check=1"), 15, "crc_mux_check=0");
    std::string channel5 = sample;
    channel5.replace(channel5.find("device=xilinx0:0"), 16, "device=xilinx0:5");
    const struct {
        const char* name;
        std::string text;
        bool sameCrc;
        bool counting;
        const char* decision;
        const char* sentence;
    } cases[] = {
        {"running", sample, true, true, "no-programming", "A start with this file will not program the card"},
        {"other-file", sample, false, true, "programming", "because the card keeps checksum 0x"},
        {"quiet-card", sample, true, false, "programming", "multicast packet counters are all 0"},
        {"check-off", noCheck, true, true, "programming", "because crc_mux_check is not 1 in it"},
        {"empty", "", true, true, "start-fails", "A start with this file will fail before touching the card"},
        {"channel5", channel5, true, true, "no-programming", "This file names channel 5"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir_.File(std::string(c.name) + ".ini");
        tools_test::WriteFile(path, c.text);
        const uint32_t crc = FileCrc(c.text);
        card->WriteReg(R::CONFIG_CRC, c.sameCrc ? crc : crc ^ 1u);
        card->WriteReg(R::MUX1_4PS_PKTS, c.counting ? 12345 : 0);
        const json j = Info({"--config", path});
        ASSERT_TRUE(j.contains("config"));
        EXPECT_EQ(j["config"]["decision"], c.decision);
        EXPECT_NE(j["config"]["sentence"].get<std::string>().find(c.sentence), std::string::npos)
            << j["config"]["sentence"];
        EXPECT_EQ(j["config"]["programs_card"], std::string(c.decision) == "programming");
        if (!c.text.empty()) {
            EXPECT_EQ(j["config"]["checksum"], crc);
        }
        const Result text = RunTool({KEST_CARD_INFO, "--config", path});
        EXPECT_NE(text.out.find(c.sentence), std::string::npos) << text.out;
    }
    const Result missing = RunTool({KEST_CARD_INFO, "--config", dir_.File("missing.ini")});
    EXPECT_EQ(missing.exit, 2);
    EXPECT_EQ(missing.err.rfind("kest-card-info: cannot read " + dir_.File("missing.ini"), 0), 0u)
        << missing.err;
}

// Waits, while `watched` runs, until the card holds a bring-up's checksum `crc` and counts packets; what
// it reports then, or null when `watched` ended first or the wait ran out.
json WaitForBringUp(Process& watched, uint32_t crc) {
    json j;
    auto up = [&] {
        const Result r = RunTool({KEST_CARD_INFO, "--json"});
        j = r.exit == 0 ? json::parse(r.out) : json();
        return r.exit == 0 && j["config_checksum"] == crc &&
               j["multicast_packets"]["mux0_2ps"].get<uint64_t>() > 0;
    };
    return WaitWhileRunning(watched, up, "the bring-up of a file of checksum " + std::to_string(crc))
               ? j
               : json();
}

TEST_F(CardTools, BesideARunningBringUpAndARestartThatDoesNotProgram) {
    const std::string config = dir_.File("kest_md.ini");
    const std::string text = tools_test::ReadFile(KEST_SAMPLE_CONFIG);
    tools_test::WriteFile(config, text);
    ASSERT_EQ(kest_sim::CreateCard(0), 0);  // created here, so the model leaves it in place on exit
    Process sim({KEST_CARD_SIM, "--card", "0", "--shfe-size", "300", "--ine-size", "80", "--rate", "200",
                 "--stats", "0"},
                dir_.Path(), "sim");
    const std::string recording = dir_.File("rotated.kestrec");
    Process recv({KEST_MD_RECV, config, "--quiet", "--seconds", "3600", "--record", recording,
                  "--record-rotate-s", "1"},
                 dir_.Path(), "recv1");

    const json up = WaitForBringUp(recv, FileCrc(text));
    ASSERT_FALSE(up.is_null()) << recv.Wait().err;
    EXPECT_EQ(up["highest_instrument"]["shfe"], 299);
    EXPECT_EQ(up["highest_instrument"]["ine"], 79);

    auto card = kest_sim::Card::Open(0);
    ASSERT_TRUE(card);
    const uint64_t journal = card->JournalHead();
    const json seen = Info({"--interval", "0.5", "--config", config});
    EXPECT_GT(seen["multicast_packets_per_second"]["mux0_2ps"].get<double>(), 0.0);
    EXPECT_GT(seen["last_update"]["shfe2ps"]["epoch"].get<uint64_t>(), 0u);
    EXPECT_EQ(seen["config"]["decision"], "no-programming");
    EXPECT_EQ(card->JournalHead(), journal);  // it wrote nothing beside the running receiver

    // Recording by the second: a third file begun, each file began with an
    // arrival a second or more after the one before, and holds arrivals of
    // less than a second from its beginning.
    WaitWhileRunning(
        recv, [&] { return access((recording + ".2").c_str(), F_OK) == 0; }, "a third file");
    recv.Signal(SIGTERM);
    const Result first = recv.Wait();
    EXPECT_EQ(first.exit, 0) << first.err;
    EXPECT_NE(first.out.find("=== summary ==="), std::string::npos);
    const std::vector<std::string> files = kest_rec::RecordingFiles(recording);
    EXPECT_GE(files.size(), 3u) << "waited for a third file of " << recording;
    constexpr int64_t kSecond = 1000000000;
    int64_t began = 0;
    for (const std::string& f : files) {
        auto r = kest_rec::RunReader::Open(f, nullptr);
        ASSERT_TRUE(r) << f;
        const int64_t start = r->Header().started_ns;
        EXPECT_TRUE(began == 0 || start - began >= kSecond) << f << " began " << start - began << " ns later";
        began = start;
        const kest_rec::Entry* e;
        size_t n;
        int64_t latest = start;
        while (r->NextRun(&e, &n))
            for (size_t i = 0; i < n; ++i) latest = std::max(latest, e[i].arrival_ns);
        EXPECT_LT(latest - start, kSecond) << f;
    }

    // A restart with the same file attaches without programming; a timed run
    // ends by itself, with no error line of its own.
    Process again({KEST_MD_RECV, config, "--seconds", "1"}, dir_.Path(), "recv2");
    const Result second = again.Wait();
    EXPECT_EQ(second.exit, 0) << second.err;
    EXPECT_NE(second.out.find("no changes have occurred, no initialization required"), std::string::npos);
    EXPECT_NE(second.out.find("=== summary ==="), std::string::npos);
    EXPECT_EQ(second.out.find("received signal"), std::string::npos) << second.out;
    EXPECT_EQ(second.out.find("[E]"), std::string::npos) << second.out;
    EXPECT_EQ(card->JournalHead(), journal);
    // The live table shows the card's time of each quote as a clock time,
    // once a quote came (however long a loaded machine takes).
    Process table({KEST_MD_RECV, config}, dir_.Path(), "recv3");
    const std::regex clock("exchange time[\\s\\S]*[0-2][0-9]:[0-5][0-9]:[0-5][0-9]\\.[0-9]{3}\n");
    EXPECT_TRUE(WaitWhileRunning(
        table, [&] { return std::regex_search(table.OutSoFar(), clock); }, "a quote in the live table"));
    table.Signal(SIGTERM);
    const Result third = table.Wait();
    EXPECT_EQ(third.exit, 0) << third.err;
    EXPECT_EQ(third.out.find("\033[2J"), std::string::npos);  // no clear-screen codes into a file
    EXPECT_EQ(card->JournalHead(), journal);

    sim.Signal(SIGTERM);
    EXPECT_EQ(sim.Wait().exit, 0);
    EXPECT_TRUE(kest_sim::CardExists(0));  // it was there before the model started
}

size_t Lines(const std::string& path) {
    const std::string text = tools_test::ReadFile(path);
    return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
}

// Waits until `path` holds more than `lines` lines while `writer` runs.
bool WaitForLines(Process& writer, const std::string& path, size_t lines) {
    return WaitWhileRunning(
        writer, [&] { return Lines(path) > lines; }, "more lines in " + path);
}

TEST_F(CardTools, AFileThatWouldSilenceTheCardIsRefusedBeforeTheCardIsTouched) {
    // Card 0 live, brought up from the sample, channel 2 receiving.
    const std::string config = dir_.File("kest_md.ini");
    tools_test::WriteFile(config, tools_test::ReadFile(KEST_SAMPLE_CONFIG));
    const std::string channel2 = dir_.File("channel2.ini");
    tools_test::WriteFile(channel2, "[config]\nlog_level=7\ncpucore=-1\ndevice=xilinx0:2\n");
    ASSERT_EQ(kest_sim::CreateCard(0), 0);  // there before the receiver looks for it
    Process sim({KEST_CARD_SIM, "--card", "0", "--shfe-size", "300", "--ine-size", "80", "--rate", "400",
                 "--stats", "0"},
                dir_.Path(), "sim");
    Process recv0({KEST_MD_RECV, config, "--quiet", "--seconds", "3600"}, dir_.Path(), "recv0");
    const uint32_t crc = FileCrc(tools_test::ReadFile(config));
    const json up = WaitForBringUp(recv0, crc);
    ASSERT_FALSE(up.is_null()) << "channel 0 never brought the card up: " << recv0.Wait().err;
    const std::string csv = dir_.File("channel2.csv");
    Process recv2({KEST_MD_RECV, channel2, "--quiet", "--csv", csv, "--seconds", "3600"}, dir_.Path(),
                  "recv2");
    ASSERT_TRUE(WaitForLines(recv2, csv, 1)) << "channel 2 never received a quote: " << recv2.Wait().err;

    // Sections misspelt, so no key is the library's: refused with the configuration check's verdict, exit 2
    // (its tests try the other files that say nothing to the library, random bytes among them).
    const std::string bad = dir_.File("typos.ini");
    tools_test::WriteFile(bad, "[Config]\ndevice=xilinx0:0\n[Channel0]\ninsts=cu\n");
    auto card = kest_sim::Card::Open(0);
    ASSERT_TRUE(card);
    const uint64_t journal = card->JournalHead();
    const Result refused = RunTool({KEST_MD_RECV, bad, "--seconds", "5"}, dir_.Path());
    EXPECT_EQ(refused.exit, 2) << refused.err;
    EXPECT_NE(refused.err.find("kest-md-recv: " + bad +
                               ": DANGEROUS: the library recognises no key in this file: a start reads it as "
                               "channel 0 with every default"),
              std::string::npos)
        << refused.err;
    EXPECT_NE(refused.err.find("--force starts anyway"), std::string::npos) << refused.err;
    EXPECT_EQ(refused.out, "");  // the library was never started: no log line
    EXPECT_EQ(card->JournalHead(), journal) << "the refused start wrote a register";
    // The configuration check says the same line.
    const Result check = RunTool({KEST_CONFIG_CHECK, bad});
    EXPECT_EQ(check.exit, 2);
    EXPECT_EQ(check.out.substr(0, check.out.find('\n')), refused.err.substr(14, refused.err.find('\n') - 14));

    // Channel 2 goes on receiving after the refusal.
    const size_t before = Lines(csv);
    EXPECT_TRUE(WaitForLines(recv2, csv, before)) << "channel 2 stopped receiving: " << recv2.Wait().err;
    EXPECT_EQ(Info()["config_checksum"], crc);
    recv2.Signal(SIGTERM);
    EXPECT_EQ(recv2.Wait().exit, 0);
}

TEST_F(CardTools, SecondsBoundAStartThatWaitsForASnapshotThatNeverComes) {
    // A card whose logic is not running: the start programs it and then waits
    // for the snapshot; the receiver says so, and --seconds ends the wait.
    ASSERT_EQ(kest_sim::CreateCard(0), 0);
    std::string text = tools_test::ReadFile(KEST_SAMPLE_CONFIG);
    text.replace(text.find("crc_mux_check=1"), 15, "crc_mux_check=0");
    tools_test::WriteFile(dir_.File("kest_md.ini"), text);
    const Result r = RunTool({KEST_MD_RECV, dir_.File("kest_md.ini"), "--seconds", "8"}, dir_.Path());
    EXPECT_EQ(r.exit, 1);
    for (const char* said :
         {"kest-md-recv: still starting after ", "waits for the card to mirror the exchange's snapshot",
          "--seconds 8 ran out before the start finished",
          "start failed (-2): it had not finished within --seconds 8."})
        EXPECT_NE(r.err.find(said), std::string::npos) << said << "\n" << r.err;
}

TEST_F(CardTools, TheModelRemovesACardItCreatedWhenStopped) {
    Process sim({KEST_CARD_SIM, "--card", "5", "--shfe-size", "50", "--ine-size", "10", "--stats", "0"},
                dir_.Path(), "sim");
    // Awaited: the card and the model's word that it runs, so that the signal meets the running model.
    ASSERT_TRUE(WaitWhileRunning(
        sim, [&] { return kest_sim::CardExists(5) && sim.OutSoFar().find("running") != std::string::npos; },
        "the model running card 5"));
    sim.Signal(SIGTERM);
    const Result r = sim.Wait();
    EXPECT_EQ(r.exit, 0) << r.err;
    EXPECT_NE(r.out.find("removed card 5"), std::string::npos) << r.out;
    EXPECT_FALSE(kest_sim::CardExists(5));

    Process keep({KEST_CARD_SIM, "--card", "6", "--keep-card", "--shfe-size", "50", "--ine-size", "10",
                  "--seconds", "1", "--stats", "0"},
                 dir_.Path(), "keep");
    EXPECT_EQ(keep.Wait().exit, 0);
    EXPECT_TRUE(kest_sim::CardExists(6));
}

}  // namespace
