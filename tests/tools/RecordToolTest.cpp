// kest-record through its command line over recordings the writer makes:
// the window of a slice, merge order, the damage each verb names, import
// rounding, the JSON and compare forms of a record.
#include <gtest/gtest.h>

#include <cstdlib>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "../recording/RecordingSamples.h"
#include "ToolRunner.h"
#include "recording/Recording.h"

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
    // A recording of records 0, 1, ... (change number 1000 + i) at these arrivals.
    std::string Write(const std::string& name, const std::vector<int64_t>& arrivals, uint32_t first = 0,
                      kest_rec::WriterOptions opt = {}) {
        const std::string path = dir_.File(name);
        std::string error;
        auto w = kest_rec::Writer::Open(path, opt, &error);
        EXPECT_TRUE(w) << error;
        for (size_t i = 0; i < arrivals.size() && w; ++i)
            w->Append(arrivals[i], kest_test_rec::SampleRecord(first + static_cast<uint32_t>(i)));
        return path;
    }
    Result Run(std::vector<std::string> args) {
        args.insert(args.begin(), KEST_RECORD);
        return RunTool(args);
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
        {"2025-01-02 09:30:00", "2025-01-02T09:31:00+08:00", inside},
        {"2025-01-02T01:30Z", "2025-01-02T01:31:00.000Z", inside},
        {"2025-01-01T20:30-05:00", "1735781460000000000", inside},
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

}  // namespace
#endif  // KEST_RECORD
