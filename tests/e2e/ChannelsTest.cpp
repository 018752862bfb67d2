// Sixteen processes share one card, one per channel: channel 0 brings the
// card up and subscribes every channel's list; each process receives exactly
// the instruments of its own list, none missing and none foreign.
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <set>

#include "E2eSupport.h"

namespace e2e {
namespace {

constexpr int kChannels = 16;
using Key = std::pair<int, int32_t>;  // feed, instrument number

// A child on its own channel: reports its start, waits for the count the card
// sent it, receives (and a little longer: more is a fault too) and sends back
// the key of each quote.
[[noreturn]] void Child(const std::string& config, int fd) {
    {
        Api api;
        Collector spi;
        const int32_t rc = api->KestStart(spi, config.c_str());
        uint64_t expected = 0;
        if (write(fd, &rc, sizeof(rc)) != sizeof(rc) || rc != 0) _exit(3);
        if (read(fd, &expected, sizeof(expected)) != sizeof(expected)) _exit(4);
        World::PollUntil([&] { return api->KestRecv(); }, [&] { return spi.quotes.size() >= expected; },
                         60000);
        for (int i = 0; i < 100000; ++i) api->KestRecv();
        for (const KestShfeMdType& q : spi.quotes) {
            const int32_t key[2] = {q.type, static_cast<int32_t>(q.inst_no)};
            if (write(fd, key, sizeof(key)) != sizeof(key)) _exit(5);
        }
    }
    _exit(0);
}

class ChannelsTest : public World {};

TEST_F(ChannelsTest, SixteenProcessesEachReceiveExactlyTheirList) {
    // Product tokens, full identifiers, "all" with and without options, an
    // empty list (4), a token that matches nothing (6).
    ConfigText text;
    const std::string lists[kChannels] = {"cu,sc",    "all",   "all",      "al,zn,au",    "",   "ru,fu,lu",
                                          "xx",       "ag,nr", "rb,hc,bu", "sc,lu,nr,bc", "cu", "au",
                                          "ni,sn,pb", "ss,sp", "ao,br",    "ec"};
    for (int c = 0; c < kChannels; ++c) text.channels[c] = lists[c], text.options[c] = (c == 2 || c == 11);

    // The children are forked before any thread exists in this process.
    ASSERT_EQ(kest_sim::CreateCard(0), 0);
    pid_t pids[kChannels] = {};
    int fds[kChannels] = {};
    for (int c = 1; c < kChannels; ++c) {
        ConfigText mine = text;
        mine.device = "xilinx0:" + std::to_string(c);
        const std::string config = WriteConfig(mine, "channel" + std::to_string(c) + ".ini");
        int pair[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, pair), 0);
        ASSERT_GE(pids[c] = fork(), 0);
        if (pids[c] == 0) close(pair[0]), Child(config, pair[1]);
        close(pair[1]);
        fds[c] = pair[0];
    }
    OpenCard();
    for (int c = 1; c < kChannels; ++c) {
        int32_t rc = -1;
        ASSERT_EQ(read(fds[c], &rc, sizeof(rc)), static_cast<ssize_t>(sizeof(rc)));
        EXPECT_EQ(rc, 0) << "channel " << c << " failed to start";
    }
    Api api;
    Collector spi;
    ASSERT_EQ(api->KestStart(spi, WriteConfig(text, "channel0.ini").c_str()), 0) << Log();
    card_->Stop();
    card_->Step(3000);

    std::map<Key, uint64_t> got[kChannels];
    for (int c = 1; c < kChannels; ++c) {
        const uint64_t expected = card_->QuotesWritten(c);
        ASSERT_EQ(write(fds[c], &expected, sizeof(expected)), static_cast<ssize_t>(sizeof(expected)));
    }
    ASSERT_TRUE(PollUntil([&] { return api->KestRecv(); },
                          [&] { return spi.quotes.size() >= card_->QuotesWritten(0); }));
    for (const KestShfeMdType& q : spi.quotes) ++got[0][{q.type, static_cast<int32_t>(q.inst_no)}];
    for (int c = 1; c < kChannels; ++c) {
        int32_t key[2];
        while (read(fds[c], key, sizeof(key)) == static_cast<ssize_t>(sizeof(key)))
            ++got[c][{key[0], key[1]}];
        int status = 0;
        ASSERT_EQ(waitpid(pids[c], &status, 0), pids[c]);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "channel " << c;
    }

    // Each channel holds every instrument its list selects that the exchange moved, and nothing else.
    for (int c = 0; c < kChannels; ++c) {
        std::set<Key> wanted, have;
        for (int f = 0; f < 4; ++f) {
            for (const auto& inst : card_->Exchange(static_cast<EMDQPDataType>(f)).Instruments()) {
                if (card_->QuotesFor(static_cast<EMDQPDataType>(f), inst.inst_no) > 0 &&
                    Selected(inst.inst_id, lists[c], text.options[c]))
                    wanted.insert({f, inst.inst_no});
            }
        }
        uint64_t total = 0;
        for (const auto& entry : got[c]) have.insert(entry.first), total += entry.second;
        EXPECT_EQ(have, wanted) << "channel " << c;
        EXPECT_EQ(total, card_->QuotesWritten(c)) << "channel " << c;
        EXPECT_TRUE(c == 5 || c > 6 || wanted.empty() == (c == 4 || c == 6)) << "selects nothing: " << c;
    }
    EXPECT_GT(card_->QuotesWritten(2), card_->QuotesWritten(1)) << "options add the option instruments";
}

}  // namespace
}  // namespace e2e
