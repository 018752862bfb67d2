// The version 2 reader against its writer. The input chooses entries (count,
// contracts, compression, where blocks end), then damage: bytes overwritten
// anywhere after the file header and a cut end. Whatever the damage, each
// run the reader hands out is one written block, whole and in file order; a
// written block that lies wholly before the cut and is not handed out is named
// damaged; and nothing is read outside the file (AddressSanitizer). With the
// first byte odd the input is instead a file of its own, read to the end.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "RecordingSamples.h"
#include "recording/ExchangeClock.h"
#include "recording/RunReader.h"

namespace {

struct Input {
    const uint8_t* p;
    size_t n;
    uint8_t Byte() { return n > 0 ? (--n, *p++) : 0; }
    uint32_t Word() { return Byte() | Byte() << 8 | static_cast<uint32_t>(Byte()) << 16; }
};

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "oracle: %s\n", what);
    std::abort();
}

std::string Memfile(int* fd) {
    *fd = memfd_create("kestrec", 0);
    return "/proc/self/fd/" + std::to_string(*fd);
}

void ReadAll(const std::string& path) {
    auto r = kest_rec::RunReader::Open(path, nullptr);
    if (!r) return;
    const kest_rec::Entry* e;
    size_t n;
    uint64_t total = 0;
    volatile int64_t sink = 0;
    while (r->NextRun(&e, &n)) {
        for (size_t i = 0; i < n; ++i) sink = sink + e[i].arrival_ns + e[i].record.last_px;
        total += n;
    }
    r->Contracts();
    if (total > r->Entries()) Fail("more entries read than the blocks hold");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in{data, size};
    int fd;
    const std::string path = Memfile(&fd);
    if (fd < 0) return 0;
    if (in.Byte() & 1) {  // a file of its own
        if (write(fd, in.p, in.n) == static_cast<ssize_t>(in.n)) ReadAll(path);
        close(fd);
        return 0;
    }
    // What the writer writes: blocks as the input cuts them.
    kest_rec::WriterOptions opt;
    opt.compress = in.Byte() & 1;
    // An exchange clock of any values: stamped when it is one, else the host's kept.
    kest_rec::FileHeader clock{};
    if (in.Byte() & 1) {
        const uint32_t high = in.Word(), low = in.Byte(), top = in.Word(), middle = in.Word(),
                       rate = in.Word();
        clock.exchange_anchor_s = high << 8 | low;
        clock.exchange_anchor_ns = static_cast<int64_t>(uint64_t{top} << 40 | uint64_t{middle} << 16);
        clock.exchange_rate_milli = rate << (in.Byte() % 9);
        opt.exchange_clock = [clock](int64_t, kest_rec::FileHeader& h) {
            h.exchange_anchor_s = clock.exchange_anchor_s;
            h.exchange_anchor_ns = clock.exchange_anchor_ns;
            h.exchange_rate_milli = clock.exchange_rate_milli;
            return true;
        };
        if (!kest_rec::ExchangeClockProblem(clock).empty()) clock = kest_rec::FileHeader{};
    }
    std::vector<std::vector<kest_rec::Entry>> blocks(1);
    const size_t per_block =
        opt.compress ? kest_rec::Writer::kCompressedBlockEntries : kest_rec::Writer::kBlockEntries;
    const uint32_t count = in.Byte() * 24u + 1;  // up to two compressed blocks
    {
        auto w = kest_rec::Writer::Open(path, opt, nullptr);
        if (!w) Fail("cannot write");
        for (uint32_t i = 0; i < count; ++i) {
            KestShfeMdType q = kest_test_rec::SampleRecord(in.Byte() + i);
            const kest_rec::Entry e{static_cast<int64_t>(i) * 1000, q};
            if (blocks.back().size() == per_block) blocks.emplace_back();
            blocks.back().push_back(e);
            w->Append(e.arrival_ns, e.record);
            if (in.Byte() == 0xff && !blocks.back().empty()) {
                w->Flush();
                blocks.emplace_back();
            }
        }
    }
    if (blocks.back().empty()) blocks.pop_back();
    off_t file_size = lseek(fd, 0, SEEK_END);
    // Block offsets as written: a header, then the stored bytes.
    std::vector<uint64_t> ends;
    {
        uint64_t off = sizeof(kest_rec::FileHeader);
        for (size_t b = 0; b < blocks.size(); ++b) {
            kest_rec::BlockHeader h;
            if (pread(fd, &h, sizeof h, static_cast<off_t>(off)) != sizeof h) Fail("short file");
            if (h.entries != blocks[b].size()) Fail("the writer's block is not the input's");
            off += sizeof h + h.stored_bytes;
            ends.push_back(off);
        }
    }
    // Damage.
    const uint8_t writes = in.Byte() % 8;
    for (uint8_t k = 0; k < writes; ++k) {
        const uint64_t at = sizeof(kest_rec::FileHeader) + in.Word() % static_cast<uint64_t>(file_size - 63);
        const uint8_t len = in.Byte() % 16 + 1;
        for (uint8_t j = 0; j < len && static_cast<off_t>(at + j) < file_size; ++j) {
            const uint8_t v = in.Byte();
            if (pwrite(fd, &v, 1, static_cast<off_t>(at + j)) != 1) Fail("cannot damage");
        }
    }
    if (in.Byte() & 1) {
        file_size = sizeof(kest_rec::FileHeader) + in.Word() % static_cast<uint64_t>(file_size - 63);
        if (ftruncate(fd, file_size) != 0) Fail("cannot cut");
    }

    auto r = kest_rec::RunReader::Open(path, nullptr);
    if (!r) Fail("the file header was not damaged, yet the file is refused");
    if (r->Header().exchange_anchor_s != clock.exchange_anchor_s ||
        r->Header().exchange_anchor_ns != clock.exchange_anchor_ns ||
        r->Header().exchange_rate_milli != clock.exchange_rate_milli)
        Fail("the exchange clock read is not the one stamped (or one out of range was stamped)");
    const kest_rec::Entry* e;
    size_t n;
    size_t next = 0;
    std::set<uint64_t> read;
    while (r->NextRun(&e, &n)) {
        // Which written block is it? The next one with these exact entries.
        while (next < blocks.size() &&
               (blocks[next].size() != n || std::memcmp(blocks[next].data(), e, n * sizeof *e) != 0))
            ++next;
        if (next == blocks.size()) Fail("a run that is no written block, or out of order");
        for (size_t i = 0; i < n; ++i)
            kest_rec::EntryTradingDate(r->Header(), e[i]);  // any clock, any arrival
        read.insert(next++);
    }
    std::set<uint64_t> named;
    for (const kest_rec::Damage& d : r->Damages()) named.insert(d.block);
    for (size_t b = 0; b < blocks.size(); ++b) {
        if (ends[b] > static_cast<uint64_t>(file_size)) break;  // the cut took it
        if (read.count(b) == 0 && named.count(b) == 0) Fail("a block neither read nor named damaged");
    }
    close(fd);
    return 0;
}
