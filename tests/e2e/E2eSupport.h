// The end-to-end world: a private simulated card with its running logic, a
// configuration file, a quote collector and what a channel's list selects.
#pragma once

#include <gtest/gtest.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "KestShfeMdApi.h"
#include "TestSupport.h"
#include "cardlogic/LiveCard.h"
#include "crc/Crc32.h"
#include "log/CommonLog.h"

namespace e2e {

// The bring-up's pauses: seconds and the card's newest journal entry at each.
inline std::vector<std::pair<unsigned int, uint64_t>> sleeps;

// Bitwise, so that it does not share the product's tables.
inline uint32_t FileCrc(const std::string& path) {
    uint32_t crc = 0;
    for (unsigned char byte : kest_test::ReadFile(path)) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1u) ? (crc >> 1) ^ Kest_U50::crc32c_detail::POLY_REFLECTED : crc >> 1;
    }
    return crc;
}

struct ConfigText {
    std::string device = "xilinx0:0";
    std::string feeds[4] = {"enabled", "enabled", "enabled", "enabled"};
    int crc_mux_check = 1;
    std::string channels[16] = {"all"};
    bool options[16] = {};
    int cpucore = -1;
    int route = 19;
    std::string extra;  // more [config] lines

    std::string Render() const {
        static const char* const kFeeds[4] = {"shfe2ps", "shfe4ps", "ine2ps", "ine4ps"};
        std::ostringstream out;
        out << "[config]\nlog_level=7\ncpucore=" << cpucore << "\ndevice=" << device << "\n";
        for (int f = 0; f < 4; ++f) out << kFeeds[f] << "=" << feeds[f] << "\n";
        out << "DSTMAC=00:11:22:33:44:55\nDSTIP=192.168.1.2\nDSTPORT=30000\nSRCMAC=00:0a:35:00:01:fe\n"
               "SRCIP=192.168.1.1\nSRCPORT=30001\nTARGETROUTE="
            << route << "\nlast_tick_channel=65537\ncrc_mux_check=" << crc_mux_check << "\n"
            << extra;
        for (int c = 0; c < 16; ++c) {
            if (!channels[c].empty())
                out << "[channel" << c << "]\ninsts=" << channels[c]
                    << "\noptions=" << (options[c] ? "recv" : "norecv") << "\n";
        }
        return out.str();
    }
};

class Collector : public CKestShfeMdSpi {
public:
    void OnShfeMdData(const KestShfeMdType* q) override { quotes.push_back(*q), ++count; }
    std::vector<KestShfeMdType> quotes;
    std::atomic<size_t> count{0};  // for threads other than the polling one
};

struct Api {
    CKestShfeMdApi& obj = CKestShfeMdApi::CreateKestShfeMdApi();
    ~Api() { CKestShfeMdApi::DestroyKestShfeMdApi(obj); }
    CKestShfeMdApi* operator->() { return &obj; }
};

class World : public ::testing::Test {
public:
    // Polls until pred() holds or the deadline passes (five minutes: never
    // reached by a sound run, however loaded the machine); returns pred().
    static bool PollUntil(const std::function<int32_t()>& poll, const std::function<bool()>& pred,
                          int timeout_ms = 300000) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (!pred() && std::chrono::steady_clock::now() < deadline) {
            if (poll() == 0) std::this_thread::yield();
        }
        return pred();
    }

protected:
    void SetUp() override {
        kest_test::UsePrivateCardNamespace("e2e");
        setenv("TZ", "UTC", 1);
        tzset();
        sleeps.clear();
    }
    void TearDown() override {
        if (card_) card_->Stop();
        card_.reset();
        for (uint32_t index : kest_sim::ListCards()) kest_sim::RemoveCard(index);
    }
    // Not free running: the tests make exchange packets with Step().
    static kest_cardlogic::LiveCardOptions Options(uint8_t snapshot_feeds = 0x0F) {
        kest_cardlogic::LiveCardOptions options;
        options.seed = 7;
        options.shfe_size = shfe_size_;  // room for the option instruments of both exchanges
        options.ine_size = ine_size_;
        options.snapshot_feeds = snapshot_feeds;
        options.free_run = false;
        options.keepalive_interval_ms = 2;
        return options;
    }
    void OpenCard(const kest_cardlogic::LiveCardOptions& options = Options()) {
        ASSERT_TRUE(kest_sim::CardExists(0) || kest_sim::CreateCard(0) == 0);
        card_ = kest_cardlogic::LiveCard::Open(options);
        ASSERT_TRUE(card_ && card_->Start());
    }
    // Polls until channel 0's ring is empty: the started object took every quote and event the card wrote.
    bool Drained(CKestShfeMdApi& api) {
        return PollUntil([&] { return api.KestRecv(); },
                         [&] { return card_->Model().A2cStats(0).pending == 0; });
    }
    std::string WriteConfig(const ConfigText& text, const std::string& name = "kest.ini") {
        kest_test::WriteFile(dir_.File(name), text.Render());
        return dir_.File(name);
    }
    std::string OpenCardWith(const ConfigText& text = ConfigText()) {
        OpenCard();
        return WriteConfig(text);
    }
    // Whether a started object in callback mode receives what the exchange sends from now on.
    bool Flows(CKestShfeMdApi& api, Collector& spi) {
        spi.quotes.clear();
        card_->Step(10);
        return PollUntil([&] { return api.KestRecv(); }, [&] { return !spi.quotes.empty(); });
    }
    std::string Log() const {
        return kest_test::ReadFile(Kest_U50::CCommonLog::GetInstance().GetLogFileName());
    }
    bool Logged(const std::string& text) const { return Log().find(text) != std::string::npos; }
    // Within one line: '.' stops at line ends.
    bool LogMatches(const std::string& re) const { return std::regex_search(Log(), std::regex(re)); }

    kest_test::ScopedTempDir dir_;
    std::unique_ptr<kest_cardlogic::LiveCard> card_;
    static constexpr int32_t shfe_size_ = 400, ine_size_ = 160;
};

}  // namespace e2e
