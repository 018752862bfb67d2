// Loading the configuration record: defaults, width cuts, switches, the
// device key and the channel sections.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "ConfigKeys.h"
#include "ConfigPeer.h"
#include "KestShfeMdApiImpl.h"
#include "TestSupport.h"

namespace {

using Peer = CKestShfeMdApiImplTestPeer;
using V = std::vector<int64_t>;

class ConfigTest : public ::testing::Test {
protected:
    void SetUp() override { Kest_U50::CCommonLog::GetInstance().SetLogLevel(0); }
    const Kest_U50::U50ConfigInfo& Load(const std::string& content) {
        kest_test::WriteFile(dir_.File("kest.ini"), content);
        EXPECT_EQ(Peer::Load(*api_, dir_.File("kest.ini")), 0);
        return Peer::Config(*api_);
    }

    kest_test::ScopedTempDir dir_;
    std::unique_ptr<CKestShfeMdApiImpl> api_{new CKestShfeMdApiImpl()};
};

// The default multicast lines and highest instrument numbers are checked where they reach the card.
TEST_F(ConfigTest, NoConfigSectionGivesEveryDefault) {
    const auto& cfg = Load("# nothing but a comment\n[other]\nlog_level=1\n");
    EXPECT_EQ((V{cfg.log_level, cfg.cpucore, cfg.bus_id, cfg.channel_id, cfg.enabled_mask.enabled_mask}),
              (V{15, -1, 0, 0, 9}));
    const auto& t = cfg.topicID;
    const auto& p = cfg.snapTcpPort;
    EXPECT_EQ((V{t.shfe2ps_topic_id, t.shfe4ps_topic_id, t.ine2ps_topic_id, t.ine4ps_topic_id,
                 p.shfe2ps_snap_port, p.shfe4ps_snap_port, p.ine2ps_snap_port, p.ine4ps_snap_port}),
              (V{1000, 1101, 5000, 5101, 33022, 22000, 33022, 22000}));
    EXPECT_EQ((V{cfg.last_tick_channel, cfg.detect_interval, cfg.board_id, cfg.DSTPORT, cfg.TARGETROUTE,
                 int64_t(cfg.DSTMAC.Length()), cfg.crc_mux_check}),
              (V{0, 4294967295, 0, 0, 0, 0, false}));
    for (const auto& channel : cfg.channelInfo)
        EXPECT_FALSE(channel.insts.Length() || channel.options || channel.recvall);
}

TEST_F(ConfigTest, OtherChannelsReadOnlyTheFirstThreeKeys) {
    const auto& cfg = Load(
        "[config]\ndevice=xilinx0:2\nlog_level=3\ncpucore=5\nshfe4ps=enabled\n"
        "shfe2ps_ip_a=1.2.3.4:5\n[channel2]\ninsts=cu\n");
    EXPECT_EQ((V{cfg.channel_id, cfg.log_level, cfg.cpucore, cfg.enabled_mask.enabled_mask,
                 int64_t(cfg.multiIpAndPort.shfe2ps_ip_a.Length()),
                 int64_t(cfg.channelInfo[2].insts.Length()), cfg.detect_interval, cfg.crc_mux_check}),
              (V{2, 3, 5, 0, 0, 0, 0, false}));
}

TEST_F(ConfigTest, DeviceThatDoesNotScanKeepsWhatItCannotRead) {
    EXPECT_EQ(Load("[config]\ndevice=xilinx1:3\n").channel_id, 3);
    EXPECT_EQ((V{Load("[config]\ndevice=xilinx2\n").bus_id, Load("[config]\ndevice=card0\n").channel_id}),
              (V{2, 3}));
}

TEST_F(ConfigTest, ChannelSectionsAndTheirFlags) {
    // "channel01" is not the section of channel 1, and there is no channel 16.
    const auto& cfg = Load(
        "[config]\n[channel0]\ninsts=all\noptions=recv\n[channel1]\ninsts=all,cu2406\n[channel7]\ninsts=ALL\n"
        "options=RECV\n[channel15]\ninsts=cu2406, "
        "al2407\n[channel16]\ninsts=zn1616\n[channel01]\ninsts=ni0101\n");
    EXPECT_TRUE(cfg.channelInfo[0].recvall && cfg.channelInfo[0].options);
    EXPECT_FALSE(cfg.channelInfo[1].recvall || cfg.channelInfo[7].recvall || cfg.channelInfo[7].options);
    const std::map<int, std::string> lists = {
        {0, "all"}, {1, "all,cu2406"}, {7, "ALL"}, {15, "cu2406, al2407"}};
    for (int c = 0; c < 16; ++c)
        EXPECT_EQ(cfg.channelInfo[c].insts.data(), lists.count(c) ? lists.at(c) : "") << "channel " << c;
    // Nor anywhere else in the record: the lists of those two sections are read into nothing.
    const char* bytes = reinterpret_cast<const char*>(&cfg);
    const std::string whole(bytes, bytes + sizeof cfg);
    EXPECT_EQ(whole.find("zn1616"), std::string::npos);
    EXPECT_EQ(whole.find("ni0101"), std::string::npos);
}

TEST_F(ConfigTest, UnreadableFileFailsAndLeavesTheRecord) {
    Load("[config]\ncpucore=4\n");
    EXPECT_EQ(Peer::Load(*api_, dir_.File("missing.ini")), -1);
    EXPECT_EQ(Peer::Config(*api_).cpucore, 4);
}

// --- The key table against the library's own loading ------------------------

using kest_tools::ConfigKey;
using kest_tools::ConfigReader;
using kest_tools::ConfigRule;

// What a key puts in the record, as text: numbers in decimal, flags 0 or 1.
std::string Field(const Kest_U50::U50ConfigInfo& c, const std::string& key, int ch) {
    using F = std::function<std::string(const Kest_U50::U50ConfigInfo&)>;
    auto n = [](int64_t v) { return std::to_string(v); };
#define KEST_FIELD(key, expr)                                        \
    {                                                                \
#key, [&](const Kest_U50::U50ConfigInfo& c) { return expr; } \
    }
    const std::map<std::string, F> fields = {
        KEST_FIELD(log_level, n(c.log_level)),
        KEST_FIELD(cpucore, n(c.cpucore)),
        KEST_FIELD(device, n(c.bus_id) + ":" + n(c.channel_id)),
        KEST_FIELD(shfe2ps, n(c.enabled_mask.shfe2ps)),
        KEST_FIELD(shfe4ps, n(c.enabled_mask.shfe4ps)),
        KEST_FIELD(ine2ps, n(c.enabled_mask.ine2ps)),
        KEST_FIELD(ine4ps, n(c.enabled_mask.ine4ps)),
        KEST_FIELD(shfe2ps_ip_a, c.multiIpAndPort.shfe2ps_ip_a.data()),
        KEST_FIELD(shfe2ps_ip_b, c.multiIpAndPort.shfe2ps_ip_b.data()),
        KEST_FIELD(shfe4ps_ip_a, c.multiIpAndPort.shfe4ps_ip_a.data()),
        KEST_FIELD(shfe4ps_ip_b, c.multiIpAndPort.shfe4ps_ip_b.data()),
        KEST_FIELD(ine2ps_ip_a, c.multiIpAndPort.ine2ps_ip_a.data()),
        KEST_FIELD(ine2ps_ip_b, c.multiIpAndPort.ine2ps_ip_b.data()),
        KEST_FIELD(ine4ps_ip_a, c.multiIpAndPort.ine4ps_ip_a.data()),
        KEST_FIELD(ine4ps_ip_b, c.multiIpAndPort.ine4ps_ip_b.data()),
        KEST_FIELD(shfe2ps_topic_id, n(c.topicID.shfe2ps_topic_id)),
        KEST_FIELD(shfe4ps_topic_id, n(c.topicID.shfe4ps_topic_id)),
        KEST_FIELD(ine2ps_topic_id, n(c.topicID.ine2ps_topic_id)),
        KEST_FIELD(ine4ps_topic_id, n(c.topicID.ine4ps_topic_id)),
        KEST_FIELD(shfe2ps_snap_port, n(c.snapTcpPort.shfe2ps_snap_port)),
        KEST_FIELD(shfe4ps_snap_port, n(c.snapTcpPort.shfe4ps_snap_port)),
        KEST_FIELD(ine2ps_snap_port, n(c.snapTcpPort.ine2ps_snap_port)),
        KEST_FIELD(ine4ps_snap_port, n(c.snapTcpPort.ine4ps_snap_port)),
        KEST_FIELD(shfe2ps_max_inst_no, n(c.maxInstNo.shfe2ps_max_inst_no)),
        KEST_FIELD(shfe4ps_max_inst_no, n(c.maxInstNo.shfe4ps_max_inst_no)),
        KEST_FIELD(ine2ps_max_inst_no, n(c.maxInstNo.ine2ps_max_inst_no)),
        KEST_FIELD(ine4ps_max_inst_no, n(c.maxInstNo.ine4ps_max_inst_no)),
        KEST_FIELD(last_tick_channel, n(c.last_tick_channel)),
        KEST_FIELD(board_id, n(c.board_id)),
        KEST_FIELD(DSTMAC, c.DSTMAC.data()),
        KEST_FIELD(DSTIP, c.DSTIP.data()),
        KEST_FIELD(DSTPORT, n(c.DSTPORT)),
        KEST_FIELD(SRCMAC, c.SRCMAC.data()),
        KEST_FIELD(SRCIP, c.SRCIP.data()),
        KEST_FIELD(SRCPORT, n(c.SRCPORT)),
        KEST_FIELD(TARGETROUTE, n(c.TARGETROUTE)),
        KEST_FIELD(crc_mux_check, n(c.crc_mux_check)),
    };
#undef KEST_FIELD
    if (key == "insts") return c.channelInfo[ch].insts.data();
    if (key == "options") return n(c.channelInfo[ch].options);
    const auto f = fields.find(key);
    return f == fields.end() ? "(no field for " + key + ")" : f->second(c);
}

// What the table says a value (or the default, when the key is missing) becomes.
std::string Expected(const ConfigKey& k, const std::string* value) {
    const std::string t = value != nullptr ? *value : k.def;
    const long long raw = std::strtoll(t.c_str(), nullptr, 10);
    switch (k.rule) {
        case ConfigRule::Switch:
            return t == "enabled" ? "1" : "0";
        case ConfigRule::Options:
            return t == "recv" ? "1" : "0";
        case ConfigRule::CrcFlag:
            return static_cast<uint16_t>(raw) == 1 ? "1" : "0";
        case ConfigRule::Device: {
            int bus = 0, channel = 0;
            (void)std::sscanf(t.c_str(), "xilinx%d:%d", &bus, &channel);
            return std::to_string(bus) + ":" + std::to_string(channel);
        }
        default:
            break;
    }
    switch (k.reader) {
        case ConfigReader::Int32:
            return std::to_string(static_cast<int32_t>(raw));
        case ConfigReader::UInt16:
            return std::to_string(static_cast<uint16_t>(raw));
        case ConfigReader::UInt32:
            return std::to_string(static_cast<uint32_t>(raw) &
                                  (k.rule == ConfigRule::LowBits16 ? 0xFFFFu : ~0u));
        case ConfigReader::Text:
            return k.capacity != 0 ? t.substr(0, k.capacity - 1) : t;
    }
    return "?";
}

// Values that tell one reading from another: a plain one, one that is not a
// number (or not the switch's word), one cut by the field (65537: a 16-bit 1).
std::vector<std::string> Probes(const ConfigKey& k) {
    switch (k.rule) {
        case ConfigRule::Switch:
            return {"enabled", "disabled", "Enabled", "enabled x", "1", "yes"};
        case ConfigRule::Options:
            return {"recv", "norecv", "RECV", "1"};
        case ConfigRule::Device:
            return {"xilinx3:0", "xilinx7", "card0"};
        default:
            break;
    }
    if (k.reader == ConfigReader::Text)
        return {"239.1.2.3:4", std::string(k.capacity != 0 ? k.capacity + 10 : 300, '7')};
    return {"12345", "-2", "x7", "", "7x", "65537", "70000", "4294967297"};
}

std::string FileWith(const ConfigKey& k, const std::string& value, int ch) {
    if (std::string(k.section) == kest_tools::kConfigSection)
        return "[config]\n" + std::string(k.name) + "=" + value + "\n";
    return "[config]\n[" + kest_tools::ChannelSectionName(ch) + "]\n" + k.name + "=" + value + "\n";
}

// Every key of the table, on every channel for the channel keys: missing (the
// default), a value, a non-number, a cut one, each as a new object loads it
// (a load keeps what a device text does not scan).
TEST_F(ConfigTest, EveryKeyOfTheTableIsReadAsTheTableSays) {
    auto Load = [this](const std::string& text) -> const Kest_U50::U50ConfigInfo& {
        api_.reset(new CKestShfeMdApiImpl());
        return ConfigTest::Load(text);
    };
    for (const ConfigKey& k : kest_tools::kConfigKeys) {
        SCOPED_TRACE(k.name);
        const bool channelKey = std::string(k.section) != kest_tools::kConfigSection;
        for (int ch = 0; ch < (channelKey ? Kest_U50::CHANNEL_SIZE : 1); ++ch) {
            EXPECT_EQ(Field(Load("[config]\n"), k.name, ch), Expected(k, nullptr))
                << "default, channel " << ch;
            for (const std::string& v : Probes(k))
                EXPECT_EQ(Field(Load(FileWith(k, v, ch)), k.name, ch), Expected(k, &v))
                    << v << ", channel " << ch;
        }
    }
}

// The library logs each value it loads by name: those names are the table's
// keys (a key the library reads and the table lacks shows there), with the
// table's defaults.
TEST_F(ConfigTest, TheLibraryLoadsTheKeysOfTheTableAndNoOther) {
    Kest_U50::CCommonLog::GetInstance().SetLogLevel(Kest_U50::LOG_DEBUG);
    testing::internal::CaptureStdout();
    Load("[config]\n");
    const std::string log = testing::internal::GetCapturedStdout();
    Kest_U50::CCommonLog::GetInstance().SetLogLevel(0);
    std::map<std::string, std::string> logged;
    const std::regex line(R"(\[_ReadConfig\] (.*))"), item(R"((\w+)\[([^\]]*)\])");
    for (std::sregex_iterator l(log.begin(), log.end(), line), end; l != end; ++l) {
        const std::string text = (*l)[1];
        for (std::sregex_iterator i(text.begin(), text.end(), item); i != end; ++i) logged[(*i)[1]] = (*i)[2];
    }
    // Logged as what they make of the record, not by key.
    std::set<std::string> names = {"bus_id", "channel_id", "enabled_mask", "detect_interval"};
    int mask = 0;
    for (const ConfigKey& k : kest_tools::kConfigKeys) {
        if (std::string(k.section) != kest_tools::kConfigSection) continue;
        if (k.rule == ConfigRule::Switch) {
            mask |= Expected(k, nullptr) == "1" ? 1 << k.feed : 0;
        } else if (k.rule != ConfigRule::Device) {
            names.insert(k.name);
            EXPECT_EQ(logged[k.name], Expected(k, nullptr)) << k.name;
        }
    }
    std::set<std::string> seen;
    for (const auto& l : logged) seen.insert(l.first);
    EXPECT_EQ(seen, names);
    EXPECT_EQ(logged["enabled_mask"], std::to_string(mask));
}

}  // namespace
