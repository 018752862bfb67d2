"""Quote recordings of kest-md-recv (``--record FILE``) read into numpy or pandas.

    import kest_records
    entries = kest_records.load("day.kestrec")              # numpy structured array
    frame = kest_records.load("day.kestrec", frame=True)    # pandas DataFrame

The file layout is documented in recording/FORMAT.md of the project: a 64-byte
header, then 160-byte entries (arrival time in nanoseconds since the epoch,
then the 152 bytes of the quote record exactly as the library delivered them).
"""

import os
import warnings

import numpy as np

__all__ = ["MAGIC", "FORMAT_VERSION", "HEADER_DTYPE", "RECORD_DTYPE", "ENTRY_DTYPE",
           "read_header", "recording_files", "load"]

MAGIC = b"KESTREC\0"
FORMAT_VERSION = 1

HEADER_DTYPE = np.dtype({
    "names": ["magic", "version", "header_bytes", "record_bytes", "entry_bytes", "channel",
              "config_crc", "clock", "sequence", "started_ns"],
    "formats": ["S8", "<u2", "<u2", "<u2", "<u2", "<u4", "<u4", "<u4", "<u4", "<i8"],
    "offsets": [0, 8, 10, 12, 14, 16, 20, 24, 28, 32],
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


def read_header(path):
    """The file header as a dict; ValueError for a file that is not a recording this reader knows."""
    with open(path, "rb") as f:
        raw = f.read(HEADER_DTYPE.itemsize)
    if len(raw) < HEADER_DTYPE.itemsize:
        raise ValueError(f"{path}: too short for a recording header")
    h = np.frombuffer(raw, dtype=HEADER_DTYPE)[0]
    if bytes(h["magic"]).ljust(8, b"\0") != MAGIC:
        raise ValueError(f"{path}: not a recording (bad magic)")
    if h["version"] > FORMAT_VERSION:
        raise ValueError(f"{path}: format version {h['version']} is newer than this reader's ({FORMAT_VERSION})")
    # Every field that says what the file holds must be this format's; the field is named.
    for name, good, expected in (
            ("version", 1 <= h["version"] <= FORMAT_VERSION, "not a version this reader knows"),
            ("header_bytes", h["header_bytes"] == HEADER_DTYPE.itemsize, "not 64"),
            ("record_bytes", h["record_bytes"] == RECORD_DTYPE.itemsize, "not 152"),
            ("entry_bytes", h["entry_bytes"] == ENTRY_DTYPE.itemsize, "not 160"),
            ("channel", h["channel"] < 16, "not a channel (0..15)"),
            ("clock", h["clock"] == 1, "not 1 (CLOCK_REALTIME)")):
        if not good:
            raise ValueError(f"{path}: header does not describe this format: field {name} is {h[name]}, {expected}")
    return {name: h[name].item() for name in HEADER_DTYPE.names if name != "magic"}


def recording_files(path):
    """A recording's files in order: PATH, then PATH.1, PATH.2, ... as rotation made them."""
    files = [path]
    n = 1
    while os.path.exists(f"{path}.{n}"):
        files.append(f"{path}.{n}")
        n += 1
    return files


def _read_entries(path):
    header = read_header(path)
    with open(path, "rb") as f:
        f.seek(header["header_bytes"])
        body = f.read()
    whole = len(body) // ENTRY_DTYPE.itemsize
    trailing = len(body) - whole * ENTRY_DTYPE.itemsize
    if trailing:
        warnings.warn(f"{path}: {trailing} trailing bytes ignored (the recorder stopped in the middle of a block)")
    return np.frombuffer(body, dtype=ENTRY_DTYPE, count=whole)


def load(path, frame=False, follow_rotation=True):
    """Loads a recording.

    path: a recording file, or a list of files. With follow_rotation, the
    files that rotation added after PATH (PATH.1, ...) are read too.

    Returns a numpy array of ENTRY_DTYPE (fields ``arrival_ns`` and ``record``),
    or with frame=True a pandas DataFrame: ``arrival`` (UTC datetime),
    ``exchange_time`` (time of day on the exchange clock, a timedelta), prices
    in yuan as floats (the record's hundredths / 100), turnover in yuan,
    volumes and open interest in lots, and the other record fields as they are.
    """
    if isinstance(path, (list, tuple)):
        files = list(path)
    else:
        files = recording_files(path) if follow_rotation else [path]
    parts = [_read_entries(f) for f in files]
    entries = np.concatenate(parts) if len(parts) > 1 else parts[0]
    if not frame:
        return entries
    return _to_frame(entries)


def _to_frame(entries):
    import pandas as pd

    r = entries["record"]
    t = r["update_time"].astype(np.int64)
    exchange_ms = ((t // 10000) * 3600 + (t // 100 % 100) * 60 + t % 100) * 1000 + r["update_milli_sec"]
    columns = {
        "arrival": pd.to_datetime(entries["arrival_ns"], unit="ns", utc=True),
        "inst_no": r["inst_no"],
        "inst_id": np.char.decode(r["inst_id"], "ascii", "replace"),
        "exchange_time": pd.to_timedelta(exchange_ms, unit="ms"),
        "type": r["type"],
        "change_no": r["change_no"],
        "last_price": r["last_px"] / 100.0,
        "volume": r["volume"],
        "turnover": r["turnover"] / 100.0,
        "open_interest": r["open_interest"],
    }
    for side in ("bid", "ask"):
        for n in range(1, 6):
            columns[f"{side}{n}_price"] = r[f"{side}{n}_px"] / 100.0
            columns[f"{side}{n}_volume"] = r[f"{side}{n}_vol"]
    columns["last_tick_flag"] = r["last_tick_flag"]
    columns["max_inst_no"] = r["max_inst_no"]
    return pd.DataFrame(columns)
