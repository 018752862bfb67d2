// A full bring-up of all four feeds from a configuration file, checked
// register by register against the design; quotes in both modes; restarts
// that skip the bring-up and restarts that must not.
#include <arpa/inet.h>

#include <cstring>
#include <set>

#include "E2eSupport.h"
#include "FpgaRegisterCommon.h"

namespace e2e {
namespace {

namespace R = Kest_U50::Reg;
using Write = std::pair<uint32_t, uint32_t>;

uint32_t Ip(const char* text) { return ntohl(inet_addr(text)); }

// The programming the design asks for before the snapshot, for the
// configuration ConfigText renders.
std::vector<Write> ExpectedProgramming(const ConfigText& text) {
    std::vector<Write> w = {{0x0010, 1},   {0x1000, 0xF},         {0x1F11, 0},          {0x1F12, 0},
                            {0x11112, ~0u}, {0x21112, 0xFFFFFFFFu}, {0x3000, 19 & 0xF}};
    for (uint32_t k = 0; k < 4; ++k) {
        w.push_back({0x3001 + 0x10 * k, 0x0011});
        w.push_back({0x3002 + 0x10 * k, 0x22334455});
    }
    for (uint32_t k = 0; k < 4; ++k) w.push_back({0x3003 + 0x10 * k, 0xC0A80102});
    for (uint32_t k = 0; k < 4; ++k) w.push_back({0x3004 + 0x10 * k, 30000});
    // The last byte of the source MAC grows with the slot and is ORed in:
    // 0xFE + 2 carries into bit 8, which the 0x01 byte above already holds.
    const uint32_t srcLow[4] = {0x350001FE, 0x350001FF, 0x35000100, 0x35000101};
    for (uint32_t k = 0; k < 4; ++k) {
        w.push_back({0x3005 + 0x10 * k, 0x000A});
        w.push_back({0x3006 + 0x10 * k, srcLow[k]});
    }
    for (uint32_t k = 0; k < 4; ++k) w.push_back({0x3007 + 0x10 * k, 0xC0A80101});
    for (uint32_t k = 0; k < 4; ++k) w.push_back({0x3008 + 0x10 * k, 30001});
    w.push_back({0x10010, 1});
    w.push_back({0x20010, 1});
    const bool on[4] = {text.feeds[0] == "enabled", text.feeds[1] == "enabled", text.feeds[2] == "enabled",
                        text.feeds[3] == "enabled"};
    struct Line {
        uint32_t ip, port;
        const char* address;
        uint32_t portValue;
        int feed;
    };
    const Line lines[8] = {{0x11100, 0x11102, "239.3.42.71", 21000, 0},  {0x11104, 0x11106, "239.4.42.72", 21000, 0},
                           {0x11101, 0x11103, "239.3.52.71", 25000, 2},  {0x11105, 0x11107, "239.4.52.72", 25000, 2},
                           {0x21100, 0x21102, "239.3.2.3", 21101, 1},    {0x21104, 0x21106, "239.4.2.4", 21101, 1},
                           {0x21101, 0x21103, "239.3.151.91", 25101, 3}, {0x21105, 0x21107, "239.4.151.92", 25101, 3}};
    for (const Line& line : lines) {
        w.push_back({line.ip, on[line.feed] ? Ip(line.address) : 0});
        w.push_back({line.port, on[line.feed] ? line.portValue : 0});
    }
    w.push_back({0x1F10, 0});
    return w;
}

std::vector<Write> ExpectedAfterSnapshot(uint32_t crc) {
    return {{0x1000, 0},          {0x1001, crc},        {0x1005, 81000},      {0x1006, 81101},
            {0x1007, 85000},      {0x1008, 85101},      {0x1009, 1},          {0x21000, 0xFFFFFFFF},
            {0x11000, 0xFFFFFFFF}, {0x11004, 0xFFFFFFFF}, {0x21004, 0xFFFFFFFF}, {0x11120, 1},
            {0x21120, 1}};
}

std::vector<Write> Writes(const std::vector<kest_sim::JournalEntry>& entries) {
    std::vector<Write> w;
    for (const auto& e : entries) w.push_back({e.reg, e.value});
    return w;
}

class BringUpTest : public World {
protected:
    // A full identifier longer than six characters, to be named in a list.
    std::string SomeOptionId() const {
        for (const auto& inst : card_->Exchange(SHFE_2PS).Instruments()) {
            if (inst.inst_id.size() >= 7 && inst.inst_id.size() <= 15) return inst.inst_id;
        }
        return "none";
    }
};

TEST_F(BringUpTest, FullBringUpProgramsTheCardInTheDesignsOrder) {
    OpenCard();
    ConfigText text;
    text.channels[0] = "cu,sc," + SomeOptionId();
    text.channels[5] = "all";
    text.options[5] = true;
    const std::string path = WriteConfig(text);
    const uint64_t before = card_->Model().JournalHead();

    CKestShfeMdApi& api = CKestShfeMdApi::CreateKestShfeMdApi();
    Collector spi;
    ASSERT_EQ(api.KestStart(spi, path.c_str()), 0) << Log();
    const std::vector<kest_sim::JournalEntry> entries = JournalSince(before);
    const std::vector<Write> writes = Writes(entries);

    // Programming up to the snapshot, write for write.
    const std::vector<Write> programming = ExpectedProgramming(text);
    ASSERT_GE(writes.size(), programming.size());
    for (size_t i = 0; i < programming.size(); ++i) {
        EXPECT_EQ(writes[i], programming[i]) << "write " << i;
    }
    // During the snapshot only the decoder's packet numbers and counts.
    size_t i = programming.size();
    uint32_t shfeCount = 0, ineCount = 0;
    const std::set<uint32_t> decoder = {0x11110, 0x11111, 0x21110, 0x21111, 0x1F11, 0x1F12};
    for (; i < writes.size() && writes[i] != Write{0x1000, 0}; ++i) {
        ASSERT_TRUE(decoder.count(writes[i].first)) << std::hex << writes[i].first;
        if (writes[i].first == 0x1F11) shfeCount = writes[i].second;
        if (writes[i].first == 0x1F12) ineCount = writes[i].second;
    }
    EXPECT_EQ(shfeCount, static_cast<uint32_t>(shfe_size_ - 1));
    EXPECT_EQ(ineCount, static_cast<uint32_t>(ine_size_ - 1));
    const std::vector<Write> rest(writes.begin() + static_cast<long>(i), writes.end());
    EXPECT_EQ(rest, ExpectedAfterSnapshot(FileCrc(path)));

    // The three pauses follow 0x0010, 0x10010 and 0x20010.
    ASSERT_EQ(Sleeps().size(), 3u);
    const uint32_t pausedAfter[3] = {0x0010, 0x10010, 0x20010};
    for (int p = 0; p < 3; ++p) {
        EXPECT_EQ(Sleeps()[p].seconds, 1u);
        kest_sim::JournalEntry last;
        ASSERT_TRUE(card_->Model().ReadJournal(Sleeps()[p].journal_head, last));
        EXPECT_EQ(last.reg, pausedAfter[p]);
    }

    // The card's tables: every instrument, its channel bits as the lists say.
    for (int f = 0; f < 4; ++f) {
        const auto feed = static_cast<EMDQPDataType>(f);
        for (const auto& inst : card_->Exchange(feed).Instruments()) {
            const SInstTableType entry = card_->Model().ReadTableEntry(f, static_cast<uint32_t>(inst.inst_no));
            ASSERT_EQ(std::string(entry.inst_id), inst.inst_id.substr(0, 30));
            EXPECT_EQ(entry.config & 0x80000000u, 0x80000000u);
            EXPECT_EQ((entry.config & 1u) != 0, Selected(inst.inst_id, text.channels[0], false)) << inst.inst_id;
            EXPECT_EQ((entry.config >> 5) & 1u, 1u) << "channel 5 takes all, options included";
            EXPECT_EQ(entry.config & 0x7FFFFFDEu, 0u) << "no other channel has a list";
        }
    }
    const std::string log = Log();
    EXPECT_NE(log.find("FPGA COMPILE_DATE["), std::string::npos);
    EXPECT_NE(log.find("listening tcp basement data"), std::string::npos);
    EXPECT_NE(log.find("tcp init finished, start listening udp data"), std::string::npos);
    EXPECT_NE(log.find("route[3]"), std::string::npos);

    // Live quotes: exactly what the card sent to channel 0, all of them selected.
    card_->Step(300);
    ASSERT_TRUE(PollUntil([&] { return api.KestRecv(); },
                          [&] { return spi.quotes.size() >= card_->QuotesWritten(0); }));
    EXPECT_GT(spi.quotes.size(), 0u);
    EXPECT_EQ(spi.quotes.size(), card_->QuotesWritten(0));
    for (const KestShfeMdType& q : spi.quotes) {
        const kest_sim::Instrument* inst = Find(q);
        ASSERT_NE(inst, nullptr);
        EXPECT_EQ(InstId(q), inst->inst_id.substr(0, 15));
        EXPECT_TRUE(Selected(inst->inst_id, text.channels[0], false)) << inst->inst_id;
    }
    CKestShfeMdApi::DestroyKestShfeMdApi(api);
}

TEST_F(BringUpTest, BufferModeFillsTheCallersRecord) {
    const std::string path = OpenCardWith();
    CKestShfeMdApi& api = CKestShfeMdApi::CreateKestShfeMdApi();
    ASSERT_EQ(api.KestStart(path.c_str()), 0) << Log();
    card_->Step(20);
    // No buffer named yet: nothing is delivered and nothing is lost.
    EXPECT_EQ(api.KestRecv(), 0);
    KestShfeMdType record;
    std::memset(&record, 0xEE, sizeof(record));
    ASSERT_TRUE(PollUntil([&] { return api.KestRecv(record); }, [&] { return record.inst_no != 0xEEEEEEEEu; }));
    const kest_sim::Instrument* inst = Find(record);
    ASSERT_NE(inst, nullptr);
    EXPECT_EQ(InstId(record), inst->inst_id.substr(0, 15));
    EXPECT_EQ(record.max_inst_no, card_->Model().ReadReg(0x1005 + record.type));
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(&record);
    EXPECT_FALSE(bytes[144] == 0xEE && bytes[145] == 0xEE && bytes[146] == 0xEE) << "all 152 bytes are replaced";

    uint64_t received = 1;
    PollUntil([&] {
        const int32_t r = api.KestRecv(record);
        received += static_cast<uint64_t>(r);
        return r;
    }, [&] { return received >= card_->QuotesWritten(0); });
    EXPECT_EQ(received, card_->QuotesWritten(0));
    CKestShfeMdApi::DestroyKestShfeMdApi(api);
}

TEST_F(BringUpTest, CallbackModeIgnoresTheRecordOfTheBufferPoll) {
    const std::string path = OpenCardWith();
    CKestShfeMdApi& api = CKestShfeMdApi::CreateKestShfeMdApi();
    Collector spi;
    ASSERT_EQ(api.KestStart(spi, path.c_str()), 0) << Log();
    card_->Step(5);
    KestShfeMdType record;
    std::memset(&record, 0x11, sizeof(record));
    ASSERT_TRUE(PollUntil([&] { return api.KestRecv(record); }, [&] { return !spi.quotes.empty(); }));
    EXPECT_EQ(reinterpret_cast<const unsigned char*>(&record)[0], 0x11);
    EXPECT_EQ(reinterpret_cast<const unsigned char*>(&record)[151], 0x11);
    CKestShfeMdApi::DestroyKestShfeMdApi(api);
}

class RestartTest : public World {
protected:
    // Brings the card up once and lets the exchange run so the counters move.
    void FirstStart(const std::string& path) {
        CKestShfeMdApi& api = CKestShfeMdApi::CreateKestShfeMdApi();
        Collector spi;
        ASSERT_EQ(api.KestStart(spi, path.c_str()), 0) << Log();
        card_->Step(50);
        CKestShfeMdApi::DestroyKestShfeMdApi(api);
        startsAfterFirst_ = card_->Model().Stats().card_starts;
        headAfterFirst_ = card_->Model().JournalHead();
    }
    // Starts again; returns how many bring-ups the second start made.
    uint64_t SecondStart(const std::string& path, Collector& spi, CKestShfeMdApi*& api) {
        api = &CKestShfeMdApi::CreateKestShfeMdApi();
        EXPECT_EQ(api->KestStart(spi, path.c_str()), 0) << Log();
        return card_->Model().Stats().card_starts - startsAfterFirst_;
    }
    uint64_t startsAfterFirst_ = 0;
    uint64_t headAfterFirst_ = 0;
};

TEST_F(RestartTest, UnchangedFileOnACountingCardProgramsNothing) {
    const std::string path = OpenCardWith();
    FirstStart(path);
    ASSERT_NE(card_->Model().ReadReg(R::MUX0_2PS_PKTS) + card_->Model().ReadReg(R::MUX0_4PS_PKTS), 0u);
    Collector spi;
    CKestShfeMdApi* api = nullptr;
    EXPECT_EQ(SecondStart(path, spi, api), 0u);
    EXPECT_EQ(card_->Model().JournalHead(), headAfterFirst_) << "not one register written";
    EXPECT_EQ(Sleeps().size(), 3u);
    EXPECT_NE(Log().find("channel0 " + path + " no changes have occurred, no initialization required ["),
              std::string::npos);
    // The card keeps running for the new process.
    card_->Step(20);
    EXPECT_TRUE(PollUntil([&] { return api->KestRecv(); }, [&] { return !spi.quotes.empty(); }));
    CKestShfeMdApi::DestroyKestShfeMdApi(*api);
}

TEST_F(RestartTest, AChangedCommentForcesABringUp) {
    const std::string path = OpenCardWith();
    FirstStart(path);
    kest_test::WriteFile(path, kest_test::ReadFile(path) + "# edited\n");
    Collector spi;
    CKestShfeMdApi* api = nullptr;
    EXPECT_EQ(SecondStart(path, spi, api), 1u);
    EXPECT_EQ(card_->Model().ReadReg(R::CONFIG_CRC), FileCrc(path));
    CKestShfeMdApi::DestroyKestShfeMdApi(*api);
}

TEST_F(RestartTest, WithoutTheCrcCheckEveryStartProgramsTheCard) {
    ConfigText text;
    text.crc_mux_check = 0;
    const std::string path = OpenCardWith(text);
    FirstStart(path);
    Collector spi;
    CKestShfeMdApi* api = nullptr;
    EXPECT_EQ(SecondStart(path, spi, api), 1u);
    CKestShfeMdApi::DestroyKestShfeMdApi(*api);
}

TEST_F(RestartTest, ACardThatCountsNoPacketsIsBroughtUp) {
    const std::string path = OpenCardWith();
    FirstStart(path);
    for (uint32_t reg : {R::MUX0_2PS_PKTS, R::MUX1_2PS_PKTS, R::MUX0_4PS_PKTS, R::MUX1_4PS_PKTS}) {
        card_->Model().WriteReg(reg, 0);
    }
    Collector spi;
    CKestShfeMdApi* api = nullptr;
    EXPECT_EQ(SecondStart(path, spi, api), 1u);
    CKestShfeMdApi::DestroyKestShfeMdApi(*api);
}

}  // namespace
}  // namespace e2e
