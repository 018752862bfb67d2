// Line format, level mask, both outputs and the size limits of the logger.
// The logger is one per process: every check looks only at what its own
// call added to standard output and to the file.
#include "SupportTestUtil.h"

using Kest_U50::CCommonLog;
using namespace support_test;

namespace {

const CScratchDir g_scratch;  // the log file of this process goes there

// WriteLog, or WriteLogAsyncSafe for the path that signal handlers take.
typedef void (CCommonLog::*Writer)(int32_t, const char*, ...);
const Writer ORDINARY = &CCommonLog::WriteLog;
const Writer ASYNC_SAFE = &CCommonLog::WriteLogAsyncSafe;

CCommonLog& Log() { return CCommonLog::GetInstance(); }

class LogFormatTest : public ::testing::Test {
protected:
    void SetUp() override {
        Log().SetLogLevel(31);
        // The async-safe path cannot create the file: open it beforehand.
        Capture([] { Log().WriteLog(Kest_U50::LOG_ERROR, "log file open"); });
    }
    void TearDown() override { Log().SetLogLevel(15); }
};

}  // namespace

TEST_F(LogFormatTest, MaskSelectsTheLinesAndTheLevelItsTag) {
    const struct {
        int32_t mask, level;
        const char* shown;  // colour and tag of the line; "" when it must not appear at all
        Writer write;
    } rows[] = {
        {31, 1, "31E", ORDINARY},  {31, 2, "33W", ORDINARY},   {31, 4, "32I", ORDINARY},
        {31, 8, "37D", ORDINARY},  {31, 16, "34X", ORDINARY},  {31, 3, "34N", ORDINARY},
        {31, 12, "34N", ORDINARY}, {31, -1, "34N", ORDINARY},  {1, 3, "34N", ORDINARY},
        {2, 3, "34N", ORDINARY},   {15, 8, "37D", ORDINARY},   {-5, 1, "31E", ORDINARY},
        {0, 1, "", ORDINARY},      {0, -1, "", ORDINARY},      {4, 3, "", ORDINARY},
        {4, 1, "", ORDINARY},      {4, 8, "", ORDINARY},       {15, 16, "", ORDINARY},
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

TEST_F(LogFormatTest, OnlyTheFormatIsBoundedAndItIsCutAtAConversionBoundary) {
    // The composed format has 2048 bytes with its terminator; measure what
    // precedes the caller's text on this thread.
    const size_t room = 2047 - Capture([&] { Log().WriteLog(Kest_U50::LOG_INFO, "%s", ""); }).out.size();
    const std::string x(room, 'x');
    const std::string y(100, 'y');
    const std::string big(10000, 'a');
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
        {std::string(1 << 20, 'x'), "", x, ORDINARY},
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
