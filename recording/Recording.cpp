// The recording's writer and reader: control path, out of the receiving
// thread's way except for a block write now and then.
#include "recording/Recording.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>
#include <zstd.h>

#include <cerrno>
#include <ctime>
#include <unordered_map>

#include "BlockCodec.h"
#include "crc/Crc32.h"
#include "recording/Crc32c.h"
#include "recording/ExchangeClock.h"
#include "recording/RunReader.h"

namespace kest_rec {

uint32_t Crc32c(const void* data, size_t size, uint32_t crc) {
    uint32_t c = ~crc;
    const uint8_t* p = static_cast<const uint8_t*>(data);
#if defined(__x86_64__)
    if (HaveCrc32cInstruction()) return ~Crc32cHardware(c, p, size);
#endif
    static const Kest_U50::CCrc32 kTable;
    while (size > 0) {
        const size_t n = size > (1u << 30) ? (1u << 30) : size;
        kTable.calculate_crc32c(c, p, static_cast<int32_t>(n));
        p += n;
        size -= n;
    }
    return ~c;
}

int64_t RealtimeNs() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);  // vDSO: no system call
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

std::vector<std::string> RecordingFiles(const std::string& path) {
    std::vector<std::string> files = {path};
    for (int n = 1;; ++n) {
        const std::string next = path + "." + std::to_string(n);
        if (access(next.c_str(), F_OK) != 0) return files;
        files.push_back(next);
    }
}

bool FileCrc32c(const std::string& path, uint32_t& crc) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return false;
    static const Kest_U50::CCrc32 kCrc;
    crc = 0;
    unsigned char buf[1 << 16];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) {
        kCrc.calculate_crc32c(crc, buf, static_cast<int32_t>(n));
    }
    const bool ok = std::ferror(f) == 0;
    std::fclose(f);
    return ok;
}

namespace {

// *done says how much reached the file, also when it fails part-way.
bool WriteAll(int fd, const void* data, size_t size, size_t* done = nullptr) {
    const char* p = static_cast<const char*>(data);
    size_t written = 0;
    bool ok = true;
    while (written < size) {
        const ssize_t n = ::write(fd, p + written, size - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = ENOSPC;
            ok = false;
            break;
        }
        written += static_cast<size_t>(n);
    }
    if (done != nullptr) *done = written;
    return ok;
}

}  // namespace

std::string HeaderProblem(const FileHeader& h) {
    auto field = [](const char* name, uint64_t value, const char* expected) {
        return std::string("field ") + name + " is " + std::to_string(value) + ", " + expected;
    };
    if (h.version < 1 || h.version > kFormatVersion)
        return field("version", h.version, "not a version this reader knows");
    if (h.header_bytes != sizeof(FileHeader)) return field("header_bytes", h.header_bytes, "not 64");
    if (h.record_bytes != sizeof(KestShfeMdType)) return field("record_bytes", h.record_bytes, "not 152");
    if (h.entry_bytes != sizeof(Entry)) return field("entry_bytes", h.entry_bytes, "not 160");
    if (h.channel >= kChannels) return field("channel", h.channel, "not a channel (0..15)");
    if (h.clock != kClockRealtime) return field("clock", h.clock, "not 1 (CLOCK_REALTIME)");
    if (h.version >= 2) {
        if (h.block_entries < 1 || h.block_entries > 65536)
            return field("block_entries", h.block_entries, "not 1..65536");
        const uint32_t crc = FileHeaderCrc(h);
        if (h.header_crc != crc)
            return field("header_crc", h.header_crc,
                         ("not the header's CRC-32C (" + std::to_string(crc) + ")").c_str());
    }
    return ExchangeClockProblem(h);
}

namespace {

std::string ClockField(const char* name, const std::string& value, const char* expected) {
    return std::string("field ") + name + " is " + value + ", " + expected;
}

}  // namespace

