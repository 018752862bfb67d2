// kest-config-check through its command line: what it prints for good, mistyped
// and dangerous files, and that the configuration it shows is the one the
// library itself reads from the same file.
#include <gtest/gtest.h>
#include <unistd.h>

#include <map>
#include <nlohmann/json.hpp>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "ConfigKeys.h"
#include "ConfigPeer.h"
#include "KestShfeMdApiImpl.h"
#include "ToolRunner.h"

namespace {

using nlohmann::json;
using tools_test::FirstLine;
using tools_test::Result;
using tools_test::RunTool;
using tools_test::TempDir;

const std::string kSample = tools_test::ReadFile(KEST_SAMPLE_CONFIG);

#ifdef KEST_CONFIG_CHECK
Result Check(const std::string& path, bool json = false) {
    std::vector<std::string> argv = {KEST_CONFIG_CHECK, path};
    if (json) argv.push_back("--json");
    return RunTool(argv);
}

// The sample with one line replaced (or, when `from` is empty, one added at the end).
std::string Edited(const std::string& from, const std::string& to) {
    if (from.empty()) return kSample + to + "\n";
    std::string s = kSample;
    const size_t at = s.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    if (at != std::string::npos) s.replace(at, from.size(), to);
    return s;
}

TEST(ConfigCheck, TheSampleFileHasNoWarning) {
    const Result r = Check(KEST_SAMPLE_CONFIG);
    EXPECT_EQ(r.exit, 0) << r.out;
    EXPECT_EQ(FirstLine(r.out), std::string(KEST_SAMPLE_CONFIG) + ": no warnings");
    EXPECT_NE(r.out.find("  crc_mux_check        = 1  (on)"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("channels without an instrument list (subscribe nothing): 3 4 5"),
              std::string::npos);

    const Result j = Check(KEST_SAMPLE_CONFIG, true);
    EXPECT_EQ(j.exit, 0);
    const json doc = json::parse(j.out);
    EXPECT_EQ(doc["verdict"], "clean");
    EXPECT_TRUE(doc["warnings"].empty());
    EXPECT_EQ(doc["enabled_mask"], 15);
    EXPECT_EQ(doc["channels"][0]["tokens"], json::array({"cu", "al", "au2502", "sc"}));
    EXPECT_EQ(doc["channels"][1]["recvall"], true);
    EXPECT_EQ(doc["config"]["shfe2ps_snap_port"]["value"], 33022);
    EXPECT_EQ(doc["config"]["DSTIP"]["value"], "192.168.10.2");
}

struct Planted {
    std::string from, to;  // the sample's line and its mistyped replacement
    const char* warning;   // what the check must say about it
};

TEST(ConfigCheck, EachPlantedMistakeIsReportedWithItsLine) {
    const std::vector<Planted> cases = {
        {"shfe2ps=enabled", "shfe2ps=Enabled",
         "shfe2ps=Enabled reads as off: only exactly 'enabled' enables"},
        {"crc_mux_check=1", "crc_mux_chek=1",
         "key 'crc_mux_chek' in [config] is never read (did you mean 'crc_mux_check'?)"},
        {"crc_mux_check=1", "crc_mux_check=yes", "'crc_mux_check=yes' is not a number: it reads as 0"},
        {"crc_mux_check=1", "crc_mux_check=2", "'crc_mux_check=2' reads as off: only the value 1"},
        {"insts=cu,al,au2502,sc", "insts=cu, al,au2502,sc", "token ' al' holds a blank"},
        {"insts=cu,al,au2502,sc", "insts=CU,al", "token 'CU' begins with a capital letter"},
        {"insts=cu,al,au2502,sc", "insts=all,cu2406", "token 'all': only a list that is exactly 'all'"},
        {"insts=cu,al,au2502,sc", "insts=cu,,al", "an empty token"},
        {"insts=cu,al,au2502,sc", "insts=cu240", "token 'cu240' can match only an identifier of exactly 5"},
        {"insts=cu,al,au2502,sc", "insts=" + std::string(40, 'x'), "is cut to 31 characters"},
        {"[channel2]", "[chanel2]", "section [chanel2] is never read (did you mean 'channel2'?)"},
        {"[channel2]", "[ channel2 ]", "section [ channel2 ] is never read (did you mean 'channel2'?)"},
        {"shfe2ps_snap_port=33022", "shfe2ps_snap_port=70000",
         "does not fit the 16-bit field: it reads as 4464"},
        {"shfe2ps_max_inst_no=81000", "shfe2ps_max_inst_no=81000x",
         "reads as 81000; the rest 'x' is ignored"},
        {"log_level=7", "log_level=", "log_level is empty: it reads as 0, not its default 15"},
        {"last_tick_channel=0", "last_tick_channel=65537", "only the low 16 bits are kept, it reads as 1"},
        {"device=xilinx0:0", "device=xilinx0", "device=xilinx0 does not read as xilinxN:C"},
        {"DSTMAC=00:0a:35:00:00:01", "DSTMAC=00-0a-35-00-00-01", "does not read as six two-digit hex bytes"},
        {"shfe4ps_ip_a=239.3.2.3:21101", "shfe4ps_ip_a=239.3.2.3", "has no ':port': this multicast line"},
        {"SRCIP=192.168.10.1", "SRCIP=192.168.10.300", "is not an IPv4 address"},
        {"options=norecv", "options=RECV", "options=RECV in [channel0] reads as off"},
        {"", "log_level=3", "key 'log_level' in [channel2] is never read"},
        {"", "insts=rb", "key 'insts' in [channel2] is set again (first at line"},
        {"", "[config]", "section [config] appears again (first at line"},
        {"", "cu2406", "no '=' and no [section] header: the line 'cu2406' is ignored"},
        {"", "insts=cu2406 # was [old]", "reads as the header of section 'old'"},
        {"shfe2ps_ip_a=239.3.42.71:21000", "shfe2ps_ip_a=" + std::string(300, '1'),
         "shfe2ps_ip_a has 300 characters: it is cut to 255"},
    };
    TempDir dir;
    for (const Planted& c : cases) {
        SCOPED_TRACE(c.to);
        const std::string path = dir.File("planted.ini");
        const std::string text = Edited(c.from, c.to);
        tools_test::WriteFile(path, text);
        const Result r = Check(path);
        EXPECT_EQ(r.exit, 1) << r.out;
        EXPECT_EQ(FirstLine(r.out).find("DANGEROUS"), std::string::npos);
        EXPECT_NE(FirstLine(r.out).find(" warning"), std::string::npos) << FirstLine(r.out);
        EXPECT_EQ(json::parse(Check(path, true).out)["verdict"], "warnings");
        const size_t at = r.out.find(c.warning);
        ASSERT_NE(at, std::string::npos) << r.out;
        // The warning names the line where the mistake stands.
        const size_t start = r.out.rfind('\n', at) + 1;
        const std::string where = r.out.substr(start, at - start);
        const size_t byteAt = c.from.empty() ? text.rfind(c.to) : text.find(c.to);
        const int line = 1 + static_cast<int>(std::count(text.begin(), text.begin() + byteAt, '\n'));
        EXPECT_NE(where.find("line " + std::to_string(line) + ":"), std::string::npos)
            << r.out.substr(start, 120);
    }
}

TEST(ConfigCheck, FilesThatWouldEmptyEveryChannelAreDangerousInTheFirstLine) {
    TempDir dir;
    std::mt19937 rng(20240618);
    std::string random(4096, '\0');
    for (char& c : random) c = static_cast<char>(rng() & 0xFF);
    // Every feed set to `value`, a list on channel `list`.
    auto feeds = [](const std::string& value, const char* list = "0") {
        std::string text = "[config]\ndevice=xilinx0:0\n";
        for (const char* feed : {"shfe2ps", "shfe4ps", "ine2ps", "ine4ps"})
            text += feed + ("=" + value) + "\n";
        return text + "[channel" + list + "]\ninsts=cu\n";
    };
    const char* const noFeed = "no feed is enabled: a start of channel 0 reprograms the card";
    const struct {
        std::string name;
        std::string text;
        const char* why;
    } cases[] = {
        {"Enabled.ini", feeds("Enabled"), noFeed},
        {"enabled1.ini", feeds("enabled1"), noFeed},
        {"1.ini", feeds("1"), noFeed},
        {"yes.ini", feeds("yes"), noFeed},
        {"random.bin", random, "the library recognises no key in this file"},
        {"typo-sections.ini", "[Config]\ndevice=xilinx0:0\n[Channel0]\ninsts=cu\n",
         "the library recognises no key in this file"},
        {"no-lists.ini", "[config]\ndevice=xilinx0:0\ncrc_mux_check=1\n[channel0]\noptions=recv\n",
         "channel 0 with no instrument list for any channel"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        tools_test::WriteFile(dir.File(c.name), c.text);
        const Result r = Check(dir.File(c.name));
        EXPECT_EQ(r.exit, 2);
        EXPECT_EQ(FirstLine(r.out).rfind(dir.File(c.name) + ": DANGEROUS: " + c.why, 0), 0u)
            << FirstLine(r.out);
        const json doc = json::parse(Check(dir.File(c.name), true).out);
        EXPECT_EQ(doc["verdict"], "dangerous");
        EXPECT_FALSE(doc["dangers"].empty());
        EXPECT_EQ(doc["channel"], 0);
    }
    // The same lists in a file for another channel are no danger: it never programs the card. Nor is
    // one feed exactly "enabled" and a list on the last channel only.
    tools_test::WriteFile(dir.File("channel3.ini"), "[config]\ndevice=xilinx0:3\n");
    const Result other = Check(dir.File("channel3.ini"));
    EXPECT_EQ(other.exit, 0) << other.out;
    std::string last = feeds("disabled", "15");
    last.replace(last.find("shfe2ps=disabled"), 16, "shfe2ps=enabled");
    tools_test::WriteFile(dir.File("channel15-list.ini"), last);
    const Result listed = Check(dir.File("channel15-list.ini"));
    EXPECT_EQ(listed.exit, 0) << listed.out;
}

TEST(ConfigCheck, DefaultsTakenAreNotedWithoutCountingAsWarnings) {
    TempDir dir;
    tools_test::WriteFile(dir.File("short.ini"), "[config]\ndevice=xilinx0:0\n[channel0]\ninsts=cu\n");
    const Result r = Check(dir.File("short.ini"));
    EXPECT_EQ(r.exit, 0) << r.out;
    EXPECT_EQ(FirstLine(r.out), dir.File("short.ini") + ": no warnings");
    EXPECT_NE(
        r.out.find("note: not in the file, so the library takes their defaults: log_level, cpucore, shfe2ps"),
        std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("note: without crc_mux_check=1 every start of channel 0 programs the card again"),
              std::string::npos);
    EXPECT_NE(r.out.find("  ine4ps               = enabled  (on, default)"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("  shfe4ps              = disabled  (off, default)"), std::string::npos);
}

TEST(ConfigCheck, AnUnreadableFileExits2) {
    const Result r = Check("/nonexistent/kest.ini");
    EXPECT_EQ(r.exit, 2);
    EXPECT_EQ(r.err, "kest-config-check: cannot read /nonexistent/kest.ini: No such file or directory\n");
    const json doc = json::parse(Check("/nonexistent/kest.ini", true).out);
    EXPECT_EQ(doc["verdict"], "unreadable");
}

// The configuration the check shows is, key by key, what the library's own
// start-up reads from the same file.
TEST(ConfigCheck, ShowsTheConfigurationTheLibraryReads) {
    TempDir dir;
    const std::vector<std::string> files = {
        kSample,
        "[config]\nlog_level=3x\ncpucore= 2\nshfe2ps=Enabled\nine2ps=enabled\nshfe2ps_snap_port=70000\n"
        "last_tick_channel=-1\nshfe4ps_topic_id=\ncrc_mux_check=65537\nboard_id=99999999999\n"
        "ine4ps_ip_b=" +
            std::string(300, '9') + "\n[channel4]\ninsts=all\noptions=recv\n[channel15]\ninsts=ALL\n",
        "# no sections at all\nlog_level=1\n",
        "[config]\ndevice=xilinx2:7\nshfe2ps=disabled\n",
    };
    const char* const chdirTo = dir.Path().c_str();
    char previous[4096];
    ASSERT_NE(getcwd(previous, sizeof previous), nullptr);
    ASSERT_EQ(chdir(chdirTo), 0);  // the library's log file goes there
    int n = 0;
    for (const std::string& text : files) {
        SCOPED_TRACE(text.substr(0, 60));
        const std::string path = dir.File("f" + std::to_string(++n) + ".ini");
        tools_test::WriteFile(path, text);
        CKestShfeMdApiImpl* api = new CKestShfeMdApiImpl();
        ASSERT_EQ(CKestShfeMdApiImplTestPeer::Load(*api, path), 0);
        const Kest_U50::U50ConfigInfo& c = CKestShfeMdApiImplTestPeer::Config(*api);
        const Result r = Check(path, true);
        const json doc = json::parse(r.out);
        const json& k = doc["config"];
        EXPECT_EQ(doc["card"], c.bus_id);
        EXPECT_EQ(doc["channel"], c.channel_id);
        EXPECT_EQ(k["log_level"]["value"], static_cast<int>(c.log_level));
        EXPECT_EQ(k["cpucore"]["value"], c.cpucore);
        if (c.channel_id != 0) {
            EXPECT_FALSE(k.contains("shfe2ps"));
            delete api;
            continue;
        }
        EXPECT_EQ(doc["enabled_mask"], c.enabled_mask.enabled_mask);
        EXPECT_EQ(k["shfe2ps_ip_a"]["value"], c.multiIpAndPort.shfe2ps_ip_a.data());
        EXPECT_EQ(k["ine4ps_ip_b"]["value"], c.multiIpAndPort.ine4ps_ip_b.data());
        EXPECT_EQ(k["shfe4ps_topic_id"]["value"], c.topicID.shfe4ps_topic_id);
        EXPECT_EQ(k["shfe2ps_snap_port"]["value"], c.snapTcpPort.shfe2ps_snap_port);
        EXPECT_EQ(k["ine4ps_max_inst_no"]["value"], c.maxInstNo.ine4ps_max_inst_no);
        EXPECT_EQ(k["last_tick_channel"]["value"], c.last_tick_channel);
        EXPECT_EQ(k["board_id"]["value"], c.board_id);
        EXPECT_EQ(k["DSTMAC"]["value"], c.DSTMAC.data());
        EXPECT_EQ(k["SRCIP"]["value"], c.SRCIP.data());
        EXPECT_EQ(k["DSTPORT"]["value"], c.DSTPORT);
        EXPECT_EQ(k["TARGETROUTE"]["value"], c.TARGETROUTE);
        EXPECT_EQ(k["crc_mux_check"]["reads_as"], c.crc_mux_check ? "on" : "off");
        for (int ch = 0; ch < 16; ++ch) {
            const json& j = doc["channels"][ch];
            EXPECT_EQ(j["insts"], c.channelInfo[ch].insts.data()) << ch;
            EXPECT_EQ(j["recv"], c.channelInfo[ch].options) << ch;
            EXPECT_EQ(j["recvall"], c.channelInfo[ch].recvall) << ch;
        }
        delete api;
    }
    ASSERT_EQ(chdir(previous), 0);
}
#endif

// The manual's entries of the keys against the key table: each term names its
// keys in bold and gives their defaults as "(default V", "(defaults V1, V2, ..."
// in the order of the names, or "(defaults: KEY V, ...". A key the table has and
// the manual not, or a default written otherwise in one of them, fails.
TEST(ConfigManual, EveryKeyOfTheTableIsDescribedWithItsDefault) {
    const std::string manual = tools_test::ReadFile(KEST_CONFIG_MANUAL);
    std::map<std::string, std::string> described;  // key -> default, as the manual writes it
    std::istringstream lines(manual);
    std::string line, previous;
    const std::regex bold(R"(\*\*([A-Za-z0-9_]+)\*\*)");
    while (std::getline(lines, line)) {
        const bool term = line.rfind(":   ", 0) == 0 && previous.rfind("**", 0) == 0;
        if (term) {
            const std::string head = previous.substr(0, previous.find(" ("));
            std::vector<std::string> names;
            for (std::sregex_iterator m(head.begin(), head.end(), bold), end; m != end; ++m)
                names.push_back((*m)[1]);
            std::smatch d;
            std::vector<std::string> values;
            bool each = false;  // "defaults": one value a key
            if (std::regex_search(previous, d, std::regex(R"(\(default(s?):? ([^;)]*))"))) {
                each = d[1].length() > 0;
                std::istringstream list(d[2].str());
                for (std::string v; std::getline(list, v, ',');)
                    values.push_back(v.substr(v.find_first_not_of(' ')));
            }
            for (size_t i = 0; i < names.size(); ++i) {
                std::string v = each && values.size() == names.size() ? values[i]
                                : values.empty()                      ? "?"
                                                                      : values[0];
                if (v.rfind(names[i] + " ", 0) == 0) v = v.substr(names[i].size() + 1);  // "KEY V"
                for (const std::string& named : values)
                    if (named.rfind(names[i] + " ", 0) == 0) v = named.substr(names[i].size() + 1);
                if (v.rfind("empty", 0) == 0) v = "";
                described[names[i]] = v;
            }
        }
        previous = line;
    }
    for (const kest_tools::ConfigKey& k : kest_tools::kConfigKeys) {
        const auto it = described.find(k.name);
        ASSERT_NE(it, described.end()) << k.name << " has no entry in the manual";
        EXPECT_EQ(it->second, k.def) << k.name;
    }
    EXPECT_EQ(described.size(), kest_tools::kConfigKeyCount)
        << "the manual describes a key the library does not read";
}

}  // namespace
