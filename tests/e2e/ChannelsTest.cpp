// Sixteen processes share one card, one per channel: channel 0 brings the
// card up and subscribes every channel's list; each process receives exactly
// the instruments of its own list, none missing and none foreign.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "E2eSupport.h"

namespace e2e {
namespace {

constexpr int kChannels = 16;

// Runs in a child: starts on its channel, says it is ready, waits for the
// number of quotes the card sent it, receives them and writes what it got.
[[noreturn]] void Child(const std::string& config, int ready_fd, int go_fd, const std::string& result) {
    CKestShfeMdApi& api = CKestShfeMdApi::CreateKestShfeMdApi();
    Collector spi;
    const int32_t rc = api.KestStart(spi, config.c_str());
    const char status = rc == 0 ? 'R' : 'F';
    if (write(ready_fd, &status, 1) != 1 || rc != 0) _exit(3);
    uint64_t expected = 0;
    if (read(go_fd, &expected, sizeof(expected)) != sizeof(expected)) _exit(4);
    World::PollUntil([&] { return api.KestRecv(); }, [&] { return spi.quotes.size() >= expected; }, 60000);
    // A little longer: anything beyond the expected count is a fault too.
    for (int i = 0; i < 100000; ++i) api.KestRecv();
    std::ofstream out(result);
    for (const KestShfeMdType& q : spi.quotes) out << q.type << " " << q.inst_no << "\n";
    out.close();
    CKestShfeMdApi::DestroyKestShfeMdApi(api);
    _exit(0);
}

class ChannelsTest : public World {};

TEST_F(ChannelsTest, SixteenProcessesEachReceiveExactlyTheirList) {
    // Lists: product tokens, full identifiers, "all" with and without
    // options, an empty list, a token that matches nothing.
    ConfigText text;
    const std::string lists[kChannels] = {"cu,sc", "all", "all", "al,zn,au", "", "ru,fu,lu", "xx", "ag,nr",
                                          "rb,hc,bu", "sc,lu,nr,bc", "cu", "au", "ni,sn,pb", "ss,sp", "ao,br", "ec"};
    for (int c = 0; c < kChannels; ++c) {
        text.channels[c] = lists[c];
        text.options[c] = (c == 2 || c == 11);
    }

    // The children are forked before any thread exists in this process.
    ASSERT_EQ(kest_sim::CreateCard(0), 0);
    std::vector<pid_t> pids(kChannels, -1);
    std::vector<int> readyFds(kChannels, -1), goFds(kChannels, -1);
    std::vector<std::string> results(kChannels);
    for (int c = 1; c < kChannels; ++c) {
        ConfigText mine = text;
        mine.device = "xilinx0:" + std::to_string(c);
        const std::string config = WriteConfig(mine, "channel" + std::to_string(c) + ".ini");
        results[c] = dir_.File("result" + std::to_string(c) + ".txt");
        int ready[2], go[2];
        ASSERT_EQ(pipe(ready), 0);
        ASSERT_EQ(pipe(go), 0);
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            close(ready[0]);
            close(go[1]);
            Child(config, ready[1], go[0], results[c]);
        }
        close(ready[1]);
        close(go[0]);
        pids[c] = pid;
        readyFds[c] = ready[0];
        goFds[c] = go[1];
    }

    OpenCard();
    for (int c = 1; c < kChannels; ++c) {
        char status = 0;
        ASSERT_EQ(read(readyFds[c], &status, 1), 1);
        EXPECT_EQ(status, 'R') << "channel " << c << " failed to start";
    }

    CKestShfeMdApi& api = CKestShfeMdApi::CreateKestShfeMdApi();
    Collector spi;
    ASSERT_EQ(api.KestStart(spi, WriteConfig(text, "channel0.ini").c_str()), 0) << Log();
    card_->Stop();
    card_->Step(3000);

    for (int c = 1; c < kChannels; ++c) {
        const uint64_t expected = card_->QuotesWritten(c);
        ASSERT_EQ(write(goFds[c], &expected, sizeof(expected)), static_cast<ssize_t>(sizeof(expected)));
    }
    ASSERT_TRUE(PollUntil([&] { return api.KestRecv(); }, [&] { return spi.quotes.size() >= card_->QuotesWritten(0); }));
    for (int c = 1; c < kChannels; ++c) {
        int status = 0;
        ASSERT_EQ(waitpid(pids[c], &status, 0), pids[c]);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "channel " << c;
    }

    // What each channel should hold: every instrument its list selects that
    // the exchange moved, and nothing else.
    std::set<std::pair<int, int32_t>> moved;
    for (int f = 0; f < 4; ++f) {
        for (const auto& inst : card_->Exchange(static_cast<EMDQPDataType>(f)).Instruments()) {
            if (card_->QuotesFor(static_cast<EMDQPDataType>(f), inst.inst_no) > 0) moved.insert({f, inst.inst_no});
        }
    }
    for (int c = 0; c < kChannels; ++c) {
        std::map<std::pair<int, int32_t>, uint64_t> got;
        if (c == 0) {
            for (const KestShfeMdType& q : spi.quotes) ++got[{q.type, static_cast<int32_t>(q.inst_no)}];
        } else {
            std::ifstream in(results[c]);
            int type = 0;
            int32_t instNo = 0;
            while (in >> type >> instNo) ++got[{type, instNo}];
        }
        uint64_t total = 0;
        for (const auto& entry : got) {
            total += entry.second;
            const auto& inst = card_->Exchange(static_cast<EMDQPDataType>(entry.first.first)).At(entry.first.second);
            EXPECT_TRUE(Selected(inst.inst_id, lists[c], text.options[c]))
                << "channel " << c << " got foreign " << inst.inst_id;
        }
        EXPECT_EQ(total, card_->QuotesWritten(c)) << "channel " << c;
        size_t wanted = 0;
        for (const auto& key : moved) {
            const auto& inst = card_->Exchange(static_cast<EMDQPDataType>(key.first)).At(key.second);
            if (!Selected(inst.inst_id, lists[c], text.options[c])) continue;
            ++wanted;
            EXPECT_TRUE(got.count(key)) << "channel " << c << " missed " << inst.inst_id;
        }
        if (c == 4 || c == 6) {
            EXPECT_EQ(wanted, 0u) << "an empty list and an unknown token select nothing";
        }
        if (c == 1 || c == 2 || c == 3) {
            EXPECT_GT(wanted, 0u);
        }
    }
    EXPECT_GT(card_->QuotesWritten(2), card_->QuotesWritten(1)) << "options add the option instruments";
    CKestShfeMdApi::DestroyKestShfeMdApi(api);
}

}  // namespace
}  // namespace e2e
