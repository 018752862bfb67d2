// Reading a recording as runs of trusted entries: version 1 straight from the
// file, version 2 block by block, each checked before its entries are handed
// out. Nothing is read outside the file's size as found at open.
#include "recording/RunReader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zstd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unordered_map>

#include "BlockCodec.h"

namespace kest_rec {

namespace {

constexpr size_t kWindowBytes = 4 << 20;  // read-ahead of version 2 blocks
constexpr size_t kV1RunEntries = 4096;

std::string Hex(uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%08x", v);
    return buf;
}

// A block header that can be believed on its own: its CRC and sizes agree.
bool SaneHeader(const BlockHeader& h, uint32_t block_entries) {
    if (std::memcmp(h.magic, kBlockMagic, sizeof h.magic) != 0) return false;
    if (h.header_crc != BlockHeaderCrc(h)) return false;
    if (h.entries < 1 || h.entries > block_entries || h.raw_bytes != h.entries * sizeof(Entry)) return false;
    if (h.codec == kCodecNone) return h.stored_bytes == h.raw_bytes;
    if (h.codec == kCodecZstd) return h.stored_bytes <= ZSTD_compressBound(h.raw_bytes);
    return false;
}

}  // namespace

bool ContractMatches(const char (&inst_id)[16], const std::vector<std::string>& list) {
    const size_t len = strnlen(inst_id, sizeof inst_id);
    for (const std::string& want : list) {
        if (want.size() == len && std::memcmp(want.data(), inst_id, len) == 0) return true;
        // A product: the identifier's letters are exactly `want`, then comes a digit.
        if (want.size() < len && std::memcmp(want.data(), inst_id, want.size()) == 0 &&
            inst_id[want.size()] >= '0' && inst_id[want.size()] <= '9' &&
            std::all_of(want.begin(), want.end(),
                        [](char c) { return std::isalpha(static_cast<unsigned char>(c)); }))
            return true;
    }
    return false;
}

std::unique_ptr<RunReader> RunReader::Open(const std::string& path, std::string* error) {
    auto fail = [&](const std::string& why) {
        if (error != nullptr) *error = path + ": " + why;
        return nullptr;
    };
    std::unique_ptr<RunReader> r(new RunReader());
    r->path_ = path;
    r->fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (r->fd_ < 0) return fail(std::strerror(errno));
    struct stat st {};
    if (fstat(r->fd_, &st) != 0) return fail(std::strerror(errno));
    if (S_ISDIR(st.st_mode)) return fail("is a directory");
    r->size_ = static_cast<uint64_t>(st.st_size);
    FileHeader& h = r->header_;
    if (r->size_ < sizeof h || ::pread(r->fd_, &h, sizeof h, 0) != static_cast<ssize_t>(sizeof h))
        return fail("too short for a recording header");
    if (std::memcmp(h.magic, kMagic, sizeof h.magic) != 0) return fail("not a recording (bad magic)");
    if (h.version > kFormatVersion) {
        return fail("format version " + std::to_string(h.version) + " is newer than this reader's (" +
                    std::to_string(kFormatVersion) + ")");
    }
    const std::string bad = HeaderProblem(h);
    if (!bad.empty()) return fail("header does not describe this format: " + bad);
    if (h.version == 1) {
        const uint64_t body = r->size_ - h.header_bytes;
        r->entries_ = body / sizeof(Entry);
        r->trailing_ = body % sizeof(Entry);
        r->run_.reset(new Entry[kV1RunEntries]);
        return r;
    }
    r->zstd_ = ZSTD_createDCtx();
    if (!r->LoadIndex()) r->WalkBlocks();
    for (const BlockRef& b : r->blocks_) r->entries_ += b.entries;
    return r;
}

RunReader::~RunReader() {
    if (fd_ >= 0) ::close(fd_);
    ZSTD_freeDCtx(static_cast<ZSTD_DCtx*>(zstd_));
}

const char* RunReader::Bytes(uint64_t offset, size_t size) {
    if (offset > size_ || size > size_ - offset) return nullptr;
    if (offset >= window_off_ && offset + size <= window_off_ + window_len_) {
        return window_.data() + (offset - window_off_);
    }
    const size_t want = static_cast<size_t>(std::min<uint64_t>(std::max(size, kWindowBytes), size_ - offset));
    if (window_.size() < want) window_.resize(want);
    size_t got = 0;
    while (got < want) {
        const ssize_t n = ::pread(fd_, window_.data() + got, want - got, static_cast<off_t>(offset + got));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;  // shrank under us: what is there is all there is
        got += static_cast<size_t>(n);
    }
    window_off_ = offset;
    window_len_ = got;
    return got >= size ? window_.data() : nullptr;
}

bool RunReader::LoadIndex() {
    if (size_ < sizeof(FileHeader) + sizeof(IndexHeader) + sizeof(Trailer)) return false;
    Trailer t{};
    if (::pread(fd_, &t, sizeof t, static_cast<off_t>(size_ - sizeof t)) != static_cast<ssize_t>(sizeof t))
        return false;
    if (std::memcmp(t.magic, kTrailerMagic, sizeof t.magic) != 0) return false;  // no index: not closed
    auto problem = [this](const std::string& why) {
        index_problem_ = why;
        return false;
    };
    const uint64_t end = size_ - sizeof t;
    if (t.index_offset < sizeof(FileHeader) || t.index_offset > end ||
        end - t.index_offset < sizeof(IndexHeader))
        return problem("the trailer points outside the file");
    index_at_ = t.index_offset;  // where the blocks end, even when the index is damaged
    std::vector<char> bytes(end - t.index_offset);
    if (::pread(fd_, bytes.data(), bytes.size(), static_cast<off_t>(t.index_offset)) !=
        static_cast<ssize_t>(bytes.size()))
        return problem("the index cannot be read");
    IndexHeader ih;
    std::memcpy(&ih, bytes.data(), sizeof ih);
    if (std::memcmp(ih.magic, kIndexMagic, sizeof ih.magic) != 0) return problem("the index has no magic");
    if (ih.crc != Crc32c(bytes.data() + 8, bytes.size() - 8)) return problem("the index fails its CRC-32C");
    const uint64_t words = (uint64_t{ih.contracts} + 63) / 64;
    if (ih.bitmap_bytes != words * 8 ||
        bytes.size() != sizeof ih + uint64_t{ih.contracts} * sizeof(IndexContract) +
                            uint64_t{ih.blocks} * (sizeof(IndexBlock) + ih.bitmap_bytes))
        return problem("the index's sizes do not add up");
    const char* p = bytes.data() + sizeof ih;
    std::vector<ContractCount> contracts(ih.contracts);
    for (ContractCount& c : contracts) {
        IndexContract ic;
        std::memcpy(&ic, p, sizeof ic);
        p += sizeof ic;
        c.id.assign(ic.inst_id, strnlen(ic.inst_id, sizeof ic.inst_id));
        c.entries = ic.entries;
    }
    std::vector<BlockRef> blocks(ih.blocks);
    std::vector<uint64_t> bitmaps(ih.blocks * words);
    uint64_t next = sizeof(FileHeader);
    for (uint32_t i = 0; i < ih.blocks; ++i) {
        IndexBlock ib;
        std::memcpy(&ib, p, sizeof ib);
        p += sizeof ib;
        std::memcpy(bitmaps.data() + i * words, p, words * 8);
        p += words * 8;
        if (ib.offset < next || ib.offset > t.index_offset ||
            t.index_offset - ib.offset < sizeof(BlockHeader) + uint64_t{ib.stored_bytes})
            return problem("the index places block " + std::to_string(i) + " outside the blocks");
        next = ib.offset + sizeof(BlockHeader) + ib.stored_bytes;
        blocks[i] = {ib.offset, ib.entries, ib.stored_bytes, ib.min_ns, ib.max_ns, i};
    }
    blocks_ = std::move(blocks);
    bitmaps_ = std::move(bitmaps);
    bitmap_words_ = words;
    contracts_ = std::move(contracts);
    has_index_ = true;
    return true;
}

// Without an index, the blocks are found by their headers; a damaged header is
// passed over to the next header that checks out.
void RunReader::WalkBlocks() {
    uint64_t off = sizeof(FileHeader);
    uint64_t expect_no = 0;
    while (off < size_) {
        const char* p = Bytes(off, sizeof(BlockHeader));
        if (p == nullptr) {
            trailing_ = size_ - off;  // a header cut short
            return;
        }
        BlockHeader h;
        std::memcpy(&h, p, sizeof h);
        if (std::memcmp(h.magic, kIndexMagic, sizeof h.magic) == 0 || off == index_at_) return;  // the index
        if (SaneHeader(h, header_.block_entries)) {
            if (size_ - off - sizeof h < h.stored_bytes) {
                trailing_ = size_ - off;  // the block being written when the recorder stopped
                return;
            }
            blocks_.push_back({off, h.entries, h.stored_bytes, h.min_ns, h.max_ns, h.block_no});
            expect_no = uint64_t{h.block_no} + 1;
            off += sizeof h + h.stored_bytes;
            continue;
        }
        // Look for the next header that checks out.
        uint64_t pos = off + 1;
        uint64_t found = size_;
        while (pos + sizeof(BlockHeader) <= size_ && found == size_) {
            const size_t span = static_cast<size_t>(std::min<uint64_t>(kWindowBytes, size_ - pos));
            const char* w = Bytes(pos, span);
            if (w == nullptr) break;
            const char* hit = static_cast<const char*>(memmem(w, span, kBlockMagic, sizeof kBlockMagic));
            if (hit == nullptr) {
                pos += span > 3 ? span - 3 : 1;
                continue;
            }
            const uint64_t at = pos + static_cast<uint64_t>(hit - w);
            const char* q = Bytes(at, sizeof(BlockHeader));
            BlockHeader c;
            if (q != nullptr) std::memcpy(&c, q, sizeof c);
            if (q != nullptr && SaneHeader(c, header_.block_entries) && c.block_no >= expect_no) {
                found = at;
            } else {
                pos = at + 1;
            }
        }
        // Every block number up to the next whole block was lost here.
        uint64_t next_no = expect_no + 1;
        if (found < size_) {
            BlockHeader c;
            std::memcpy(&c, Bytes(found, sizeof c), sizeof c);
            next_no = std::max<uint64_t>(c.block_no, expect_no + 1);
        }
        for (uint64_t no = expect_no; no < next_no; ++no) {
            damages_.push_back(
                {path_, no, off, 0,
                 "block header damaged: " + std::to_string(found - off) + " bytes from offset " +
                     std::to_string(off) +
                     " skipped to the next whole block (entries not known without the index)"});
        }
        expect_no = next_no;
        off = found;
    }
}

void RunReader::Note(size_t i, const std::string& what) {
    const BlockRef& b = blocks_[i];
    damages_.push_back({path_, b.block_no, b.offset, b.entries, what});
    untrusted_ += b.entries;
}

bool RunReader::ReadBlock(size_t i) {
    const BlockRef& b = blocks_[i];
    ++blocks_read_;
    const char* p = Bytes(b.offset, sizeof(BlockHeader) + b.stored_bytes);
    if (p == nullptr) {
        Note(i, "block cut short: the file ends inside it");
        return false;
    }
    BlockHeader h;
    std::memcpy(&h, p, sizeof h);
    if (!SaneHeader(h, header_.block_entries) || h.entries != b.entries || h.stored_bytes != b.stored_bytes) {
        Note(i, "block header damaged (it fails its CRC-32C or disagrees with the index)");
        return false;
    }
    const char* data = p + sizeof h;
    const uint32_t crc = Crc32c(data, h.stored_bytes);
    if (crc != h.data_crc) {
        Note(i,
             "stored bytes fail their CRC-32C (" + Hex(crc) + ", the header says " + Hex(h.data_crc) + ")");
        return false;
    }
    if (h.codec == kCodecNone && reinterpret_cast<uintptr_t>(data) % alignof(Entry) == 0) {
        run_ptr_ = reinterpret_cast<const Entry*>(data);  // straight from the read-ahead
        return true;
    }
    if (run_capacity_ < h.entries) {
        run_.reset(new Entry[h.entries]);
        run_capacity_ = h.entries;
    }
    run_ptr_ = run_.get();
    if (h.codec == kCodecNone) {
        std::memcpy(run_.get(), data, h.raw_bytes);
        return true;
    }
    raw_.resize(h.raw_bytes);
    const size_t n =
        ZSTD_decompressDCtx(static_cast<ZSTD_DCtx*>(zstd_), raw_.data(), raw_.size(), data, h.stored_bytes);
    if (ZSTD_isError(n) || n != h.raw_bytes) {
        Note(i, std::string("stored bytes do not decompress to the entries: ") +
                    (ZSTD_isError(n) ? ZSTD_getErrorName(n) : "wrong size"));
        return false;
    }
    UnshuffleEntries(reinterpret_cast<const uint8_t*>(raw_.data()), h.entries, run_.get());
    return true;
}

bool RunReader::NextRun(const Entry** entries, size_t* count) {
    if (header_.version == 1) {
        if (v1_next_ == entries_) return false;
        const size_t want = static_cast<size_t>(std::min<uint64_t>(kV1RunEntries, entries_ - v1_next_));
        const ssize_t n = ::pread(fd_, run_.get(), want * sizeof(Entry),
                                  static_cast<off_t>(header_.header_bytes + v1_next_ * sizeof(Entry)));
        if (n < static_cast<ssize_t>(sizeof(Entry))) {
            entries_ = v1_next_;  // shrank under us: stop at what was there
            return false;
        }
        *entries = run_.get();
        *count = static_cast<size_t>(n) / sizeof(Entry);
        v1_next_ += *count;
        return true;
    }
    for (; next_block_ < blocks_.size(); ++next_block_) {
        const BlockRef& b = blocks_[next_block_];
        if (!window_sel_.Overlaps(b.min_ns, b.max_ns)) continue;
        if (!wanted_.empty()) {
            bool any = false;
            for (size_t w = 0; w < bitmap_words_ && !any; ++w)
                any = (bitmaps_[next_block_ * bitmap_words_ + w] & wanted_[w]) != 0;
            if (!any) continue;
        }
        if (ReadBlock(next_block_)) {
            *entries = run_ptr_;
            *count = b.entries;
            ++next_block_;
            return true;
        }
    }
    return false;
}

void RunReader::Select(const TimeWindow& window, const std::vector<std::string>& contracts) {
    window_sel_ = window;
    wanted_.clear();
    if (contracts.empty() || !has_index_) return;
    wanted_.assign(std::max<size_t>(bitmap_words_, 1), 0);
    for (size_t c = 0; c < contracts_.size(); ++c) {
        char id[16] = {};
        std::memcpy(id, contracts_[c].id.data(), contracts_[c].id.size());
        if (ContractMatches(id, contracts)) wanted_[c / 64] |= uint64_t{1} << (c % 64);
    }
}

std::vector<ContractCount> RunReader::Contracts() {
    if (has_index_) return contracts_;
    // Read everything with a reader of its own: this one's position and damage list stay.
    std::unique_ptr<RunReader> all = Open(path_, nullptr);
    std::vector<ContractCount> out;
    if (!all) return out;
    std::unordered_map<std::string, size_t> at;
    const Entry* e;
    size_t n;
    while (all->NextRun(&e, &n)) {
        for (size_t i = 0; i < n; ++i) {
            const std::string id(e[i].record.inst_id,
                                 strnlen(e[i].record.inst_id, sizeof e[i].record.inst_id));
            auto it = at.emplace(id, out.size());
            if (it.second) out.push_back({id, 0});
            ++out[it.first->second].entries;
        }
    }
    return out;
}

}  // namespace kest_rec
