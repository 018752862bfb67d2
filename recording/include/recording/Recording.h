// A recording of one channel's quote stream as the receiver saw it: a file
// header, then per record its arrival time and the 152 record bytes exactly
// as delivered. Layout and rules: recording/FORMAT.md. Shared by the receive
// tool (writer), the card model's replay and kest-record (readers); the
// Python reader (python/kest_records) follows the same layout.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "KestShfeMdStruct.h"

namespace kest_rec {

constexpr char kMagic[8] = {'K', 'E', 'S', 'T', 'R', 'E', 'C', '\0'};
constexpr uint16_t kFormatVersion = 2;  // what the writer writes; readers read 1 and 2
constexpr uint32_t kClockRealtime = 1;  // CLOCK_REALTIME: nanoseconds since 1970-01-01T00:00:00Z
constexpr uint32_t kChannels = 16;      // a card's processing channels

// 64 bytes, little-endian, at offset 0 of every file of a recording.
struct FileHeader {
    char magic[8];           // kMagic
    uint16_t version;        // kFormatVersion; a reader refuses a newer one
    uint16_t header_bytes;   // 64: records start here
    uint16_t record_bytes;   // 152: sizeof(KestShfeMdType)
    uint16_t entry_bytes;    // 160: arrival time + record
    uint32_t channel;        // the recorder's channel (its configuration's device)
    uint32_t config_crc;     // CRC-32C (seed 0, no inversion) of the recorder's configuration file
    uint32_t clock;          // kClockRealtime
    uint32_t sequence;       // 0 for the first file of a recording, +1 at each rotation
    int64_t started_ns;      // when this file was opened, on `clock`
    uint32_t block_entries;  // version 2: most entries a block holds; version 1: zero
    // The exchange's clock where it is not the host's (a card model's
    // simulated clock), as a line through one second of `clock`; all zero
    // where the exchange keeps the host's time (ExchangeClock.h reads them).
    uint32_t exchange_anchor_s;    // a second of `clock`, since 1970; 0: no line
    int64_t exchange_anchor_ns;    // the exchange's time then, nanoseconds since 1970 (UTC)
    uint32_t exchange_rate_milli;  // exchange seconds per 1000 s of `clock`
    uint32_t header_crc;           // version 2: CRC-32C of bytes 0..59; version 1: zero
};
static_assert(sizeof(FileHeader) == 64, "file header is 64 bytes");
static_assert(offsetof(FileHeader, version) == 8, "version at 8");
static_assert(offsetof(FileHeader, channel) == 16, "channel at 16");
static_assert(offsetof(FileHeader, config_crc) == 20, "config_crc at 20");
static_assert(offsetof(FileHeader, clock) == 24, "clock at 24");
static_assert(offsetof(FileHeader, sequence) == 28, "sequence at 28");
static_assert(offsetof(FileHeader, started_ns) == 32, "started_ns at 32");
static_assert(offsetof(FileHeader, exchange_anchor_s) == 44 &&
                  offsetof(FileHeader, exchange_anchor_ns) == 48 &&
                  offsetof(FileHeader, exchange_rate_milli) == 56,
              "the exchange's clock in bytes 44 to 59");

// Version 2: every block starts with this header; the stored bytes follow.
constexpr char kBlockMagic[4] = {'K', 'B', 'L', 'K'};
enum BlockCodec : uint16_t {
    kCodecNone = 0,  // the entries as they are
    kCodecZstd =
        1,  // zstd of the entries, arrivals as differences, byte-shuffled (byte k of every entry, ...)
};
struct BlockHeader {
    char magic[4];          // kBlockMagic
    uint32_t header_crc;    // CRC-32C of bytes 8..63
    uint32_t entries;       // whole entries in the block
    uint16_t codec;         // BlockCodec
    uint16_t reserved0;     // zero
    uint32_t raw_bytes;     // entries * 160
    uint32_t stored_bytes;  // bytes after this header
    int64_t first_ns;       // arrival of the first entry
    int64_t last_ns;        // arrival of the last entry
    uint32_t data_crc;      // CRC-32C of the stored bytes
    uint32_t block_no;      // 0, 1, 2, ... in the file
    int64_t min_ns;         // earliest arrival in the block (the clock may step back)
    int64_t max_ns;         // latest arrival in the block
};
static_assert(sizeof(BlockHeader) == 64, "block header is 64 bytes");

// The index at the end of a closed version 2 file: an IndexHeader, the
// contracts, the blocks with their contract bitmaps, then the trailer as the
// file's last 16 bytes.
constexpr char kIndexMagic[4] = {'K', 'I', 'D', 'X'};
constexpr char kTrailerMagic[8] = {'K', 'E', 'S', 'T', 'E', 'N', 'D', '\0'};
struct IndexHeader {
    char magic[4];          // kIndexMagic
    uint32_t crc;           // CRC-32C of everything after this field up to the trailer
    uint32_t blocks;        // block records that follow the contracts
    uint32_t contracts;     // contract records
    uint64_t entries;       // in all blocks
    uint32_t bitmap_bytes;  // per block: bit c set when contract c has an entry in it; a multiple of 8
    uint32_t reserved;
};
static_assert(sizeof(IndexHeader) == 32, "index header is 32 bytes");
struct IndexContract {
    char inst_id[16];  // as in the records
    uint64_t entries;
};
struct IndexBlock {
    uint64_t offset;  // of its BlockHeader
    uint32_t entries;
    uint32_t stored_bytes;
    int64_t min_ns;
    int64_t max_ns;
};
static_assert(sizeof(IndexBlock) == 32, "index block is 32 bytes");
struct Trailer {
    uint64_t index_offset;  // of the IndexHeader
    char magic[8];          // kTrailerMagic
};

// CRC-32C as storage formats use it (initial and final inversion: the
// checksum of "123456789" is 0xE3069283), continued from `crc`.
uint32_t Crc32c(const void* data, size_t size, uint32_t crc = 0);

struct Entry {
    int64_t arrival_ns;  // on the header's clock, taken when the record reached the application
    KestShfeMdType record;
};
static_assert(sizeof(Entry) == 160, "entry is 160 bytes");
static_assert(offsetof(Entry, record) == 8, "record at 8");

int64_t RealtimeNs();  // the recording clock now

// The files of a recording in order: PATH, then PATH.1, PATH.2, ... as far as
// rotation made them.
std::vector<std::string> RecordingFiles(const std::string& path);

// CRC-32C of a whole file as the library computes it for its configuration
// (seed 0, no final inversion). false if the file cannot be read.
bool FileCrc32c(const std::string& path, uint32_t& crc);

// What makes a header not one of this format, naming the field ("field
// channel is 200, not a channel (0..15)"); empty when it is one.
std::string HeaderProblem(const FileHeader& h);

struct WriterOptions {
    uint32_t channel = 0;
    uint32_t config_crc = 0;
    uint64_t rotate_bytes = 0;  // start a new file once a file would pass this size; 0: never
    int64_t rotate_ns = 0;      // start a new file once a file spans this long; 0: never
    bool compress = false;      // zstd per block
    int zstd_level = 1;
    // Where the exchange's clock is not the host's: fills the header's three
    // exchange fields for a file whose first block starts at first_ns, or
    // returns false (the host's clock). Asked when that block is written:
    // quotes flow by then, and a simulated clock runs from the card's start.
    std::function<bool(int64_t first_ns, FileHeader& h)> exchange_clock;
};

struct IndexBuilder;

// Writes a recording in blocks of whole entries, so a recorder killed at any
// moment leaves a readable file that lacks at most the block being filled.
// Files after a rotation are named PATH.1, PATH.2, ...
class Writer {
public:
    static constexpr uint32_t kBlockEntries = 256;             // uncompressed: 40 KiB a write
    static constexpr uint32_t kCompressedBlockEntries = 4096;  // zstd needs room to find repeats

