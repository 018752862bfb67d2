// kest-record through its command line over recordings the writer makes:
// the window of a slice, merge order, the JSON and compare forms of a record,
// the damage each verb names.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "../recording/RecordingSamples.h"
#include "ToolRunner.h"
#include "recording/Recording.h"
#include "recording/RunReader.h"

#ifdef KEST_RECORD
namespace {

using nlohmann::json;
using tools_test::Result;
using tools_test::RunTool;
using tools_test::TempDir;

constexpr int64_t kT0 = 1735781400LL * 1000000000;  // 2025-01-02T09:30:00+08:00
constexpr int64_t kMinute = 60LL * 1000000000;

// The host's zone of the tools this test runs, for its lifetime.
class HostZone {
public:
    explicit HostZone(const char* tz) { setenv("TZ", tz, 1); }
    ~HostZone() { unsetenv("TZ"); }
};

class RecordTool : public ::testing::Test {
protected:
    // A recording of records first, first + 1, ... (change number 1000 + i) at these arrivals; with
    // flip >= 0, that byte of the second record inverted.
    std::string Write(const std::string& name, const std::vector<int64_t>& arrivals, uint32_t first = 0,
                      int flip = -1) {
        const std::string path = dir_.File(name);
        std::string error;
        auto w = kest_rec::Writer::Open(path, {}, &error);
        EXPECT_TRUE(w) << error;
        for (size_t i = 0; i < arrivals.size() && w; ++i) {
            KestShfeMdType q = kest_test_rec::SampleRecord(first + static_cast<uint32_t>(i));
            if (i == 1 && flip >= 0) reinterpret_cast<unsigned char*>(&q)[flip] ^= 0xFF;
            w->Append(arrivals[i], q);
        }
        return path;
    }
    Result Run(std::vector<std::string> args) {
        args.insert(args.begin(), KEST_RECORD);
        return RunTool(args, dir_.Path());
    }
    // The records of `kest-record slice ARGS --jsonl`, one object each.
    std::vector<json> Lines(std::vector<std::string> args) {
        args.insert(args.begin(), "slice");
        args.push_back("--jsonl");
        const Result r = Run(args);
        EXPECT_EQ(r.exit, 0) << r.err;
        std::vector<json> out;
        std::istringstream in(r.out);
        for (std::string line; std::getline(in, line);) out.push_back(json::parse(line));
        return out;
    }
    std::vector<int64_t> Arrivals(const std::vector<std::string>& args) {
        std::vector<int64_t> out;
        for (const json& j : Lines(args)) out.push_back(j["arrival_ns"].get<int64_t>());
        return out;
    }
    TempDir dir_;
};

// A window is half-open and a time without a zone is China Standard Time,
// on a host in UTC as in China's zone.
TEST_F(RecordTool, ASliceTakesItsFromAndLeavesItsToInEveryZone) {
    const std::string f =
        Write("w.kestrec", {kT0 - 1, kT0, kT0 + 1, kT0 + kMinute - 1, kT0 + kMinute, kT0 + kMinute + 1});
    const std::vector<int64_t> inside = {kT0, kT0 + 1, kT0 + kMinute - 1};
    const struct {
        const char* from;
        const char* to;
        std::vector<int64_t> kept;
    } cases[] = {
        {"2025-01-02T09:30", "2025-01-02T09:31", inside},
        {"2025-01-02T01:30Z", "1735781460000000000", inside},
        {"2025-01-02T09:30:00.000000001",
         "2025-01-02T09:31:00.000000001",
         {kT0 + 1, kT0 + kMinute - 1, kT0 + kMinute}},
    };
    for (const char* tz : {"UTC", "Asia/Shanghai"}) {
        HostZone zone(tz);
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(tz) + " " + c.from + " .. " + c.to);
            EXPECT_EQ(Arrivals({f, "--from", c.from, "--to", c.to}), c.kept);
        }
        // Consecutive windows: each record once.
        const std::vector<int64_t> before = Arrivals({f, "--to", "2025-01-02T09:30:00.000000001"});
        const std::vector<int64_t> after = Arrivals({f, "--from", "2025-01-02T09:30:00.000000001"});
        EXPECT_EQ(before, std::vector<int64_t>({kT0 - 1, kT0})) << tz;
        EXPECT_EQ(after.size(), 4u) << tz;
    }
    const Result bad = Run({"slice", f, "--from", "2025-02-30T09:30"});
    EXPECT_EQ(bad.exit, 2);
    EXPECT_NE(bad.err.find("not a date of the calendar"), std::string::npos) << bad.err;
}

