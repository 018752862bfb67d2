// Recording figures, each beside its limit and a baseline of the same run:
//   kest_bench_recording [--entries N] [--slice-entries N] [--runs R] [--dir DIR] [--python SCRIPT]
// A model day of N entries is written as version 1 (the baseline size), as
// version 2 and as version 2 compressed; each is read back (warm page cache)
// beside read(2) of the same bytes. Then a day of --slice-entries (32 M by
// default, 5 GB as entries) is written compressed and one contract's ten
// minutes sliced from it through the index, counting the blocks read. The
// blocks' CRC-32C is timed on its own, in 40 KiB blocks of a buffer larger
// than the caches: as the processor allows (folding where it can) beside the
// three lanes of the CRC instruction alone.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zstd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "BlockCodec.h"
#include "ModelDay.h"
#include "recording/Crc32c.h"
#include "recording/RunReader.h"

namespace {

double CpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + ts.tv_nsec / 1e9;
}

// Median over runs of the CPU time (user and system) of this thread in f: the
// machine's other load does not count, the kernel's copies do.
double Median(int runs, const std::function<void()>& f) {
    std::vector<double> t;
    for (int i = 0; i < runs; ++i) {
        const double start = CpuSeconds();
        f();
        t.push_back(CpuSeconds() - start);
    }
    std::sort(t.begin(), t.end());
    return t[t.size() / 2];
}

uint64_t FileSize(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

void Row(const char* what, double value, const char* unit, const char* limit, bool ok) {
    std::printf("  %-58s %12.2f %-10s %-28s %s\n", what, value, unit, limit, ok ? "ok" : "MISSED");
}

uint64_t ReadBytes(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY);
    std::vector<char> buf(4 << 20);
    uint64_t total = 0;
    ssize_t n;
    while ((n = read(fd, buf.data(), buf.size())) > 0) total += static_cast<uint64_t>(n);
    close(fd);
    return total;
}

uint64_t ReadEntries(const std::string& path, int64_t* checksum) {
    auto r = kest_rec::RunReader::Open(path, nullptr);
    const kest_rec::Entry* e;
    size_t n;
    uint64_t total = 0;
    int64_t sum = 0;
    while (r->NextRun(&e, &n)) {
        for (size_t i = 0; i < n; ++i) sum += e[i].arrival_ns ^ e[i].record.last_px;
        total += n;
    }
    *checksum = sum;
    return total;
}

}  // namespace

