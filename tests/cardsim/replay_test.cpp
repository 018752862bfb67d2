// The replay of recordings into a channel: files and globs in order, the
// time windows on both clocks, the contracts, the pace, and the messages the
// host takes (the recorded bytes behind a quote header, one per slot).
#include "cardlogic/Replay.h"

#include <unistd.h>

#include <cstdio>

#include "FpgaStructCommon.h"
#include "cardlogic/ReplaySource.h"
#include "host_access.h"
#include "recording/Recording.h"

namespace cardsim_test {
namespace {

// Quote i: contract "cu250<i % 3>", change number i, exchange time 23:59:58
// plus i * 10 ms (across midnight from i = 200), arrival base + i ms.
constexpr int64_t kBase = 1765000000000000000;
KestShfeMdType QuoteOf(uint32_t i) {
    KestShfeMdType q{};
    std::snprintf(q.inst_id, sizeof q.inst_id, "cu250%u", i % 3);
    const uint32_t ms = (86398000 + i * 10) % 86400000;
    q.update_time = ms / 3600000 * 10000 + ms / 60000 % 60 * 100 + ms / 1000 % 60;
    q.update_milli_sec = static_cast<uint16_t>(ms % 1000);
    q.change_no = i;
    return q;
}

class ReplayTest : public CardTest {
protected:
    void SetUp() override {
        Make();
        char dir[] = "/tmp/kest_replay_test.XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        dir_ = dir;
        // Two days: day1 (rotated once) holds quotes 0-299, day2 300-399.
        Write("day1.kestrec", 0, 300, 250 * sizeof(kest_rec::Entry));
        Write("day2.kestrec", 300, 400, 0);
    }
    void TearDown() override {
        CardTest::TearDown();
        std::system(("rm -rf '" + dir_ + "'").c_str());
    }
    void Write(const std::string& name, uint32_t from, uint32_t to, uint64_t rotate) {
        kest_rec::WriterOptions o;
        o.rotate_bytes = rotate;
        std::string error;
        auto w = kest_rec::Writer::Open(dir_ + "/" + name, o, &error);
        ASSERT_TRUE(w) << error;
        for (uint32_t i = from; i < to; ++i) w->Append(kBase + int64_t{i} * 1000000, QuoteOf(i));
    }
    // Replays the files with `opt` into channel 2; the change numbers the host takes.
    std::vector<uint32_t> Play(const std::vector<std::string>& names, kest_cardlogic::ReplayOptions opt,
                               kest_cardlogic::ReplayResult* result = nullptr) {
        std::vector<std::string> paths;
        for (const std::string& n : names) paths.push_back(dir_ + "/" + n);
        std::string error;
        opt.channel = 2;
        const kest_cardlogic::ReplayResult r =
            kest_cardlogic::Replay(*card_, kest_cardlogic::ReplayFiles(paths, &error), opt, nullptr);
        if (result != nullptr) *result = r;
        enyx_hw_a2c_stream* s = OpenA2c(host_->acc, 2);
        std::vector<uint32_t> changes;
        for (const auto& m : Drain(s)) {
            dma_header_t h;
            KestShfeMdType q;
            std::memcpy(&h, m.data(), sizeof h);
            std::memcpy(&q, m.data() + sizeof h, sizeof q);
            const KestShfeMdType want = QuoteOf(q.change_no);
            EXPECT_TRUE(m.size() == DMA_QUOTE_MSG_SIZE && h.dma_type == DMA_UDP &&
                        std::memcmp(&q, &want, sizeof q) == 0)
                << "message " << changes.size() << " is not recorded quote " << q.change_no;
            changes.push_back(q.change_no);
        }
        enyx_hw_a2c_stream_destroy(s);
        return changes;
    }
    static std::vector<uint32_t> Range(uint32_t from, uint32_t to, uint32_t step = 1) {
        std::vector<uint32_t> v;
        for (uint32_t i = from; i < to; i += step) v.push_back(i);
        return v;
    }
    std::string dir_;
};

TEST_F(ReplayTest, FilesAndGlobsPlayInOrderEveryRecordOnce) {
    kest_cardlogic::ReplayOptions opt;
    opt.speed = 0;
    kest_cardlogic::ReplayResult r;
    EXPECT_EQ(Play({"day*.kestrec"}, opt, &r), Range(0, 400)) << "day1, day1.kestrec.1, then day2";
    EXPECT_EQ(std::make_tuple(r.records, r.left_out, r.skipped, r.stopped),
              std::make_tuple(400, 0, 0, false));
    std::vector<uint32_t> order = Range(300, 400), first = Range(0, 300);
    order.insert(order.end(), first.begin(), first.end());
    EXPECT_EQ(Play({"day2.kestrec", "day1.kestrec", "day2.kestrec"}, opt), order)
        << "in the order named, each file once";
    std::string error;
    EXPECT_EQ(kest_cardlogic::ReplayFiles({dir_ + "/day1*"}, &error),
              std::vector<std::string>({dir_ + "/day1.kestrec", dir_ + "/day1.kestrec.1"}))
        << "a pattern that matches the rotated file too lists it once, after its recording";
    EXPECT_TRUE(kest_cardlogic::ReplayFiles({dir_ + "/none*"}, &error).empty());
    EXPECT_NE(error.find("no file matches"), std::string::npos) << error;
}

TEST_F(ReplayTest, WindowsOnEitherClockAndContractsSelectTheRecords) {
    kest_cardlogic::ReplayOptions opt;
    opt.speed = 0;
    std::string why;
    // Arrival: quotes 100 to 149 (the bound "to" left out).
    ASSERT_TRUE(kest_cardlogic::ParseReplayTime("2025-12-06T05:46:40.1Z", &opt.from, &why)) << why;
    ASSERT_TRUE(kest_cardlogic::ParseReplayTime("2025-12-06T05:46:40.150Z", &opt.to, &why)) << why;
    kest_cardlogic::ReplayResult r;
    EXPECT_EQ(Play({"day1.kestrec", "day2.kestrec"}, opt, &r), Range(100, 150));
    EXPECT_EQ(std::make_tuple(r.records, r.left_out), std::make_tuple(50, 350));
    // Exchange time across midnight: 23:59:59.900 to 00:00:00.100 is quotes 190 to 209.
    ASSERT_TRUE(kest_cardlogic::ParseReplayTime("23:59:59.900", &opt.from, &why)) << why;
    ASSERT_TRUE(kest_cardlogic::ParseReplayTime("00:00:00.100", &opt.to, &why)) << why;
    EXPECT_EQ(Play({"day1.kestrec"}, opt), Range(190, 210));
    opt.from = opt.to = kest_cardlogic::ReplayTime{};
    opt.contracts = {"cu2501"};
    EXPECT_EQ(Play({"day2.kestrec"}, opt), Range(301, 400, 3));
    for (const char* bad : {"25:00", "2025-13-01", "12:3", "yesterday", "10:00:75"})
        EXPECT_FALSE(kest_cardlogic::ParseReplayTime(bad, &opt.from, &why)) << bad;
}

TEST_F(ReplayTest, APacedReplayPlaysXTimesFasterThanRecorded) {
    // 50 quotes 20 ms apart: 980 ms recorded, 245 ms at --speed 4; the
    // replay's own span from its first push to its last is compared, with
    // room for a loaded machine but not for the recorded pace or a slower one.
    {
        auto w = kest_rec::Writer::Open(dir_ + "/paced.kestrec", {}, nullptr);
        ASSERT_TRUE(w);
        for (uint32_t i = 0; i < 50; ++i) w->Append(kBase + int64_t{i} * 20000000, QuoteOf(i));
    }
    kest_cardlogic::ReplayOptions opt;
    opt.speed = 4;
    kest_cardlogic::ReplayResult r;
    EXPECT_EQ(Play({"paced.kestrec"}, opt, &r), Range(0, 50));
    EXPECT_GE(r.seconds, 0.245) << "the last record is due 245 ms after the first";
    EXPECT_LT(r.seconds, 0.6) << "4 times the recorded pace is 245 ms, the recorded pace 980 ms";
}

}  // namespace
}  // namespace cardsim_test
