"""The checks of a file header and a block header, and CRC-32C: by the package's compiled helper
``_blocks`` when it imports and the processor has a CRC-32C instruction (``helper``), else by the
crc32c module. KEST_RECORDS_PURE=1 in the environment leaves the helper out."""
import os

import numpy as np

from .format import (_BLOCK, _CODEC_NONE, _CODEC_ZSTD, BLOCK_MAGIC, CHANNELS, CLOCK_REALTIME, ENTRY_DTYPE,
                     FORMAT_VERSION, HEADER_DTYPE, LAST_EXCHANGE_S, MAGIC, MAX_EXCHANGE_RATE_MILLI, RECORD_DTYPE)

if os.environ.get("KEST_RECORDS_PURE") == "1":
    helper = None
else:
    try:
        from . import _blocks as helper
    except ImportError:  # built without a compiler (a pip install of the sources), or for another Python
        helper = None
if helper is not None and not helper.hardware_crc:
    helper = None

# Why a block is skipped, by the helper's codes (0 and 1 are its codecs: good).
_HEADER_DAMAGED, _CUT_SHORT, _DATA_CRC = 2, 3, 4
_WHAT = {_HEADER_DAMAGED: "block header damaged (it fails its CRC-32C or disagrees with the index)",
         _CUT_SHORT: "block cut short: the file ends inside it",
         _DATA_CRC: "stored bytes fail their CRC-32C"}


def _crc32c(data):
    if helper is not None:
        return helper.crc32c(data)
    try:
        import crc32c
    except ImportError as e:  # pragma: no cover - depends on the machine
        raise ImportError("reading format version 2 needs the crc32c module (Debian: python3-crc32c)") from e
    return crc32c.crc32c(data)


def _check_header(path, raw):
    if len(raw) < HEADER_DTYPE.itemsize:
        raise ValueError(f"{path}: too short for a recording header")
    h = np.frombuffer(raw[:64], dtype=HEADER_DTYPE)[0]
    if bytes(h["magic"]).ljust(8, b"\0") != MAGIC:
        raise ValueError(f"{path}: not a recording (bad magic)")
    if h["version"] > FORMAT_VERSION:
        raise ValueError(f"{path}: format version {h['version']} is newer than this reader's ({FORMAT_VERSION})")
    # Every field that says what the file holds must be this format's; the field is named.
    checks = [("version", 1 <= h["version"] <= FORMAT_VERSION, "not a version this reader knows"),
              ("header_bytes", h["header_bytes"] == HEADER_DTYPE.itemsize, "not 64"),
              ("record_bytes", h["record_bytes"] == RECORD_DTYPE.itemsize, "not 152"),
              ("entry_bytes", h["entry_bytes"] == ENTRY_DTYPE.itemsize, "not 160"),
              ("channel", h["channel"] < CHANNELS, f"not a channel (0..{CHANNELS - 1})"),
              ("clock", h["clock"] == CLOCK_REALTIME, f"not {CLOCK_REALTIME} (CLOCK_REALTIME)")]
    if h["version"] >= 2:
        checks += [("block_entries", 1 <= h["block_entries"] <= 65536, "not 1..65536"),
                   ("header_crc", h["header_crc"] == _crc32c(bytes(raw[:60])), "not the header's CRC-32C")]
    anchored = h["exchange_anchor_s"] != 0
    checks += [("exchange_anchor_ns", h["exchange_anchor_ns"] == 0, "not 0 without an anchor"),
               ("exchange_rate_milli", h["exchange_rate_milli"] == 0, "not 0 without an anchor")] if not anchored \
        else [("exchange_rate_milli", 1 <= h["exchange_rate_milli"] <= MAX_EXCHANGE_RATE_MILLI,
               f"not 1..{MAX_EXCHANGE_RATE_MILLI}"),
              ("exchange_anchor_ns", 10**9 <= h["exchange_anchor_ns"] <= LAST_EXCHANGE_S * 10**9,
               "not a time from 1970 to 2100")]
    for name, good, expected in checks:
        if not good:
            raise ValueError(f"{path}: header does not describe this format: field {name} is {h[name]}, {expected}")
    return {name: h[name].item() for name in HEADER_DTYPE.names if name != "magic"}


def read_header(path):
    """The file header as a dict; ValueError for a file that is not a recording this reader knows."""
    with open(path, "rb") as f:
        return _check_header(path, f.read(HEADER_DTYPE.itemsize))


def _block_header(raw, block_entries):
    """The fields of a block header that checks out (magic, CRC, sizes), else None."""
    if len(raw) < 64 or raw[:4] != BLOCK_MAGIC:
        return None
    (_, header_crc, entries, codec, _, raw_bytes, stored, first, last, data_crc, block_no, lo, hi) = \
        _BLOCK.unpack_from(raw)
    if not 1 <= entries <= block_entries or raw_bytes != entries * 160:
        return None
    if not ((codec == _CODEC_NONE and stored == raw_bytes) or (codec == _CODEC_ZSTD and stored <= raw_bytes + 65536)):
        return None
    if header_crc != _crc32c(raw[8:64]):
        return None
    return entries, codec, stored, data_crc, block_no, lo, hi

