// The runs of trusted entries of one recording (all its files) in order, and
// the selection of cat and slice.
#pragma once

#include <cinttypes>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "Verbs.h"
#include "recording/Recording.h"
#include "recording/RunReader.h"
#include "recording/TimeWindow.h"

namespace kest_record {

struct Selection {
    std::vector<std::string> contracts;
    kest_rec::TimeWindow window;
    bool Wants(const kest_rec::Entry& e) const {
        return window.Contains(e.arrival_ns) &&
               (contracts.empty() || kest_rec::ContractMatches(e.record.inst_id, contracts));
    }
};

// The runs of trusted entries of one recording (all its files) in order;
// damage and unreadable files are said on standard error as they are met.
class Stream {
public:
    explicit Stream(const std::string& path, const Selection* sel = nullptr)
        : files_(kest_rec::RecordingFiles(path)), sel_(sel) {}
    bool NextRun(const kest_rec::Entry** e, size_t* n) {
        for (;;) {
            if (reader_) {
                const bool got = reader_->NextRun(e, n);
                Report();
                if (got) return true;
            }
            Finish();
            if (next_ == files_.size()) return false;
            std::string error;
            reader_ = kest_rec::RunReader::Open(files_[next_++], &error);
            if (!reader_) {
                std::fprintf(stderr, "%s: %s\n", kTool, error.c_str());
                failed_ = true;
                return false;
            }
            if (next_ == 1) first_ = reader_->Header();
            if (!reader_->IndexProblem().empty()) {
                std::fprintf(stderr, "%s: %s: index damaged: %s\n", kTool, files_[next_ - 1].c_str(),
                             reader_->IndexProblem().c_str());
                ++index_damaged_;
            }
            if (sel_ != nullptr) reader_->Select(sel_->window, sel_->contracts);
        }
    }
    bool failed() const { return failed_; }
    uint64_t trailing() const { return trailing_; }
    // Damaged blocks met so far.
    uint64_t damaged() const { return damaged_ + (reader_ ? reader_->Damages().size() : 0); }
    uint64_t index_damaged() const { return index_damaged_; }  // files whose index is damaged
    uint64_t untrusted() const { return untrusted_; }
    uint64_t blocks_read() const { return blocks_read_ + (reader_ ? reader_->BlocksRead() : 0); }
    const kest_rec::FileHeader& header() const { return first_; }
    // Of the file the last run came from: its exchange clock dates that run's entries.
    const kest_rec::FileHeader& file_header() const { return reader_ ? reader_->Header() : first_; }

private:
    void Finish() {
        if (!reader_) return;
        trailing_ += reader_->TrailingBytes();
        Report();
        damaged_ += reader_->Damages().size();
        reported_ = 0;
        untrusted_ += reader_->Untrusted();
        blocks_read_ += reader_->BlocksRead();
        reader_.reset();
    }
    // Names the damaged blocks the reader has met since the last call: as they
    // are met, so that a verb that stops early has named them.
    void Report() {
        for (; reported_ < reader_->Damages().size(); ++reported_) {
            const kest_rec::Damage& d = reader_->Damages()[reported_];
            std::fprintf(
                stderr, "%s: %s: block %" PRIu64 " at offset %" PRIu64 " (%" PRIu64 " entries) skipped: %s\n",
                kTool, d.file.c_str(), d.block, d.offset, d.entries, d.what.c_str());
        }
    }
    std::vector<std::string> files_;
    const Selection* sel_;
    size_t reported_ = 0;
    uint64_t index_damaged_ = 0;
    size_t next_ = 0;
    std::unique_ptr<kest_rec::RunReader> reader_;
    kest_rec::FileHeader first_{};
    uint64_t trailing_ = 0, damaged_ = 0, untrusted_ = 0, blocks_read_ = 0;
    bool failed_ = false;
};

}  // namespace kest_record