// Beside HeaderProblem, whose last check it is.
std::string ExchangeClockProblem(const FileHeader& h) {
    if (!HasExchangeClock(h)) {
        if (h.exchange_anchor_ns != 0)
            return ClockField("exchange_anchor_ns", std::to_string(h.exchange_anchor_ns),
                              "not 0 without an anchor");
        if (h.exchange_rate_milli != 0)
            return ClockField("exchange_rate_milli", std::to_string(h.exchange_rate_milli),
                              "not 0 without an anchor");
        return std::string();
    }
    if (h.exchange_rate_milli < 1 || h.exchange_rate_milli > kMaxExchangeRateMilli)
        return ClockField("exchange_rate_milli", std::to_string(h.exchange_rate_milli),
                          ("not 1.." + std::to_string(kMaxExchangeRateMilli)).c_str());
    if (h.exchange_anchor_ns < 1000000000 || h.exchange_anchor_ns > kLastExchangeS * 1000000000)
        return ClockField("exchange_anchor_ns", std::to_string(h.exchange_anchor_ns),
                          "not a time from 1970 to 2100");
    return std::string();
}

// ---------------------------------------------------------------- Writer

// What the index of the file being written will say; filled a block at a time.
struct IndexBuilder {
    struct Key {
        uint64_t a, b;
        bool operator==(const Key& o) const { return a == o.a && b == o.b; }
    };
    struct KeyHash {
        size_t operator()(const Key& k) const {
            return std::hash<uint64_t>()(k.a * 0x9E3779B97F4A7C15ull ^ k.b);
        }
    };
    std::unordered_map<Key, uint32_t, KeyHash> ids;
    struct Cached {
        Key key;
        uint32_t contract;
        bool used;
    };
    static constexpr size_t kCacheSlots = 512;
    Cached cache[kCacheSlots] = {};
    std::vector<IndexContract> contracts;
    std::vector<IndexBlock> blocks;
    std::vector<std::vector<uint64_t>> bitmaps;

    void Add(uint64_t offset, uint32_t stored, const Entry* e, uint32_t n, int64_t min_ns, int64_t max_ns) {
        blocks.push_back({offset, n, stored, min_ns, max_ns});
        bitmaps.emplace_back((contracts.size() + 63) / 64 + 1, 0);
        std::vector<uint64_t>& bits = bitmaps.back();
        for (uint32_t i = 0; i < n; ++i) {
            Key k;
            std::memcpy(&k, e[i].record.inst_id, sizeof k);
            // A block holds a few hundred quotes of a few dozen contracts:
            // most find their number in the small cache, not in the map.
            Cached& cached = cache[KeyHash()(k) % kCacheSlots];
            uint32_t c;
            if (cached.used && cached.key == k) {
                c = cached.contract;
            } else if (auto it = ids.find(k); it != ids.end()) {
                c = it->second;
                cached = {k, c, true};
            } else {
                c = static_cast<uint32_t>(contracts.size());
                ids.emplace(k, c);
                IndexContract ic{};
                std::memcpy(ic.inst_id, e[i].record.inst_id, sizeof ic.inst_id);
                contracts.push_back(ic);
                if (c / 64 >= bits.size()) bits.resize(c / 64 + 1, 0);
                cached = {k, c, true};
            }
            ++contracts[c].entries;
            bits[c / 64] |= uint64_t{1} << (c % 64);
        }
    }
    void Clear() {
        for (Cached& c : cache) c.used = false;
        ids.clear();
        contracts.clear();
        blocks.clear();
        bitmaps.clear();
    }
    std::vector<char> Bytes(uint64_t index_offset) const {
        const size_t words = (contracts.size() + 63) / 64;
        IndexHeader h{};
        std::memcpy(h.magic, kIndexMagic, sizeof h.magic);
        h.blocks = static_cast<uint32_t>(blocks.size());
        h.contracts = static_cast<uint32_t>(contracts.size());
        for (const IndexBlock& b : blocks) h.entries += b.entries;
        h.bitmap_bytes = static_cast<uint32_t>(words * 8);
        std::vector<char> out(sizeof h);
        auto put = [&out](const void* p, size_t n) {
            out.insert(out.end(), static_cast<const char*>(p), static_cast<const char*>(p) + n);
        };
        put(contracts.data(), contracts.size() * sizeof(IndexContract));
        for (size_t i = 0; i < blocks.size(); ++i) {
            put(&blocks[i], sizeof blocks[i]);
            std::vector<uint64_t> bits(bitmaps[i]);
            bits.resize(words, 0);
            put(bits.data(), words * 8);
        }
        std::memcpy(out.data(), &h, sizeof h);
        h.crc = Crc32c(out.data() + 8, out.size() - 8);
        std::memcpy(out.data(), &h, sizeof h);
        Trailer t{index_offset, {}};
        std::memcpy(t.magic, kTrailerMagic, sizeof t.magic);
        put(&t, sizeof t);
        return out;
    }
};

