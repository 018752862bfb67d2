// The recording format through its writer and reader: round trips across
// rotation, a recorder killed mid-write, files that are not recordings, and
// the CSV form of a quote.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "RecordingSamples.h"
#include "TestSupport.h"
#include "recording/Crc32c.h"
#include "recording/ExchangeClock.h"
#include "recording/QuoteCsv.h"
#include "recording/Recording.h"
#include "recording/RunReader.h"

namespace {

using kest_rec::Entry;
using kest_rec::Reader;
using kest_rec::Writer;

std::vector<Entry> ReadAll(const std::vector<std::string>& files, uint64_t* trailing = nullptr) {
    std::vector<Entry> out;
    for (const std::string& f : files) {
        std::string error;
        auto r = Reader::Open(f, &error);
        EXPECT_TRUE(r) << error;
        if (!r) break;
        if (trailing != nullptr) *trailing += r->TrailingBytes();
        Entry e;
        while (r->Next(e)) out.push_back(e);
    }
    return out;
}

TEST(Recording, RotatedFilesHoldEveryRecordOnceInOrderWithTheirHeaders) {
    kest_test::ScopedTempDir dir;
    const std::string path = dir.File("day.kestrec");
    kest_rec::WriterOptions opt;
    opt.channel = 7;
    opt.config_crc = 0xA1B2C3D4u;
    opt.rotate_bytes = 64 + 2 * sizeof(kest_rec::BlockHeader) + 300 * sizeof(Entry);  // 300 entries a file
    std::vector<Entry> written;
    {
        std::string error;
        auto w = Writer::Open(path, opt, &error);
        ASSERT_TRUE(w) << error;
        for (uint32_t i = 0; i < 1000; ++i) {
            written.push_back({1'700'000'000'000'000'000 + i * 1000, kest_test_rec::SampleRecord(i)});
            w->Append(written.back().arrival_ns, written.back().record);
        }
        EXPECT_EQ(w->Records(), 1000u);
        EXPECT_EQ(w->Files(), 4u);
    }
    const std::vector<std::string> files = {path, path + ".1", path + ".2", path + ".3"};
    for (uint32_t i = 0; i < files.size(); ++i) {
        std::string error;
        auto r = Reader::Open(files[i], &error);
        ASSERT_TRUE(r) << error;
        EXPECT_EQ(r->Header().sequence, i);
        EXPECT_EQ(r->Header().channel, 7u);
        EXPECT_EQ(r->Header().config_crc, 0xA1B2C3D4u);
        EXPECT_EQ(r->Header().clock, kest_rec::kClockRealtime);
        EXPECT_EQ(r->Entries(), i < 3 ? 300u : 100u);
    }
    EXPECT_NE(access((path + ".4").c_str(), F_OK), 0);
    const std::vector<Entry> read = ReadAll(files);
    ASSERT_EQ(read.size(), written.size());
    EXPECT_EQ(std::memcmp(read.data(), written.data(), read.size() * sizeof(Entry)), 0);
}

TEST(Recording, EachFileSaysWhenItStartedAndANewOneStartsOnceAFileSpansTheRotationTime) {
    kest_test::ScopedTempDir dir;
    const std::string path = dir.File("timed.kestrec");
    kest_rec::WriterOptions opt;
    opt.rotate_ns = 1'000'000'000;
    const int64_t before = kest_rec::RealtimeNs();
    auto w = Writer::Open(path, opt, nullptr);
    ASSERT_TRUE(w);
    const int64_t after = kest_rec::RealtimeNs();
    std::string error;
    auto first = Reader::Open(path, &error);
    ASSERT_TRUE(first) << error;
    const int64_t t0 = first->Header().started_ns;
    EXPECT_GE(t0, before);
    EXPECT_LE(t0, after);
    // Quotes a quarter of a second apart: the fifth spans the whole second and opens the next file.
    for (int64_t i = 0; i < 10; ++i) w->Append(t0 + i * 250'000'000, kest_test_rec::SampleRecord(i));
    w.reset();
    const std::vector<std::string> files = {path, path + ".1", path + ".2"};
    const uint64_t entries[] = {4, 4, 2};
    for (uint32_t i = 0; i < files.size(); ++i) {
        auto r = Reader::Open(files[i], &error);
        ASSERT_TRUE(r) << error;
        EXPECT_EQ(r->Header().sequence, i);
        EXPECT_EQ(r->Header().started_ns, t0 + i * 1'000'000'000) << files[i];
        EXPECT_EQ(r->Entries(), entries[i]) << files[i];
    }
    EXPECT_NE(access((path + ".3").c_str(), F_OK), 0);
}

TEST(Recording, AKilledRecorderLeavesWholeBlocksAndTheReaderSaysWhatItIgnored) {
    kest_test::ScopedTempDir dir;
    const std::string path = dir.File("killed.kestrec");
    const size_t block = sizeof(kest_rec::BlockHeader) + Writer::kBlockEntries * sizeof(Entry);
    {
        auto w = Writer::Open(path, {}, nullptr);
        ASSERT_TRUE(w);
        for (uint32_t i = 0; i < Writer::kBlockEntries + 10; ++i)
            w->Append(i, kest_test_rec::SampleRecord(i));
        // A crash now: only the full block has reached the file.
        struct stat st {};
        ASSERT_EQ(stat(path.c_str(), &st), 0);
        EXPECT_EQ(static_cast<size_t>(st.st_size), 64 + block);
        w->FlushIfOlder(Writer::kBlockEntries + 500, 1000);  // the oldest waits 244 ns: not yet
        ASSERT_EQ(stat(path.c_str(), &st), 0);
        EXPECT_EQ(static_cast<size_t>(st.st_size), 64 + block);
        w->FlushIfOlder(Writer::kBlockEntries + 2000, 1000);  // now it has waited long enough
        ASSERT_EQ(stat(path.c_str(), &st), 0);
        EXPECT_EQ(static_cast<size_t>(st.st_size), 64 + block + 64 + 10 * sizeof(Entry));
    }
    // Killed in the middle of the second block's write (the index never written).
    ASSERT_EQ(truncate(path.c_str(), 64 + block + 57), 0);
    uint64_t trailing = 0;
    const std::vector<Entry> read = ReadAll({path}, &trailing);
    EXPECT_EQ(read.size(), Writer::kBlockEntries);
    EXPECT_EQ(trailing, 57u);
    EXPECT_EQ(Reader::Open(path, nullptr)->Entries(), Writer::kBlockEntries) << "the cut block is no block";
    EXPECT_EQ(std::memcmp(&read.back().record, &kest_test_rec::SampleRecord(255), sizeof(KestShfeMdType)), 0);
    EXPECT_TRUE(kest_rec::RunReader::Open(path, nullptr)->Damages().empty()) << "a cut tail is not damage";
}

TEST(Recording, VersionOneFilesAreStillReadToTheirLastWholeEntry) {
    kest_test::ScopedTempDir dir;
    kest_rec::FileHeader h{};
    std::memcpy(h.magic, kest_rec::kMagic, 8);
    h.version = 1;
    h.header_bytes = 64;
    h.record_bytes = 152;
    h.entry_bytes = 160;
    h.channel = 3;
    h.clock = kest_rec::kClockRealtime;
    std::string bytes(reinterpret_cast<const char*>(&h), sizeof h);
    for (uint32_t i = 0; i < 5000; ++i) {
        const Entry e{int64_t{i}, kest_test_rec::SampleRecord(i)};
        bytes.append(reinterpret_cast<const char*>(&e), sizeof e);
    }
    bytes.append(57, 'x');  // killed in the middle of a write
    kest_test::WriteFile(dir.File("v1"), bytes);
    uint64_t trailing = 0;
    const std::vector<Entry> read = ReadAll({dir.File("v1")}, &trailing);
    ASSERT_EQ(read.size(), 5000u);
    EXPECT_EQ(trailing, 57u);
    EXPECT_EQ(std::memcmp(read.data(), bytes.data() + 64, read.size() * sizeof(Entry)), 0);
}

TEST(Recording, FilesThatAreNotRecordingsAreRefusedWithTheReason) {
    kest_test::ScopedTempDir dir;
    auto refused = [](const std::string& path) {
        std::string error;
        EXPECT_FALSE(Reader::Open(path, &error));
        return error;
    };
    EXPECT_NE(refused(dir.File("absent")).find("No such file"), std::string::npos);
    EXPECT_NE(refused(dir.Path()).find("is a directory"), std::string::npos);
    kest_test::WriteFile(dir.File("short"), "KESTREC");
    EXPECT_NE(refused(dir.File("short")).find("too short"), std::string::npos);
    kest_test::WriteFile(dir.File("csv"), std::string(200, 'x'));
    EXPECT_NE(refused(dir.File("csv")).find("bad magic"), std::string::npos);

    const std::string good = dir.File("good");
    { ASSERT_TRUE(Writer::Open(good, {}, nullptr)); }
    std::string bytes = kest_test::ReadFile(good);
    bytes[8] = 3;  // a newer version
    kest_test::WriteFile(dir.File("newer"), bytes);
    EXPECT_NE(refused(dir.File("newer")).find("format version 3 is newer"), std::string::npos);
    bytes[8] = 2;
    // Each field that says what the file holds, wrong, is named.
    const std::pair<size_t, const char*> fields[] = {
        {8, "field version is 0"},    {10, "field header_bytes is 65535"}, {12, "field record_bytes is"},
        {14, "field entry_bytes is"}, {16, "field channel is 200"},        {24, "field clock is"},
        {32, "field header_crc is"}};
    for (const auto& [offset, named] : fields) {
        std::string bad = bytes;
        bad[offset] = offset == 8 ? 0 : offset == 16 ? char(200) : char(0xff);
        if (offset == 10) bad[11] = char(0xff);
        kest_test::WriteFile(dir.File("bad"), bad);
        EXPECT_NE(
            refused(dir.File("bad")).find(std::string("header does not describe this format: ") + named),
            std::string::npos)
            << named;
    }
}

TEST(Recording, AWriterThatCannotCreateItsFileSaysWhy) {
    std::string error;
    EXPECT_FALSE(Writer::Open("/nonexistent-dir/x.kestrec", {}, &error));
    EXPECT_NE(error.find("/nonexistent-dir/x.kestrec: No such file"), std::string::npos) << error;
}

// 2026-12-04 is a Friday. Times are UTC; the exchange is 8 hours ahead.
int64_t Utc(int day, int hour, int minute) {
    return ((int64_t{20791} + (day - 4)) * 86400 + hour * 3600 + minute * 60) * 1'000'000'000;
}

// The three-lane CRC against one bit at a time: lengths on either side of
// each lane size, four start alignments, and a CRC carried across a split.
TEST(Recording, BlockChecksumsMatchThePlainCrc32cAtEveryLaneBoundaryAndSplit) {
    std::vector<uint8_t> source(3 * 2048 * 2 + 1000);
    std::generate(source.begin(), source.end(), std::mt19937(11));
    auto bitwise = [](const uint8_t* p, size_t n) {
        uint32_t c = 0xFFFFFFFFu;
        for (size_t i = 0; i < n; ++i) {
            c ^= p[i];
            for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0x82F63B78u : c >> 1;
        }
        return ~c;
    };
    // The three lanes' boundaries (768 = three of 256, 6144 = three of 2048), and the folding's:
    // from 1024 bytes, 128 a round, then 16-byte chunks and a tail of fewer.
    for (size_t len :
         {1, 9, 767, 768, 769, 1023, 1024, 1039, 1040, 1167, 6143, 6144, 6151, 6912, 12288 + 777}) {
        for (size_t offset = 0; offset < 4; ++offset) {
            std::vector<uint8_t> buffer(offset + len);  // sized exactly: ASan sees a read past the end
            std::memcpy(buffer.data() + offset, source.data(), len);
            const uint8_t* p = buffer.data() + offset;
            const uint32_t expected = bitwise(p, len);
            EXPECT_EQ(expected, kest_rec::Crc32c(p, len)) << "len " << len << " offset " << offset;
            const size_t cut = len / 3;
            EXPECT_EQ(expected, kest_rec::Crc32c(p + cut, len - cut, kest_rec::Crc32c(p, cut)))
                << "len " << len << " cut at " << cut;
#if defined(__x86_64__)
            // The lanes alone too: where the processor folds, Crc32c no longer takes them for long buffers.
            if (kest_rec::HaveCrc32cInstruction()) {
                EXPECT_EQ(expected, ~kest_rec::Crc32cLanes(~0u, p, len)) << "lanes, len " << len;
            }
#endif
        }
    }
    EXPECT_EQ(0xE3069283u, kest_rec::Crc32c("123456789", 9));
}

TEST(QuoteCsv, TradingDatesFollowTheExchangeDayAndItsNightSession) {
    EXPECT_EQ(kest_rec::TradingDate(Utc(4, 1, 30)), 20261204u);   // Fri 09:30 CST, day session
    EXPECT_EQ(kest_rec::TradingDate(Utc(3, 13, 0)), 20261204u);   // Thu 21:00 CST, night for Friday
    EXPECT_EQ(kest_rec::TradingDate(Utc(4, 13, 0)), 20261207u);   // Fri 21:00 CST, night for Monday
    EXPECT_EQ(kest_rec::TradingDate(Utc(4, 17, 30)), 20261207u);  // Sat 01:30 CST, same night
    EXPECT_EQ(kest_rec::TradingDate(Utc(4, 10, 0)), 20261207u);   // Fri 18:00 CST, the evening opens Monday
    EXPECT_EQ(kest_rec::TradingDate(Utc(4, 9, 59)), 20261204u);   // Fri 17:59 CST, still Friday
    EXPECT_EQ(kest_rec::TradingDate(Utc(7, 17, 30)), 20261208u);  // Tue 01:30 CST, Monday's night
    EXPECT_EQ(kest_rec::TradingDate(Utc(7, 9, 59)), 20261207u);   // Mon 17:59 CST, still Monday
    EXPECT_EQ(kest_rec::TradingDate(Utc(7, 10, 0)), 20261208u);   // Mon 18:00 CST, the evening opens Tuesday
}

// A clock 500 times as fast that reads Thursday 2025-01-02 20:58 CST when the
// host's reads Utc(4, 1, 30): entries dated by it, their update times placing
// them on the day; a host's file dated by the arrival; bad values refused.
TEST(Recording, TheExchangeClockRoundTripsDatesTheEntriesAndBadValuesAreRefused) {
    kest_test::ScopedTempDir dir;
    const int64_t host = Utc(4, 1, 30), exchange = INT64_C(1735822680) * 1000000000, s = 1000000000;
    kest_rec::WriterOptions opt;
    opt.exchange_clock = [&](int64_t first_ns, kest_rec::FileHeader& h) {
        h.exchange_anchor_s = static_cast<uint32_t>(first_ns / s + 22);
        h.exchange_anchor_ns = exchange;
        h.exchange_rate_milli = 500000;
        return true;
    };
    // 17:54:40 by the line, stamped 21:05 (the clock stood still a while); 20:58; Friday 19:11:20.
    const std::pair<int64_t, uint32_t> entries[] = {
        {host - 22 * s, 210500}, {host, 205800}, {host + 160 * s, 191120}};
    {
        auto w = Writer::Open(dir.File("sim"), opt, nullptr);
        for (const auto& [arrival, hhmmss] : entries) {
            KestShfeMdType q = kest_test_rec::SampleRecord(0);
            q.update_time = hhmmss;
            w->Append(arrival, q);
        }
    }
    auto r = Reader::Open(dir.File("sim"), nullptr);
    ASSERT_TRUE(r);
    const kest_rec::FileHeader h = r->Header();
    EXPECT_EQ(h.exchange_anchor_s, host / s);
    EXPECT_EQ(h.exchange_anchor_ns, exchange);
    EXPECT_EQ(h.exchange_rate_milli, 500000u);
    EXPECT_EQ(kest_rec::ExchangeNs(h, host + 160 * s), exchange + 80000 * s);
    std::vector<uint32_t> dates;
    for (Entry e; r->Next(e);) dates.push_back(kest_rec::EntryTradingDate(h, e));
    EXPECT_EQ(dates, (std::vector<uint32_t>{20250103, 20250103, 20250106}));
    Entry e{host, kest_test_rec::SampleRecord(0)};
    EXPECT_EQ(kest_rec::EntryTradingDate(kest_rec::FileHeader{}, e), 20261204u) << "no clock: the host's";

    const std::string bytes = kest_test::ReadFile(dir.File("sim"));
    auto refusal = [&](size_t offset, const std::string& value, bool crc) {
        std::string bad = bytes;
        bad.replace(offset, value.size(), value);
        const uint32_t c = kest_rec::Crc32c(bad.data(), 60);
        if (crc) bad.replace(60, 4, reinterpret_cast<const char*>(&c), 4);
        kest_test::WriteFile(dir.File("bad"), bad);
        std::string error;
        EXPECT_FALSE(Reader::Open(dir.File("bad"), &error));
        return error;
    };
    EXPECT_NE(refusal(50, "\x7f", false).find("field header_crc is"), std::string::npos);
    EXPECT_NE(
        refusal(56, std::string("\x81\x96\x98\0", 4), true).find("field exchange_rate_milli is 10000001"),
        std::string::npos);
    EXPECT_NE(refusal(48, std::string(8, '\0'), true).find("field exchange_anchor_ns is 0, not a time"),
              std::string::npos);
    EXPECT_NE(refusal(44, std::string(4, '\0'), true).find("field exchange_anchor_ns is 17358"),
              std::string::npos);
}

std::vector<std::string> Split(const std::string& line) {
    std::vector<std::string> out;
    std::stringstream ss(line);
    std::string cell;
    while (std::getline(ss, cell, ',')) out.push_back(cell);
    return out;
}

TEST(QuoteCsv, EveryColumnIsNamedWithItsUnitAndPricesAreExactDecimals) {
    kest_test::ScopedTempDir dir;
    const std::string path = dir.File("q.csv");
    KestShfeMdType q = kest_test_rec::SampleRecord(5);
    std::strcpy(q.inst_id, "cu2501,x");
    q.update_time = 93005;
    q.update_milli_sec = 7;
    q.last_px = -1205;
    q.bid1_px = 7312345;
    q.ask5_px = 3;
    q.turnover = 123456789012LL;
    FILE* f = std::fopen(path.c_str(), "w");
    ASSERT_NE(f, nullptr);
    kest_rec::WriteCsvHeader(f);
    kest_rec::WriteCsvLine(f, Utc(4, 1, 30) + 5, q);
    std::fclose(f);
    std::ifstream in(path);
    std::string header, line;
    std::getline(in, header);
    std::getline(in, line);
    const std::vector<std::string> names = Split(header), cells = Split(line);
    ASSERT_EQ(names.size(), cells.size()) << header << "\n" << line;
    auto cell = [&](const std::string& name) {
        for (size_t i = 0; i < names.size(); ++i)
            if (names[i] == name) return cells[i];
        ADD_FAILURE() << "no column " << name;
        return std::string();
    };
    EXPECT_EQ(cell("arrival_ns_since_epoch_utc"), std::to_string(Utc(4, 1, 30) + 5));
    EXPECT_EQ(cell("trading_date_yyyymmdd"), "20261204");
    EXPECT_EQ(cell("inst_id"), "cu2501?x");
    EXPECT_EQ(cell("update_time_exchange_hh:mm:ss.mmm"), "09:30:05.007");
    EXPECT_EQ(cell("last_price_yuan"), "-12.05");
    EXPECT_EQ(cell("bid1_price_yuan"), "73123.45");
    EXPECT_EQ(cell("ask5_price_yuan"), "0.03");
    EXPECT_EQ(cell("turnover_yuan"), "1234567890.12");
    EXPECT_EQ(cell("change_no"), std::to_string(q.change_no));
    EXPECT_EQ(cell("ask5_volume_lots"), std::to_string(q.ask5_vol));
}

}  // namespace
