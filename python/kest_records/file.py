"""One file of a recording: its blocks, index and damage, its entries read and checked."""
import collections
import mmap
import os
import struct

import numpy as np

from . import checks, window
from .checks import _CUT_SHORT, _DATA_CRC, _HEADER_DAMAGED, _WHAT, _block_header, _check_header, _crc32c
from .format import (_CODEC_NONE, _CODEC_ZSTD, _INDEX_BLOCK_DTYPE, _INDEX_HEADER, BLOCK_MAGIC, ENTRY_DTYPE,
                     INDEX_MAGIC, TRAILER_MAGIC)

Damage = collections.namedtuple("Damage", "file block offset entries what")
BlockRef = collections.namedtuple("BlockRef", "offset entries stored_bytes min_ns max_ns block_no")
_CHECK_CHUNK = 64  # blocks that runs() checks in one call: a few MiB ahead of what it yields


class RecordingFile:
    """One file of a recording, either version, its blocks found from the index or their headers.

    ``header`` (dict), ``blocks`` (list of BlockRef; version 1: none), ``has_index``,
    ``index_problem`` (why a present index was not used), ``contracts`` (dict of
    entries per contract from the index, else None), ``trailing_bytes`` (a cut
    last write), ``damages`` (list of Damage) and ``untrusted`` (entries in
    damaged blocks) as found so far: reading the entries checks every block.
    The file is memory-mapped; uncompressed blocks are read from the mapping.
    """

    def __init__(self, path):
        self.path = str(path)
        with open(self.path, "rb") as f:
            size = os.fstat(f.fileno()).st_size
            self._map = mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) if size else b""
        self._mv = memoryview(self._map)
        self.header = _check_header(self.path, bytes(self._mv[:64]))
        self._blocks, self.has_index, self.index_problem, self.contracts = [], False, "", None
        self.trailing_bytes, self.damages, self.untrusted = 0, [], 0
        self._index_at = None
        self._refs, self._block_columns = None, None
        if self.header["version"] == 1:
            whole = (size - 64) // 160
            self.trailing_bytes = size - 64 - whole * 160
            self.entries_count = whole
            return
        self._zstd = None
        if not self._load_index():
            self._walk()
        self.entries_count = int(self._columns(range(self._block_count()))[1].sum(dtype=np.uint64))

    def _load_index(self):
        mv, size = self._mv, len(self._mv)
        if size < 64 + 32 + 16 or bytes(mv[size - 8:]) != TRAILER_MAGIC:
            return False
        at = struct.unpack_from("<Q", mv, size - 16)[0]
        end = size - 16
        if not 64 <= at <= end - 32:
            self.index_problem = "the trailer points outside the file"
            return False
        self._index_at = at
        if bytes(mv[at:at + 4]) != INDEX_MAGIC:
            self.index_problem = "the index has no magic"
            return False
        crc, blocks, contracts, _, bitmap_bytes = _INDEX_HEADER.unpack_from(mv, at + 4)
        if crc != _crc32c(mv[at + 8:end]):
            self.index_problem = "the index fails its CRC-32C"
            return False
        words = (contracts + 63) // 64
        per_block = 32 + bitmap_bytes
        if bitmap_bytes != words * 8 or end - at != 32 + contracts * 24 + blocks * per_block:
            self.index_problem = "the index's sizes do not add up"
            return False
        p = at + 32
        table = np.frombuffer(mv[p:p + contracts * 24], np.dtype([("id", "S16"), ("entries", "<u8")]))
        self.contracts = {bytes(r["id"]).rstrip(b"\0").decode("ascii", "replace"): int(r["entries"]) for r in table}
        p += contracts * 24
        raw = np.frombuffer(mv[p:p + blocks * per_block], np.uint8).reshape(blocks, per_block)
        refs = np.ascontiguousarray(raw[:, :32]).view(_INDEX_BLOCK_DTYPE).reshape(-1)
        self._bitmaps = raw[:, 32:]
        self._contract_ids = list(self.contracts)
        # The BlockRefs are made when first asked for (a Python object per block costs a fair
        # part of reading the file); the readers take these columns.
        self._blocks, self._refs = None, refs
        self._block_columns = tuple(np.ascontiguousarray(refs[f]) for f in ("offset", "entries", "stored_bytes"))
        self.has_index = True
        return True

    def _walk(self):
        mv, size, off, expect = self._mv, len(self._mv), 64, 0
        limit = self.header["block_entries"]
        while off < size:
            if size - off < 64:
                self.trailing_bytes = size - off
                return
            raw = bytes(mv[off:off + 64])
            if raw[:4] == INDEX_MAGIC or off == self._index_at:
                return  # the index
            h = _block_header(raw, limit)
            if h is not None:
                entries, _, stored, _, block_no, lo, hi = h
                if size - off - 64 < stored:
                    self.trailing_bytes = size - off
                    return
                self._blocks.append(BlockRef(off, entries, stored, lo, hi, block_no))
                expect = block_no + 1
                off += 64 + stored
                continue
            found, next_no, pos = size, expect + 1, off + 1
            while True:
                at = self._map.find(BLOCK_MAGIC, pos)
                if at < 0:
                    break
                c = _block_header(bytes(mv[at:at + 64]), limit)
                if c is not None and c[4] >= expect:
                    found, next_no = at, max(c[4], expect + 1)
                    break
                pos = at + 1
            for no in range(expect, next_no):
                self.damages.append(Damage(self.path, no, off, 0,
                                           f"block header damaged: {found - off} bytes from offset {off} skipped "
                                           "to the next whole block (entries not known without the index)"))
            expect, off = next_no, found

    def _damaged(self, b, what):
        self.damages.append(Damage(self.path, b.block_no, b.offset, b.entries, what))
        self.untrusted += b.entries
        return None

    def _stored(self, b, head=None, stored=None):
        """The checked stored bytes of a block and its codec, or None (a damage noted). The
        header and stored bytes come from the mapping unless given."""
        if head is None:
            head = bytes(self._mv[b.offset:b.offset + 64])
            stored = self._mv[b.offset + 64:b.offset + 64 + b.stored_bytes]
        h = _block_header(head, self.header["block_entries"])
        if h is None or h[0] != b.entries or h[2] != b.stored_bytes:
            return self._damaged(b, _WHAT[_HEADER_DAMAGED])
        if len(stored) != b.stored_bytes:
            return self._damaged(b, _WHAT[_CUT_SHORT])
        if _crc32c(stored) != h[3]:
            return self._damaged(b, _WHAT[_DATA_CRC])
        return stored, h[1]

    def _decode(self, b, stored, codec, out=None):
        """The entries of a checked block, into `out` (an ENTRY_DTYPE array of b.entries) when given."""
        if codec == _CODEC_NONE:
            view = np.frombuffer(stored, ENTRY_DTYPE)  # a view of the mapped file
            if out is None:
                return view
            out.view(np.uint8)[:] = np.frombuffer(stored, np.uint8)
            return out
        if self._zstd is None:
            try:
                import zstandard
            except ImportError as e:  # pragma: no cover - depends on the machine
                raise ImportError("compressed recordings need the zstandard module (Debian: python3-zstandard)") from e
            self._zstd = zstandard.ZstdDecompressor()
            self._zstd_error = zstandard.ZstdError
        try:
            raw = self._zstd.decompress(stored, max_output_size=b.entries * 160)
        except self._zstd_error as e:
            return self._damaged(b, f"stored bytes do not decompress to the entries: {e}")
        if len(raw) != b.entries * 160:
            return self._damaged(b, "stored bytes do not decompress to the entries: wrong size")
        if out is None:
            out = np.empty(b.entries, ENTRY_DTYPE)
        if checks.helper is not None:
            checks.helper.unshuffle(raw, out)
            return out
        flat = out.view(np.uint8).reshape(b.entries, 160)
        flat[:] = np.frombuffer(raw, np.uint8).reshape(160, b.entries).T
        arrival = out["arrival_ns"].view("<u8")
        np.cumsum(arrival, out=arrival)  # stored as differences, wrapping
        return out

    def select(self, from_ns=None, to_ns=None, contracts=None):
        """Positions of the blocks that may hold arrivals in the window [from_ns, to_ns) and, with
        the index, one of the contracts (whole identifiers or products, the identifiers' letters).

        from_ns and to_ns are nanoseconds since the epoch (UTC) or text YYYY-MM-DDTHH:MM[:SS[.fff]]
        with Z, +hh:mm or no zone (China Standard Time, UTC+08:00); None leaves that end open. A
        block is kept when its arrivals overlap the window: from_ns is in it, to_ns is not, so a
        block whose latest arrival is from_ns is kept and one whose earliest is to_ns is not. The
        blocks may hold arrivals outside the window too: window.within() keeps those in it, as
        load(from_ns=..., to_ns=...) does, and kest-record slice --from/--to holds the same."""
        span = window.bounds(from_ns, to_ns)
        chosen = [i for i, b in enumerate(self.blocks) if window.overlaps(b.min_ns, b.max_ns, span)]
        if contracts and self.has_index:
            bits = np.zeros(self._bitmaps.shape[1], np.uint8)
            for c, name in enumerate(self._contract_ids):
                if _matches(name, contracts):
                    bits[c // 8] |= 1 << (c % 8)
            chosen = [i for i in chosen if (self._bitmaps[i] & bits).any()]
        return chosen

    def runs(self, blocks=None):
        """Arrays of ENTRY_DTYPE in file order, the trusted entries of each block (of `blocks`,
        block positions, when given); uncompressed runs are views of the mapped file."""
        if self.header["version"] == 1:
            step = 1 << 16
            for at in range(0, self.entries_count, step):
                n = min(step, self.entries_count - at)
                yield np.frombuffer(self._mv[64 + at * 160:64 + (at + n) * 160], ENTRY_DTYPE)
            return
        if checks.helper is not None:
            yield from self._checked_runs(range(self._block_count()) if blocks is None else blocks)
            return
        for i in range(len(self.blocks)) if blocks is None else blocks:
            b = self.blocks[i]
            checked = self._stored(b)
            if checked is not None:
                entries = self._decode(b, *checked)
                if entries is not None:
                    yield entries

    def entries(self, blocks=None):
        """The trusted entries (of `blocks`) in one array of ENTRY_DTYPE. Each block is read
        (pread) straight into the array, checked there, and decompressed in place when it is."""
        if self.header["version"] == 1:
            out = _empty(self.entries_count)
            with open(self.path, "rb", buffering=0) as f:
                f.seek(64)
                f.readinto(memoryview(out.view(np.uint8)))
            return out
        chosen = range(self._block_count()) if blocks is None else blocks
        if checks.helper is not None:
            return self._checked_entries(chosen)
        out = _empty(sum(self.blocks[i].entries for i in chosen))
        head = bytearray(64)
        at = 0
        fd = os.open(self.path, os.O_RDONLY)
        try:
            for i in chosen:
                b = self.blocks[i]
                dst = out[at:at + b.entries]
                raw = memoryview(dst.view(np.uint8))
                if b.stored_bytes > len(raw):  # no codec stores more than the entries
                    self._damaged(b, _WHAT[_HEADER_DAMAGED])
                    continue
                got = os.preadv(fd, [head, raw[:b.stored_bytes]], b.offset)
                checked = self._stored(b, bytes(head), raw[:max(0, got - 64)])
                if checked is None:
                    continue
                if checked[1] != _CODEC_NONE:
                    checked = (bytes(checked[0]), checked[1])
                if self._decode(b, *checked, out=dst if checked[1] != _CODEC_NONE else None) is not None:
                    at += b.entries
        finally:
            os.close(fd)
        return out[:at]

    @property
    def blocks(self):
        """The blocks as BlockRefs (list); made when first asked for from an index."""
        if self._blocks is None:
            r = self._refs
            self._blocks = [BlockRef(*t, i) for i, t in enumerate(zip(
                r["offset"].tolist(), r["entries"].tolist(), r["stored_bytes"].tolist(), r["min_ns"].tolist(),
                r["max_ns"].tolist()))]
        return self._blocks

    def _block_count(self):
        return len(self._refs) if self._blocks is None else len(self._blocks)

    def _columns(self, chosen):
        """Offsets, entries and stored bytes of the blocks at positions `chosen`, as the helper takes them."""
        if self._block_columns is None:
            self._block_columns = (np.array([b.offset for b in self.blocks], np.uint64),
                                   np.array([b.entries for b in self.blocks], np.uint32),
                                   np.array([b.stored_bytes for b in self.blocks], np.uint32))
        if isinstance(chosen, range) and chosen.step == 1:
            return [c[chosen.start:chosen.stop] for c in self._block_columns]
        at = chosen if isinstance(chosen, np.ndarray) else np.fromiter(chosen, np.intp)
        return [c[at] for c in self._block_columns]

    def _checked_runs(self, chosen):
        """runs() with the helper: the blocks checked a chunk at a time in one call each; a plain
        block of `block_entries` where the file's whole blocks follow one another is a row of one
        strided view of the mapping (a row costs less than a new view)."""
        chosen = np.fromiter(chosen, np.intp)
        whole = np.frombuffer(self._mv, np.uint8)
        limit = self.header["block_entries"]
        first = int(self._block_columns[0][0]) if self._block_count() else 64
        step = 64 + limit * ENTRY_DTYPE.itemsize
        rows = max(0, (len(self._mv) - first) // step)
        grid = np.ndarray((rows, limit), ENTRY_DTYPE, self._mv, first + 64, (step, ENTRY_DTYPE.itemsize)) \
            if rows else None
        for start in range(0, len(chosen), _CHECK_CHUNK):
            part = chosen[start:start + _CHECK_CHUNK]
            offsets, counts, stored = self._columns(part)
            codes = checks.helper.check_blocks(self._mv, offsets, counts, stored, limit)
            row, off_step = np.divmod(offsets.astype(np.int64) - first, step)
            in_grid = (off_step == 0) & (counts == limit) & (row >= 0) & (row < rows)
            for i, code, r, fits in zip(part.tolist(), codes.tolist(), row.tolist(), in_grid.tolist()):
                if code == _CODEC_NONE and fits:
                    yield grid[r]
                    continue
                b = self.blocks[i]
                begin = b.offset + 64
                if code == _CODEC_NONE:
                    yield whole[begin:begin + b.stored_bytes].view(ENTRY_DTYPE)
                elif code == _CODEC_ZSTD:
                    entries = self._decode(b, self._mv[begin:begin + b.stored_bytes], code)
                    if entries is not None:
                        yield entries
                else:
                    self._damaged(b, _WHAT[code])

    def _checked_entries(self, chosen):
        """entries() with the helper: the blocks read (preadv) straight into the array and checked
        there while in the cache, in one call; the compressed ones then expanded in their places."""
        offsets, counts, stored = self._columns(chosen)
        out = _empty(int(counts.sum(dtype=np.uint64)))
        fd = os.open(self.path, os.O_RDONLY)
        try:
            codes = checks.helper.read_blocks(fd, offsets, counts, stored, self.header["block_entries"], out)
        finally:
            os.close(fd)
        placed = codes <= _CODEC_ZSTD
        ends = np.cumsum(np.where(placed, counts, 0), dtype=np.int64)
        used = int(ends[-1]) if len(ends) else 0
        decoded = placed.copy()
        chosen = list(chosen)
        for k in np.flatnonzero(codes != _CODEC_NONE).tolist():
            b = self.blocks[chosen[k]]
            if not placed[k]:
                self._damaged(b, _WHAT[int(codes[k])])
                continue
            place = out[ends[k] - b.entries:ends[k]]
            # The stored bytes lie at the start of the block's place, which the entries take.
            stored_bytes = place.view(np.uint8)[:b.stored_bytes].tobytes()
            if self._decode(b, stored_bytes, _CODEC_ZSTD, out=place) is None:
                decoded[k] = False
        if (decoded != placed).any():  # a compressed block that did not decompress gives its place up
            return out[:used][np.repeat(decoded[placed], counts[placed])]
        return out[:used]


def _empty(count):
    """An uninitialised ENTRY_DTYPE array; a large one in anonymous memory that the kernel may
    back by 2 MiB pages (MADV_HUGEPAGE, honoured when transparent_hugepage is "madvise" or
    "always"): a fault per 4 KiB page costs more than reading the file, and zeroing is what is left."""
    size = count * ENTRY_DTYPE.itemsize
    huge = 2 << 20
    if size < 2 * huge:
        return np.empty(count, ENTRY_DTYPE)
    advice = getattr(mmap, "MADV_HUGEPAGE", None)
    # Whole huge pages, so that the kernel places the mapping on a 2 MiB boundary; without the
    # advice, every page mapped at once.
    flags = mmap.MAP_PRIVATE | mmap.MAP_ANONYMOUS | (getattr(mmap, "MAP_POPULATE", 0) if advice is None else 0)
    memory = mmap.mmap(-1, -(-size // huge) * huge, flags=flags)
    if advice is not None:
        try:
            memory.madvise(advice)
        except OSError:  # a kernel without transparent huge pages
            pass
    return np.frombuffer(memory, ENTRY_DTYPE, count=count)


def _matches(name, contracts):
    for want in contracts:
        if name == want or (want.isalpha() and name.startswith(want) and name[len(want):len(want) + 1].isdigit()):
            return True
    return False

