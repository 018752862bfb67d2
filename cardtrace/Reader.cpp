// The trace's reader: the file mapped, blocks checked and decoded one at a
// time; every length is checked against what is there.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zstd.h>

#include <cerrno>
#include <cstddef>

#include "cardtrace/Trace.h"
#include "recording/Recording.h"

namespace kest_trace {
namespace {

bool GetVarint(const uint8_t*& p, const uint8_t* end, uint64_t& v) {
    v = 0;
    for (int shift = 0; shift < 64; shift += 7) {
        if (p >= end) return false;
        const uint8_t b = *p++;
        v |= static_cast<uint64_t>(b & 0x7F) << shift;
        if ((b & 0x80) == 0) return shift < 63 || b <= 1;
    }
    return false;
}
inline int64_t UnZigZag(uint64_t v) { return static_cast<int64_t>((v >> 1) ^ (~(v & 1) + 1)); }

}  // namespace

std::unique_ptr<Reader> Reader::Open(const std::string& path, std::string* error) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (error) *error = path + ": " + std::strerror(errno);
        return nullptr;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        if (error) *error = path + ": not a regular file";
        ::close(fd);
        return nullptr;
    }
    std::unique_ptr<Reader> r(new Reader());
    r->path_ = path;
    r->size_ = static_cast<size_t>(st.st_size);
    if (r->size_ != 0) {
        void* m = mmap(nullptr, r->size_, PROT_READ, MAP_PRIVATE, fd, 0);
        if (m == MAP_FAILED) {
            if (error) *error = path + ": " + std::strerror(errno);
            ::close(fd);
            return nullptr;
        }
        r->map_ = m;
        r->base_ = static_cast<const uint8_t*>(m);
    }
    ::close(fd);
    std::string why;
    if (!r->Init(&why)) {
        if (error) *error = path + ": " + why;
        return nullptr;
    }
    return r;
}

std::unique_ptr<Reader> Reader::FromBytes(const void* data, size_t size, std::string* error) {
    std::unique_ptr<Reader> r(new Reader());
    r->path_ = "(bytes)";
    r->base_ = static_cast<const uint8_t*>(data);
    r->size_ = size;
    if (!r->Init(error)) return nullptr;
    return r;
}

Reader::~Reader() {
    if (map_ != nullptr) munmap(map_, size_);
}

bool Reader::Init(std::string* error) {
    auto fail = [error](const std::string& why) {
        if (error) *error = why;
        return false;
    };
    if (size_ < sizeof header_) return fail("not a trace (shorter than its 64-byte header)");
    std::memcpy(&header_, base_, sizeof header_);
    if (std::memcmp(header_.magic, kMagic, sizeof kMagic) != 0) return fail("not a trace (no KESTTRC magic)");
    if (header_.header_crc != kest_rec::Crc32c(&header_, offsetof(FileHeader, header_crc)))
        return fail("the trace's header fails its CRC-32C");
    if (header_.version > kFormatVersion)
        return fail("trace version " + std::to_string(header_.version) + " is newer than this reader's " +
                    std::to_string(kFormatVersion));
    if (header_.version == 0) return fail("trace version 0 is not a version");
    if (header_.header_bytes < sizeof header_ || header_.header_bytes > size_)
        return fail("header_bytes " + std::to_string(header_.header_bytes) + " is not a header size");
    if (header_.quote_mode > static_cast<uint16_t>(QuoteMode::kSummary))
        return fail("quote_mode " + std::to_string(header_.quote_mode) + " is not a mode");
    offset_ = header_.header_bytes;
    t_ns_ = header_.started_monotonic_ns;
    return true;
}

bool Reader::Damage(const std::string& what) {
    problem_ = "block " + std::to_string(block_no_) + " at offset " + std::to_string(offset_) + ": " + what;
    done_ = true;
    return false;
}

