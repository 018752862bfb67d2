// What happens before and at the first line of a process: this binary holds
// one test so that it always meets a logger that has written nothing yet.
#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <string>

#include "LogTestUtil.h"
#include "SupportTestUtil.h"
#include "log/CommonLog.h"

using Kest_U50::CCommonLog;
using namespace support_test;

TEST(LogFirstLine, NothingBeforeTheFirstPassingLineWhichNamesTheFile) {
    CScratchDir dir;
    CCommonLog& log = CCommonLog::GetInstance();
    ASSERT_EQ("", log.GetLogFileName()) << "this binary must start with a logger that wrote nothing";

    // The initial mask is 15: extended debug neither prints nor creates a file.
    EXPECT_EQ(15, log.GetLogLevel());
    CStdoutCapture silent;
    log.WriteLog(Kest_U50::LOG_DEBUG_EX, "not shown %d", 1);
    EXPECT_EQ("", silent.Stop());
    EXPECT_TRUE(dir.Entries().empty());
    EXPECT_EQ("", log.GetLogFileName());

    const time_t from = std::time(nullptr);
    CStdoutCapture first;
    log.WriteLog(Kest_U50::LOG_INFO, "first line %d", 1);
    const std::string out = first.Stop();
    const time_t to = std::time(nullptr);

    const std::string name = log.GetLogFileName();
    ASSERT_EQ(std::vector<std::string>{name}, dir.Entries());
    SLogLine line;
    ASSERT_TRUE(ParseLogLine(out, line)) << out;
    EXPECT_EQ("first line 1", line.message);
    EXPECT_TRUE(StampWithin(line, from, to));
    // The file is named after the time of that first line.
    const std::string expected = "kest_u50_" + line.date + "_" + line.time.substr(0, 2) +
                                 line.time.substr(3, 2) + line.time.substr(6, 2) + ".log";
    EXPECT_EQ(expected, name);
    EXPECT_EQ(out, ReadWholeFile(name));

    // Another line, whenever it comes, lands in the same file.
    CStdoutCapture second;
    CCommonLog::GetInstance().WriteLog(Kest_U50::LOG_ERROR, "second line");
    const std::string out2 = second.Stop();
    EXPECT_EQ(std::vector<std::string>{name}, dir.Entries());
    EXPECT_EQ(out + out2, ReadWholeFile(name));
}
