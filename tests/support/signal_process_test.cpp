// Signal handling and the exit flag, and logging from a signal handler that
// interrupts the logger on its own thread.
//
// This binary is linked with --wrap=sigaction so that a test can make one
// installation fail; every other call goes through to the C library.
#include <gtest/gtest.h>
#include <printf.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "LogTestUtil.h"
#include "SupportTestUtil.h"
#include "log/CommonLog.h"
#include "signal/SignalProcess.h"

using Kest_U50::CCommonLog;
using Kest_U50::CSignalProcess;
using namespace support_test;

// --- sigaction seam ---------------------------------------------------------

namespace {
int g_failSignal = 0;                // installation of this signal fails
std::vector<int> g_installAttempts;  // signals whose action was set
}  // namespace

extern "C" int __real_sigaction(int sig, const struct sigaction* act, struct sigaction* old);
extern "C" int __wrap_sigaction(int sig, const struct sigaction* act, struct sigaction* old) {
    if (act != nullptr) {
        g_installAttempts.push_back(sig);
        if (sig == g_failSignal) {
            errno = EINVAL;
            return -1;
        }
    }
    return __real_sigaction(sig, act, old);
}

namespace {

class CSignalProcessProbe : public CSignalProcess {
public:
    using CSignalProcess::InitSignal;
    using CSignalProcess::ResetExitFlagForTesting;
    using CSignalProcess::SignalHandler;
};

class ScratchEnvironment : public ::testing::Environment {
public:
    void SetUp() override { m_dir.reset(new CScratchDir()); }
    void TearDown() override { m_dir.reset(); }

private:
    std::unique_ptr<CScratchDir> m_dir;
};

::testing::Environment* const g_scratch = ::testing::AddGlobalTestEnvironment(new ScratchEnvironment());

void RestoreDefaultActions() {
    struct sigaction dfl;
    std::memset(&dfl, 0, sizeof(dfl));
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGPIPE}) {
        __real_sigaction(sig, &dfl, nullptr);
    }
}

std::string ReadLogFile() {
    const std::string name = CCommonLog::GetInstance().GetLogFileName();
    return name.empty() ? std::string() : ReadWholeFile(name);
}

// Lines of text that parse as log lines; fails the test for any other line.
std::vector<SLogLine> ParseAll(const std::string& text) {
    std::vector<SLogLine> out;
    for (const std::string& raw : SplitLines(text)) {
        SLogLine line;
        EXPECT_TRUE(ParseLogLine(raw, line)) << "broken line: " << raw;
        out.push_back(line);
    }
    return out;
}

class SignalProcessTest : public ::testing::Test {
protected:
    void SetUp() override {
        RestoreDefaultActions();
        CSignalProcessProbe::ResetExitFlagForTesting();
        CCommonLog::GetInstance().SetLogLevel(15);
        g_failSignal = 0;
        g_installAttempts.clear();
    }
    void TearDown() override {
        RestoreDefaultActions();
        CSignalProcessProbe::ResetExitFlagForTesting();
        g_failSignal = 0;
    }
};

}  // namespace

TEST_F(SignalProcessTest, InstallsTheThreeActions) {
    ASSERT_EQ(0, CSignalProcessProbe::InitSignal());
    EXPECT_EQ((std::vector<int>{SIGINT, SIGTERM, SIGPIPE}), g_installAttempts);
    for (int sig : {SIGINT, SIGTERM}) {
        struct sigaction current;
        ASSERT_EQ(0, __real_sigaction(sig, nullptr, &current));
        EXPECT_TRUE(current.sa_flags & SA_SIGINFO) << sig;
        EXPECT_FALSE(current.sa_flags & SA_RESTART) << sig;
        EXPECT_EQ(&CSignalProcessProbe::SignalHandler, current.sa_sigaction) << sig;
        for (int other = 1; other < SIGRTMIN; ++other) {
            EXPECT_FALSE(sigismember(&current.sa_mask, other)) << sig << " blocks " << other;
        }
    }
    struct sigaction pipe;
    ASSERT_EQ(0, __real_sigaction(SIGPIPE, nullptr, &pipe));
    EXPECT_EQ(SIG_IGN, pipe.sa_handler);

    // SIGPIPE no longer ends the process and does not request exit.
    CStdoutCapture capture;
    ASSERT_EQ(0, ::raise(SIGPIPE));
    EXPECT_EQ("", capture.Stop());
    EXPECT_FALSE(CSignalProcess::IsExit());
}

