// The logger: first line and file, mask, tags, line format, size limits. The logger is one per process:
// each check looks only at what its own call added to standard output and to
// the file.
#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
#include <ctime>
#include <regex>

#include "TestSupport.h"
#include "log/CommonLog.h"

using Kest_U50::CCommonLog;

namespace {

const kest_test::ScopedTempDir g_scratch;  // the log file of this process goes there

CCommonLog& Log() { return CCommonLog::GetInstance(); }

// What fn wrote to standard output (descriptor 1, which the logger also
// writes with write(2)).
template <typename Fn>
std::string Capture(Fn fn) {
    std::fflush(stdout);
    FILE* sink = std::tmpfile();
    const int saved = ::dup(STDOUT_FILENO);
    ::dup2(fileno(sink), STDOUT_FILENO);
    fn();
    std::fflush(stdout);
    ::dup2(saved, STDOUT_FILENO);
    ::close(saved);
    const std::string out = kest_test::ReadFile("/proc/self/fd/" + std::to_string(fileno(sink)));
    std::fclose(sink);
    return out;
}

bool StampedWithin(const std::string& text, const char* format, time_t from, time_t to) {
    for (time_t t = from; t <= to; ++t) {
        struct tm local;
        char stamp[64];
        std::strftime(stamp, sizeof(stamp), format, localtime_r(&t, &local));
        if (text == stamp) return true;
    }
    return false;
}

// Runs fn and checks that what it logged was appended identically to the log
// file, each line as ESC[<cc>;1m [<tag>] [YYYYMMDD][HH:MM:SS][<tid>] <text>ESC[0m \n
// from this thread, stamped with the local time of the call. Returns each
// line as "<cc><tag> <text>\n", e.g. "31E text\n".
template <typename Fn>
std::string Logged(Fn fn) {
    const std::string before = kest_test::ReadFile(Log().GetLogFileName());
    const time_t from = std::time(nullptr);
    const std::string out = Capture(fn);
    const time_t to = std::time(nullptr);
    EXPECT_EQ(before + out, kest_test::ReadFile(Log().GetLogFileName()));
    // The head has a bounded width: no deep regex search into long lines.
    static const std::regex head(R"(\x1b\[(\d\d);1m \[([EWIDXN])\] \[(\d{8}\]\[\d\d:\d\d:\d\d)\]\[(\d+)\] )");
    static const std::string end = "\x1b[0m \n";
    std::string result;
    for (size_t start = 0, stop; start < out.size(); start = stop) {
        stop = std::min(out.find('\n', start), out.size() - 1) + 1;
        const std::string line = out.substr(start, stop - start);
        std::smatch m;
        if (!std::regex_search(line, m, head, std::regex_constants::match_continuous) ||
            line.size() < m.length(0) + end.size() ||
            line.compare(line.size() - end.size(), end.size(), end) != 0) {
            ADD_FAILURE() << "broken line: " << line.substr(0, 100);
            continue;
        }
        EXPECT_EQ(std::to_string(pthread_self()), m[4]);
        EXPECT_TRUE(StampedWithin(m[3], "%Y%m%d][%H:%M:%S", from, to)) << m[3];
        result += m[1].str() + m[2].str() + " " +
                  line.substr(m.length(0), line.size() - end.size() - m.length(0)) + "\n";
    }
    return result;
}

}  // namespace

// Defined first: it needs a logger that has not written yet (ctest runs each
// test in a process of its own).
TEST(Log, NothingIsWrittenUntilALineCanCreateTheFileNamedAfterItsTime) {
    ASSERT_EQ("", Log().GetLogFileName()) << "the logger has written before this test";
    // The initial mask 15 leaves out extended debug: no output, no file.
    EXPECT_EQ("", Capture([] { Log().WriteLog(Kest_U50::LOG_DEBUG_EX, "not shown"); }));
    EXPECT_EQ("", Log().GetLogFileName());

    // A removed working directory refuses new files, even to root: each line
    // is lost and reports the failed open instead.
    char gone[] = "/tmp/kest_support_gone_XXXXXX";
    ASSERT_TRUE(::mkdtemp(gone) != nullptr && ::chdir(gone) == 0 && ::rmdir(gone) == 0);
    for (int i = 0; i < 2; ++i) {
        const std::string out = Capture([] { Log().WriteLog(Kest_U50::LOG_ERROR, "lost line"); });
        EXPECT_TRUE(std::regex_match(out, std::regex(R"(fopen: kest_u50_\d{8}_\d{6}\.log failed\n)"))) << out;
    }

    // Once the directory is usable the next line creates the file, named
    // after its local time; later lines are appended to the same file.
    ASSERT_EQ(0, ::chdir(g_scratch.Path().c_str()));
    const time_t from = std::time(nullptr);
    EXPECT_EQ("31E first line\n", Logged([] { Log().WriteLog(Kest_U50::LOG_ERROR, "first line"); }));
    const std::string name = Log().GetLogFileName();
    EXPECT_TRUE(StampedWithin(name, "kest_u50_%Y%m%d_%H%M%S.log", from, std::time(nullptr))) << name;
    EXPECT_EQ("31E second line\n", Logged([] { Log().WriteLog(Kest_U50::LOG_ERROR, "second line"); }));
    EXPECT_EQ(name, Log().GetLogFileName());
}

