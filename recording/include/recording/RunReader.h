// Reads one file of a recording, either version, as runs of consecutive
// entries that can be trusted: in version 2 every block's header and stored
// bytes are checked against their CRC-32C before any entry is handed out, and
// a damaged block is skipped, named and counted. The replay pushes the runs
// in batches; kest-record and the tests read through it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "recording/Recording.h"
#include "recording/TimeWindow.h"

namespace kest_rec {

struct Damage {
    std::string file;
    uint64_t block;    // its number in the file (0 is the first block)
    uint64_t offset;   // of its header in the file
    uint64_t entries;  // entries it held; 0 when its header is damaged too and the file has no index
    std::string what;  // "stored bytes fail their CRC-32C", ...
};

// A block as the index or the block headers describe it.
struct BlockRef {
    uint64_t offset;
    uint32_t entries;
    uint32_t stored_bytes;
    int64_t min_ns;
    int64_t max_ns;
    uint64_t block_no;
};

struct ContractCount {
    std::string id;
    uint64_t entries;
};

// Whether a record's contract is in LIST: a whole identifier ("cu2501") or a
// product, the identifier's leading letters ("cu" takes cu2501, cu2502, ...).
bool ContractMatches(const char (&inst_id)[16], const std::vector<std::string>& list);

class RunReader {
public:
    // nullptr with *error set for a file that is not a recording this reader knows.
    static std::unique_ptr<RunReader> Open(const std::string& path, std::string* error);
    ~RunReader();
    RunReader(const RunReader&) = delete;
    RunReader& operator=(const RunReader&) = delete;

    const FileHeader& Header() const { return header_; }
    // The next run of whole trusted entries in file order; the pointer is valid
    // until the next call. false at the end.
    bool NextRun(const Entry** entries, size_t* count);
    const std::vector<Damage>& Damages() const { return damages_; }
    uint64_t Untrusted() const { return untrusted_; }  // entries in damaged blocks skipped so far

    // Entries in the file: version 1 whole entries, version 2 the blocks' counts.
    uint64_t Entries() const { return entries_; }
    // Bytes after the last whole entry (version 1) or in a block cut short at
    // the end (version 2): a recorder stopped in the middle of a write.
    uint64_t TrailingBytes() const { return trailing_; }

    // Version 2: the blocks as found, from the index or from the block headers.
    const std::vector<BlockRef>& Blocks() const { return blocks_; }
    bool HasIndex() const { return has_index_; }                        // the file's own, whole index
    const std::string& IndexProblem() const { return index_problem_; }  // why a present index was not used
    // Entries per contract: from the index, else by reading the whole file
    // (once; the reading position is kept).
    std::vector<ContractCount> Contracts();
    // From now on read only blocks that may hold arrivals in `window` and,
    // with the index, one of `contracts` (see ContractMatches; empty: all).
    // Entries are not filtered: a run can hold others too.
    void Select(const TimeWindow& window, const std::vector<std::string>& contracts);
    uint64_t BlocksRead() const { return blocks_read_; }  // blocks whose bytes were read so far

private:
    RunReader() = default;
    bool OpenV2(std::string* why);
    bool LoadIndex();
    void WalkBlocks();
    const char* Bytes(uint64_t offset, size_t size);  // nullptr past the end of the file
    bool ReadBlock(size_t i);                         // fills run_; false (and a Damage) when damaged
    void Note(size_t i, const std::string& what);

    std::string path_;
    int fd_ = -1;
    uint64_t size_ = 0;
    FileHeader header_{};
    uint64_t entries_ = 0;
    uint64_t trailing_ = 0;
    std::vector<Damage> damages_;
    uint64_t untrusted_ = 0;
    // version 1
    uint64_t v1_next_ = 0;
    // version 2
    std::vector<BlockRef> blocks_;
    std::vector<uint64_t> bitmaps_;  // index: bitmap_words_ per block
    size_t bitmap_words_ = 0;
    std::vector<ContractCount> contracts_;
    bool has_index_ = false;
    uint64_t index_at_ = UINT64_MAX;  // the trailer's index offset, when the trailer is whole
    std::string index_problem_;
    size_t next_block_ = 0;
    uint64_t blocks_read_ = 0;
    TimeWindow window_sel_;
    std::vector<uint64_t> wanted_;  // contract bitmap of the selection; empty: every contract
    // buffers
    std::vector<char> window_;
    uint64_t window_off_ = 0;
    size_t window_len_ = 0;
    std::vector<char> raw_;
    std::unique_ptr<Entry[]> run_;
    const Entry* run_ptr_ = nullptr;  // run_, or the read-ahead itself
    size_t run_capacity_ = 0;
    void* zstd_ = nullptr;  // ZSTD_DCtx
};

}  // namespace kest_rec
