// Loading the configuration record: defaults, width cuts, switches, the
// device key and the channel sections.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

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

TEST_F(ConfigTest, FeedSwitchesAreExactAndCaseSensitive) {
    // "enabled " is trimmed by the reader.
    EXPECT_EQ(Load("[config]\nshfe2ps=disabled\nshfe4ps=Enabled\nine2ps=enabled\nine4ps=enabled \n")
                  .enabled_mask.enabled_mask,
              0x04 | 0x08);
}

TEST_F(ConfigTest, NumbersAreCutToTheirFieldWidthAndTheCrcCheckIsOnlyForOne) {
    const auto& cfg =
        Load("[config]\nlast_tick_channel=65537\nshfe2ps_snap_port=70000\ncrc_mux_check=65537\nlog_level=\n");
    // A present but empty number reads as 0.
    EXPECT_EQ((V{cfg.last_tick_channel, cfg.snapTcpPort.shfe2ps_snap_port, cfg.crc_mux_check, cfg.log_level}),
              (V{1, 4464, true, 0}));
    EXPECT_EQ(Load("[config]\nlast_tick_channel=-1\n").last_tick_channel, 65535u);
    EXPECT_TRUE(Load("[config]\ncrc_mux_check=1\n").crc_mux_check);
    EXPECT_FALSE(Load("[config]\ncrc_mux_check=2\n").crc_mux_check);
}

TEST_F(ConfigTest, LongStringsAreCutToTheirCapacity) {
    const std::string address(300, 'a');
    std::string list;
    while (list.size() < 5000) list += "cu2501,";
    const auto& cfg = Load("[config]\nshfe2ps_ip_a=" + address + "\nDSTMAC=" + address +
                           "\n[channel3]\ninsts=" + list + "\n");
    EXPECT_EQ((V{int64_t(cfg.multiIpAndPort.shfe2ps_ip_a.Length()), int64_t(cfg.DSTMAC.Length())}),
              (V{255, 255}));
    EXPECT_EQ(std::string(cfg.channelInfo[3].insts.data()), list.substr(0, 4095));
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

}  // namespace
