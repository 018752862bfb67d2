// Line format, level mask, both outputs and the format size limit of the
// logger. The logger is one per process: every test here works relative to
// what the file held before it, so the order of the tests does not matter.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <ctime>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "LogTestUtil.h"
#include "SupportTestUtil.h"
#include "log/CommonLog.h"

using Kest_U50::CCommonLog;
using Kest_U50::ELOGLEVEL;
using namespace support_test;

namespace {

class ScratchEnvironment : public ::testing::Environment {
public:
    void SetUp() override { m_dir.reset(new CScratchDir()); }
    void TearDown() override { m_dir.reset(); }

private:
    std::unique_ptr<CScratchDir> m_dir;
};

::testing::Environment* const g_scratch = ::testing::AddGlobalTestEnvironment(new ScratchEnvironment());

struct SOutput {
    std::string out;   // what reached standard output
    std::string file;  // what was appended to the log file
};

off_t FileSize(const std::string& name) {
    struct stat st;
    return (!name.empty() && ::stat(name.c_str(), &st) == 0) ? st.st_size : 0;
}

// Runs fn with standard output captured and returns both outputs.
template <typename Fn>
SOutput Capture(Fn fn) {
    CCommonLog& log = CCommonLog::GetInstance();
    const off_t before = FileSize(log.GetLogFileName());
    CStdoutCapture capture;
    fn();
    SOutput result;
    result.out = capture.Stop();
    const std::string name = log.GetLogFileName();
    if (!name.empty()) {
        result.file = ReadWholeFile(name).substr(static_cast<size_t>(before));
    }
    return result;
}

class LogFormatTest : public ::testing::Test {
protected:
    void SetUp() override { CCommonLog::GetInstance().SetLogLevel(31); }
    void TearDown() override { CCommonLog::GetInstance().SetLogLevel(15); }
    CCommonLog& Log() { return CCommonLog::GetInstance(); }
};

}  // namespace

TEST_F(LogFormatTest, EveryLevelHasItsColourAndTag) {
    const struct {
        int32_t level;
        const char* colour;
        const char* tag;
    } cases[] = {{1, "31", "E"},  {2, "33", "W"}, {4, "32", "I"},  {8, "37", "D"},
                 {16, "34", "X"}, {3, "34", "N"}, {12, "34", "N"}, {-1, "34", "N"}};
    for (const auto& c : cases) {
        const time_t from = std::time(nullptr);
        const SOutput o = Capture(
            [&] { Log().WriteLog(static_cast<ELOGLEVEL>(c.level), "value=%d text=%s", 12345, "abc"); });
        const time_t to = std::time(nullptr);
        SLogLine line;
        ASSERT_TRUE(ParseLogLine(o.out, line)) << "level " << c.level << ": " << o.out;
        EXPECT_EQ(c.colour, line.colour) << c.level;
        EXPECT_EQ(c.tag, line.tag) << c.level;
        EXPECT_EQ("value=12345 text=abc", line.message);
        EXPECT_EQ(SelfThreadId(), line.threadId);
        EXPECT_TRUE(StampWithin(line, from, to)) << line.date << " " << line.time;
        // The file receives the very same line.
        EXPECT_EQ(o.out, o.file);
    }
}

TEST_F(LogFormatTest, FileIsNamedAfterTheTimeAndStaysOpen) {
    Capture([&] { Log().WriteLog(Kest_U50::LOG_INFO, "make sure the file exists"); });
    const std::string name = Log().GetLogFileName();
    EXPECT_TRUE(MatchDigits(name, "kest_u50_????????_??????.log")) << name;
    struct stat st;
    EXPECT_EQ(0, ::stat(name.c_str(), &st));

    // Later messages go to the same file.
    const SOutput o = Capture([&] { Log().WriteLog(Kest_U50::LOG_WARNING, "second"); });
    EXPECT_EQ(name, Log().GetLogFileName());
    SLogLine line;
    ASSERT_TRUE(ParseLogLine(o.file, line)) << o.file;
    EXPECT_EQ("second", line.message);
}

