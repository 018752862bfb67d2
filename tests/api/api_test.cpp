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
    void SetUp() override {
        kest_test::UsePrivateCardNamespace("api");
        api_ = &CKestShfeMdApi::CreateKestShfeMdApi();
        ASSERT_NE(api_, nullptr);
    }
    void TearDown() override { CKestShfeMdApi::DestroyKestShfeMdApi(*api_); }

    std::string Log() { return kest_test::ReadFile(Kest_U50::CCommonLog::GetInstance().GetLogFileName()); }
    // Whether every byte of the record still holds `fill`.
    static bool Untouched(const KestShfeMdType& record, unsigned char fill) {
        KestShfeMdType expected;
        std::memset(&expected, fill, sizeof(expected));
        return std::memcmp(&record, &expected, sizeof(record)) == 0;
    }

    kest_test::ScopedTempDir dir_;
    CKestShfeMdApi* api_ = nullptr;
    CountingSpi spi_;
};

TEST_F(ApiTest, StartsWithoutAReadableConfigurationFailAndLeaveTheObjectUnstarted) {
    // Polls before any start deliver nothing and leave the buffer alone.
    KestShfeMdType record;
    std::memset(&record, 0x5A, sizeof(record));
    EXPECT_EQ(api_->KestRecv(), 0);
    EXPECT_EQ(api_->KestRecv(record), 0);
    EXPECT_TRUE(Untouched(record, 0x5A));

    // No path at all, in every mode.
    EXPECT_EQ(api_->KestStart(spi_, nullptr), -1);
    EXPECT_EQ(api_->KestStart(nullptr), -1);
    EXPECT_EQ(api_->KestRecvStart(spi_, nullptr), -1);
    std::string log = Log();
    const std::regex nullLine(
        R"(\[E\] \[\d{8}\]\[\d\d:\d\d:\d\d\]\[\d+\] \[\./src/KestShfeMdApiImpl\.cpp:\d+\] \[KestStart\] lpConfig is nullptr)");
    EXPECT_EQ(std::distance(std::sregex_iterator(log.begin(), log.end(), nullLine), std::sregex_iterator()),
              3)
        << log;

    // A missing file fails the start (RecvStart then returns -1 and never
    // polls) without touching the card.
    const std::string path = dir_.File("absent.ini");
    EXPECT_EQ(api_->KestStart(spi_, path.c_str()), -2);
    EXPECT_EQ(api_->KestStart(path.c_str()), -2);
    EXPECT_EQ(api_->KestRecvStart(spi_, path.c_str()), -1);
    EXPECT_EQ(spi_.calls, 0);
    log = Log();
    for (const std::string& line :
         {"[_ReadConfig] ReadConfig " + path + " failed", std::string("[Init] _ReadConfig failed"),
          std::string("[KestStart] _Init error"), std::string("KEST_U50_VERSION[")}) {
        EXPECT_NE(log.find(line), std::string::npos) << line;
    }
    EXPECT_EQ(log.find("Reg Init"), std::string::npos) << "the card must not be touched";

    // A path longer than 255 characters is cut.
    std::string longPath = dir_.Path() + "/";
    while (longPath.size() < 300) longPath += "p";
    EXPECT_EQ(api_->KestStart(longPath.c_str()), -2);
    log = Log();
    EXPECT_NE(log.find("ReadConfig " + longPath.substr(0, 255) + " failed"), std::string::npos);
    EXPECT_EQ(log.find(longPath.substr(0, 256)), std::string::npos);

    EXPECT_EQ(api_->KestRecv(), 0);
    EXPECT_EQ(api_->KestRecv(record), 0);
    EXPECT_TRUE(Untouched(record, 0x5A));
}

TEST_F(ApiTest, AfterAnExitRequestEveryPollReturnsMinusOne) {
    // The start installs the handlers even when the configuration is missing.
    EXPECT_EQ(api_->KestStart(dir_.File("absent.ini").c_str()), -2);
    ASSERT_EQ(raise(SIGTERM), 0);
    KestShfeMdType record;
    std::memset(&record, 0x33, sizeof(record));
    EXPECT_EQ(api_->KestRecv(), -1);
    EXPECT_EQ(api_->KestRecv(record), -1);
    EXPECT_TRUE(Untouched(record, 0x33));
    // Another object of the same process sees the same flag.
    CKestShfeMdApi& other = CKestShfeMdApi::CreateKestShfeMdApi();
    EXPECT_EQ(other.KestRecv(), -1);
    CKestShfeMdApi::DestroyKestShfeMdApi(other);
    const std::regex line(R"(\[E\] .*\[SignalHandler\] \[\d+\] \[\d+\]received signal 15)");
    EXPECT_TRUE(std::regex_search(Log(), line)) << Log();
}

__attribute__((no_sanitize("null"))) void DestroyTheNullReference() {
    CKestShfeMdApi* nothing = nullptr;
    asm("" : "+r"(nothing));
    CKestShfeMdApi::DestroyKestShfeMdApi(*nothing);
}

TEST(ApiFactory, EachCallCreatesAnIndependentObject) {
    CKestShfeMdApi& a = CKestShfeMdApi::CreateKestShfeMdApi();
    CKestShfeMdApi& b = CKestShfeMdApi::CreateKestShfeMdApi();
    EXPECT_NE(&a, &b);
    // The reference a failed allocation would return: destroying it is a no-op.
    DestroyTheNullReference();
    EXPECT_EQ(a.KestRecv(), 0);
    EXPECT_EQ(b.KestRecv(), 0);
    CKestShfeMdApi::DestroyKestShfeMdApi(a);
    CKestShfeMdApi::DestroyKestShfeMdApi(b);
}

}  // namespace
