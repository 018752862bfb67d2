// Version 2 through the writer and RunReader: every byte of a small
// recording's blocks flipped in turn is caught and only its block is lost;
// the index leads a selection to exactly the blocks that hold what was asked.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "RecordingSamples.h"
#include "TestSupport.h"
#include "recording/RunReader.h"

namespace {

using kest_rec::Entry;
using kest_rec::RunReader;

struct Read {
    std::vector<Entry> entries;
    std::set<uint64_t> damaged;  // block numbers named
    uint64_t untrusted = 0;
    bool index = false;
    std::string index_problem;
};

Read ReadFile(const std::string& path) {
    Read out;
    std::string error;
    auto r = RunReader::Open(path, &error);
    EXPECT_TRUE(r) << error;
    if (!r) return out;
    const Entry* e;
    size_t n;
    while (r->NextRun(&e, &n)) out.entries.insert(out.entries.end(), e, e + n);
    for (const kest_rec::Damage& d : r->Damages()) {
        out.damaged.insert(d.block);
        EXPECT_EQ(d.file, path);
    }
    out.untrusted = r->Untrusted();
    out.index = r->HasIndex();
    out.index_problem = r->IndexProblem();
    return out;
}

// Three blocks of 3 entries, written as a recorder writes them.
std::vector<Entry> WriteSmall(const std::string& path, bool compress) {
    kest_rec::WriterOptions opt;
    opt.compress = compress;
    auto w = kest_rec::Writer::Open(path, opt, nullptr);
    std::vector<Entry> written;
    for (uint32_t i = 0; i < 9; ++i) {
        written.push_back({int64_t{1000} * i, kest_test_rec::SampleRecord(i % 2)});  // alike: compressible
        w->Append(written.back().arrival_ns, written.back().record);
        if (i % 3 == 2) {
            EXPECT_TRUE(w->Flush());
        }
    }
    return written;
}

TEST(RunReader, EveryFlippedByteOfTheBlocksIsCaughtAndCostsOnlyItsBlock) {
    kest_test::ScopedTempDir dir;
    for (bool compress : {false, true}) {
        const std::string path = dir.File("small.kestrec");
        const std::vector<Entry> written = WriteSmall(path, compress);
        auto pristine = RunReader::Open(path, nullptr);
        ASSERT_TRUE(pristine && pristine->HasIndex());
        const std::vector<kest_rec::BlockRef> blocks = pristine->Blocks();
        ASSERT_EQ(blocks.size(), 3u);
        if (compress) {
            EXPECT_LT(blocks[0].stored_bytes, 3 * sizeof(Entry));
        }
        const uint64_t blocks_end =
            blocks.back().offset + sizeof(kest_rec::BlockHeader) + blocks.back().stored_bytes;
        const std::string bytes = kest_test::ReadFile(path);
        ASSERT_EQ(ReadFile(path).entries.size(), written.size());

        // With the index, and without it (the recorder killed before the close).
        for (bool indexed : {true, false}) {
            kest_test::WriteFile(dir.File("bad"), indexed ? bytes : bytes.substr(0, blocks_end));
            const int fd = open(dir.File("bad").c_str(), O_RDWR);
            for (uint64_t at = 64; at < blocks_end; ++at) {
                const char flipped = static_cast<char>(bytes[at] ^ 0xFF);
                ASSERT_EQ(pwrite(fd, &flipped, 1, static_cast<off_t>(at)), 1);
                const Read got = ReadFile(dir.File("bad"));
                ASSERT_EQ(pwrite(fd, &bytes[at], 1, static_cast<off_t>(at)), 1);
                size_t hit = 0;
                while (hit + 1 < blocks.size() && at >= blocks[hit + 1].offset) ++hit;
                SCOPED_TRACE("compress " + std::to_string(compress) + ", index " + std::to_string(indexed) +
                             ", byte " + std::to_string(at) + " of block " + std::to_string(hit));
                ASSERT_EQ(got.damaged, std::set<uint64_t>{hit});
                std::vector<Entry> expected;
                for (size_t b = 0; b < blocks.size(); ++b)
                    if (b != hit) expected.insert(expected.end(), &written[3 * b], &written[3 * b + 3]);
                ASSERT_EQ(got.entries.size(), expected.size());
                ASSERT_EQ(std::memcmp(got.entries.data(), expected.data(), expected.size() * sizeof(Entry)),
                          0);
                // The index knows what a damaged block held; the block headers alone only for the data.
                const bool header = at < blocks[hit].offset + sizeof(kest_rec::BlockHeader);
                if (indexed || !header) {
                    ASSERT_EQ(got.untrusted, 3u);
                }
            }
            close(fd);
        }
        // A flipped byte of the index or trailer: the blocks are found without it, all of them.
        kest_test::WriteFile(dir.File("bad"), bytes);
        const int fd = open(dir.File("bad").c_str(), O_RDWR);
        for (uint64_t at = blocks_end; at < bytes.size(); ++at) {
            const char flipped = static_cast<char>(bytes[at] ^ 0xFF);
            ASSERT_EQ(pwrite(fd, &flipped, 1, static_cast<off_t>(at)), 1);
            const Read got = ReadFile(dir.File("bad"));
            ASSERT_EQ(pwrite(fd, &bytes[at], 1, static_cast<off_t>(at)), 1);
            ASSERT_EQ(got.entries.size(), written.size()) << "byte " << at;
            ASSERT_TRUE(got.damaged.empty()) << "byte " << at;
            ASSERT_TRUE(!got.index && (!got.index_problem.empty() || at >= bytes.size() - 8))
                << "byte " << at;
        }
        close(fd);
    }
}

TEST(RunReader, ASelectionReadsOnlyTheBlocksTheIndexNamesAndMissesNothing) {
    kest_test::ScopedTempDir dir;
    const std::string path = dir.File("day.kestrec");
    std::vector<Entry> written;
    {
        auto w = kest_rec::Writer::Open(path, {}, nullptr);
        // 40 blocks; "cu2501" trades only in blocks 10..12, the others everywhere.
        for (uint32_t i = 0; i < 40 * kest_rec::Writer::kBlockEntries; ++i) {
            KestShfeMdType q = kest_test_rec::SampleRecord(i);
            const uint32_t block = i / kest_rec::Writer::kBlockEntries;
            if (block >= 10 && block <= 12 && i % 7 == 0) std::strcpy(q.inst_id, "cu2501");
            written.push_back({int64_t{1'000'000} * i, q});
            w->Append(written.back().arrival_ns, q);
        }
    }
    struct Case {
        std::vector<std::string> contracts;
        kest_rec::TimeWindow window;
        uint64_t blocks;  // the blocks that hold what is asked
    };
    const int64_t block_ns = int64_t{1'000'000} * kest_rec::Writer::kBlockEntries;
    const Case cases[] = {
        {{"cu2501"}, {}, 3},
        {{"cu"}, {11 * block_ns, INT64_MAX}, 2},  // a product, from inside block 11
        {{}, {20 * block_ns, 25 * block_ns}, 5},  // a time range: block 25 starts at its end
        // From block 19's latest arrival: block 19 holds it.
        {{}, {20 * block_ns - 1'000'000, 25 * block_ns}, 6},
        {{"sc2510", "cu2501"}, {}, 40},
        {{"al2501"}, {}, 0},  // not in the file
    };
    for (const Case& c : cases) {
        auto r = RunReader::Open(path, nullptr);
        ASSERT_TRUE(r && r->HasIndex());
        r->Select(c.window, c.contracts);
        std::vector<Entry> got;
        const Entry* e;
        size_t n;
        while (r->NextRun(&e, &n)) {
            for (size_t i = 0; i < n; ++i) {
                if (c.window.Contains(e[i].arrival_ns) &&
                    (c.contracts.empty() || kest_rec::ContractMatches(e[i].record.inst_id, c.contracts)))
                    got.push_back(e[i]);
            }
        }
        std::vector<Entry> expected;
        for (const Entry& x : written) {
            if (c.window.Contains(x.arrival_ns) &&
                (c.contracts.empty() || kest_rec::ContractMatches(x.record.inst_id, c.contracts)))
                expected.push_back(x);
        }
        const std::string what = (c.contracts.empty() ? std::string("all") : c.contracts[0]) + " from " +
                                 std::to_string(c.window.from_ns);
        EXPECT_EQ(r->BlocksRead(), c.blocks) << what;
        ASSERT_EQ(got.size(), expected.size()) << what;
        EXPECT_TRUE(got.empty() || std::memcmp(got.data(), expected.data(), got.size() * sizeof(Entry)) == 0)
            << what;
    }
    // The per-contract counts of the index are those of the entries.
    auto r = RunReader::Open(path, nullptr);
    uint64_t cu = 0, total = 0;
    for (const kest_rec::ContractCount& c : r->Contracts()) {
        total += c.entries;
        if (c.id == "cu2501") cu = c.entries;
    }
    EXPECT_EQ(total, written.size());
    EXPECT_EQ(cu, 3u * kest_rec::Writer::kBlockEntries / 7 + 1);
}

}  // namespace