TEST_F(LogFormatTest, MaskFiltersByBit) {
    const int32_t everyLevel[] = {1, 2, 4, 8, 16, 3};
    auto writeAll = [&] {
        for (int32_t level : everyLevel) {
            Log().WriteLog(static_cast<ELOGLEVEL>(level), "level %d", level);
        }
    };

    Log().SetLogLevel(0);
    EXPECT_EQ(0, Log().GetLogLevel());
    SOutput o = Capture(writeAll);
    EXPECT_EQ("", o.out);
    EXPECT_EQ("", o.file);

    Log().SetLogLevel(31);
    o = Capture(writeAll);
    EXPECT_EQ(6u, SplitLines(o.out).size()) << o.out;
    EXPECT_EQ(o.out, o.file);

    // A combined level is written when either of its bits is enabled, tagged [N].
    for (int32_t mask : {1, 2, 3}) {
        Log().SetLogLevel(mask);
        o = Capture([&] { Log().WriteLog(3, "combined %s", "x"); });
        SLogLine line;
        ASSERT_TRUE(ParseLogLine(o.out, line)) << mask << ": " << o.out;
        EXPECT_EQ("N", line.tag);
        EXPECT_EQ("combined x", line.message);
    }
    Log().SetLogLevel(4);
    o = Capture([&] {
        Log().WriteLog(3, "combined");
        Log().WriteLog(Kest_U50::LOG_ERROR, "error");
        Log().WriteLog(Kest_U50::LOG_DEBUG, "debug");
    });
    EXPECT_EQ("", o.out);

    // The mask 15 leaves out extended debug only.
    Log().SetLogLevel(15);
    o = Capture([&] {
        Log().WriteLog(Kest_U50::LOG_DEBUG_EX, "extended");
        Log().WriteLog(Kest_U50::LOG_DEBUG, "debug");
    });
    SLogLine line;
    ASSERT_TRUE(ParseLogLine(o.out, line)) << o.out;
    EXPECT_EQ("debug", line.message);

    // Any value is stored as given.
    Log().SetLogLevel(-5);
    EXPECT_EQ(-5, Log().GetLogLevel());
    Log().SetLogLevel(Kest_U50::LOG_WARNING);
    EXPECT_EQ(2, Log().GetLogLevel());
}

TEST_F(LogFormatTest, ArgumentsAreNotLimited) {
    const std::string big(10000, 'a');
    const SOutput o = Capture([&] { Log().WriteLog(Kest_U50::LOG_INFO, "<%s>", big.c_str()); });
    SLogLine line;
    ASSERT_TRUE(ParseLogLine(o.out, line));
    EXPECT_EQ("<" + big + ">", line.message);
    EXPECT_EQ(o.out, o.file);
}

TEST_F(LogFormatTest, OverlongFormatIsCutAtAConversionBoundary) {
    // Everything before the caller's text, measured on this thread.
    const SOutput empty = Capture([&] { Log().WriteLog(Kest_U50::LOG_INFO, "%s", ""); });
    const std::string tail = "\x1b[0m \n";
    ASSERT_GT(empty.out.size(), tail.size());
    const size_t head = empty.out.size() - tail.size();
    // The composed format has 2048 bytes with its terminator.
    const size_t room = 2047 - head - tail.size();

    struct {
        std::string format;
        std::string message;
    } cases[] = {
        {std::string(5000, 'x'), std::string(room, 'x')},
        {std::string(room, 'x'), std::string(room, 'x')},
        {std::string(room - 1, 'x') + "%d" + std::string(100, 'y'), std::string(room - 1, 'x')},
        {std::string(room - 2, 'x') + "%d" + std::string(100, 'y'), std::string(room - 2, 'x') + "42"},
        {std::string(room - 3, 'x') + "%05d" + std::string(100, 'y'), std::string(room - 3, 'x')},
        {std::string(room - 1, 'x') + "%%", std::string(room - 1, 'x')},
        {std::string(room - 2, 'x') + "%%zz", std::string(room - 2, 'x') + "%"},
        {std::string(1 << 20, 'z'), std::string(room, 'z')},
    };
    for (const auto& c : cases) {
        const SOutput o = Capture([&] { Log().WriteLog(Kest_U50::LOG_INFO, c.format.c_str(), 42); });
        SLogLine line;
        ASSERT_TRUE(ParseLogLine(o.out, line)) << o.out.substr(0, 80);
        EXPECT_EQ(c.message, line.message) << "format of " << c.format.size() << " bytes";
        EXPECT_EQ(o.out, o.file);
    }
}

