// The world of the end-to-end tests: a private simulated card with its
// running logic, a configuration file, a quote collector, and what a
// channel's list must select on the card.
#pragma once

#include <gtest/gtest.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "KestShfeMdApi.h"
#include "TestSupport.h"
#include "cardlogic/LiveCard.h"
#include "log/CommonLog.h"

namespace e2e {

// What the bring-up's pauses saw: the card's newest journal entry at each
// call (recorded by the sleep() that BringUpTest.cpp puts in the program).
struct SleepRecord {
    unsigned int seconds;
    uint64_t journal_head;
};
inline std::vector<SleepRecord> sleeps;

// Whether a channel's list selects an identifier: two-letter product tokens
// and "all" take option instruments (seven characters or more) only when the
// channel asks for them; a full identifier selects exactly itself.
inline bool Selected(const std::string& id, const std::string& insts, bool options) {
    const bool byProduct = options || id.size() < 7;
    if (insts == "all") return byProduct;
    std::stringstream in(insts);
    for (std::string token; std::getline(in, token, ',');) {
        if (token.size() == 2 ? byProduct && id.compare(0, 2, token) == 0 : !token.empty() && token == id) {
            return true;
        }
    }
    return false;
}

// Raw CRC-32C of a file (seed 0, no final inversion).
inline uint32_t FileCrc(const std::string& path) {
    uint32_t crc = 0;
    for (unsigned char byte : kest_test::ReadFile(path)) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 1u) ? (crc >> 1) ^ 0x82F63B78u : crc >> 1;
    }
    return crc;
}

struct ConfigText {
    std::string device = "xilinx0:0";
    std::string feeds[4] = {"enabled", "enabled", "enabled", "enabled"};
    int crc_mux_check = 1;
    std::string channels[16] = {"all"};  // channel 0 takes everything unless a test says otherwise
    bool options[16] = {};

    std::string Render() const {
        static const char* const kFeeds[4] = {"shfe2ps", "shfe4ps", "ine2ps", "ine4ps"};
        std::ostringstream out;
        out << "[config]\nlog_level=7\ncpucore=-1\ndevice=" << device << "\n";
        for (int f = 0; f < 4; ++f) out << kFeeds[f] << "=" << feeds[f] << "\n";
        out << "DSTMAC=00:11:22:33:44:55\nDSTIP=192.168.1.2\nDSTPORT=30000\nSRCMAC=00:0a:35:00:01:fe\n"
               "SRCIP=192.168.1.1\nSRCPORT=30001\nTARGETROUTE=19\nlast_tick_channel=65537\ncrc_mux_check="
            << crc_mux_check << "\n";
        for (int c = 0; c < 16; ++c) {
            if (channels[c].empty()) continue;
            out << "[channel" << c << "]\ninsts=" << channels[c]
                << "\noptions=" << (options[c] ? "recv" : "norecv") << "\n";
        }
        return out.str();
    }
};

class Collector : public CKestShfeMdSpi {
public:
    void OnShfeMdData(const KestShfeMdType* q) override {
        quotes.push_back(*q);
        ++count;
    }
    std::vector<KestShfeMdType> quotes;
    std::atomic<size_t> count{0};  // what a thread other than the polling one may look at
};

// An API object destroyed at the end of the scope.
struct Api {
    CKestShfeMdApi& obj = CKestShfeMdApi::CreateKestShfeMdApi();
    ~Api() { CKestShfeMdApi::DestroyKestShfeMdApi(obj); }
    CKestShfeMdApi* operator->() { return &obj; }
};

class World : public ::testing::Test {
public:
    // Polls until pred() holds or the time runs out; returns pred().
    static bool PollUntil(const std::function<int32_t()>& poll, const std::function<bool()>& pred,
                          int timeout_ms = 20000) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (!pred() && std::chrono::steady_clock::now() < deadline) {
            if (poll() == 0) std::this_thread::yield();
        }
        return pred();
    }
    // The same for a thread that does not poll.
    static bool WaitFor(const std::function<bool()>& pred) {
        return PollUntil([] { return std::this_thread::sleep_for(std::chrono::milliseconds(2)), 1; }, pred);
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

    // Opens the card's logic on card 0 (created here if needed). free_run is
    // off: the tests make exchange packets with Step().
    void OpenCard(uint8_t snapshot_feeds = 0x0F) {
        ASSERT_TRUE(kest_sim::CardExists(0) || kest_sim::CreateCard(0) == 0);
        kest_sim::LiveCardOptions options;
        options.card_index = 0;
        options.seed = 7;
        options.shfe_size = shfe_size_;
        options.ine_size = ine_size_;
        options.snapshot_feeds = snapshot_feeds;
        options.free_run = false;
        options.keepalive_interval_ms = 2;
        card_ = kest_sim::LiveCard::Open(options);
        ASSERT_NE(card_, nullptr);
        ASSERT_TRUE(card_->Start());
    }
    std::string WriteConfig(const ConfigText& text, const std::string& name = "kest.ini") {
        kest_test::WriteFile(dir_.File(name), text.Render());
        return dir_.File(name);
    }
    std::string OpenCardWith(const ConfigText& text = ConfigText()) {
        OpenCard();
        return WriteConfig(text);
    }
    // Whether a started object (callback mode) receives quotes the exchange sends from now on.
    bool Flows(CKestShfeMdApi& api, Collector& spi) {
        spi.quotes.clear();
        card_->Step(10);
        return PollUntil([&] { return api.KestRecv(); }, [&] { return !spi.quotes.empty(); });
    }
    std::string Log() const {
        return kest_test::ReadFile(Kest_U50::CCommonLog::GetInstance().GetLogFileName());
    }
    // The first log line that holds `text`, or "".
    std::string LogLine(const std::string& text) const {
        std::istringstream in(Log());
        for (std::string line; std::getline(in, line);) {
            if (line.find(text) != std::string::npos) return line;
        }
        return "";
    }
    // The exchange's instrument a quote names, when its identifier is the
    // instrument's (cut to the record's 15 characters); nullptr otherwise.
    const kest_sim::Instrument* Find(const KestShfeMdType& q) const {
        if (q.type > 3) return nullptr;
        const kest_sim::Universe& u = card_->Exchange(static_cast<EMDQPDataType>(q.type));
        if (q.inst_no >= static_cast<uint32_t>(u.Size())) return nullptr;
        const kest_sim::Instrument& inst = u.At(static_cast<int32_t>(q.inst_no));
        const bool same =
            std::string(q.inst_id, strnlen(q.inst_id, sizeof(q.inst_id))) == inst.inst_id.substr(0, 15);
        return same ? &inst : nullptr;
    }

    kest_test::ScopedTempDir dir_;
    std::unique_ptr<kest_sim::LiveCard> card_;
    // Large enough to hold option instruments of both exchanges.
    static constexpr int32_t shfe_size_ = 400, ine_size_ = 160;
};

}  // namespace e2e
