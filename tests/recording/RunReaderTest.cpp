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
        int64_t from, to;
        uint64_t blocks;  // the blocks that hold what is asked
    };
    const int64_t block_ns = int64_t{1'000'000} * kest_rec::Writer::kBlockEntries;
    const Case cases[] = {
        {{"cu2501"}, INT64_MIN, INT64_MAX, 3},
        {{"cu"}, 11 * block_ns, INT64_MAX, 2},      // a product, from inside block 11
        {{}, 20 * block_ns, 25 * block_ns - 1, 5},  // a time range
        {{"sc2510", "cu2501"}, INT64_MIN, INT64_MAX, 40},
        {{"al2501"}, INT64_MIN, INT64_MAX, 0},  // not in the file
    };
    for (const Case& c : cases) {
        auto r = RunReader::Open(path, nullptr);
        ASSERT_TRUE(r && r->HasIndex());
        r->Select(c.from, c.to, c.contracts);
        std::vector<Entry> got;
        const Entry* e;
        size_t n;
        while (r->NextRun(&e, &n)) {
            for (size_t i = 0; i < n; ++i) {
                if (e[i].arrival_ns >= c.from && e[i].arrival_ns <= c.to &&
                    (c.contracts.empty() || kest_rec::ContractMatches(e[i].record.inst_id, c.contracts)))
                    got.push_back(e[i]);
            }
        }
        std::vector<Entry> expected;
        for (const Entry& x : written) {
            if (x.arrival_ns >= c.from && x.arrival_ns <= c.to &&
                (c.contracts.empty() || kest_rec::ContractMatches(x.record.inst_id, c.contracts)))
                expected.push_back(x);
        }
        const std::string what =
            (c.contracts.empty() ? std::string("all") : c.contracts[0]) + " from " + std::to_string(c.from);
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