TEST_F(LogFormatTest, LinesOfConcurrentThreadsDoNotInterleave) {
    constexpr int PER_THREAD = 200;
    unsigned long ids[2] = {0, 0};
    const SOutput o = Capture([&] {
        std::thread a([&] {
            ids[0] = SelfThreadId();
            for (int i = 0; i < PER_THREAD; ++i) {
                Log().WriteLog(Kest_U50::LOG_INFO, "thread a line %d", i);
            }
        });
        std::thread b([&] {
            ids[1] = SelfThreadId();
            for (int i = 0; i < PER_THREAD; ++i) {
                Log().WriteLog(Kest_U50::LOG_WARNING, "thread b line %d", i);
            }
        });
        a.join();
        b.join();
    });
    for (const std::string* text : {&o.out, &o.file}) {
        const std::vector<std::string> lines = SplitLines(*text);
        ASSERT_EQ(2u * PER_THREAD, lines.size());
        int next[2] = {0, 0};
        for (const std::string& raw : lines) {
            SLogLine line;
            ASSERT_TRUE(ParseLogLine(raw, line)) << raw;
            const int who = line.tag == "I" ? 0 : 1;
            EXPECT_EQ(ids[who], line.threadId);
            EXPECT_EQ(std::string("thread ") + (who == 0 ? "a" : "b") + " line " + std::to_string(next[who]),
                      line.message);
            ++next[who];
        }
    }
}

TEST_F(LogFormatTest, AsyncSafeLinesMatchOrdinaryOnes) {
    Capture([&] { Log().WriteLog(Kest_U50::LOG_INFO, "the file is open from here on"); });
    const time_t from = std::time(nullptr);
    SOutput o =
        Capture([&] { Log().WriteLogAsyncSafe(Kest_U50::LOG_ERROR, "value=%d text=%s", 12345, "abc"); });
    const time_t to = std::time(nullptr);
    SLogLine line;
    ASSERT_TRUE(ParseLogLine(o.out, line)) << o.out;
    EXPECT_EQ("31", line.colour);
    EXPECT_EQ("E", line.tag);
    EXPECT_EQ("value=12345 text=abc", line.message);
    EXPECT_EQ(SelfThreadId(), line.threadId);
    // Its own time conversion gives the local time.
    EXPECT_TRUE(StampWithin(line, from, to)) << line.date << " " << line.time;
    EXPECT_EQ(o.out, o.file);

    Log().SetLogLevel(Kest_U50::LOG_WARNING);
    o = Capture([&] { Log().WriteLogAsyncSafe(Kest_U50::LOG_ERROR, "masked"); });
    EXPECT_EQ("", o.out);
    EXPECT_EQ("", o.file);

    // A line longer than the 2048-byte line buffer keeps its ending.
    Log().SetLogLevel(31);
    const std::string big(5000, 'b');
    o = Capture([&] { Log().WriteLogAsyncSafe(Kest_U50::LOG_WARNING, "%s", big.c_str()); });
    ASSERT_TRUE(ParseLogLine(o.out, line)) << o.out.substr(0, 80);
    EXPECT_EQ(2047u, o.out.size());
    EXPECT_EQ(std::string(line.message.size(), 'b'), line.message);
    EXPECT_EQ(o.out, o.file);
}