bool Reader::LoadBlock() {
    if (offset_ == size_) {
        done_ = true;
        return false;
    }
    if (size_ - offset_ < sizeof(BlockHeader)) {
        trailing_ = size_ - offset_;
        done_ = true;
        return false;
    }
    BlockHeader h;
    std::memcpy(&h, base_ + offset_, sizeof h);
    if (std::memcmp(h.magic, kBlockMagic, sizeof h.magic) != 0) return Damage("no block magic");
    if (h.header_crc != kest_rec::Crc32c(reinterpret_cast<const char*>(&h) + 8, sizeof h - 8))
        return Damage("block header fails its CRC-32C");
    if (h.block_no != block_no_)
        return Damage("block number " + std::to_string(h.block_no) + " out of order");
    if (h.first_entry != number_)
        return Damage("first entry " + std::to_string(h.first_entry) + " out of order");
    if (h.entries == 0) return Damage("no entries");
    if (h.codec > kCodecZstd) return Damage("codec " + std::to_string(h.codec) + " unknown");
    if (h.raw_bytes > kBlockBytes + kMaxEntryData + 128) return Damage("raw size too large");
    if (h.codec == kCodecNone && h.stored_bytes != h.raw_bytes) return Damage("sizes disagree");
    if (size_ - offset_ - sizeof h < h.stored_bytes) {
        trailing_ = size_ - offset_;
        done_ = true;
        return false;
    }
    const uint8_t* stored = base_ + offset_ + sizeof h;
    if (h.data_crc != kest_rec::Crc32c(stored, h.stored_bytes)) return Damage("block data fails its CRC-32C");
    block_.resize(h.raw_bytes);
    if (h.codec == kCodecNone) {
        if (h.raw_bytes) std::memcpy(block_.data(), stored, h.raw_bytes);
    } else {
        const size_t n = ZSTD_decompress(block_.data(), block_.size(), stored, h.stored_bytes);
        if (ZSTD_isError(n) || n != h.raw_bytes) return Damage("block does not decompress to its raw size");
    }
    offset_ += sizeof h + h.stored_bytes;
    ++block_no_;
    pos_ = 0;
    left_ = h.entries;
    t_ns_ = h.first_t_ns;
    return true;
}

bool Reader::Next(Call& c) {
    if (done_) return false;
    if (left_ == 0) {
        if (pos_ != block_.size()) return Damage("bytes after the block's last entry");
        if (!LoadBlock()) return false;
    }
    const uint8_t* p = block_.data() + pos_;
    const uint8_t* end = block_.data() + block_.size();
    // The block's position is still the one just read: name it in a problem.
    auto bad = [this](const std::string& what) {
        --block_no_;
        return Damage("entry " + std::to_string(number_) + ": " + what);
    };
    if (end - p < 2) return bad("cut short");
    const uint8_t fn = *p++;
    const uint8_t flags = *p++;
    if (fn >= kFnCount) return bad("kind " + std::to_string(fn) + " unknown");
    if (flags & ~3u) return bad("flags unknown");
    const FnInfo& info = Info(static_cast<Fn>(fn));
    uint64_t v;
    if (!GetVarint(p, end, v)) return bad("cut short");
    const int64_t dt = UnZigZag(v);
    if (!GetVarint(p, end, v)) return bad("cut short");
    c.rc = UnZigZag(v);
    c.err = 0;
    if (flags & 1) {
        if (!GetVarint(p, end, v)) return bad("cut short");
        const int64_t e = UnZigZag(v);
        if (e == 0 || e < INT32_MIN || e > INT32_MAX) return bad("errno out of range");
        c.err = static_cast<int32_t>(e);
    }
    for (int i = 0; i < kMaxArgs; ++i) c.arg[i] = 0;
    for (int i = 0; i < info.args; ++i)
        if (!GetVarint(p, end, c.arg[i])) return bad("cut short");
    c.data.clear();
    if (flags & 2) {
        if (!info.has_data) return bad("data on an entry that has none");
        if (!GetVarint(p, end, v)) return bad("cut short");
        if (v == 0 || v > kMaxEntryData || v > static_cast<uint64_t>(end - p))
            return bad("data size out of range");
        c.data.assign(reinterpret_cast<const char*>(p), static_cast<size_t>(v));
        p += v;
    }
    c.fn = static_cast<Fn>(fn);
    t_ns_ = static_cast<int64_t>(static_cast<uint64_t>(t_ns_) + static_cast<uint64_t>(dt));
    c.t_ns = t_ns_;
    c.number = number_++;
    pos_ = static_cast<size_t>(p - block_.data());
    --left_;
    if (c.fn == Fn::kEnd) saw_end_ = true;
    return true;
}

}  // namespace kest_trace