TEST_F(SignalProcessTest, TermAndIntSetTheExitFlagAndLog) {
    ASSERT_EQ(0, CSignalProcessProbe::InitSignal());
    {
        CStdoutCapture warmUp;  // the file exists from here on
        CCommonLog::GetInstance().WriteLog(Kest_U50::LOG_INFO, "warm-up");
    }
    for (int sig : {SIGTERM, SIGINT}) {
        CSignalProcessProbe::ResetExitFlagForTesting();
        EXPECT_FALSE(CSignalProcess::IsExit());
        const size_t fileBefore = ReadLogFile().size();
        CStdoutCapture capture;
        ASSERT_EQ(0, ::raise(sig));
        const std::string out = capture.Stop();
        EXPECT_EQ(out, ReadLogFile().substr(fileBefore));
        EXPECT_TRUE(CSignalProcess::IsExit()) << sig;
        const std::vector<SLogLine> lines = ParseAll(out);
        ASSERT_EQ(1u, lines.size()) << out;
        EXPECT_EQ("E", lines[0].tag);
        const std::string message =
            "[SignalHandler] [~] [" + std::to_string(::getpid()) + "]received signal " + std::to_string(sig);
        EXPECT_TRUE(MatchDigits(lines[0].message, message)) << lines[0].message;
    }
}

TEST_F(SignalProcessTest, HandlerSetsTheFlagWhateverTheSignal) {
    CStdoutCapture capture;
    CSignalProcessProbe::SignalHandler(SIGUSR1, nullptr, nullptr);
    const std::string out = capture.Stop();
    EXPECT_TRUE(CSignalProcess::IsExit());
    const std::vector<SLogLine> lines = ParseAll(out);
    ASSERT_EQ(1u, lines.size());
    EXPECT_NE(std::string::npos, lines[0].message.find("received signal " + std::to_string(SIGUSR1)));

    // With every level masked off nothing is printed, but the flag is set.
    CCommonLog::GetInstance().SetLogLevel(0);
    CSignalProcessProbe::ResetExitFlagForTesting();
    CStdoutCapture quiet;
    CSignalProcessProbe::SignalHandler(SIGTERM, nullptr, nullptr);
    EXPECT_EQ("", quiet.Stop());
    EXPECT_TRUE(CSignalProcess::IsExit());
}

TEST_F(SignalProcessTest, FailedInstallationStopsAndIsLogged) {
    const struct {
        int sig;
        const char* name;
        std::vector<int> attempts;
    } cases[] = {{SIGINT, "SIGINT", {SIGINT}},
                 {SIGTERM, "SIGTERM", {SIGINT, SIGTERM}},
                 {SIGPIPE, "SIGPIPE", {SIGINT, SIGTERM, SIGPIPE}}};
    for (const auto& c : cases) {
        RestoreDefaultActions();
        g_installAttempts.clear();
        g_failSignal = c.sig;
        CStdoutCapture capture;
        EXPECT_EQ(-1, CSignalProcessProbe::InitSignal()) << c.name;
        const std::string out = capture.Stop();
        EXPECT_EQ(c.attempts, g_installAttempts) << c.name;
        const std::vector<SLogLine> lines = ParseAll(out);
        ASSERT_EQ(1u, lines.size()) << out;
        EXPECT_EQ("E", lines[0].tag);
        const std::string message = "[InitSignal] [~] Failed to install " + std::string(c.name) + " handle!";
        EXPECT_TRUE(MatchDigits(lines[0].message, message)) << lines[0].message;

        // What was installed before the failure stays.
        if (c.sig != SIGINT) {
            struct sigaction current;
            ASSERT_EQ(0, __real_sigaction(SIGINT, nullptr, &current));
            EXPECT_EQ(&CSignalProcessProbe::SignalHandler, current.sa_sigaction);
        }
    }
}

// --- a signal while the same thread is inside the logger ---------------------
//
// A printf conversion of our own ("%Y"), run by the logger while it formats a
// line (with its mutex held), raises the signal or logs again from inside.

