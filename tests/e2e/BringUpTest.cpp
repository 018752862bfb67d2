// A full bring-up of all four feeds from a configuration file, checked
// register by register against the design; quotes in both modes; restarts
// that skip the bring-up and restarts that must not.
#include <arpa/inet.h>

#include <cstring>
#include <set>
#include <tuple>

#include "E2eSupport.h"
#include "FpgaRegisterCommon.h"

// The bring-up pauses three times for a second; the whole test program
// records the calls instead of waiting (the product calls sleep() through the
// C library, and this definition takes its place).
extern "C" unsigned int sleep(unsigned int seconds) {
    uint64_t head = 0;
    if (auto card = kest_sim::Card::Open(0)) head = card->JournalHead();
    e2e::sleeps.push_back({seconds, head});
    return 0;
}

namespace e2e {
namespace {

namespace R = Kest_U50::Reg;
using Write = std::pair<uint32_t, uint32_t>;

// The programming the design asks for before the snapshot, for the
// configuration ConfigText renders with every feed enabled.
std::vector<Write> ExpectedProgramming() {
    std::vector<Write> w = {{0x0010, 1},    {0x1000, 0xF},          {0x1F11, 0},       {0x1F12, 0},
                            {0x11112, ~0u}, {0x21112, 0xFFFFFFFFu}, {0x3000, 19 & 0xF}};
    // Slot registers 0x30r0 + 0x10 * slot, grouped as the design writes them.
    // The last byte of the source MAC grows with the slot and is ORed in:
    // 0xFE + 2 carries into bit 8, which the 0x01 byte already holds.
    const uint32_t srcLow[4] = {0x350001FE, 0x350001FF, 0x35000100, 0x35000101};
    const uint32_t value[9] = {0, 0x0011, 0x22334455, 0xC0A80102, 30000, 0x000A, 0, 0xC0A80101, 30001};
    for (const auto& group : std::vector<std::vector<uint32_t>>{{1, 2}, {3}, {4}, {5, 6}, {7}, {8}}) {
        for (uint32_t k = 0; k < 4; ++k) {
            for (uint32_t r : group) w.push_back({0x3000 + r + 0x10 * k, r == 6 ? srcLow[k] : value[r]});
        }
    }
    w.push_back({0x10010, 1});
    w.push_back({0x20010, 1});
    // The multicast lines: address register, address, port (in the register two further on).
    const std::tuple<uint32_t, const char*, uint32_t> lines[8] = {
        {0x11100, "239.3.42.71", 21000},  {0x11104, "239.4.42.72", 21000}, {0x11101, "239.3.52.71", 25000},
        {0x11105, "239.4.52.72", 25000},  {0x21100, "239.3.2.3", 21101},   {0x21104, "239.4.2.4", 21101},
        {0x21101, "239.3.151.91", 25101}, {0x21105, "239.4.151.92", 25101}};
    for (const auto& line : lines) {
        w.push_back({std::get<0>(line), ntohl(inet_addr(std::get<1>(line)))});
        w.push_back({std::get<0>(line) + 2, std::get<2>(line)});
    }
    w.push_back({0x1F10, 0});
    return w;
}

class BringUpTest : public World {};

TEST_F(BringUpTest, FullBringUpProgramsTheCardInTheDesignsOrder) {
    OpenCard();
    ConfigText text;
    // A full identifier longer than six characters, to be named in a list.
    std::string optionId = "none";
    for (const auto& inst : card_->Exchange(SHFE_2PS).Instruments()) {
        if (inst.inst_id.size() >= 7 && inst.inst_id.size() <= 15) optionId = inst.inst_id;
    }
    text.channels[0] = "cu,sc," + optionId;
    text.channels[5] = "all";
    text.options[5] = true;
    const std::string path = WriteConfig(text);
    const uint64_t before = card_->Model().JournalHead();

    Api api;
    Collector spi;
    ASSERT_EQ(api->KestStart(spi, path.c_str()), 0) << Log();
    std::vector<Write> writes;
    for (uint64_t seq = before + 1; seq <= card_->Model().JournalHead(); ++seq) {
        kest_sim::JournalEntry entry;
        if (card_->Model().ReadJournal(seq, entry)) writes.push_back({entry.reg, entry.value});
    }

    // Programming up to the snapshot, write for write.
    const std::vector<Write> programming = ExpectedProgramming();
    ASSERT_GE(writes.size(), programming.size());
    for (size_t i = 0; i < programming.size(); ++i) EXPECT_EQ(writes[i], programming[i]) << "write " << i;
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
    const std::vector<Write> afterSnapshot = {
        {0x1000, 0},           {0x1001, FileCrc(path)}, {0x1005, 81000},       {0x1006, 81101},
        {0x1007, 85000},       {0x1008, 85101},         {0x1009, 1},           {0x21000, 0xFFFFFFFF},
        {0x11000, 0xFFFFFFFF}, {0x11004, 0xFFFFFFFF},   {0x21004, 0xFFFFFFFF}, {0x11120, 1},
        {0x21120, 1}};
    EXPECT_EQ(std::vector<Write>(writes.begin() + static_cast<long>(i), writes.end()), afterSnapshot);

    // The three pauses follow 0x0010, 0x10010 and 0x20010.
    ASSERT_EQ(sleeps.size(), 3u);
    const uint32_t pausedAfter[3] = {0x0010, 0x10010, 0x20010};
    for (int p = 0; p < 3; ++p) {
        EXPECT_EQ(sleeps[p].seconds, 1u);
        kest_sim::JournalEntry last;
        ASSERT_TRUE(card_->Model().ReadJournal(sleeps[p].journal_head, last));
        EXPECT_EQ(last.reg, pausedAfter[p]);
    }

    // The card's tables: every instrument, its channel bits as the lists say.
    for (int f = 0; f < 4; ++f) {
        for (const auto& inst : card_->Exchange(static_cast<EMDQPDataType>(f)).Instruments()) {
            const SInstTableType entry =
                card_->Model().ReadTableEntry(f, static_cast<uint32_t>(inst.inst_no));
            ASSERT_EQ(std::string(entry.inst_id), inst.inst_id.substr(0, 30));
            // Touched, channel 0 as its list says, channel 5 (all, options
            // included) always, no other channel.
            const uint32_t channel0 = Selected(inst.inst_id, text.channels[0], false) ? 1u : 0u;
            EXPECT_EQ(entry.config, 0x80000000u | 0x20u | channel0) << inst.inst_id;
        }
    }
    const std::string log = Log();
    for (const char* line : {"FPGA COMPILE_DATE[", "listening tcp basement data",
                             "tcp init finished, start listening udp data", "route[3]"}) {
        EXPECT_NE(log.find(line), std::string::npos) << line;
    }

    // Live quotes: exactly what the card sent to channel 0, all of them
    // selected. In callback mode the buffer poll delivers to the callback and
    // leaves the caller's record alone.
    card_->Step(300);
    KestShfeMdType record;
    std::memset(&record, 0x11, sizeof(record));
    ASSERT_TRUE(PollUntil([&] { return api->KestRecv(record); },
                          [&] { return spi.quotes.size() >= card_->QuotesWritten(0); }));
    EXPECT_GT(spi.quotes.size(), 0u);
    EXPECT_EQ(spi.quotes.size(), card_->QuotesWritten(0));
    for (const KestShfeMdType& q : spi.quotes) {
        const kest_sim::Instrument* inst = Find(q);
        ASSERT_NE(inst, nullptr) << q.inst_id;
        EXPECT_TRUE(Selected(inst->inst_id, text.channels[0], false)) << inst->inst_id;
    }
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(&record);
    EXPECT_TRUE(bytes[0] == 0x11 && bytes[sizeof(record) - 1] == 0x11);
}

TEST_F(BringUpTest, BufferModeFillsTheCallersRecord) {
    const std::string path = OpenCardWith();
    Api api;
    ASSERT_EQ(api->KestStart(path.c_str()), 0) << Log();
    card_->Step(20);
    // No buffer named yet: nothing is delivered and nothing is lost.
    EXPECT_EQ(api->KestRecv(), 0);
    KestShfeMdType record;
    std::memset(&record, 0xEE, sizeof(record));
    ASSERT_TRUE(
        PollUntil([&] { return api->KestRecv(record); }, [&] { return record.inst_no != 0xEEEEEEEEu; }));
    ASSERT_NE(Find(record), nullptr) << record.inst_id;
    EXPECT_EQ(record.max_inst_no, card_->Model().ReadReg(0x1005 + record.type));
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(&record);
    EXPECT_FALSE(bytes[144] == 0xEE && bytes[145] == 0xEE && bytes[146] == 0xEE)
        << "all 152 bytes are replaced";

    uint64_t received = 1;
    PollUntil(
        [&] {
            const int32_t r = api->KestRecv(record);
            received += static_cast<uint64_t>(r);
            return r;
        },
        [&] { return received >= card_->QuotesWritten(0); });
    EXPECT_EQ(received, card_->QuotesWritten(0));
}

class RestartTest : public World {};

TEST_F(RestartTest, OnlyAnUnchangedFileOnACountingCardWithTheCheckOnSkipsTheBringUp) {
    const std::string path = OpenCardWith();
    bool wrote = false;
    // Starts a new object on the file; returns how many bring-ups the start
    // made. The card must deliver to the new object either way.
    auto start = [&] {
        const uint64_t starts = card_->Model().Stats().card_starts;
        const uint64_t head = card_->Model().JournalHead();
        Api api;
        Collector spi;
        EXPECT_EQ(api->KestStart(spi, path.c_str()), 0) << Log();
        wrote = card_->Model().JournalHead() != head;
        EXPECT_TRUE(Flows(api.obj, spi));
        card_->Step(50);
        return card_->Model().Stats().card_starts - starts;
    };
    ASSERT_EQ(start(), 1u);
    ASSERT_NE(card_->Model().ReadReg(R::MUX0_2PS_PKTS) + card_->Model().ReadReg(R::MUX0_4PS_PKTS), 0u);

    EXPECT_EQ(start(), 0u) << "unchanged file, counting card";
    EXPECT_FALSE(wrote) << "not one register written";
    EXPECT_EQ(sleeps.size(), 3u);
    EXPECT_NE(Log().find("channel0 " + path + " no changes have occurred, no initialization required ["),
              std::string::npos);

    kest_test::WriteFile(path, kest_test::ReadFile(path) + "# edited\n");
    EXPECT_EQ(start(), 1u) << "a changed comment";
    EXPECT_EQ(card_->Model().ReadReg(R::CONFIG_CRC), FileCrc(path));

    for (uint32_t reg : {R::MUX0_2PS_PKTS, R::MUX1_2PS_PKTS, R::MUX0_4PS_PKTS, R::MUX1_4PS_PKTS}) {
        card_->Model().WriteReg(reg, 0);
    }
    EXPECT_EQ(start(), 1u) << "a card that counts no packets";

    ConfigText noCheck;
    noCheck.crc_mux_check = 0;
    WriteConfig(noCheck);
    EXPECT_EQ(start(), 1u);
    EXPECT_EQ(start(), 1u) << "without the check every start programs the card";
}

}  // namespace
}  // namespace e2e
