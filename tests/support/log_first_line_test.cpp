// What happens up to the first line that reaches the log file. This binary
// holds one test so that it always meets a logger that has written nothing.
#include "SupportTestUtil.h"

using Kest_U50::CCommonLog;
using namespace support_test;

TEST(LogFirstLine, NothingIsWrittenUntilALineCanCreateTheFileNamedAfterItsTime) {
    CScratchDir dir;
    CCommonLog& log = CCommonLog::GetInstance();
    ASSERT_EQ("", log.GetLogFileName()) << "this binary must start with a logger that wrote nothing";

    // The initial mask 15 leaves out extended debug: no output, no file.
    EXPECT_EQ("", Capture([&] { log.WriteLog(Kest_U50::LOG_DEBUG_EX, "not shown"); }).out);
    EXPECT_EQ("", log.GetLogFileName());

    // A removed working directory refuses new files, even to root: each line
    // is lost and reports the failed open instead.
    char gone[] = "/tmp/kest_support_gone_XXXXXX";
    ASSERT_TRUE(::mkdtemp(gone) != nullptr && ::chdir(gone) == 0 && ::rmdir(gone) == 0);
    for (int i = 0; i < 2; ++i) {
        const std::string out = Capture([&] { log.WriteLog(Kest_U50::LOG_ERROR, "lost line"); }).out;
        EXPECT_TRUE(Matches(out, R"(fopen: kest_u50_\d{8}_\d{6}\.log failed\n)")) << out;
    }

    // Once the directory is usable the next line creates the file, named
    // after that line's time; later lines go to the same file.
    ASSERT_EQ(0, ::chdir(dir.path.c_str()));
    const SOutput first = Capture([&] { log.WriteLog(Kest_U50::LOG_ERROR, "first line"); });
    const std::vector<SLogLine> lines = ParseAll(first.out);
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ("first line", lines[0].message);
    const std::string& t = lines[0].time;
    EXPECT_EQ("kest_u50_" + lines[0].date + "_" + t.substr(0, 2) + t.substr(3, 2) + t.substr(6, 2) + ".log",
              log.GetLogFileName());
    const std::string second = Capture([&] { log.WriteLog(Kest_U50::LOG_ERROR, "second line"); }).out;
    EXPECT_EQ(first.out + second, ReadWholeFile(log.GetLogFileName()));
}