int main(int argc, char** argv) {
    uint64_t entries = 4 << 20, slice_entries = 32 << 20;
    int runs = 5;
    std::string dir = "/tmp", python;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        if (a == "--entries")
            entries = std::strtoull(argv[i + 1], nullptr, 10);
        else if (a == "--slice-entries")
            slice_entries = std::strtoull(argv[i + 1], nullptr, 10);
        else if (a == "--runs")
            runs = std::atoi(argv[i + 1]);
        else if (a == "--dir")
            dir = argv[i + 1];
        else if (a == "--python")
            python = argv[i + 1];
    }
    const std::string base = dir + "/kest_bench_recording." + std::to_string(getpid());
    const std::string v1 = base + ".v1", v2 = base + ".v2", v2z = base + ".v2z", big = base + ".big";

    std::vector<kest_rec::Entry> day(entries);
    kest_bench::ModelDay model(entries, 1);
    for (kest_rec::Entry& e : day) model.Next(e);
    {
        kest_rec::FileHeader h{};
        std::memcpy(h.magic, kest_rec::kMagic, 8);
        h.version = 1, h.header_bytes = 64, h.record_bytes = 152, h.entry_bytes = 160, h.clock = 1;
        FILE* f = std::fopen(v1.c_str(), "wb");
        std::fwrite(&h, sizeof h, 1, f);
        std::fwrite(day.data(), sizeof(kest_rec::Entry), day.size(), f);
        std::fclose(f);
    }
    auto record = [&](const std::string& path, bool compress) {
        kest_rec::WriterOptions o;
        o.compress = compress;
        auto w = kest_rec::Writer::Open(path, o, nullptr);
        const double cpu = CpuSeconds();
        for (const kest_rec::Entry& e : day) w->Append(e.arrival_ns, e.record);
        w->Flush();
        return CpuSeconds() - cpu;
    };
    std::vector<double> plain_cpu, zstd_cpu;
    for (int i = 0; i < runs; ++i) {
        plain_cpu.push_back(record(v2, false));
        zstd_cpu.push_back(record(v2z, true));
    }
    std::sort(plain_cpu.begin(), plain_cpu.end());
    std::sort(zstd_cpu.begin(), zstd_cpu.end());
    // zstd of the same blocks without the shuffle: does the shuffle pay?
    uint64_t unshuffled = 0;
    {
        const size_t per = kest_rec::Writer::kCompressedBlockEntries;
        std::vector<char> out(ZSTD_compressBound(per * sizeof(kest_rec::Entry)));
        for (size_t at = 0; at < day.size(); at += per) {
            const size_t n = std::min<size_t>(per, day.size() - at);
            unshuffled +=
                64 + ZSTD_compress(out.data(), out.size(), &day[at], n * sizeof(kest_rec::Entry), 1);
        }
    }

    const double n = static_cast<double>(entries);
    const uint64_t v1_bytes = FileSize(v1), v2_bytes = FileSize(v2), v2z_bytes = FileSize(v2z);
    int64_t check = 0;
    const double t_read = Median(runs, [&] { ReadBytes(v2); });
    const double t_v2 = Median(runs, [&] { ReadEntries(v2, &check); });
    const double t_v1 = Median(runs, [&] { ReadEntries(v1, &check); });
    const double t_read_z = Median(runs, [&] { ReadBytes(v2z); });
    const double t_v2z = Median(runs, [&] { ReadEntries(v2z, &check); });

    std::printf("recording benchmark: %" PRIu64
                " entries of a model day, %d runs, medians of thread CPU time, warm page cache\n",
                entries, runs);
    std::printf("  %-58s %12s %-10s %-28s %s\n", "figure", "value", "unit", "limit", "");
    Row("recorder, version 2 uncompressed (CPU of the appending thread)",
        n / plain_cpu[plain_cpu.size() / 2] / 1e6, "M rec/s", "baseline", true);
    Row("recorder, version 2 zstd (CPU of the appending thread)", n / zstd_cpu[zstd_cpu.size() / 2] / 1e6,
        "M rec/s", ">= 2 M rec/s", n / zstd_cpu[zstd_cpu.size() / 2] >= 2e6);
    Row("read(2) of the version 2 file's bytes", n / t_read / 1e6, "M ent/s", "baseline", true);
    Row("RunReader, version 2 uncompressed", n / t_v2 / 1e6, "M ent/s", ">= 6 M/s", n / t_v2 >= 6e6);
    Row("  its time against read(2) of the same bytes", t_v2 / t_read, "x", "<= 2x", t_v2 / t_read <= 2);
    Row("RunReader, version 1 (no checks)", n / t_v1 / 1e6, "M ent/s", "baseline", true);
    Row("RunReader, version 2 zstd", n / t_v2z / 1e6, "M ent/s", ">= 3 M/s", n / t_v2z >= 3e6);
    Row("  read(2) of the compressed file's bytes", n / t_read_z / 1e6, "M ent/s", "baseline", true);
    Row("size: version 1 / version 2 uncompressed", static_cast<double>(v1_bytes) / v2_bytes, "x", "baseline",
        true);
    Row("size: version 1 / version 2 zstd (shuffled)", static_cast<double>(v1_bytes) / v2z_bytes, "x",
        ">= 3x", static_cast<double>(v1_bytes) / v2z_bytes >= 3);
    Row("size: version 1 / zstd of the same blocks unshuffled", static_cast<double>(v1_bytes) / unshuffled,
        "x", "baseline: the shuffle pays?", true);
