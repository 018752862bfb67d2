// A trace of the conversation between a process and the card's library
// (libenyx-hw-c.so.5): every call in order with its arguments, its result,
// errno on failure, a monotonic time and, for DMA, the message bytes.
// Layout and rules: cardtrace/FORMAT.md. Written by the tracing library,
// read by the replay library and kest-trace.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace kest_trace {

constexpr char kMagic[8] = {'K', 'E', 'S', 'T', 'T', 'R', 'C', '\0'};
constexpr uint16_t kFormatVersion = 1;  // what the writer writes; a reader refuses a newer one
constexpr char kBlockMagic[4] = {'K', 'T', 'B', 'K'};
constexpr uint32_t kBlockBytes = 64 * 1024;    // entries collected before a block is written
constexpr uint32_t kMaxEntryData = 16u << 20;  // the most bytes one entry carries
constexpr uint32_t kDmaQuote = 1;
// Exit status of a process whose tracing or replay library is not set up
// (no target, a target that does not load, no trace to replay).
constexpr int kSetupExit = 78;
// Says "WHO: WHY" on stderr in one line and ends the process with kSetupExit.
[[noreturn]] void SetupFailed(const char* who, const std::string& why);
// A quote summary is written out once it spans this long, so that a trace
// left on shows the day's progress and a killed process loses at most this.
constexpr int64_t kSummarySpanNs = 60'000'000'000;
// A block is written once its first entry is this old.
constexpr int64_t kBlockAgeNs =
    1'000'000'000;  // message kind of a quote record (the first word of a DMA message)

enum class QuoteMode : uint16_t {
    kAll = 0,      // every quote message stored
    kSummary = 1,  // once the card's logic runs: per stream count, first and last
};

// Every entry kind. The enyx_hw_* calls carry the name of the function; the
// others describe the trace itself. Arguments, in the order of Arg():
enum class Fn : uint8_t {
    kMeta = 0,  // data: "key=value" lines (target library, host, quote mode)
    kFilterCreate,
    kFilterDestroy,
    kFilterSetIndex,
    kFilterSetName,          // data: the name
    kEnumerateAccelerators,  // data: the descriptors' handles (uint32 each)
    kFreeAcceleratorDescriptors,
    kAcceleratorGet,
    kEnumerateMmios,  // data: handles
    kFreeMmioDescriptors,
    kMmioCreate,
    kMmioDestroy,
    kEnumerateCores,
    kDestroyTree,
    kCoreTreeGetRoot,
    kCoreReset,
    kCoreEnumerate,  // data: the cores' handles
    kCoreLock,
    kCoreUnlock,
    kRead,
    kWrite,
    kEnumerateA2c,  // data: handles
    kA2cCreate,
    kFreeA2cDescriptors,
    kA2cGetMtu,
    kA2cPoll,  // a poll that delivered a message; data: the message
    kA2cDestroy,
    kEnumerateC2a,  // data: handles
    kC2aCreate,
    kFreeC2aDescriptors,
    kC2aGetMtu,
    kC2aSend,  // data: the bytes sent
    kC2aDestroy,
    kPollResult,    // a poll whose result its kA2cPoll entry (or its absence) does not tell
    kQuoteSummary,  // data: uint32 size of the first message, the first, then the last
    kLimit,         // the size limit stopped the trace here
    kEnd,           // the trace was closed
    kCount
};
constexpr int kFnCount = static_cast<int>(Fn::kCount);
constexpr int kMaxArgs = 4;

// How an argument is shown.
enum class ArgKind : uint8_t { kHandle, kNumber, kRegister, kBits, kHex, kTime };

struct ArgInfo {
    const char* name;
    ArgKind kind;
};

struct FnInfo {
    const char* name;  // the library's function name, or the entry's own
    uint8_t args;      // arguments stored
    ArgInfo arg[kMaxArgs];
    bool returns_handle;  // the result is a handle (0: the call returned NULL)
    bool has_data;        // entries may carry bytes
};
const FnInfo& Info(Fn fn);
// Fn of a function name ("enyx_hw_write" or "write"); false when none is.
bool FnByName(const std::string& name, Fn& fn);
// Whether the entry is a call into the library (not one about the trace).
inline bool IsCall(Fn fn) { return fn != Fn::kMeta && fn < Fn::kPollResult; }