namespace {

// Arrivals step back inside every block (the realtime clock may): the index
// names each block's earliest and latest, whatever its first and last entry;
// each rotated file's index holds that file's blocks, and a selection from a
// block's latest arrival on reads that block.
TEST(RunReader, TheIndexHoldsEachBlocksEarliestAndLatestArrivalAndEachFileItsOwnBlocks) {
    kest_test::ScopedTempDir dir;
    const std::string path = dir.File("day.kestrec");
    const uint64_t block_bytes = sizeof(kest_rec::BlockHeader) + 4 * sizeof(Entry);
    kest_rec::WriterOptions opt;
    opt.rotate_bytes = sizeof(kest_rec::FileHeader) + 2 * block_bytes;  // two blocks a file
    const int64_t steps[4] = {500, 100, 900, 300};
    {
        auto w = kest_rec::Writer::Open(path, opt, nullptr);
        for (uint32_t i = 0; i < 24; ++i) {
            w->Append(int64_t{10000} * (i / 4) + steps[i % 4], kest_test_rec::SampleRecord(i));
            if (i % 4 == 3) {
                ASSERT_TRUE(w->Flush());
            }
        }
    }
    const std::vector<std::string> files = kest_rec::RecordingFiles(path);
    ASSERT_EQ(files.size(), 3u);
    for (size_t f = 0; f < files.size(); ++f) {
        SCOPED_TRACE(files[f]);
        auto r = RunReader::Open(files[f], nullptr);
        ASSERT_TRUE(r);
        EXPECT_TRUE(r->HasIndex() && r->IndexProblem().empty()) << r->IndexProblem();
        ASSERT_EQ(r->Blocks().size(), 2u);
        EXPECT_EQ(r->Entries(), 8u);
        for (size_t b = 0; b < 2; ++b) {
            const int64_t base = int64_t{10000} * static_cast<int64_t>(2 * f + b);
            EXPECT_EQ(r->Blocks()[b].min_ns, base + 100) << "block " << b;
            EXPECT_EQ(r->Blocks()[b].max_ns, base + 900) << "block " << b;
        }
        const int64_t latest = int64_t{10000} * static_cast<int64_t>(2 * f) + 900;
        r->Select({latest, latest + 1}, {});
        const Entry* e;
        size_t n;
        ASSERT_TRUE(r->NextRun(&e, &n)) << "the block whose latest arrival starts the window";
        EXPECT_EQ(e[2].arrival_ns, latest);
        EXPECT_EQ(r->BlocksRead(), 1u);
    }
}

// Every form a window's time is written in, each the same instant; the
// errors name what is wrong.
TEST(TimeWindow, TimesWithoutAZoneAreChinaStandardTimeAndEveryFormMeansOneInstant) {
    const int64_t t = 1735781400LL * 1000000000;  // 2025-01-02T09:30:00+08:00
    const struct {
        const char* text;
        int64_t ns;
    } good[] = {
        {"1735781400000000000", t},
        {"2025-01-02T09:30", t},
        {"2025-01-02 09:30:00", t},
        {"2025-01-02T01:30Z", t},
        {"2025-01-02T09:30:00+08:00", t},
        {"2025-01-01T20:30-05:00", t},
        {"2025-01-02T09:30:00.5", t + 500000000},
        {"2025-01-02T09:30:00.000000001", t + 1},
        {"2025-01-02", t - 9 * 3600 * 1000000000LL - 30 * 60 * 1000000000LL},
        {"2024-02-29T00:00Z", 1709164800LL * 1000000000},
    };
    for (const auto& g : good) {
        int64_t ns = 0;
        EXPECT_EQ(kest_rec::ParseTime(g.text, &ns), "") << g.text;
        EXPECT_EQ(ns, g.ns) << g.text;
    }
    for (const char* bad :
         {"", "yesterday", "2025-13-01", "2025-02-30", "2025-01-02T24:00", "2025-01-02T09:3x",
          "2025-01-02T09:30+8", "2025-01-02T09:30 CST", "99999999999999999999"}) {
        int64_t ns = 0;
        EXPECT_NE(kest_rec::ParseTime(bad, &ns), "") << bad;
    }
}

}  // namespace
