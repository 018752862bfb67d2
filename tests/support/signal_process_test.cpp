// Signal handling and the exit flag, and lines logged while the same thread
// is already inside the logger.
#include <printf.h>
#include <signal.h>

#include "SupportTestUtil.h"
#include "signal/SignalProcess.h"

using Kest_U50::CCommonLog;
using Kest_U50::CSignalProcess;
using namespace support_test;

namespace {

const CScratchDir g_scratch;  // the log file of this process goes there

struct CSignalProcessProbe : CSignalProcess {
    using CSignalProcess::InitSignal;
    using CSignalProcess::ResetExitFlagForTesting;
};

std::string SignalLine(int sig) {
    return R"(31E \[SignalHandler\] \[\d+\] \[)" + std::to_string(::getpid()) + R"(\]received signal )" +
           std::to_string(sig) + "\n";
}

// A printf conversion of our own ("%Y"), run by the logger while it formats
// a line with its mutex held, runs g_inside once.
void (*g_inside)() = nullptr;

int PrintInside(FILE* stream, const struct printf_info*, const void* const*) {
    if (void (*action)() = g_inside) {
        g_inside = nullptr;
        action();
    }
    return std::fprintf(stream, "Y");
}

int PrintInsideTakesNoArgument(const struct printf_info*, size_t, int*, int*) { return 0; }

const bool g_registered = ::register_printf_specifier('Y', PrintInside, PrintInsideTakesNoArgument) == 0;

class SignalProcessTest : public ::testing::Test {
protected:
    void SetUp() override {
        CCommonLog::GetInstance().SetLogLevel(15);
        // A line from the handler cannot create the file: open it beforehand.
        Capture([] { CCommonLog::GetInstance().WriteLog(Kest_U50::LOG_ERROR, "log file open"); });
    }
};

}  // namespace

TEST_F(SignalProcessTest, IntAndTermSetTheExitFlagAndAreLoggedPipeIsIgnored) {
    ASSERT_EQ(0, CSignalProcessProbe::InitSignal());
    for (int sig : {SIGINT, SIGTERM}) {
        struct sigaction action;
        ASSERT_EQ(0, sigaction(sig, nullptr, &action));
        // Without SA_RESTART a blocking call returns and the poll sees the flag.
        EXPECT_EQ(SA_SIGINFO, action.sa_flags & (SA_SIGINFO | SA_RESTART)) << sig;
        EXPECT_TRUE(sigisemptyset(&action.sa_mask)) << sig;
    }
    const struct {
        int sig;
        int32_t mask;
    } rows[] = {{SIGPIPE, 15}, {SIGTERM, 15}, {SIGINT, 15}, {SIGTERM, 0}};
    for (const auto& r : rows) {
        SCOPED_TRACE(testing::Message() << "signal " << r.sig << " mask " << r.mask);
        CSignalProcessProbe::ResetExitFlagForTesting();
        CCommonLog::GetInstance().SetLogLevel(r.mask);
        const std::string lines = Logged([&] { ASSERT_EQ(0, ::raise(r.sig)); });
        EXPECT_EQ(r.sig != SIGPIPE, CSignalProcess::IsExit());
        EXPECT_TRUE(Matches(lines, r.sig != SIGPIPE && r.mask != 0 ? SignalLine(r.sig) : "")) << lines;
    }
}

TEST_F(SignalProcessTest, LineFromInsideTheLoggerIsWrittenWithoutDeadlock) {
    ASSERT_TRUE(g_registered);
    ASSERT_EQ(0, CSignalProcessProbe::InitSignal());
    char outerFormat[] = "outer %Y done";  // not a literal: the compiler's format check does not know "%Y"
    const std::string outer = "32I outer Y done\n";
    const struct {
        void (*inside)();
        std::string inner;
    } rows[] = {{[] { ::raise(SIGINT); }, SignalLine(SIGINT)},
                {[] { CCommonLog::GetInstance().WriteLog(Kest_U50::LOG_WARNING, "nested %d", 7); },
                 "33W nested 7\n"}};
    for (const auto& r : rows) {
        SCOPED_TRACE(r.inner);
        CSignalProcessProbe::ResetExitFlagForTesting();
        const std::string lines = Logged([&] {
            g_inside = r.inside;
            CCommonLog::GetInstance().WriteLog(Kest_U50::LOG_INFO, outerFormat, 0);  // "%Y" takes no argument
        });
        EXPECT_TRUE(Matches(lines, r.inner + outer + "|" + outer + r.inner)) << lines;
        EXPECT_EQ(r.inside == rows[0].inside, CSignalProcess::IsExit());
    }
}
