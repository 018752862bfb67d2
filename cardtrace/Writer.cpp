// The trace's writer: entries encoded into a block in memory, the block
// written (compressed when that makes it smaller) with one write(2).
#include <fcntl.h>
#include <unistd.h>
#include <zstd.h>

#include <cerrno>
#include <cstddef>
#include <ctime>

#include "cardtrace/Trace.h"
#include "recording/Recording.h"

namespace kest_trace {
namespace {

// Room kept in every block for the entry that says the limit was reached.
constexpr size_t kLimitRoom = 64;

inline uint8_t* PutVarint(uint8_t* p, uint64_t v) {
    while (v >= 0x80) {
        *p++ = static_cast<uint8_t>(v | 0x80);
        v >>= 7;
    }
    *p++ = static_cast<uint8_t>(v);
    return p;
}
inline uint64_t ZigZag(int64_t v) { return (static_cast<uint64_t>(v) << 1) ^ static_cast<uint64_t>(v >> 63); }

// Fixed part of an entry at most: fn, flags, time, result, errno, four arguments, data size.
constexpr size_t kEntryHead = 2 + 10 + 10 + 10 + kMaxArgs * 10 + 10;

int64_t RealtimeNow() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

}  // namespace

std::unique_ptr<Writer> Writer::Open(const std::string& path, const WriterOptions& opt, std::string* error) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        if (error) *error = path + ": " + std::strerror(errno);
        return nullptr;
    }
    std::unique_ptr<Writer> w(new Writer(fd, nullptr, opt));
    if (w->stopped_) {
        if (error) *error = path + ": " + w->error_;
        return nullptr;
    }
    return w;
}

std::unique_ptr<Writer> Writer::ToString(std::string* sink, const WriterOptions& opt) {
    return std::unique_ptr<Writer>(new Writer(-1, sink, opt));
}

Writer::Writer(int fd, std::string* sink, const WriterOptions& opt)
    : fd_(fd), sink_(sink), opt_(opt), raw_(kBlockBytes) {
    WriteHeader();
    if (!opt_.meta.empty()) {
        const int64_t now = MonotonicNs();
        Add(Fn::kMeta, 0, 0, now, nullptr, opt_.meta.data(), static_cast<uint32_t>(opt_.meta.size()));
    }
}

Writer::~Writer() {
    if (!closed_) {
        const uint64_t none[kMaxArgs] = {};
        Close(last_t_ns_, none);
    }
}

void Writer::WriteHeader() {
    FileHeader h{};
    std::memcpy(h.magic, kMagic, sizeof h.magic);
    h.version = kFormatVersion;
    h.header_bytes = sizeof h;
    h.quote_mode = static_cast<uint16_t>(opt_.quote_mode);
    h.pid = static_cast<uint32_t>(getpid());
    h.block_bytes = kBlockBytes;
    h.started_realtime_ns = RealtimeNow();
    h.started_monotonic_ns = MonotonicNs();
    h.max_bytes = opt_.max_bytes;
    h.header_crc = kest_rec::Crc32c(&h, offsetof(FileHeader, header_crc));
    if (!Emit(&h, sizeof h)) stopped_ = true;
}

bool Writer::Emit(const void* p, size_t n) {
    if (sink_ != nullptr) {
        sink_->append(static_cast<const char*>(p), n);
        bytes_ += n;
        return true;
    }
    const char* c = static_cast<const char*>(p);
    while (n > 0) {
        const ssize_t w = ::write(fd_, c, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            error_ = std::strerror(errno);
            return false;
        }
        c += w;
        n -= static_cast<size_t>(w);
        bytes_ += static_cast<uint64_t>(w);
    }
    return true;
}