// merge keeps the operands' order among equal arrivals; a JSON line carries
// each level's own price and volume; compare sees a change in any byte of a
// record, the last field's included, and no change in arrivals alone.
TEST_F(RecordTool, MergeOrderJsonLevelsAndCompareOfEveryByte) {
    const std::string a = Write("a.kestrec", {kT0, kT0, kT0 + 1});
    const std::string b = Write("b.kestrec", {kT0, kT0 + 1}, 10);
    const struct {
        std::string first, second;
        std::vector<uint32_t> changes;
    } merges[] = {{a, b, {1000, 1001, 1010, 1002, 1011}}, {b, a, {1010, 1000, 1001, 1011, 1002}}};
    for (const auto& m : merges) {
        const std::string out = dir_.File("merged.kestrec");
        const Result r = Run({"merge", m.first, m.second, "-o", out});
        ASSERT_EQ(r.exit, 0) << r.err;
        std::vector<uint32_t> changes;
        for (const json& j : Lines({out})) {
            changes.push_back(j["change_no"].get<uint32_t>());
            const KestShfeMdType q = kest_test_rec::SampleRecord(changes.back() - 1000);
            for (int k = 0; k < 10; ++k) {  // price and volume of bid 1 to 5, then ask 1 to 5
                int32_t level[2];
                std::memcpy(level,
                            reinterpret_cast<const char*>(&q) + offsetof(KestShfeMdType, bid1_px) + 8 * k,
                            sizeof level);
                const std::string name = (k < 5 ? "bid" : "ask") + std::to_string(k % 5 + 1);
                EXPECT_EQ(j[name + "_volume"].get<int64_t>(), level[1]) << name;
                EXPECT_NEAR(j[name + "_price"].get<double>(), level[0] / 100.0, 1e-6) << name;
            }
        }
        EXPECT_EQ(changes, m.changes);
    }

    const std::vector<int64_t> three = {kT0, kT0 + 1, kT0 + 2};
    const std::string base = Write("base.kestrec", three);
    const Result same = Run({"compare", base, Write("later.kestrec", {kT0 + 5, kT0 + 6, kT0 + 7})});
    EXPECT_EQ(same.exit, 0) << same.err;
    EXPECT_EQ(same.out, "same: 3 records, identical bytes in the same order\n");
    // Every odd byte: the record's fields start at even offsets, and the one-byte field at an odd one.
    for (int at = 1; at < static_cast<int>(sizeof(KestShfeMdType)); at += 2) {
        const Result r = Run({"compare", base, Write("flipped.kestrec", three, 0, at)});
        EXPECT_EQ(r.exit, 1) << "byte " << at;
        EXPECT_EQ(r.out.rfind("differ: record 1 (from 0), ", 0), 0u) << "byte " << at << ": " << r.out;
        if (at >= static_cast<int>(offsetof(KestShfeMdType, max_inst_no))) {
            EXPECT_NE(r.out.find(": field max_inst_no: "), std::string::npos) << r.out;
        }
    }
}

// A block whose bytes changed, or only the index: verify, info and compare
// name the damage alike and exit 1.
TEST_F(RecordTool, DamageIsNamedAlikeByVerifyInfoAndCompareAndExits1) {
    std::vector<int64_t> arrivals;
    for (int64_t i = 0; i < 600; ++i) arrivals.push_back(kT0 + i);
    const std::string good = Write("good.kestrec", arrivals);
    const std::string bytes = tools_test::ReadFile(good);
    auto pristine = kest_rec::RunReader::Open(good, nullptr);
    ASSERT_TRUE(pristine && pristine->HasIndex());
    ASSERT_EQ(pristine->Blocks().size(), 3u);  // 256, 256 and 88 entries
    const kest_rec::BlockRef hit = pristine->Blocks()[1], last = pristine->Blocks()[2];
    const struct {
        const char* name;
        uint64_t at;
        std::string named, trusted, compared;
    } cases[] = {
        {"block.kestrec", hit.offset + sizeof(kest_rec::BlockHeader) + 1000,
         "block 1 at offset " + std::to_string(hit.offset) + " (256 entries)", "344 entries trusted",
         "not compared whole"},
        {"index.kestrec", last.offset + sizeof(kest_rec::BlockHeader) + last.stored_bytes,
         "index damaged: ", "600 entries trusted", "same: 600 records"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string damaged = bytes;
        damaged[c.at] = static_cast<char>(damaged[c.at] ^ 0xFF);
        const std::string bad = dir_.File(c.name);
        tools_test::WriteFile(bad, damaged);
        const Result verify = Run({"verify", bad});
        EXPECT_EQ(verify.exit, 1) << verify.out;
        EXPECT_NE(verify.out.find(c.trusted), std::string::npos) << verify.out;
        const std::string line = tools_test::FirstLine(verify.out);
        ASSERT_NE(line.find(c.named), std::string::npos) << verify.out;
        const std::string why = line.substr(line.find(c.named) + c.named.size());
        EXPECT_EQ(line.rfind(bad + ": ", 0), 0u) << line;
        const Result info = Run({"info", bad});
        EXPECT_EQ(info.exit, 1) << info.out;
        EXPECT_NE(info.out.find("  " + line + "\n"), std::string::npos) << info.out;
        for (const Result& cmp : {Run({"compare", good, bad}), Run({"compare", bad, good})}) {
            EXPECT_EQ(cmp.exit, 1) << cmp.out;
            EXPECT_EQ(cmp.out.rfind(c.compared, 0), 0u) << cmp.out;
            EXPECT_NE(cmp.err.find(bad + ": " + c.named), std::string::npos) << cmp.err;
            EXPECT_NE(cmp.err.find(why), std::string::npos) << cmp.err;
        }
    }
}

}  // namespace
#endif  // KEST_RECORD
