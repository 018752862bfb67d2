#include "E2eSupport.h"

#include <time.h>
#include <unistd.h>

#include <sstream>
#include <thread>

#include "log/CommonLog.h"

// The bring-up pauses three times for a second; the tests record the calls
// instead of waiting (the product calls sleep() through the C library, and
// this definition takes its place in the test program).
extern "C" unsigned int sleep(unsigned int seconds) {
    uint64_t head = 0;
    if (auto card = kest_sim::Card::Open(0)) head = card->JournalHead();
    e2e::Sleeps().push_back({seconds, head});
    return 0;
}

namespace e2e {

std::vector<SleepRecord>& Sleeps() {
    static std::vector<SleepRecord> records;
    return records;
}

bool Selected(const std::string& id, const std::string& insts, bool options) {
    if (insts == "all") return options || id.size() < 7;
    std::vector<std::string> tokens;
    std::stringstream in(insts);
    for (std::string token; std::getline(in, token, ',');) tokens.push_back(token);
    for (const std::string& token : tokens) {
        if (token.size() == 2) {
            if (id.compare(0, 2, token) == 0 && (options || id.size() < 7)) return true;
        } else if (!token.empty() && token == id) {
            return true;
        }
    }
    return false;
}

uint32_t FileCrc(const std::string& path) {
    uint32_t crc = 0;
    for (unsigned char byte : kest_test::ReadFile(path)) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 1u) ? (crc >> 1) ^ 0x82F63B78u : crc >> 1;
    }
    return crc;
}

std::string ConfigText::Render() const {
    static const char* const kFeeds[4] = {"shfe2ps", "shfe4ps", "ine2ps", "ine4ps"};
    std::ostringstream out;
    out << "[config]\nlog_level=" << log_level << "\ncpucore=-1\ndevice=" << device << "\n";
    for (int f = 0; f < 4; ++f) out << kFeeds[f] << "=" << feeds[f] << "\n";
    out << "DSTMAC=00:11:22:33:44:55\nDSTIP=192.168.1.2\nDSTPORT=30000\n"
           "SRCMAC=00:0a:35:00:01:fe\nSRCIP=192.168.1.1\nSRCPORT=30001\nTARGETROUTE=19\n"
           "last_tick_channel=65537\ncrc_mux_check="
        << crc_mux_check << "\n"
        << extra;
    for (int c = 0; c < 16; ++c) {
        if (channels[c].empty()) continue;
        out << "[channel" << c << "]\ninsts=" << channels[c] << "\noptions=" << (options[c] ? "recv" : "norecv")
            << "\n";
    }
    return out.str();
}

void World::SetUp() {
    kest_test::UsePrivateCardNamespace("e2e");
    setenv("TZ", "UTC", 1);
    tzset();
    Sleeps().clear();
}

void World::TearDown() {
    if (card_) card_->Stop();
    card_.reset();
    for (uint32_t index : kest_sim::ListCards()) kest_sim::RemoveCard(index);
}

void World::OpenCard(uint8_t snapshot_feeds) {
    if (!kest_sim::CardExists(0)) {
        ASSERT_EQ(kest_sim::CreateCard(0), 0);
    }
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

std::string World::WriteConfig(const ConfigText& text, const std::string& name) {
    const std::string path = dir_.File(name);
    kest_test::WriteFile(path, text.Render());
    return path;
}

bool World::PollUntil(const std::function<int32_t()>& poll, const std::function<bool()>& pred, int timeout_ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!pred() && std::chrono::steady_clock::now() < deadline) {
        if (poll() == 0) std::this_thread::yield();
    }
    return pred();
}

std::vector<kest_sim::JournalEntry> World::JournalSince(uint64_t after) const {
    std::vector<kest_sim::JournalEntry> entries;
    const uint64_t head = card_->Model().JournalHead();
    for (uint64_t seq = after + 1; seq <= head; ++seq) {
        kest_sim::JournalEntry entry;
        if (card_->Model().ReadJournal(seq, entry)) entries.push_back(entry);
    }
    return entries;
}

std::string World::Log() const { return kest_test::ReadFile(Kest_U50::CCommonLog::GetInstance().GetLogFileName()); }

std::string World::InstId(const KestShfeMdType& q) const {
    return std::string(q.inst_id, strnlen(q.inst_id, sizeof(q.inst_id)));
}

const kest_sim::Instrument* World::Find(const KestShfeMdType& q) const {
    if (q.type > 3) return nullptr;
    const kest_sim::Universe& u = card_->Exchange(static_cast<EMDQPDataType>(q.type));
    if (q.inst_no >= static_cast<uint32_t>(u.Size())) return nullptr;
    return &u.At(static_cast<int32_t>(q.inst_no));
}

}  // namespace e2e