// Register description as an argument: bit offset in the low byte, width above it.
inline uint64_t Bits(uint8_t offset, uint8_t size) { return uint64_t{offset} | (uint64_t{size} << 8); }

// One entry as read back.
struct Call {
    uint64_t number = 0;  // 1 for the first entry of the trace
    Fn fn = Fn::kMeta;
    int64_t rc = 0;    // result; for handle-returning functions the handle (0: NULL)
    int32_t err = 0;   // errno when the call failed, else 0
    int64_t t_ns = 0;  // CLOCK_MONOTONIC
    uint64_t arg[kMaxArgs] = {};
    std::string data;
};

// Whether the call failed by the library's conventions (rc non-zero, or
// negative for counts, or a NULL handle).
bool Failed(Fn fn, int64_t rc);
// "enyx_hw_write(core #5, reg 0x03000 32/0, value 0x1) = 0": the call with
// its arguments and result, as dump, diff and the replay's departure show it.
std::string Describe(const Call& c);
// The arguments alone ("core #5, reg 0x03000 32/0, value 0x1", the data's size and first bytes).
std::string DescribeArgs(const Call& c);
// Two entries are the same call: function, arguments, result, errno, data (not the time).
bool SameCall(const Call& a, const Call& b);
// The register number of a read or write (its byte address / 4).
inline uint32_t RegisterOf(const Call& c) { return static_cast<uint32_t>(c.arg[1] / 4); }
// The arguments of a call that the caller gives (the rest are what the
// library answers: a read's value, an MTU, the poll's count of empty polls).
int InputArgs(Fn fn);
// Whether the entry's data is given by the caller (a name, bytes sent).
inline bool InputData(Fn fn) { return fn == Fn::kFilterSetName || fn == Fn::kC2aSend; }
// A running FNV-1a 64 over the register writes (byte address, value), so
// that two runs' writes compare by one number.
constexpr uint64_t kWritesHashSeed = 0xcbf29ce484222325ull;
inline uint64_t MixWrite(uint64_t h, uint64_t address, uint64_t value) {
    for (uint64_t v : {address, value})
        for (int i = 0; i < 8; ++i) h = (h ^ ((v >> (8 * i)) & 0xFF)) * 0x100000001b3ull;
    return h;
}
// First word of a DMA message (kind), 0xFFFFFFFF when shorter.
uint32_t MessageKind(const std::string& data);

// 64 bytes at offset 0.
struct FileHeader {
    char magic[8];          // kMagic
    uint16_t version;       // kFormatVersion
    uint16_t header_bytes;  // 64: blocks start here
    uint16_t quote_mode;    // QuoteMode
    uint16_t reserved0;
    uint32_t pid;          // the traced process
    uint32_t block_bytes;  // the most raw bytes a block holds
    int64_t started_realtime_ns;
    int64_t started_monotonic_ns;  // the same instant on the entries' clock
    uint64_t max_bytes;            // the size limit (0: none)
    uint8_t reserved[12];
    uint32_t header_crc;  // CRC-32C of bytes 0..59
};
static_assert(sizeof(FileHeader) == 64, "file header is 64 bytes");

enum BlockCodec : uint16_t { kCodecNone = 0, kCodecZstd = 1 };

// 48 bytes before every block's data.
struct BlockHeader {
    char magic[4];          // kBlockMagic
    uint32_t header_crc;    // CRC-32C of bytes 8..47
    uint32_t block_no;      // 0, 1, 2, ...
    uint32_t entries;       // entries in the block
    uint64_t first_entry;   // number of its first entry
    int64_t first_t_ns;     // time of its first entry (the base of its time differences)
    uint32_t raw_bytes;     // the entries' encoded size
    uint32_t stored_bytes;  // bytes after this header
    uint16_t codec;         // BlockCodec
    uint16_t reserved;
    uint32_t data_crc;  // CRC-32C of the stored bytes
};
static_assert(sizeof(BlockHeader) == 48, "block header is 48 bytes");

struct WriterOptions {
    QuoteMode quote_mode = QuoteMode::kSummary;
    uint64_t max_bytes = 0;  // 0: no limit
    bool compress = true;
    std::string meta;  // the first entry's text
};