    // nullptr with *error set when the file cannot be created.
    static std::unique_ptr<Writer> Open(const std::string& path, const WriterOptions& opt,
                                        std::string* error);
    ~Writer();  // flushes
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    // The receiving thread's path: a copy into the block; a write(2) only
    // when the block is full (at once: a full block does not wait for the
    // next record to be written) or a rotation is due.
    void Append(int64_t arrival_ns, const KestShfeMdType& record) {
        if (RotationDue(arrival_ns)) Rotate(arrival_ns);
        Entry& e = entries_[fill_++];
        e.arrival_ns = arrival_ns;
        std::memcpy(&e.record, &record, sizeof record);
        ++records_;
        if (fill_ == block_entries_) Flush();
    }
    // Writes what the block holds as one block (one write(2)). false (and error()) on a write failure:
    // the file is then cut back to its whole entries and nothing more is
    // written (a later write could leave a hole of lost entries mid-file).
    bool Flush();
    // Flushes if the oldest unwritten entry arrived more than max_age_ns ago.
    void FlushIfOlder(int64_t now_ns, int64_t max_age_ns) {
        if (fill_ != 0 && now_ns - entries_[0].arrival_ns > max_age_ns) Flush();
    }

    uint64_t Records() const { return records_; }     // appended
    uint64_t Written() const { return written_; }     // whole entries that reached a file
    uint64_t StoredBytes() const { return stored_; }  // block bytes written, headers included
    bool Failed() const { return failed_; }
    uint32_t Files() const { return sequence_ + 1; }
    const std::string& CurrentPath() const { return current_; }
    const std::string& error() const { return error_; }

private:
    Writer(const std::string& path, const WriterOptions& opt);
    bool OpenFile(int64_t now_ns);
    void CloseFile();  // the index, then close
    bool RotationDue(int64_t arrival_ns) const {
        return (opt_.rotate_ns > 0 && arrival_ns - file_started_ns_ >= opt_.rotate_ns) ||
               (opt_.rotate_bytes > 0 &&
                file_bytes_ + sizeof(BlockHeader) + (fill_ + 1) * sizeof(Entry) > opt_.rotate_bytes);
    }
    void Rotate(int64_t arrival_ns);  // the block, then the next file; out of line: not on every record
    bool StampExchangeClock();        // the file's header again, with the exchange's clock

