// The compiled half of kest_records: the per-block work of reading a version 2
// recording (header checks, the CRC-32C of the stored bytes, the copy of
// plain blocks and the inverse transform of compressed ones), with the same
// header-only CRC and codec as the C++ readers. Python loops cost about a
// microsecond per call, a block of 256 plain entries is read in a few, so the
// blocks of a file are checked (and read) in one call, GIL released. zstd
// stays with the zstandard module; kest_records/checks.py says what a code
// means and file.py words the damage reports, as its pure path does.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <sys/uio.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>

#include "BlockCodec.h"
#include "recording/Crc32c.h"
#include "recording/Recording.h"

namespace py = pybind11;

namespace {

// What check_blocks found per block; __init__.py has the same numbers.
enum Code : uint8_t { kPlain = 0, kZstd = 1, kHeaderDamaged = 2, kCutShort = 3, kDataCrc = 4 };

#if defined(__x86_64__)
bool HaveHardware() { return kest_rec::HaveCrc32cInstruction(); }
uint32_t Crc(const void* data, size_t n, uint32_t crc = 0) {
    return ~kest_rec::Crc32cHardware(~crc, data, n);
}
#else
// Without the instruction the module is not used (kest_records falls back to
// its pure path); nothing here runs.
bool HaveHardware() { return false; }
uint32_t Crc(const void*, size_t, uint32_t = 0) { return 0; }
#endif

void RequireHardware() {
    if (!HaveHardware()) throw std::runtime_error("no CRC-32C instruction on this processor");
}

// The checks of kest_records' _block_header and _stored, in their order, of
// a block whose header is at `head`, followed there by `have` - 64 bytes of
// the file (fewer than 64 in all: the header is damaged), and whose stored
// bytes are at `data` (after the header in the mapping, or where a read put
// them).
Code Check(const uint8_t* head, size_t have, const uint8_t* data, uint32_t entries, uint32_t stored,
           uint32_t block_entries) {
    kest_rec::BlockHeader h;
    if (have < sizeof h) return kHeaderDamaged;
    std::memcpy(&h, head, sizeof h);
    const bool codec_fits =
        (h.codec == kest_rec::kCodecNone && h.stored_bytes == h.raw_bytes) ||
        (h.codec == kest_rec::kCodecZstd && uint64_t{h.stored_bytes} <= uint64_t{h.raw_bytes} + 65536);
    if (std::memcmp(h.magic, kest_rec::kBlockMagic, 4) != 0 || h.entries < 1 || h.entries > block_entries ||
        uint64_t{h.raw_bytes} != uint64_t{h.entries} * sizeof(kest_rec::Entry) || !codec_fits ||
        h.header_crc != Crc(head + 8, sizeof h - 8) || h.entries != entries || h.stored_bytes != stored)
        return kHeaderDamaged;
    if (have - sizeof h < stored) return kCutShort;
    if (Crc(data, stored) != h.data_crc) return kDataCrc;
    return h.codec == kest_rec::kCodecNone ? kPlain : kZstd;
}

template <typename T>
using Column = py::array_t<T, py::array::c_style | py::array::forcecast>;

// Checks blocks `offsets`/`entries`/`stored` (the index's or the walk's view)
// of the mapped file, where runs() hands out views of it.
py::array_t<uint8_t> CheckBlocks(py::buffer file, Column<uint64_t> offsets, Column<uint32_t> entries,
                                 Column<uint32_t> stored, uint32_t block_entries) {
    RequireHardware();
    const py::buffer_info f = file.request();
    const size_t n = static_cast<size_t>(offsets.size());
    if (static_cast<size_t>(entries.size()) != n || static_cast<size_t>(stored.size()) != n)
        throw std::invalid_argument("offsets, entries and stored differ in length");
    py::array_t<uint8_t> codes(static_cast<py::ssize_t>(n));
    const uint8_t* base = static_cast<const uint8_t*>(f.ptr);
    const size_t size = static_cast<size_t>(f.size * f.itemsize);
    const uint64_t* off = offsets.data();
    const uint32_t* ent = entries.data();
    const uint32_t* sto = stored.data();
    uint8_t* code = codes.mutable_data();
    {
        py::gil_scoped_release unlocked;
        for (size_t i = 0; i < n; ++i) {
            if (off[i] > size) {
                code[i] = kHeaderDamaged;
                continue;
            }
            const uint8_t* head = base + off[i];
            code[i] = Check(head, size - off[i], head + sizeof(kest_rec::BlockHeader), ent[i], sto[i],
                            block_entries);
        }
    }
    return codes;
}

// Reads all of `n` bytes at `offset` into `iov` (which it uses up), as far
// as the file goes; -1 with errno on an error.
ssize_t ReadFully(int fd, iovec* iov, int count, uint64_t offset) {
    size_t done = 0;
    while (count > 0) {
        const ssize_t got = preadv(fd, iov, count, static_cast<off_t>(offset + done));
        if (got < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (got == 0) break;  // the end of the file
        done += static_cast<size_t>(got);
        size_t left = static_cast<size_t>(got);
        while (count > 0 && left >= iov->iov_len) left -= iov->iov_len, ++iov, --count;
        if (count > 0) iov->iov_base = static_cast<uint8_t*>(iov->iov_base) + left, iov->iov_len -= left;
    }
    return static_cast<ssize_t>(done);
}

// Reads the blocks `offsets`/`entries`/`stored` of the file open as `fd`:
// neighbouring blocks a group (about 256 KiB) per preadv, their stored bytes
// straight into `out` and their headers aside, each group checked while it is
// still in the cache. This costs a read(2) and a CRC from the cache, where
// reading through the mapping adds a page fault per few pages and a CRC from
// memory. A good block's place in `out` follows those of the good blocks
// before it: a plain block is in place, a compressed one has its stored bytes
// at the start of its place for the caller to expand.
py::array_t<uint8_t> ReadBlocks(int fd, Column<uint64_t> offsets, Column<uint32_t> entries,
                                Column<uint32_t> stored, uint32_t block_entries, py::buffer out) {
    RequireHardware();
    const size_t n = static_cast<size_t>(offsets.size());
    if (static_cast<size_t>(entries.size()) != n || static_cast<size_t>(stored.size()) != n)
        throw std::invalid_argument("offsets, entries and stored differ in length");
    const py::buffer_info o = out.request(true);
    py::array_t<uint8_t> codes(static_cast<py::ssize_t>(n));
    const uint64_t* off = offsets.data();
    const uint32_t* ent = entries.data();
    const uint32_t* sto = stored.data();
    uint8_t* code = codes.mutable_data();
    uint8_t* const dst = static_cast<uint8_t*>(o.ptr);
    const size_t room = static_cast<size_t>(o.size * o.itemsize);
    constexpr size_t kGroupBlocks = 64, kGroupBytes = 256 << 10;
    // An offset no file reaches (preadv would refuse it): read as the end of the file.
    constexpr uint64_t kFarOffset = uint64_t{1} << 62;
    int error = 0;
    {
        py::gil_scoped_release unlocked;
        kest_rec::BlockHeader heads[kGroupBlocks];
        iovec iov[2 * kGroupBlocks];
        size_t at = 0;  // where the next block is read
        for (size_t i = 0; i < n && !error;) {
            // Up to kGroupBlocks blocks that follow one another in the file and fit in `out`;
            // no codec stores more than the entries.
            size_t g = 0, bytes = 0, place = at;
            for (uint64_t next = off[i]; i + g < n && g < kGroupBlocks; ++g) {
                const size_t j = i + g, raw = size_t{ent[j]} * sizeof(kest_rec::Entry);
                if (off[j] != next || off[j] >= kFarOffset || sto[j] > raw || place > room ||
                    raw > room - place || (g > 0 && bytes + sto[j] > kGroupBytes))
                    break;
                iov[2 * g] = {&heads[g], sizeof(kest_rec::BlockHeader)};
                iov[2 * g + 1] = {dst + place, sto[j]};
                next = off[j] + sizeof(kest_rec::BlockHeader) + sto[j], bytes += sto[j], place += raw;
            }
            if (g == 0) {  // a block that cannot be read into its place: not the block described
                code[i++] = kHeaderDamaged;
                continue;
            }
            const ssize_t got = ReadFully(fd, iov, static_cast<int>(2 * g), off[i]);
            if (got < 0) {
                error = errno;
                break;
            }
            size_t before = 0, slot = at;  // block k's bytes in the group, and where it was read
            for (size_t k = 0; k < g; ++k) {
                const size_t j = i + k, raw = size_t{ent[j]} * sizeof(kest_rec::Entry);
                const size_t have = static_cast<size_t>(got) > before ? static_cast<size_t>(got) - before : 0;
                const Code c = Check(reinterpret_cast<const uint8_t*>(&heads[k]), have, dst + slot, ent[j],
                                     sto[j], block_entries);
                code[j] = c;
                if (c <= kZstd) {
                    if (at != slot) std::memmove(dst + at, dst + slot, sto[j]);
                    at += raw;
                }
                slot += raw, before += sizeof(kest_rec::BlockHeader) + sto[j];
            }
            i += g;
        }
    }
    if (error) {
        errno = error;
        PyErr_SetFromErrno(PyExc_OSError);
        throw py::error_already_set();
    }
    return codes;
}

// The entries of a decompressed codec-1 block (`raw`: entries x 160 bytes)
// into `out` (a writable buffer of the same size).
void Unshuffle(py::buffer raw, py::buffer out) {
    const py::buffer_info in = raw.request();
    const py::buffer_info o = out.request(true);
    const size_t bytes = static_cast<size_t>(in.size * in.itemsize);
    if (bytes % sizeof(kest_rec::Entry) != 0 || static_cast<size_t>(o.size * o.itemsize) != bytes)
        throw std::invalid_argument("unshuffle: sizes are not the same whole entries");
    py::gil_scoped_release unlocked;
    kest_rec::UnshuffleEntries(static_cast<const uint8_t*>(in.ptr), bytes / sizeof(kest_rec::Entry),
                               static_cast<kest_rec::Entry*>(o.ptr));
}

uint32_t Crc32c(py::buffer data, uint32_t crc) {
    RequireHardware();
    const py::buffer_info b = data.request();
    const size_t n = static_cast<size_t>(b.size * b.itemsize);
    if (n < (64u << 10)) return Crc(b.ptr, n, crc);
    py::gil_scoped_release unlocked;
    return Crc(b.ptr, n, crc);
}

}  // namespace

PYBIND11_MODULE(_blocks, m) {
    m.doc() = "Block checks, CRC-32C and the inverse transform of recordings, in C++ (kest_records uses it).";
    m.attr("hardware_crc") = HaveHardware();
    m.def("crc32c", &Crc32c, py::arg("data"), py::arg("crc") = 0,
          "CRC-32C (storage convention) of a buffer, continued from crc.");
    m.def("check_blocks", &CheckBlocks, py::arg("file"), py::arg("offsets"), py::arg("entries"),
          py::arg("stored"), py::arg("block_entries"),
          "Per block: 0 plain, 1 zstd (both good), 2 header damaged, 3 cut short, 4 data CRC fails.");
    m.def("read_blocks", &ReadBlocks, py::arg("fd"), py::arg("offsets"), py::arg("entries"),
          py::arg("stored"), py::arg("block_entries"), py::arg("out"),
          "The blocks read (preadv) into out, the good ones one after the other, and checked; per "
          "block the codes of check_blocks.");
    m.def("unshuffle", &Unshuffle, py::arg("raw"), py::arg("out"),
          "A decompressed codec-1 block's entries into out.");
}