Writer::Writer(const std::string& path, const WriterOptions& opt)
    : base_(path),
      opt_(opt),
      block_entries_(opt.compress ? kCompressedBlockEntries : kBlockEntries),
      buffer_(new uint64_t[(sizeof(BlockHeader) + block_entries_ * sizeof(Entry)) / 8]),
      entries_(reinterpret_cast<Entry*>(buffer_.get() + sizeof(BlockHeader) / 8)),
      index_(new IndexBuilder) {
    if (opt_.compress) {
        zstd_ = ZSTD_createCCtx();
        ZSTD_CCtx_setParameter(static_cast<ZSTD_CCtx*>(zstd_), ZSTD_c_compressionLevel, opt_.zstd_level);
        packed_.resize(block_entries_ * sizeof(Entry) + sizeof(BlockHeader) +
                       ZSTD_compressBound(block_entries_ * sizeof(Entry)));
    }
}

std::unique_ptr<Writer> Writer::Open(const std::string& path, const WriterOptions& opt, std::string* error) {
    std::unique_ptr<Writer> w(new Writer(path, opt));
    if (!w->OpenFile(RealtimeNs())) {
        if (error != nullptr) *error = w->error_;
        return nullptr;
    }
    return w;
}

Writer::~Writer() {
    Flush();
    CloseFile();
    ZSTD_freeCCtx(static_cast<ZSTD_CCtx*>(zstd_));
}

bool Writer::OpenFile(int64_t now_ns) {
    current_ = sequence_ == 0 ? base_ : base_ + "." + std::to_string(sequence_);
    fd_ = ::open(current_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd_ < 0) {
        error_ = current_ + ": " + std::strerror(errno);
        failed_ = true;
        return false;
    }
    FileHeader h{};
    std::memcpy(h.magic, kMagic, sizeof h.magic);
    h.version = kFormatVersion;
    h.header_bytes = sizeof(FileHeader);
    h.record_bytes = sizeof(KestShfeMdType);
    h.entry_bytes = sizeof(Entry);
    h.channel = opt_.channel;
    h.config_crc = opt_.config_crc;
    h.clock = kClockRealtime;
    h.sequence = sequence_;
    h.started_ns = now_ns;
    h.block_entries = block_entries_;
    h.header_crc = FileHeaderCrc(h);
    header_ = h;
    if (!WriteAll(fd_, &h, sizeof h)) {
        error_ = current_ + ": " + std::strerror(errno);
        failed_ = true;
        return false;
    }
    file_bytes_ = sizeof h;
    reserved_ = 0;
    // tmpfs has no allocation to skip: its reserved pages are zeroed, then written again.
    struct statfs fs {};
    reserve_ = ::fstatfs(fd_, &fs) == 0 && fs.f_type != TMPFS_MAGIC && fs.f_type != RAMFS_MAGIC;
    file_started_ns_ = now_ns;
    index_->Clear();
    return true;
}

// The index is written only at a clean close: a reader rebuilds it from the
// block headers when the recorder died first.
void Writer::CloseFile() {
    if (fd_ < 0) return;
    if (!failed_) {
        const std::vector<char> index = index_->Bytes(file_bytes_);
        if (!WriteAll(fd_, index.data(), index.size())) {
            error_ = current_ + ": " + std::strerror(errno);
            failed_ = true;
            (void)::ftruncate(fd_, static_cast<off_t>(file_bytes_));  // no half index
        } else if (reserved_ > file_bytes_) {
            // Gives back the room reserved past the end (a truncate to the
            // same size frees a file's blocks beyond it).
            (void)::ftruncate(fd_, static_cast<off_t>(file_bytes_ + index.size()));
        }
    }
    ::close(fd_);
    fd_ = -1;
}