namespace {

enum EInsideAction { INSIDE_NOTHING, INSIDE_RAISE_SIGINT, INSIDE_LOG_LONG_LINE };
volatile sig_atomic_t g_insideAction = INSIDE_NOTHING;

int PrintInside(FILE* stream, const struct printf_info* /*info*/, const void* const* /*args*/) {
    const int action = g_insideAction;
    g_insideAction = INSIDE_NOTHING;  // only the first conversion acts
    if (action == INSIDE_RAISE_SIGINT) {
        ::raise(SIGINT);
    } else if (action == INSIDE_LOG_LONG_LINE) {
        const std::string longText(5000, 'L');
        CCommonLog::GetInstance().WriteLog(Kest_U50::LOG_WARNING, "nested %s", longText.c_str());
    }
    return std::fprintf(stream, "Y");
}

int PrintInsideArgs(const struct printf_info* /*info*/, size_t n, int* argtypes, int* size) {
    if (n > 0) {
        argtypes[0] = PA_INT;
        size[0] = sizeof(int);
    }
    return 1;
}

const bool g_registered = ::register_printf_specifier('Y', PrintInside, PrintInsideArgs) == 0;

// Not const, so that the compiler's format check does not see "%Y", which is ours.
char OUTER_FORMAT[] = "outer %Y done";

}  // namespace

TEST_F(SignalProcessTest, SignalInsideTheLoggerIsLoggedWithoutDeadlock) {
    ASSERT_TRUE(g_registered);
    ASSERT_EQ(0, CSignalProcessProbe::InitSignal());
    // Have the file open before, so that both outputs can be compared.
    {
        CStdoutCapture warmUp;
        CCommonLog::GetInstance().WriteLog(Kest_U50::LOG_INFO, "warm-up");
    }
    const size_t fileBefore = ReadLogFile().size();

    const time_t from = std::time(nullptr);
    CStdoutCapture capture;
    g_insideAction = INSIDE_RAISE_SIGINT;
    CCommonLog::GetInstance().WriteLog(Kest_U50::LOG_INFO, OUTER_FORMAT, 0);
    const std::string out = capture.Stop();
    const time_t to = std::time(nullptr);
    const std::string file = ReadLogFile().substr(fileBefore);

    EXPECT_TRUE(CSignalProcess::IsExit());
    for (const std::string* text : {&out, &file}) {
        const std::vector<SLogLine> lines = ParseAll(*text);
        ASSERT_EQ(2u, lines.size()) << *text;
        bool sawOuter = false;
        bool sawSignal = false;
        for (const SLogLine& line : lines) {
            EXPECT_EQ(SelfThreadId(), line.threadId);
            // The line written from inside uses its own time conversion.
            EXPECT_TRUE(StampWithin(line, from, to)) << line.date << " " << line.time;
            if (line.message == "outer Y done") {
                sawOuter = true;
                EXPECT_EQ("I", line.tag);
            } else {
                sawSignal = true;
                EXPECT_EQ("E", line.tag);
                EXPECT_TRUE(MatchDigits(line.message, "[SignalHandler] [~] [" + std::to_string(::getpid()) +
                                                          "]received signal 2"))
                    << line.message;
            }
        }
        EXPECT_TRUE(sawOuter);
        EXPECT_TRUE(sawSignal);
    }
}

TEST_F(SignalProcessTest, NestedLineIsCutToTheLineBufferWithItsEnding) {
    ASSERT_TRUE(g_registered);
    {
        CStdoutCapture warmUp;
        CCommonLog::GetInstance().WriteLog(Kest_U50::LOG_INFO, "warm-up");
    }
    const size_t fileBefore = ReadLogFile().size();
    CStdoutCapture capture;
    g_insideAction = INSIDE_LOG_LONG_LINE;
    CCommonLog::GetInstance().WriteLog(Kest_U50::LOG_INFO, OUTER_FORMAT, 0);
    const std::string out = capture.Stop();
    const std::string file = ReadLogFile().substr(fileBefore);

    for (const std::string* text : {&out, &file}) {
        const std::vector<SLogLine> lines = ParseAll(*text);
        ASSERT_EQ(2u, lines.size()) << text->substr(0, 200);
        size_t nestedIndex = lines[0].tag == "W" ? 0 : 1;
        EXPECT_EQ("W", lines[nestedIndex].tag);
        EXPECT_EQ("outer Y done", lines[1 - nestedIndex].message);
        const std::string& nested = lines[nestedIndex].message;
        ASSERT_GT(nested.size(), 1000u);
        EXPECT_EQ("nested " + std::string(nested.size() - 7, 'L'), nested);
        // The whole nested line, colour reset and newline included, fills
        // the 2048-byte line buffer without its terminator.
        const std::vector<std::string> raw = SplitLines(*text);
        EXPECT_EQ(2047u, raw[nestedIndex].size());
    }
}
