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

class NullSpi : public CKestShfeMdSpi {
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

    kest_test::ScopedTempDir dir_;
    CKestShfeMdApi* api_ = nullptr;
    NullSpi spi_;
};

TEST_F(ApiTest, NullConfigPathIsRefusedInBothModes) {
    EXPECT_EQ(api_->KestStart(spi_, nullptr), -1);
    EXPECT_EQ(api_->KestStart(nullptr), -1);
    EXPECT_EQ(api_->KestRecvStart(spi_, nullptr), -1);
    const std::string log = Log();
    const std::regex line(R"(\[E\] \[\d{8}\]\[\d\d:\d\d:\d\d\]\[\d+\] \[\./src/KestShfeMdApiImpl\.cpp:\d+\] \[KestStart\] lpConfig is nullptr)");
    EXPECT_EQ(std::distance(std::sregex_iterator(log.begin(), log.end(), line), std::sregex_iterator()), 3) << log;
    // A refused start leaves the object un-started: polls deliver nothing.
    EXPECT_EQ(api_->KestRecv(), 0);
}

TEST_F(ApiTest, MissingConfigurationFailsTheStartWithoutTouchingTheCard) {
    const std::string path = dir_.File("absent.ini");
    EXPECT_EQ(api_->KestStart(spi_, path.c_str()), -2);
    EXPECT_EQ(api_->KestStart(path.c_str()), -2);
    const std::string log = Log();
    EXPECT_NE(log.find("[_ReadConfig] ReadConfig " + path + " failed"), std::string::npos) << log;
    EXPECT_NE(log.find("[Init] _ReadConfig failed"), std::string::npos) << log;
    EXPECT_NE(log.find("[KestStart] _Init error"), std::string::npos) << log;
    EXPECT_NE(log.find("KEST_U50_VERSION["), std::string::npos) << log;
    EXPECT_EQ(log.find("Reg Init"), std::string::npos) << "the card must not be touched";
}

TEST_F(ApiTest, RecvStartReturnsMinusOneAndDoesNotPollWhenTheStartFails) {
    const std::string path = dir_.File("absent.ini");
    EXPECT_EQ(api_->KestRecvStart(spi_, path.c_str()), -1);
    EXPECT_EQ(spi_.calls, 0);
}

TEST_F(ApiTest, NoCardOnTheConfiguredBusFailsAtRegisterAccess) {
    const std::string path = dir_.File("bus7.ini");
    kest_test::WriteFile(path, "[config]\ndevice=xilinx7:0\n");
    EXPECT_EQ(api_->KestStart(spi_, path.c_str()), -2);
    const std::string log = Log();
    EXPECT_NE(log.find("Could not find accelerator"), std::string::npos) << log;
    EXPECT_TRUE(std::regex_search(log, std::regex(R"(\[Init\] \[\d+\] _GetCore is nullptr!)"))) << log;
    EXPECT_NE(log.find("Reg Init failed"), std::string::npos) << log;
    EXPECT_EQ(api_->KestRecv(), 0);
}

TEST_F(ApiTest, ALongPathIsCutTo255Characters) {
    std::string path = dir_.Path() + "/";
    while (path.size() < 300) path += "p";
    EXPECT_EQ(api_->KestStart(path.c_str()), -2);
    const std::string log = Log();
    EXPECT_NE(log.find("ReadConfig " + path.substr(0, 255) + " failed"), std::string::npos) << log;
    EXPECT_EQ(log.find(path.substr(0, 256)), std::string::npos);
}

TEST_F(ApiTest, PollsBeforeAnyStartDeliverNothingAndLeaveTheBufferAlone) {
    KestShfeMdType record;
    std::memset(&record, 0x5A, sizeof(record));
    EXPECT_EQ(api_->KestRecv(), 0);
    EXPECT_EQ(api_->KestRecv(record), 0);
    for (size_t i = 0; i < sizeof(record); ++i) {
        ASSERT_EQ(reinterpret_cast<const unsigned char*>(&record)[i], 0x5A);
    }
}

TEST_F(ApiTest, AfterAnExitRequestEveryPollReturnsMinusOne) {
    // The start installs the handlers even when the configuration is missing.
    EXPECT_EQ(api_->KestStart(dir_.File("absent.ini").c_str()), -2);
    ASSERT_EQ(raise(SIGTERM), 0);
    KestShfeMdType record;
    std::memset(&record, 0x33, sizeof(record));
    EXPECT_EQ(api_->KestRecv(), -1);
    EXPECT_EQ(api_->KestRecv(record), -1);
    EXPECT_EQ(reinterpret_cast<const unsigned char*>(&record)[0], 0x33);
    // Another object of the same process sees the same flag.
    CKestShfeMdApi& other = CKestShfeMdApi::CreateKestShfeMdApi();
    EXPECT_EQ(other.KestRecv(), -1);
    CKestShfeMdApi::DestroyKestShfeMdApi(other);
    const std::string log = Log();
    const std::regex line(R"(\[E\] .*\[SignalHandler\] \[\d+\] \[\d+\]received signal 15)");
    EXPECT_TRUE(std::regex_search(log, line)) << log;
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
