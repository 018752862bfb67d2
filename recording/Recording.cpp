// The recording's writer and reader: control path, out of the receiving
// thread's way except for a block write now and then.
#include "recording/Recording.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "crc/Crc32.h"

namespace kest_rec {

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
    return std::string();
}

// ---------------------------------------------------------------- Writer

Writer::Writer(const std::string& path, const WriterOptions& opt)
    : base_(path), opt_(opt), block_(new Entry[kBlockEntries]) {}

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
    if (fd_ >= 0) ::close(fd_);
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
    if (!WriteAll(fd_, &h, sizeof h)) {
        error_ = current_ + ": " + std::strerror(errno);
        failed_ = true;
        return false;
    }
    file_bytes_ = sizeof h;
    file_started_ns_ = now_ns;
    return true;
}

bool Writer::Flush() {
    if (failed_ || fd_ < 0) {
        fill_ = 0;
        return false;
    }
    if (fill_ == 0) return true;
    const size_t bytes = fill_ * sizeof(Entry);
    fill_ = 0;
    size_t done = 0;
    const bool ok = WriteAll(fd_, block_.get(), bytes, &done);
    written_ += done / sizeof(Entry);
    file_bytes_ += done / sizeof(Entry) * sizeof(Entry);
    if (!ok) {
        error_ = current_ + ": " + std::strerror(errno);
        failed_ = true;
        // A cut entry would only be ignored by a reader; say it with the size.
        (void)::ftruncate(fd_, static_cast<off_t>(file_bytes_));
    }
    return ok;
}

void Writer::Spill(int64_t arrival_ns) {
    const bool rotate = RotationDue(arrival_ns);
    Flush();
    if (!rotate || fd_ < 0 || failed_) return;
    ::close(fd_);
    fd_ = -1;
    ++sequence_;
    OpenFile(arrival_ns);
}

// ---------------------------------------------------------------- Reader

std::unique_ptr<Reader> Reader::Open(const std::string& path, std::string* error) {
    auto fail = [&](const std::string& why) {
        if (error != nullptr) *error = path + ": " + why;
        return nullptr;
    };
    std::unique_ptr<Reader> r(new Reader());
    r->file_ = std::fopen(path.c_str(), "rb");
    if (r->file_ == nullptr) return fail(std::strerror(errno));
    struct stat st {};
    if (fstat(fileno(r->file_), &st) != 0) return fail(std::strerror(errno));
    if (S_ISDIR(st.st_mode)) return fail("is a directory");
    FileHeader& h = r->header_;
    if (std::fread(&h, 1, sizeof h, r->file_) != sizeof h) return fail("too short for a recording header");
    if (std::memcmp(h.magic, kMagic, sizeof h.magic) != 0) return fail("not a recording (bad magic)");
    if (h.version > kFormatVersion) {
        return fail("format version " + std::to_string(h.version) + " is newer than this reader's (" +
                    std::to_string(kFormatVersion) + ")");
    }
    const std::string bad = HeaderProblem(h);
    if (!bad.empty()) return fail("header does not describe this format: " + bad);
    const uint64_t size = static_cast<uint64_t>(st.st_size);
    const uint64_t body = size > h.header_bytes ? size - h.header_bytes : 0;
    r->entries_ = body / sizeof(Entry);
    r->trailing_ = body % sizeof(Entry);
    r->buffer_.resize(1 << 20);
    std::setvbuf(r->file_, r->buffer_.data(), _IOFBF, r->buffer_.size());
    return r;
}

Reader::~Reader() {
    if (file_ != nullptr) std::fclose(file_);
}

bool Reader::Next(Entry& out) {
    if (read_ == entries_) return false;
    if (std::fread(&out, 1, sizeof out, file_) != sizeof out) {
        entries_ = read_;  // shrank under us: stop at what was there
        return false;
    }
    ++read_;
    return true;
}

}  // namespace kest_rec