bool Writer::Flush() {
    if (failed_ || fd_ < 0) {
        fill_ = 0;
        return false;
    }
    if (fill_ == 0) return true;
    if (index_->blocks.empty() && opt_.exchange_clock && !StampExchangeClock()) return false;
    const uint32_t n = fill_;
    fill_ = 0;
    BlockHeader h{};
    std::memcpy(h.magic, kBlockMagic, sizeof h.magic);
    h.entries = n;
    h.raw_bytes = n * static_cast<uint32_t>(sizeof(Entry));
    h.first_ns = entries_[0].arrival_ns;
    h.last_ns = entries_[n - 1].arrival_ns;
    h.min_ns = h.max_ns = h.first_ns;
    for (uint32_t i = 1; i < n; ++i) {
        h.min_ns = std::min(h.min_ns, entries_[i].arrival_ns);
        h.max_ns = std::max(h.max_ns, entries_[i].arrival_ns);
    }
    h.block_no = static_cast<uint32_t>(index_->blocks.size());
    char* block = reinterpret_cast<char*>(buffer_.get());
    h.codec = kCodecNone;
    h.stored_bytes = h.raw_bytes;
    if (zstd_ != nullptr) {
        uint8_t* shuffled = reinterpret_cast<uint8_t*>(packed_.data()) + packed_.size() - h.raw_bytes;
        ShuffleEntries(entries_, n, shuffled);
        char* dst = packed_.data() + sizeof(BlockHeader);
        const size_t z = ZSTD_compress2(static_cast<ZSTD_CCtx*>(zstd_), dst, ZSTD_compressBound(h.raw_bytes),
                                        shuffled, h.raw_bytes);
        if (!ZSTD_isError(z) && z < h.raw_bytes) {  // else stored as it is
            h.codec = kCodecZstd;
            h.stored_bytes = static_cast<uint32_t>(z);
            block = packed_.data();
        }
    }
    h.data_crc = Crc32c(block + sizeof h, h.stored_bytes);
    h.header_crc = BlockHeaderCrc(h);
    std::memcpy(block, &h, sizeof h);
    const size_t bytes = sizeof h + h.stored_bytes;
    if (file_bytes_ + bytes > reserved_ && reserve_) {
        // Room for the next blocks, past the file's end: a write into
        // reserved room skips the file system's allocation for every page,
        // a fifth of the write's cost. Where the file system cannot (or the
        // disk is nearly full) blocks are written as they come.
        reserve_ = ::fallocate(fd_, FALLOC_FL_KEEP_SIZE, static_cast<off_t>(file_bytes_), kReserveBytes) == 0;
        reserved_ = file_bytes_ + kReserveBytes;
    }
    size_t done = 0;
    const bool ok = WriteAll(fd_, block, bytes, &done);  // one write(2) unless the disk is full
    if (!ok) {
        error_ = current_ + ": " + std::strerror(errno);
        failed_ = true;
        // A cut block would only be skipped by a reader; the file ends at its last whole block.
        (void)::ftruncate(fd_, static_cast<off_t>(file_bytes_));
        return false;
    }
    index_->Add(file_bytes_, h.stored_bytes, entries_, n, h.min_ns, h.max_ns);
    written_ += n;
    file_bytes_ += bytes;
    stored_ += bytes;
    return true;
}

bool Writer::StampExchangeClock() {
    FileHeader h = header_;
    // A clock no reader would take is not stamped: the file keeps the host's.
    if (!opt_.exchange_clock(entries_[0].arrival_ns, h) || !ExchangeClockProblem(h).empty()) return true;
    h.header_crc = FileHeaderCrc(h);
    if (::pwrite(fd_, &h, sizeof h, 0) != static_cast<ssize_t>(sizeof h)) {
        error_ = current_ + ": " + std::strerror(errno);
        failed_ = true;
        fill_ = 0;
        return false;
    }
    header_ = h;
    return true;
}

void Writer::Rotate(int64_t arrival_ns) {
    Flush();
    if (fd_ < 0 || failed_) return;
    CloseFile();
    ++sequence_;
    OpenFile(arrival_ns);
}

// ---------------------------------------------------------------- Reader

std::unique_ptr<Reader> Reader::Open(const std::string& path, std::string* error) {
    std::unique_ptr<Reader> r(new Reader());
    r->runs_ = RunReader::Open(path, error);
    if (!r->runs_) return nullptr;
    r->header_ = r->runs_->Header();
    return r;
}

Reader::~Reader() = default;

uint64_t Reader::Entries() const { return runs_->Entries(); }
uint64_t Reader::TrailingBytes() const { return runs_->TrailingBytes(); }

bool Reader::Next(Entry& out) {
    if (left_ == 0 && !runs_->NextRun(&run_, &left_)) return false;
    std::memcpy(&out, run_++, sizeof out);
    --left_;
    return true;
}

}  // namespace kest_rec