void Writer::Encode(Fn fn, int64_t rc, int32_t err, int64_t t_ns, const uint64_t* args, const void* data,
                    uint32_t size) {
    const FnInfo& info = Info(fn);
    if (!info.has_data) size = 0;
    if (entries_ == 0) {
        first_t_ns_ = t_ns;
        last_t_ns_ = t_ns;
        first_entry_ = next_number_;
    }
    if (raw_.size() < fill_ + kEntryHead + size) raw_.resize(fill_ + kEntryHead + size);
    uint8_t* p = raw_.data() + fill_;
    *p++ = static_cast<uint8_t>(fn);
    *p++ = static_cast<uint8_t>((err != 0 ? 1 : 0) | (size != 0 ? 2 : 0));
    p = PutVarint(
        p, ZigZag(static_cast<int64_t>(static_cast<uint64_t>(t_ns) - static_cast<uint64_t>(last_t_ns_))));
    p = PutVarint(p, ZigZag(rc));
    if (err != 0) p = PutVarint(p, ZigZag(err));
    for (int i = 0; i < info.args; ++i) p = PutVarint(p, args[i]);
    if (size != 0) {
        p = PutVarint(p, size);
        std::memcpy(p, data, size);
        p += size;
    }
    fill_ = static_cast<size_t>(p - raw_.data());
    last_t_ns_ = t_ns;
    ++entries_;
    ++next_number_;
}

void Writer::Add(Fn fn, int64_t rc, int32_t err, int64_t t_ns, const uint64_t* args, const void* data,
                 uint32_t size) {
    if (stopped_ || closed_) {
        ++dropped_;
        return;
    }
    if (size > kMaxEntryData) size = kMaxEntryData;
    if (fill_ != 0 && fill_ + kEntryHead + size > kBlockBytes) Flush();
    if (opt_.max_bytes != 0 &&
        bytes_ + sizeof(BlockHeader) + fill_ + kEntryHead + size + kLimitRoom + sizeof(BlockHeader) >
            opt_.max_bytes) {
        // The limit entry goes into a block of its own, so that it fits whatever the codec does.
        Flush();
        const uint64_t limit[kMaxArgs] = {opt_.max_bytes};
        Encode(Fn::kLimit, 0, 0, t_ns, limit, nullptr, 0);
        Flush();
        stopped_ = true;
        ++dropped_;
        return;
    }
    Encode(fn, rc, err, t_ns, args, data, size);
    if (fill_ >= kBlockBytes) Flush();
}

bool Writer::Flush() {
    if (entries_ == 0) return true;
    BlockHeader h{};
    std::memcpy(h.magic, kBlockMagic, sizeof h.magic);
    h.block_no = block_no_++;
    h.entries = entries_;
    h.first_entry = first_entry_;
    h.first_t_ns = first_t_ns_;
    h.raw_bytes = static_cast<uint32_t>(fill_);
    const void* stored = raw_.data();
    h.stored_bytes = static_cast<uint32_t>(fill_);
    h.codec = kCodecNone;
    if (opt_.compress) {
        const size_t bound = ZSTD_compressBound(fill_);
        if (packed_.size() < bound) packed_.resize(bound);
        const size_t n = ZSTD_compress(packed_.data(), packed_.size(), raw_.data(), fill_, 1);
        if (!ZSTD_isError(n) && n < fill_) {
            stored = packed_.data();
            h.stored_bytes = static_cast<uint32_t>(n);
            h.codec = kCodecZstd;
        }
    }
    h.data_crc = kest_rec::Crc32c(stored, h.stored_bytes);
    h.header_crc = kest_rec::Crc32c(reinterpret_cast<const char*>(&h) + 8, sizeof h - 8);
    // One write: header and data together, so that a cut file ends in at most one part-block.
    std::string block(sizeof h + h.stored_bytes, '\0');
    std::memcpy(&block[0], &h, sizeof h);
    std::memcpy(&block[sizeof h], stored, h.stored_bytes);
    fill_ = 0;
    entries_ = 0;
    if (!Emit(block.data(), block.size())) {
        stopped_ = true;
        return false;
    }
    return true;
}

void Writer::Close(int64_t t_ns, const uint64_t* end_args) {
    if (closed_) return;
    if (!stopped_) {
        uint64_t args[kMaxArgs] = {};
        for (int i = 0; i < kMaxArgs; ++i) args[i] = end_args[i];
        args[2] += dropped_;
        Encode(Fn::kEnd, 0, 0, t_ns < last_t_ns_ ? last_t_ns_ : t_ns, args, nullptr, 0);
        Flush();
    }
    closed_ = true;
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

}  // namespace kest_trace
