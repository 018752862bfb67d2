"""The recording file layout (recording/FORMAT.md) as numpy dtypes and constants: a copy of
recording/include/recording/Recording.h, which the reader's test compares with that header."""
import struct

import numpy as np

MAGIC = b"KESTREC\0"
FORMAT_VERSION = 2
CLOCK_REALTIME = 1  # the clock of the arrivals: nanoseconds since the epoch, UTC
CHANNELS = 16  # a card's processing channels
MAX_EXCHANGE_RATE_MILLI = 10_000_000  # 10000 exchange seconds a second
LAST_EXCHANGE_S = 4_102_444_800  # 2100-01-01T00:00:00Z, the latest anchor time
BLOCK_MAGIC = b"KBLK"
INDEX_MAGIC = b"KIDX"
TRAILER_MAGIC = b"KESTEND\0"

HEADER_DTYPE = np.dtype({
    "names": ["magic", "version", "header_bytes", "record_bytes", "entry_bytes", "channel",
              "config_crc", "clock", "sequence", "started_ns", "block_entries", "exchange_anchor_s",
              "exchange_anchor_ns", "exchange_rate_milli", "header_crc"],
    "formats": ["S8", "<u2", "<u2", "<u2", "<u2", "<u4", "<u4", "<u4", "<u4", "<i8", "<u4", "<u4", "<i8", "<u4",
                "<u4"],
    "offsets": [0, 8, 10, 12, 14, 16, 20, 24, 28, 32, 40, 44, 48, 56, 60],
    "itemsize": 64,
})

_LEVELS = [(f"{side}{n}_{what}", fmt) for side in ("bid", "ask") for n in range(1, 6)
           for what, fmt in (("px", "<i4"), ("vol", "<u4"))]

# KestShfeMdType: little-endian, natural alignment, 152 bytes.
RECORD_DTYPE = np.dtype({
    "names": ["inst_no", "inst_id", "update_time", "update_milli_sec", "type", "change_no", "last_px",
              "volume", "turnover", "open_interest"] + [n for n, _ in _LEVELS] +
             ["reverse1", "reverse2", "last_tick_flag", "max_inst_no"],
    "formats": ["<u4", "S16", "<u4", "<u2", "<u2", "<u4", "<i4", "<u4", "<i8", "<i8"] +
               [f for _, f in _LEVELS] + ["<u8", "(3,)u1", "?", "<u4"],
    "offsets": [0, 4, 20, 24, 26, 28, 32, 36, 40, 48] + [56 + 4 * i for i in range(20)] +
               [136, 144, 147, 148],
    "itemsize": 152,
})

ENTRY_DTYPE = np.dtype({
    "names": ["arrival_ns", "record"],
    "formats": ["<i8", RECORD_DTYPE],
    "offsets": [0, 8],
    "itemsize": 160,
})

BLOCK_DTYPE = np.dtype({
    "names": ["magic", "header_crc", "entries", "codec", "raw_bytes", "stored_bytes", "first_ns", "last_ns",
              "data_crc", "block_no", "min_ns", "max_ns"],
    "formats": ["S4", "<u4", "<u4", "<u2", "<u4", "<u4", "<i8", "<i8", "<u4", "<u4", "<i8", "<i8"],
    "offsets": [0, 4, 8, 12, 16, 20, 24, 32, 40, 44, 48, 56],
    "itemsize": 64,
})
_INDEX_BLOCK_DTYPE = np.dtype([("offset", "<u8"), ("entries", "<u4"), ("stored_bytes", "<u4"),
                               ("min_ns", "<i8"), ("max_ns", "<i8")])
# The index's header after its magic (crc, blocks, contracts, entries, bitmap_bytes), and its trailer.
INDEX_HEADER_DTYPE = np.dtype({
    "names": ["magic", "crc", "blocks", "contracts", "entries", "bitmap_bytes"],
    "formats": ["S4", "<u4", "<u4", "<u4", "<u8", "<u4"],
    "offsets": [0, 4, 8, 12, 16, 24],
    "itemsize": 32,
})
_INDEX_HEADER = struct.Struct("<IIIQI")  # INDEX_HEADER_DTYPE from its crc on
TRAILER_DTYPE = np.dtype({"names": ["index_offset", "magic"], "formats": ["<u8", "S8"], "offsets": [0, 8],
                          "itemsize": 16})
_CODEC_NONE, _CODEC_ZSTD = 0, 1

_BLOCK = struct.Struct("<4sIIHHIIqqIIqq")  # BLOCK_DTYPE as a struct: parsed once per block
