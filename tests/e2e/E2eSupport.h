// The world of the end-to-end tests: a private simulated card with its
// running logic, a configuration file, a quote collector, the expected
// subscriptions computed from the instrument lists.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "KestShfeMdApi.h"
#include "TestSupport.h"
#include "cardlogic/LiveCard.h"

namespace e2e {

// What the bring-up's pauses saw: the card's newest journal entry at each call.
struct SleepRecord {
    unsigned int seconds;
    uint64_t journal_head;
};
std::vector<SleepRecord>& Sleeps();

// Whether an instrument identifier is selected by a channel's list, as the
// card's subscription must have it.
bool Selected(const std::string& inst_id, const std::string& insts, bool options);

// Raw CRC-32C of a file (seed 0, no final inversion).
uint32_t FileCrc(const std::string& path);

struct ConfigText {
    std::string device = "xilinx0:0";
    std::string feeds[4] = {"enabled", "enabled", "enabled", "enabled"};
    int crc_mux_check = 1;
    int log_level = 7;
    std::string channels[16] = {"all"};  // channel 0 takes everything unless a test says otherwise
    bool options[16] = {};
    std::string extra;  // appended to [config]
    std::string Render() const;
};

class Collector : public CKestShfeMdSpi {
public:
    void OnShfeMdData(const KestShfeMdType* q) override { quotes.push_back(*q); }
    std::vector<KestShfeMdType> quotes;
};

class World : public ::testing::Test {
public:
    // Polls until pred() holds or the time runs out; returns pred().
    static bool PollUntil(const std::function<int32_t()>& poll, const std::function<bool()>& pred,
                          int timeout_ms = 20000);

protected:
    void SetUp() override;
    void TearDown() override;

    // Opens the card's logic on card 0 (created here). free_run off: the
    // tests make exchange packets with Step().
    void OpenCard(uint8_t snapshot_feeds = 0x0F);
    std::string WriteConfig(const ConfigText& text, const std::string& name = "kest.ini");
    // OpenCard() and WriteConfig(text) together.
    std::string OpenCardWith(const ConfigText& text = ConfigText()) {
        OpenCard();
        return WriteConfig(text);
    }
    // Every journal entry newer than `after`.
    std::vector<kest_sim::JournalEntry> JournalSince(uint64_t after) const;
    std::string Log() const;
    std::string InstId(const KestShfeMdType& q) const;
    const kest_sim::Instrument* Find(const KestShfeMdType& q) const;

    kest_test::ScopedTempDir dir_;
    std::unique_ptr<kest_sim::LiveCard> card_;
    // Large enough to hold option instruments of both exchanges.
    int32_t shfe_size_ = 400;
    int32_t ine_size_ = 160;
};

}  // namespace e2e