#if defined(__x86_64__)
    if (kest_rec::HaveCrc32cInstruction()) {
        // 512 MiB: what a reader checks comes from memory, not from the cache.
        std::vector<uint8_t> big(size_t{512} << 20);
        for (size_t i = 0; i < big.size(); i += 64) big[i] = static_cast<uint8_t>(i * 7 + 1);
        uint32_t sink = 0;
        auto crc_rate = [&](uint32_t (*crc)(uint32_t, const void*, size_t)) {
            const double t = Median(runs, [&] {
                for (size_t at = 0; at < big.size(); at += 40960) sink = crc(sink, &big[at], 40960);
            });
            return static_cast<double>(big.size()) / t / 1e9;
        };
        const double lanes = crc_rate(&kest_rec::Crc32cLanes);
        const double used = crc_rate(&kest_rec::Crc32cHardware);
        Row("CRC-32C of 40 KiB blocks from memory, three lanes", lanes, "GB/s", "baseline", true);
        Row(kest_rec::HaveCrc32cFold() ? "  the same, folded (VPCLMULQDQ), as the readers do"
                                       : "  the same, as the readers do (no folding here)",
            used, "GB/s", "not slower than the lanes", used >= lanes * 0.95);
        if (sink == 1) std::puts("");  // keeps the CRCs
    }
#endif
    std::fflush(stdout);
    if (!python.empty()) {
        const std::string cmd =
            "/usr/bin/python3 " + python + " " + v2 + " " + v2z + " " + std::to_string(runs);
        if (std::system(cmd.c_str()) != 0) std::printf("  (the numpy figures failed: %s)\n", cmd.c_str());
    }
    std::remove(v1.c_str());
    std::remove(v2.c_str());
    std::remove(v2z.c_str());
    day.clear();
    day.shrink_to_fit();

    if (slice_entries > 0) {
        kest_bench::ModelDay big_day(slice_entries, 2);
        {
            kest_rec::WriterOptions o;
            o.compress = true;
            auto w = kest_rec::Writer::Open(big, o, nullptr);
            kest_rec::Entry e;
            for (uint64_t i = 0; i < slice_entries; ++i) {
                big_day.Next(e);
                w->Append(e.arrival_ns, e.record);
            }
        }
        const std::vector<std::string> want = {"cu2603"};
        const int64_t from = big_day.Start() + int64_t{150} * 60 * 1000000000;  // 12:00 CST
        const int64_t to = from + int64_t{600} * 1000000000 - 1;
        uint64_t matched = 0, blocks = 0, read_blocks = 0;
        const double t_slice = Median(runs, [&] {
            auto r = kest_rec::RunReader::Open(big, nullptr);
            blocks = r->Blocks().size();
            r->Select({from, to + 1}, want);
            const kest_rec::Entry* e;
            size_t k;
            matched = 0;
            while (r->NextRun(&e, &k)) {
                for (size_t i = 0; i < k; ++i)
                    matched += e[i].arrival_ns >= from && e[i].arrival_ns <= to &&
                               kest_rec::ContractMatches(e[i].record.inst_id, want);
            }
            read_blocks = r->BlocksRead();
        });
        // The blocks that hold the contract in the range, found by reading everything once.
        uint64_t holding = 0, everything = 0;
        const double t_all = Median(1, [&] {
            auto r = kest_rec::RunReader::Open(big, nullptr);
            const kest_rec::Entry* e;
            size_t k;
            while (r->NextRun(&e, &k)) {
                bool has = false;
                for (size_t i = 0; i < k; ++i)
                    has |= e[i].arrival_ns >= from && e[i].arrival_ns <= to &&
                           kest_rec::ContractMatches(e[i].record.inst_id, want);
                holding += has;
                everything += k;
            }
        });
        std::printf("slice of cu2603, 12:00-12:10 CST, from %" PRIu64
                    " entries (%.2f GB as version 1, %.2f GB on disk):\n",
                    slice_entries, slice_entries * 160 / 1e9, FileSize(big) / 1e9);
        Row("blocks read by the slice", static_cast<double>(read_blocks), "blocks",
            "<= holding it + 2 (the edges)", read_blocks >= holding && read_blocks <= holding + 2);
        Row("blocks holding the contract in the range (full read)", static_cast<double>(holding), "blocks",
            "", true);
        Row("blocks in the file", static_cast<double>(blocks), "blocks", "", true);
        Row("entries of the contract in the range", static_cast<double>(matched), "entries", "", matched > 0);
        Row("slice time", t_slice * 1e3, "ms", "baseline: full read", true);
        Row("full read of the file (every block decompressed)", t_all * 1e3, "ms", "",
            everything == slice_entries);
        std::remove(big.c_str());
    }
    return 0;
}
