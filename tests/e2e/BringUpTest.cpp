// What a bring-up writes beside the register trace's fixed configuration
// (multicast lines of enabled and disabled feeds, the route), the CPU
// binding of the start, restarts that skip the bring-up and those that must
// not. (Quotes in buffer mode are the receive fuzzer's and the quote-path
// test's.)
#include <arpa/inet.h>
#include <sched.h>

#include <map>
#include <set>
#include <tuple>

#include "E2eSupport.h"
#include "FpgaRegisterCommon.h"

// The product calls sleep() through the C library: this definition records
// the bring-up's pauses instead of waiting.
extern "C" unsigned int sleep(unsigned int seconds) {
    auto card = kest_sim::Card::Open(0);
    e2e::sleeps.push_back({seconds, card ? card->JournalHead() : 0});
    return 0;
}

namespace e2e {
namespace {

namespace R = Kest_U50::Reg;

class BringUpTest : public World {};

// The multicast lines of each feed: address A, port A, address B, port B.
constexpr uint32_t kLines[4][4] = {
    {R::SHFE2PS_MCAST_IP_A, R::SHFE2PS_MCAST_PORT_A, R::SHFE2PS_MCAST_IP_B, R::SHFE2PS_MCAST_PORT_B},
    {R::SHFE4PS_MCAST_IP_A, R::SHFE4PS_MCAST_PORT_A, R::SHFE4PS_MCAST_IP_B, R::SHFE4PS_MCAST_PORT_B},
    {R::INE2PS_MCAST_IP_A, R::INE2PS_MCAST_PORT_A, R::INE2PS_MCAST_IP_B, R::INE2PS_MCAST_PORT_B},
    {R::INE4PS_MCAST_IP_A, R::INE4PS_MCAST_PORT_A, R::INE4PS_MCAST_IP_B, R::INE4PS_MCAST_PORT_B}};

TEST_F(BringUpTest, OnlyEnabledFeedsGetTheirMulticastLinesAndTheRouteKeepsItsLowFourBits) {
    OpenCard();
    static const char* const kKeys[4] = {"shfe2ps", "shfe4ps", "ine2ps", "ine4ps"};
    // Three selections in which no two feeds are switched alike, so that no feed's lines can follow
    // another feed's switch unseen.
    for (const uint8_t enabled : {uint8_t{0x9}, uint8_t{0x6}, uint8_t{0x3}}) {
        SCOPED_TRACE(static_cast<int>(enabled));
        ConfigText text;
        text.route = 0x3B;
        for (int f = 0; f < 4; ++f) {
            text.feeds[f] = (enabled >> f) & 1 ? "enabled" : "disabled";
            for (int line = 0; line < 2; ++line)
                text.extra += std::string(kKeys[f]) + "_ip_" + "ab"[line] + "=239.10." + std::to_string(f) +
                              "." + std::to_string(line + 1) + ":" + std::to_string(20000 + 10 * f + line) +
                              "\n";
        }
        for (const auto& feed : kLines)
            for (uint32_t reg : feed) card_->Model().WriteReg(reg, 0xDEAD);
        Api api;
        Collector spi;
        ASSERT_EQ(api->KestStart(spi, WriteConfig(text).c_str()), 0) << Log();
        EXPECT_EQ(card_->Model().ReadReg(R::ROUTE), 0xBu);
        for (int f = 0; f < 4; ++f) {
            for (int line = 0; line < 2; ++line) {
                const bool on = (enabled >> f) & 1;
                const std::string ip = "239.10." + std::to_string(f) + "." + std::to_string(line + 1);
                EXPECT_EQ(card_->Model().ReadReg(kLines[f][2 * line]), on ? ntohl(inet_addr(ip.c_str())) : 0u)
                    << kKeys[f] << " line "
                    << "AB"[line];
                EXPECT_EQ(card_->Model().ReadReg(kLines[f][2 * line + 1]), on ? 20000u + 10 * f + line : 0u)
                    << kKeys[f] << " line "
                    << "AB"[line];
            }
        }
    }
}

TEST_F(BringUpTest, TheStartBindsTheCallingThreadToTheConfiguredCpuAloneAndMinusOneLeavesIt) {
    cpu_set_t allowed;
    ASSERT_EQ(sched_getaffinity(0, sizeof allowed, &allowed), 0);
    std::vector<int> cpus;
    for (int c = 0; c < CPU_SETSIZE; ++c)
        if (CPU_ISSET(c, &allowed)) cpus.push_back(c);
    if (cpus.size() < 2) GTEST_SKIP() << "one CPU allowed: a binding cannot be told from none";
    OpenCard();
    for (const int cpu : {cpus.front(), cpus.back(), -1}) {
        SCOPED_TRACE(cpu);
        ASSERT_EQ(sched_setaffinity(0, sizeof allowed, &allowed), 0);
        ConfigText text;
        text.cpucore = cpu;
        Api api;
        Collector spi;
        ASSERT_EQ(api->KestStart(spi, WriteConfig(text).c_str()), 0) << Log();
        cpu_set_t now;
        ASSERT_EQ(sched_getaffinity(0, sizeof now, &now), 0);
        if (cpu < 0) {
            EXPECT_TRUE(CPU_EQUAL(&now, &allowed));
        } else {
            EXPECT_EQ(CPU_COUNT(&now), 1);
            EXPECT_TRUE(CPU_ISSET(cpu, &now));
        }
    }
}

class RestartTest : public World {};

TEST_F(RestartTest, AnyOneMulticastCounterCountingInEitherWordSkipsTheBringUp) {
    const std::string path = OpenCardWith();
    {
        Api api;
        Collector spi;
        ASSERT_EQ(api->KestStart(spi, path.c_str()), 0) << Log();
    }
    kest_sim::Card& model = card_->Model();
    const uint32_t counters[] = {R::MUX0_2PS_PKTS, R::MUX1_2PS_PKTS, R::MUX0_4PS_PKTS, R::MUX1_4PS_PKTS};
    for (const uint32_t counting : counters) {
        // The counters are 64 bits wide: a count in the high word is a count.
        for (const uint64_t value : {uint64_t{1}, uint64_t{1} << 32}) {
            for (uint32_t reg : counters) model.WriteReg(reg, reg == counting ? value : 0);
            const uint64_t head = model.JournalHead();
            Api api;
            Collector spi;
            ASSERT_EQ(api->KestStart(spi, path.c_str()), 0) << Log();
            EXPECT_EQ(model.JournalHead(), head) << "programmed with register " << std::hex << counting
                                                 << " = " << value << " and the others 0";
        }
    }
}

TEST_F(RestartTest, OnlyAnUnchangedFileOnACountingCardWithTheCheckOnSkipsTheBringUp) {
    const std::string path = OpenCardWith();
    bool wrote = false;
    // A new object on the file, which must receive either way; returns the bring-ups it made.
    auto start = [&] {
        const uint64_t starts = card_->Model().Stats().card_starts;
        const uint64_t head = card_->Model().JournalHead();
        Api api;
        Collector spi;
        EXPECT_EQ(api->KestStart(spi, path.c_str()), 0) << Log();
        wrote = card_->Model().JournalHead() != head;
        EXPECT_TRUE(Flows(api.obj, spi));
        card_->Step(50);
        return card_->Model().Stats().card_starts - starts;
    };
    ASSERT_EQ(start(), 1u);
    ASSERT_NE(card_->Model().ReadReg(R::MUX0_2PS_PKTS) + card_->Model().ReadReg(R::MUX0_4PS_PKTS), 0u);
    EXPECT_EQ(start(), 0u) << "unchanged file, counting card";
    EXPECT_FALSE(wrote) << "not one register written";
    EXPECT_EQ(sleeps.size(), 3u);
    EXPECT_TRUE(Logged("channel0 " + path + " no changes have occurred, no initialization required ["));

    kest_test::WriteFile(path, kest_test::ReadFile(path) + "# edited\n");
    EXPECT_EQ(start(), 1u) << "a changed comment";
    EXPECT_EQ(card_->Model().ReadReg(R::CONFIG_CRC), FileCrc(path));
    for (uint32_t reg : {R::MUX0_2PS_PKTS, R::MUX1_2PS_PKTS, R::MUX0_4PS_PKTS, R::MUX1_4PS_PKTS})
        card_->Model().WriteReg(reg, 0);
    EXPECT_EQ(start(), 1u) << "a card that counts no packets";
    ConfigText noCheck;
    noCheck.crc_mux_check = 0;
    WriteConfig(noCheck);
    EXPECT_EQ(start(), 1u);
    EXPECT_EQ(start(), 1u) << "without the check every start programs the card";
}

}  // namespace
}  // namespace e2e
