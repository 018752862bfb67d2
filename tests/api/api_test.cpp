// The API object through its public interface: factory, start results and
// their log lines, polls before a start and after an exit request.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstring>
#include <regex>
#include <string>

#include "KestShfeMdApi.h"
#include "TestSupport.h"
#include "log/CommonLog.h"

namespace {

class CountingSpi : public CKestShfeMdSpi {
public:
    void OnShfeMdData(const KestShfeMdType*) override { ++calls; }
    int calls = 0;
};

class ApiTest : public ::testing::Test {
protected:
    void SetUp() override { kest_test::UsePrivateCardNamespace("api"); }
    void TearDown() override { CKestShfeMdApi::DestroyKestShfeMdApi(api_); }
    std::string Log() { return kest_test::ReadFile(Kest_U50::CCommonLog::GetInstance().GetLogFileName()); }
    // Polls of an object that is not started deliver nothing and leave the buffer alone.
    void ExpectNothingToPoll(int32_t result) {
        KestShfeMdType record;
        std::memset(&record, 0x5A, sizeof(record));
        const KestShfeMdType untouched = record;
        EXPECT_EQ(api_.KestRecv(), result);
        EXPECT_EQ(api_.KestRecv(record), result);
        EXPECT_EQ(std::memcmp(&record, &untouched, sizeof(record)), 0);
    }

    kest_test::ScopedTempDir dir_;
    CKestShfeMdApi& api_ = CKestShfeMdApi::CreateKestShfeMdApi();
    CountingSpi spi_;
};

TEST_F(ApiTest, StartsWithoutAReadableConfigurationFailAndLeaveTheObjectUnstarted) {
    ExpectNothingToPoll(0);
    EXPECT_EQ(api_.KestStart(spi_, nullptr), -1);
    EXPECT_EQ(api_.KestStart(nullptr), -1);
    EXPECT_EQ(api_.KestRecvStart(spi_, nullptr), -1);
    std::string log = Log();
    const std::regex nullLine(
        R"(\[E\] \[\d{8}\]\[\d\d:\d\d:\d\d\]\[\d+\] \[\./src/KestShfeMdApiImpl\.cpp:\d+\] \[KestStart\] lpConfig is nullptr)");
    using Lines = std::sregex_iterator;
    EXPECT_EQ(std::distance(Lines(log.begin(), log.end(), nullLine), Lines()), 3) << log;

    // A missing file fails the start (RecvStart then returns -1 and never polls) without touching the card.
    const std::string path = dir_.File("absent.ini");
    EXPECT_EQ(api_.KestStart(spi_, path.c_str()), -2);
    EXPECT_EQ(api_.KestStart(path.c_str()), -2);
    EXPECT_EQ(api_.KestRecvStart(spi_, path.c_str()), -1);
    EXPECT_EQ(spi_.calls, 0);
    log = Log();
    EXPECT_NE(log.find("[_ReadConfig] ReadConfig " + path + " failed"), std::string::npos) << log;
    for (const char* line : {"[Init] _ReadConfig failed", "[KestStart] _Init error"})
        EXPECT_NE(log.find(line), std::string::npos) << line;
    EXPECT_NE(log.find(" V" KEST_EXPECTED_VERSION "]"), std::string::npos)
        << "the version line names the version";
    EXPECT_EQ(log.find("Reg Init"), std::string::npos) << "the card must not be touched";
    ExpectNothingToPoll(0);

    // The start installed the handlers; every object of the process sees the exit request.
    ASSERT_EQ(raise(SIGTERM), 0);
    ExpectNothingToPoll(-1);
    CKestShfeMdApi& other = CKestShfeMdApi::CreateKestShfeMdApi();
    EXPECT_EQ(other.KestRecv(), -1);
    CKestShfeMdApi::DestroyKestShfeMdApi(other);
    EXPECT_TRUE(std::regex_search(
        Log(), std::regex(R"(\[E\] .*\[SignalHandler\] \[\d+\] \[\d+\]received signal 15)")));
}

// The reference a failed allocation returns; hidden from the optimiser and
// from the sanitizer's null-reference check, as it is in a user's program.
__attribute__((no_sanitize("null"))) void DestroyTheNullReference() {
    CKestShfeMdApi* nothing = nullptr;
    asm("" : "+r"(nothing));
    CKestShfeMdApi::DestroyKestShfeMdApi(*nothing);
}

TEST(ApiFactory, EachCallCreatesAnObjectAndANullReferenceIsIgnoredOnDestroy) {
    CKestShfeMdApi& a = CKestShfeMdApi::CreateKestShfeMdApi();
    CKestShfeMdApi& b = CKestShfeMdApi::CreateKestShfeMdApi();
    EXPECT_NE(&a, &b);
    CKestShfeMdApi::DestroyKestShfeMdApi(a);
    CKestShfeMdApi::DestroyKestShfeMdApi(b);
    DestroyTheNullReference();
}

}  // namespace
