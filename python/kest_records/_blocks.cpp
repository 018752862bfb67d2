// The compiled half of kest_records: the per-block work of reading a version 2
// recording (header checks, the CRC-32C of the stored bytes, the copy of
// plain blocks and the inverse transform of compressed ones), with the same
// header-only CRC and codec as the C++ readers. Python loops cost about a
// microsecond per call, a block of 256 plain entries is read in a few, so the
// blocks of a file are checked (and copied) in one call, GIL released. zstd
// stays with the zstandard module; kest_records/__init__.py decides what a
// code means and words the damage reports, as its pure path does.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

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

// The checks of kest_records' _block_header and _stored, in their order. A
// plain block is copied to `copy_to` (when given) before its CRC, which then
// reads the copy from the cache instead of the file from memory.
Code CheckBlock(const uint8_t* file, size_t size, uint64_t offset, uint32_t entries, uint32_t stored,
                uint32_t block_entries, uint8_t* copy_to) {
    using kest_rec::BlockHeader;
    BlockHeader h;
    if (offset > size || size - offset < sizeof h) return kHeaderDamaged;
    std::memcpy(&h, file + offset, sizeof h);
    const bool codec_fits =
        (h.codec == kest_rec::kCodecNone && h.stored_bytes == h.raw_bytes) ||
        (h.codec == kest_rec::kCodecZstd && uint64_t{h.stored_bytes} <= uint64_t{h.raw_bytes} + 65536);
    if (std::memcmp(h.magic, kest_rec::kBlockMagic, 4) != 0 || h.entries < 1 || h.entries > block_entries ||
        uint64_t{h.raw_bytes} != uint64_t{h.entries} * sizeof(kest_rec::Entry) || !codec_fits ||
        h.header_crc != Crc(file + offset + 8, sizeof h - 8) || h.entries != entries ||
        h.stored_bytes != stored)
        return kHeaderDamaged;
    if (size - offset - sizeof h < stored) return kCutShort;
    const uint8_t* data = file + offset + sizeof h;
    if (copy_to && h.codec == kest_rec::kCodecNone) {
        std::memcpy(copy_to, data, stored);
        if (Crc(copy_to, stored) != h.data_crc) return kDataCrc;
    } else if (Crc(data, stored) != h.data_crc) {
        return kDataCrc;
    }
    return h.codec == kest_rec::kCodecNone ? kPlain : kZstd;
}

template <typename T>
using Column = py::array_t<T, py::array::c_style | py::array::forcecast>;

// Checks blocks `offsets`/`entries`/`stored` (the index's or the walk's view)
// of the mapped file; with `out` (bytes for all their entries), a block whose
// stored bytes exceed its entries is damaged too, and each good block's place
// in `out` follows the good blocks before it: plain ones are copied there,
// compressed ones are left to the caller.
py::array_t<uint8_t> CheckBlocks(py::buffer file, Column<uint64_t> offsets, Column<uint32_t> entries,
                                 Column<uint32_t> stored, uint32_t block_entries, py::object out) {
    RequireHardware();
    const py::buffer_info f = file.request();
    const size_t n = static_cast<size_t>(offsets.size());
    if (static_cast<size_t>(entries.size()) != n || static_cast<size_t>(stored.size()) != n)
        throw std::invalid_argument("offsets, entries and stored differ in length");
    py::buffer_info o;
    if (!out.is_none()) o = out.cast<py::buffer>().request(true);
    py::array_t<uint8_t> codes(static_cast<py::ssize_t>(n));
    const uint8_t* base = static_cast<const uint8_t*>(f.ptr);
    const size_t size = static_cast<size_t>(f.size * f.itemsize);
    const uint64_t* off = offsets.data();
    const uint32_t* ent = entries.data();
    const uint32_t* sto = stored.data();
    uint8_t* code = codes.mutable_data();
    uint8_t* dst = static_cast<uint8_t*>(o.ptr);
    const size_t room = o.ptr ? static_cast<size_t>(o.size * o.itemsize) : 0;
    {
        py::gil_scoped_release unlocked;
        size_t at = 0;
        for (size_t i = 0; i < n; ++i) {
            const size_t raw = size_t{ent[i]} * sizeof(kest_rec::Entry);
            // No codec stores more than the entries; more entries than the caller counted room for
            // are not the blocks it described.
            if (dst && (sto[i] > raw || at + raw > room)) {
                code[i] = kHeaderDamaged;
                continue;
            }
            code[i] = CheckBlock(base, size, off[i], ent[i], sto[i], block_entries, dst ? dst + at : nullptr);
            if (dst && code[i] <= kZstd) at += raw;
        }
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
          py::arg("stored"), py::arg("block_entries"), py::arg("out") = py::none(),
          "Per block: 0 plain, 1 zstd (both good), 2 header damaged, 3 cut short, 4 data CRC fails.");
    m.def("unshuffle", &Unshuffle, py::arg("raw"), py::arg("out"),
          "A decompressed codec-1 block's entries into out.");
}