namespace {

// WriteLog, or WriteLogAsyncSafe for the path that signal handlers take.
typedef void (CCommonLog::*Writer)(int32_t, const char*, ...);
const Writer ORDINARY = &CCommonLog::WriteLog;
const Writer ASYNC_SAFE = &CCommonLog::WriteLogAsyncSafe;

class LogTest : public ::testing::Test {
protected:
    void SetUp() override {
        Log().SetLogLevel(31);
        // The async-safe path (and so the signal handler) cannot create the
        // file: open it beforehand.
        Capture([] { Log().WriteLog(Kest_U50::LOG_ERROR, "log file open"); });
    }
};

}  // namespace

TEST_F(LogTest, MaskSelectsTheLinesAndTheLevelItsTag) {
    const struct {
        int32_t mask, level;
        const char* shown;  // colour and tag of the line; "" when it must not appear at all
        Writer write;
    } rows[] = {
        {31, 1, "31E", ORDINARY},  {31, 2, "33W", ORDINARY},   {31, 4, "32I", ORDINARY},
        {31, 8, "37D", ORDINARY},  {31, 16, "34X", ORDINARY},  {31, 3, "34N", ORDINARY},
        {31, -1, "34N", ORDINARY}, {1, 3, "34N", ORDINARY},    {-5, 1, "31E", ORDINARY},
        {0, -1, "", ORDINARY},     {4, 3, "", ORDINARY},       {15, 16, "", ORDINARY},
        {-5, 4, "", ORDINARY},     {31, 1, "31E", ASYNC_SAFE}, {31, 3, "34N", ASYNC_SAFE},
        {2, 1, "", ASYNC_SAFE},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(testing::Message()
                     << "mask " << r.mask << " level " << r.level << " async " << (r.write == ASYNC_SAFE));
        Log().SetLogLevel(r.mask);
        EXPECT_EQ(*r.shown ? r.shown + std::string(" value=12345 text=abc\n") : "",
                  Logged([&] { (Log().*r.write)(r.level, "value=%d text=%s", 12345, "abc"); }));
    }
}

TEST_F(LogTest, OnlyTheFormatIsBoundedAndItIsCutAtAConversionBoundary) {
    // The composed format has 2048 bytes with its terminator; measure what
    // precedes the caller's text on this thread.
    const size_t room = 2047 - Capture([] { Log().WriteLog(Kest_U50::LOG_INFO, "%s", ""); }).size();
    const std::string x(room, 'x'), y(100, 'y'), big(10000, 'a');
    const struct {
        std::string format, argument, message;
        Writer write;
    } rows[] = {
        {std::string(5000, 'x'), "", x, ORDINARY},
        {x, "", x, ORDINARY},
        {x.substr(1) + "%s" + y, "42", x.substr(1), ORDINARY},
        {x.substr(2) + "%s" + y, "42", x.substr(2) + "42", ORDINARY},
        {x.substr(3) + "%-5s" + y, "42", x.substr(3), ORDINARY},
        {x.substr(1) + "%%", "", x.substr(1), ORDINARY},
        {x.substr(2) + "%%zz", "", x.substr(2) + "%", ORDINARY},
        {x.substr(1) + "%s" + y, "42", x.substr(1), ASYNC_SAFE},
        // Arguments are not bounded, except on the path that cannot use stdio.
        {"<%s>", big, "<" + big + ">", ORDINARY},
        {"%s", big, big.substr(0, room), ASYNC_SAFE},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(testing::Message()
                     << "format of " << r.format.size() << " bytes, async " << (r.write == ASYNC_SAFE));
        EXPECT_EQ("32I " + r.message + "\n", Logged([&] {
                      (Log().*r.write)(Kest_U50::LOG_INFO, r.format.c_str(), r.argument.c_str());
                  }));
    }
}