    std::string base_;
    std::string current_;
    WriterOptions opt_;
    int fd_ = -1;
    uint32_t sequence_ = 0;
    uint64_t file_bytes_ = 0;
    static constexpr int64_t kReserveBytes = 8 << 20;
    uint64_t reserved_ = 0;  // the file's room, its blocks reserved past its end
    bool reserve_ = true;    // false once the file system refused to reserve
    int64_t file_started_ns_ = 0;
    FileHeader header_{};  // of the file being written
    uint64_t records_ = 0;
    uint64_t written_ = 0;
    bool failed_ = false;
    uint32_t fill_ = 0;
    uint32_t block_entries_;
    uint64_t stored_ = 0;
    std::string error_;
    std::unique_ptr<uint64_t[]> buffer_;  // BlockHeader, then the entries
    Entry* entries_ = nullptr;
    std::vector<char> packed_;  // shuffled, then compressed
    std::unique_ptr<IndexBuilder> index_;
    void* zstd_ = nullptr;  // ZSTD_CCtx
};

class RunReader;

// Reads one file of a recording (either version), entry by entry: the
// entries of damaged blocks are skipped (RunReader says which).
class Reader {
public:
    // nullptr with *error set for a file that is not a recording this reader knows.
    static std::unique_ptr<Reader> Open(const std::string& path, std::string* error);
    ~Reader();
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

    const FileHeader& Header() const { return header_; }
    uint64_t Entries() const;  // whole entries in the file (version 2: in blocks that look whole)
    // Bytes after the last whole entry or block: a recorder stopped in the
    // middle of a block write. They are ignored.
    uint64_t TrailingBytes() const;
    bool Next(Entry& out);  // false after the last trusted entry
    RunReader& Runs() { return *runs_; }

private:
    Reader() = default;
    std::unique_ptr<RunReader> runs_;
    FileHeader header_{};
    const Entry* run_ = nullptr;
    size_t left_ = 0;
};

}  // namespace kest_rec
