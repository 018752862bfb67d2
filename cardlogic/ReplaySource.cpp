// Recordings of format version 1 are mapped into memory: the entries follow
// the 64-byte header back to back, so a run is a pointer into the mapping. The
// kernel reads ahead of a sequential mapping; the replay copies each entry
// once, into the ring. Version 2 files come through the recording's own
// reader, which checks every block before it hands out its entries and skips
// (and names) a damaged one.
#include "cardlogic/ReplaySource.h"

#include <fcntl.h>
#include <glob.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>

#include "recording/RunReader.h"

namespace kest_cardlogic {

namespace {

// Entries per run: a few MiB, so that a stop request or a paced wait is seen
// between runs and a filter's spans stay long.
constexpr size_t kRunEntries = 1u << 15;

class MappedFiles : public ReplaySource {
public:
    explicit MappedFiles(std::vector<std::string> files) : files_(std::move(files)) {}
    ~MappedFiles() override { Unmap(); }

    void Select(const kest_rec::TimeWindow& window, const std::vector<std::string>& contracts) override {
        window_ = window;
        contracts_ = contracts;
        selected_ = true;
    }

    bool NextRun(const kest_rec::Entry** entries, size_t* count) override {
        while (next_ == end_) {
            if (runs_ != nullptr) {
                if (runs_->NextRun(entries, count)) {
                    handed_out_ += *count;
                    return true;
                }
                EndOfBlocks();
                continue;
            }
            Unmap();
            if (!error_.empty() || file_ == files_.size() || !Map(files_[file_++])) return false;
            if (runs_ != nullptr) continue;
        }
        const size_t n = std::min<size_t>(kRunEntries, static_cast<size_t>(end_ - next_));
        *entries = next_;
        *count = n;
        next_ += n;
        return true;
    }
    uint64_t Skipped() const override { return skipped_; }
    uint64_t PassedOver() const override { return passed_over_; }
    uint64_t TrailingBytes() const override { return trailing_; }
    const std::string& Error() const override { return error_; }

private:
    // A version 2 file is done: what it could not trust is counted and named
    // once, on standard error, as kest-record names it.
    void EndOfBlocks() {
        for (const kest_rec::Damage& d : runs_->Damages()) {
            std::fprintf(stderr, "%s: block %llu at offset %llu: %s; its %llu entries skipped\n",
                         d.file.c_str(), static_cast<unsigned long long>(d.block),
                         static_cast<unsigned long long>(d.offset), d.what.c_str(),
                         static_cast<unsigned long long>(d.entries));
        }
        skipped_ += runs_->Untrusted();
        trailing_ += runs_->TrailingBytes();
        const uint64_t accounted = handed_out_ + runs_->Untrusted();
        if (runs_->Entries() > accounted) passed_over_ += runs_->Entries() - accounted;
        handed_out_ = 0;
        runs_.reset();
    }

    bool Map(const std::string& path) {
        // The header's checks and their messages are the recording's own.
        std::unique_ptr<kest_rec::RunReader> reader = kest_rec::RunReader::Open(path, &error_);
        if (!reader) return false;
        if (reader->Header().version != 1) {
            if (selected_) reader->Select(window_, contracts_);
            runs_ = std::move(reader);
            return true;
        }
        const uint64_t entries = reader->Entries();
        trailing_ += reader->TrailingBytes();
        skipped_ += reader->TrailingBytes() != 0;
        const size_t header = reader->Header().header_bytes;
        reader.reset();
        if (entries == 0) return true;
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            error_ = path + ": " + std::strerror(errno);
            return false;
        }
        bytes_ = header + entries * sizeof(kest_rec::Entry);
        void* base = ::mmap(nullptr, bytes_, PROT_READ, MAP_PRIVATE, fd, 0);
        const int e = errno;
        ::close(fd);
        if (base == MAP_FAILED) {
            error_ = path + ": " + std::strerror(e);
            return false;
        }
        ::madvise(base, bytes_, MADV_SEQUENTIAL);
        ::madvise(base, bytes_, MADV_WILLNEED);
        base_ = base;
        // Entries are 8-byte aligned: the header is 64 bytes, an entry 160.
        next_ = reinterpret_cast<const kest_rec::Entry*>(static_cast<const uint8_t*>(base) + header);
        end_ = next_ + entries;
        return true;
    }
    void Unmap() {
        if (base_ != nullptr) ::munmap(base_, bytes_);
        base_ = nullptr;
        next_ = end_ = nullptr;
    }

    std::vector<std::string> files_;
    size_t file_ = 0;
    void* base_ = nullptr;
    size_t bytes_ = 0;
    const kest_rec::Entry* next_ = nullptr;
    const kest_rec::Entry* end_ = nullptr;
    std::unique_ptr<kest_rec::RunReader> runs_;  // the file being read, when it is not mapped
    bool selected_ = false;
    kest_rec::TimeWindow window_;
    std::vector<std::string> contracts_;
    uint64_t handed_out_ = 0;  // entries of the file in runs_ handed out so far
    uint64_t passed_over_ = 0;
    uint64_t skipped_ = 0;
    uint64_t trailing_ = 0;
    std::string error_;
};

bool IsRotation(const std::string& path, const std::set<std::string>& names) {
    const size_t dot = path.rfind('.');
    if (dot == std::string::npos || dot + 1 == path.size()) return false;
    for (size_t i = dot + 1; i < path.size(); ++i)
        if (path[i] < '0' || path[i] > '9') return false;
    return names.count(path.substr(0, dot)) != 0;
}

}  // namespace

std::unique_ptr<ReplaySource> ReplaySource::Open(std::vector<std::string> files) {
    return std::unique_ptr<ReplaySource>(new MappedFiles(std::move(files)));
}

std::vector<std::string> ReplayFiles(const std::vector<std::string>& names, std::string* error) {
    std::vector<std::string> out;
    std::set<std::string> listed;
    for (const std::string& name : names) {
        std::vector<std::string> matches;
        glob_t g{};
        if (::glob(name.c_str(), GLOB_NOSORT, nullptr, &g) == 0) {
            for (size_t i = 0; i < g.gl_pathc; ++i) matches.emplace_back(g.gl_pathv[i]);
        }
        ::globfree(&g);
        // A name that is no pattern (or matches nothing as one) is taken as it
        // stands: opening it says what is wrong with it.
        if (matches.empty()) {
            if (name.find_first_of("*?[") != std::string::npos) {
                if (error != nullptr) *error = name + ": no file matches";
                return {};
            }
            matches.push_back(name);
        }
        std::sort(matches.begin(), matches.end());
        // PATH.1, PATH.2, ... come after PATH in rotation order (not name
        // order, where PATH.10 sorts before PATH.2).
        const std::set<std::string> matched(matches.begin(), matches.end());
        for (const std::string& m : matches) {
            if (IsRotation(m, matched)) continue;
            for (const std::string& f : kest_rec::RecordingFiles(m)) {
                if (listed.insert(f).second) out.push_back(f);
            }
        }
    }
    return out;
}

}  // namespace kest_cardlogic
