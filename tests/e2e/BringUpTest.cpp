// A full bring-up of all four feeds from a configuration file, register by
// register; quotes in both modes; restarts that skip the bring-up and those
// that must not.
#include <arpa/inet.h>

#include <map>
#include <set>
#include <tuple>

#include "E2eSupport.h"
#include "FpgaRegisterCommon.h"

// The product calls sleep() through the C library: this definition records
// the bring-up's pauses instead of waiting.
extern "C" unsigned int sleep(unsigned int seconds) {
    auto card = kest_sim::Card::Open(0);
    e2e::sleeps.push_back({seconds, card ? card->JournalHead() : 0});
    return 0;
}

namespace e2e {
namespace {

namespace R = Kest_U50::Reg;
using Write = std::pair<uint32_t, uint32_t>;

class BringUpTest : public World {};

TEST_F(BringUpTest, FullBringUpProgramsTheCardInTheDesignsOrder) {
    OpenCard();
    ConfigText text;
    std::string optionId = "none";  // a full identifier of seven characters or more, named in a list
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
        kest_sim::JournalEntry e;
        if (card_->Model().ReadJournal(seq, e)) writes.push_back({e.reg, e.value});
    }

    // Up to the snapshot, write for write. The slot registers 0x30r0 + 0x10 * slot
    // come in the design's groups; the source MAC's last byte grows with the
    // slot and is ORed in, so 0xFE + 2 carries into bit 8, already set.
    std::vector<Write> expected = {{0x0010, 1},    {0x1000, 0xF},  {0x1F11, 0},       {0x1F12, 0},
                                   {0x11112, ~0u}, {0x21112, ~0u}, {0x3000, 19 & 0xF}};
    const uint32_t srcLow[4] = {0x350001FE, 0x350001FF, 0x35000100, 0x35000101};
    const uint32_t value[9] = {0, 0x0011, 0x22334455, 0xC0A80102, 30000, 0x000A, 0, 0xC0A80101, 30001};
    for (const auto& group : std::vector<std::vector<uint32_t>>{{1, 2}, {3}, {4}, {5, 6}, {7}, {8}}) {
        for (uint32_t k = 0; k < 4; ++k)
            for (uint32_t r : group)
                expected.push_back({0x3000 + r + 0x10 * k, r == 6 ? srcLow[k] : value[r]});
    }
    expected.insert(expected.end(), {{0x10010, 1}, {0x20010, 1}});
    // Multicast lines: address register, address, port two registers further on.
    const std::tuple<uint32_t, const char*, uint32_t> lines[8] = {
        {0x11100, "239.3.42.71", 21000},  {0x11104, "239.4.42.72", 21000}, {0x11101, "239.3.52.71", 25000},
        {0x11105, "239.4.52.72", 25000},  {0x21100, "239.3.2.3", 21101},   {0x21104, "239.4.2.4", 21101},
        {0x21101, "239.3.151.91", 25101}, {0x21105, "239.4.151.92", 25101}};
    for (const auto& [reg, ip, port] : lines)
        expected.insert(expected.end(), {{reg, ntohl(inet_addr(ip))}, {reg + 2, port}});
    expected.push_back({0x1F10, 0});
    ASSERT_GE(writes.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(writes[i], expected[i]) << "write " << i;

    // During the snapshot only the decoder's packet numbers and counts.
    size_t i = expected.size();
    std::map<uint32_t, uint32_t> last;
    const std::set<uint32_t> decoder = {0x11110, 0x11111, 0x21110, 0x21111, 0x1F11, 0x1F12};
    for (; i < writes.size() && writes[i] != Write{0x1000, 0}; ++i) {
        ASSERT_TRUE(decoder.count(writes[i].first)) << std::hex << writes[i].first;
        last[writes[i].first] = writes[i].second;
    }
    EXPECT_EQ(last[0x1F11], static_cast<uint32_t>(shfe_size_ - 1));
    EXPECT_EQ(last[0x1F12], static_cast<uint32_t>(ine_size_ - 1));
    const std::vector<Write> afterSnapshot = {{0x1000, 0},     {0x1001, FileCrc(path)}, {0x1005, 81000},
                                              {0x1006, 81101}, {0x1007, 85000},         {0x1008, 85101},
                                              {0x1009, 1},     {0x21000, ~0u},          {0x11000, ~0u},
                                              {0x11004, ~0u},  {0x21004, ~0u},          {0x11120, 1},
                                              {0x21120, 1}};
    EXPECT_EQ(std::vector<Write>(writes.begin() + static_cast<long>(i), writes.end()), afterSnapshot);

    ASSERT_EQ(sleeps.size(), 3u);
    const uint32_t pausedAfter[3] = {0x0010, 0x10010, 0x20010};
    for (int p = 0; p < 3; ++p) {
        kest_sim::JournalEntry e;
        ASSERT_TRUE(card_->Model().ReadJournal(sleeps[p].second, e));
        EXPECT_EQ(std::make_pair(sleeps[p].first, e.reg), std::make_pair(1u, pausedAfter[p]));
    }

    // Every instrument in the tables: touched, channel 0 as its list says,
    // channel 5 (all, options included) always, no other channel.
    for (int f = 0; f < 4; ++f) {
        for (const auto& inst : card_->Exchange(static_cast<EMDQPDataType>(f)).Instruments()) {
            const SInstTableType entry =
                card_->Model().ReadTableEntry(f, static_cast<uint32_t>(inst.inst_no));
            ASSERT_EQ(std::string(entry.inst_id), inst.inst_id.substr(0, 30));
            EXPECT_EQ(entry.config, 0x80000020u | (Selected(inst.inst_id, text.channels[0], false) ? 1u : 0u))
                << inst.inst_id;
        }
    }
    for (const char* line : {"FPGA COMPILE_DATE[", "listening tcp basement data",
                             "tcp init finished, start listening udp data", "route[3]"}) {
        EXPECT_TRUE(Logged(line)) << line;
    }

    // Exactly what the card sent channel 0, all selected. In callback mode
    // the buffer poll delivers to the callback, not to the record.
    card_->Step(300);
    KestShfeMdType record{};
    ASSERT_TRUE(PollUntil([&] { return api->KestRecv(record); },
                          [&] { return spi.quotes.size() >= card_->QuotesWritten(0); }));
    EXPECT_GT(spi.quotes.size(), 0u);
    EXPECT_EQ(spi.quotes.size(), card_->QuotesWritten(0));
    for (const KestShfeMdType& q : spi.quotes) {
        const kest_sim::Instrument* inst = Find(q);
        ASSERT_NE(inst, nullptr) << q.inst_id;
        EXPECT_TRUE(Selected(inst->inst_id, text.channels[0], false)) << inst->inst_id;
    }
    EXPECT_EQ(record.inst_id[0], 0);
}

TEST_F(BringUpTest, BufferModeFillsTheCallersRecordWithEveryQuote) {
    const std::string path = OpenCardWith();
    Api api;
    ASSERT_EQ(api->KestStart(path.c_str()), 0) << Log();
    card_->Step(20);
    EXPECT_EQ(api->KestRecv(), 0) << "no buffer named: nothing delivered, nothing lost";
    KestShfeMdType record;
    record.inst_no = 0xEEEEEEEEu;
    ASSERT_TRUE(
        PollUntil([&] { return api->KestRecv(record); }, [&] { return record.inst_no != 0xEEEEEEEEu; }));
    ASSERT_NE(Find(record), nullptr) << record.inst_id;
    EXPECT_EQ(record.max_inst_no, card_->Model().ReadReg(R::SHFE2PS_MAX_INST_NO + record.type));
    uint64_t received = 1;
    int32_t r = 0;
    PollUntil([&] { return r = api->KestRecv(record), received += r, r; },
              [&] { return received >= card_->QuotesWritten(0); });
    EXPECT_EQ(received, card_->QuotesWritten(0));
}

class RestartTest : public World {};

TEST_F(RestartTest, OnlyAnUnchangedFileOnACountingCardWithTheCheckOnSkipsTheBringUp) {
    const std::string path = OpenCardWith();
    bool wrote = false;
    // A new object on the file, which must receive either way; returns the bring-ups it made.
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
    EXPECT_TRUE(Logged("channel0 " + path + " no changes have occurred, no initialization required ["));

    kest_test::WriteFile(path, kest_test::ReadFile(path) + "# edited\n");
    EXPECT_EQ(start(), 1u) << "a changed comment";
    EXPECT_EQ(card_->Model().ReadReg(R::CONFIG_CRC), FileCrc(path));
    for (uint32_t reg : {R::MUX0_2PS_PKTS, R::MUX1_2PS_PKTS, R::MUX0_4PS_PKTS, R::MUX1_4PS_PKTS})
        card_->Model().WriteReg(reg, 0);
    EXPECT_EQ(start(), 1u) << "a card that counts no packets";
    ConfigText noCheck;
    noCheck.crc_mux_check = 0;
    WriteConfig(noCheck);
    EXPECT_EQ(start(), 1u);
    EXPECT_EQ(start(), 1u) << "without the check every start programs the card";
}

}  // namespace
}  // namespace e2e