// Collects entries into blocks and writes each block with one write(2).
// Add() is the traced path: an encode into the block; no allocation unless
// an entry is larger than a block.
class Writer {
public:
    // To a file; nullptr with *error set when it cannot be created.
    static std::unique_ptr<Writer> Open(const std::string& path, const WriterOptions& opt,
                                        std::string* error);
    // Into a string (tests and the fuzzer).
    static std::unique_ptr<Writer> ToString(std::string* sink, const WriterOptions& opt);
    ~Writer();  // Close()
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    void Add(Fn fn, int64_t rc, int32_t err, int64_t t_ns, const uint64_t* args, const void* data,
             uint32_t size);
    void Add(const Call& c) {
        Add(c.fn, c.rc, c.err, c.t_ns, c.arg, c.data.data(), static_cast<uint32_t>(c.data.size()));
    }
    // Writes the block if its first entry is older than max_age_ns.
    void FlushIfOlder(int64_t now_ns, int64_t max_age_ns) {
        if (entries_ != 0 && now_ns - first_t_ns_ > max_age_ns) Flush();
    }
    bool Flush();
    // The end entry, the last block; nothing more is written.
    void Close(int64_t t_ns, const uint64_t* end_args);

    uint64_t Entries() const { return next_number_ - 1; }  // added and kept
    uint64_t Dropped() const { return dropped_; }          // added after the limit stopped the trace
    uint64_t Bytes() const { return bytes_; }              // written so far
    bool Stopped() const { return stopped_; }
    const std::string& error() const { return error_; }

private:
    Writer(int fd, std::string* sink, const WriterOptions& opt);
    bool Emit(const void* p, size_t n);
    void WriteHeader();
    void Encode(Fn fn, int64_t rc, int32_t err, int64_t t_ns, const uint64_t* args, const void* data,
                uint32_t size);

    int fd_ = -1;
    std::string* sink_ = nullptr;
    WriterOptions opt_;
    std::vector<uint8_t> raw_;
    size_t fill_ = 0;
    std::vector<uint8_t> packed_;
    uint32_t entries_ = 0;
    uint32_t block_no_ = 0;
    uint64_t first_entry_ = 1;
    uint64_t next_number_ = 1;
    int64_t first_t_ns_ = 0;
    int64_t last_t_ns_ = 0;
    uint64_t bytes_ = 0;
    uint64_t dropped_ = 0;
    bool stopped_ = false;
    bool closed_ = false;
    std::string error_;
};

// Reads a trace entry by entry, up to its end or its first damage: a cut
// file is read to its last whole block, a damaged block ends the reading and
// is named in Problem().
class Reader {
public:
    // From a file (mapped); nullptr with *error set ("FILE: not a trace (magic ...)").
    static std::unique_ptr<Reader> Open(const std::string& path, std::string* error);
    // From bytes that outlive the reader.
    static std::unique_ptr<Reader> FromBytes(const void* data, size_t size, std::string* error);
    ~Reader();
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

    // The next entry into c (its data reused); false at the end or at damage.
    bool Next(Call& c);
    const FileHeader& Header() const { return header_; }
    // Empty, or why reading stopped before the end ("block 3 at offset 1234: data CRC mismatch").
    const std::string& Problem() const { return problem_; }
    bool SawEnd() const { return saw_end_; }              // the writer closed the trace
    uint64_t TrailingBytes() const { return trailing_; }  // a cut last block, not damage
    const std::string& Path() const { return path_; }

private:
    Reader() = default;
    bool Init(std::string* error);
    bool LoadBlock();
    bool Damage(const std::string& what);

    const uint8_t* base_ = nullptr;
    size_t size_ = 0;
    void* map_ = nullptr;
    std::string path_;
    FileHeader header_{};
    size_t offset_ = 0;  // of the next block header
    std::vector<uint8_t> block_;
    size_t pos_ = 0;
    uint32_t left_ = 0;  // entries left in the block
    uint32_t block_no_ = 0;
    uint64_t number_ = 1;
    int64_t t_ns_ = 0;
    bool saw_end_ = false;
    bool done_ = false;
    uint64_t trailing_ = 0;
    std::string problem_;
};

// CLOCK_MONOTONIC now, in nanoseconds.
int64_t MonotonicNs();

}  // namespace kest_trace
