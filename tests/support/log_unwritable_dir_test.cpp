// A working directory where the log file cannot be created, then one where
// it can. One test per binary: it needs a logger that has no file yet.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "LogTestUtil.h"
#include "SupportTestUtil.h"
#include "log/CommonLog.h"

using Kest_U50::CCommonLog;
using namespace support_test;

TEST(LogUnwritableDir, EachLineReportsTheFailedOpenUntilTheFileCanBeCreated) {
    CScratchDir writable;
    CCommonLog& log = CCommonLog::GetInstance();
    ASSERT_EQ("", log.GetLogFileName()) << "this binary must start with a logger that wrote nothing";

    // A removed working directory refuses new files, even to root.
    char gone[] = "/tmp/kest_support_gone_XXXXXX";
    ASSERT_NE(nullptr, ::mkdtemp(gone));
    ASSERT_EQ(0, ::chdir(gone));
    ASSERT_EQ(0, ::rmdir(gone));

    for (int i = 0; i < 2; ++i) {
        CStdoutCapture capture;
        log.WriteLog(Kest_U50::LOG_ERROR, "lost line %d", i);
        const std::string out = capture.Stop();
        EXPECT_TRUE(MatchDigits(out, "fopen: kest_u50_????????_??????.log failed\n")) << out;
        EXPECT_EQ("", log.GetLogFileName());
    }

    // Once the directory is usable the next line creates the file.
    ASSERT_EQ(0, ::chdir(writable.Path().c_str()));
    CStdoutCapture capture;
    log.WriteLog(Kest_U50::LOG_ERROR, "kept line");
    const std::string out = capture.Stop();
    SLogLine line;
    ASSERT_TRUE(ParseLogLine(out, line)) << out;
    EXPECT_EQ("kept line", line.message);
    const std::string name = log.GetLogFileName();
    ASSERT_EQ(std::vector<std::string>{name}, writable.Entries());
    EXPECT_EQ(out, ReadWholeFile(name));
}
