"""A recording loaded whole: its rotated files followed, damage warned about or raised."""
import os
import warnings

import numpy as np

from . import window
from .file import RecordingFile
from .frames import _dates, _to_frame


class DamagedRecording(ValueError):
    """Raised by load(..., on_damage="raise") when a block fails its checks."""



def recording_files(path):
    """A recording's files in order: PATH, then PATH.1, PATH.2, ... as rotation made them."""
    files = [path]
    n = 1
    while os.path.exists(f"{path}.{n}"):
        files.append(f"{path}.{n}")
        n += 1
    return files


def _read_entries(path, on_damage="warn", blocks=None, span=(None, None), header=None):
    """header: a list that gets the file's header, whose exchange clock dates the entries."""
    rec = RecordingFile(path)
    if header is not None:
        header.append(rec.header)
    if span != (None, None) and blocks is None and rec.header["version"] >= 2:
        blocks = rec.select(*span)
    entries = window.within(rec.entries(blocks), span)
    if rec.trailing_bytes:
        warnings.warn(f"{path}: {rec.trailing_bytes} trailing bytes ignored "
                      "(the recorder stopped in the middle of a block)")
    for d in rec.damages:
        message = (f"{d.file}: block {d.block} at offset {d.offset} ({d.entries} entries) skipped: {d.what}")
        if on_damage == "raise":
            raise DamagedRecording(message)
        warnings.warn(message)
    return entries


def load(path, frame=False, follow_rotation=True, on_damage="warn", from_ns=None, to_ns=None):
    """Loads a recording.

    path: a recording file, or a list of files. With follow_rotation, the
    files that rotation added after PATH (PATH.1, ...) are read too.
    on_damage: "warn" (skip damaged blocks with a warning each) or "raise"
    (DamagedRecording).
    from_ns, to_ns: only the arrivals in [from_ns, to_ns), the window of
    RecordingFile.select (nanoseconds since the epoch, or text in China
    Standard Time unless it has a zone); only the blocks that overlap it are read.

    Returns a numpy array of ENTRY_DTYPE (fields ``arrival_ns`` and ``record``),
    or with frame=True a pandas DataFrame: ``arrival`` (UTC datetime),
    ``exchange_time`` (time of day on the exchange clock, a timedelta),
    ``exchange_stamp`` (that time on its date, a UTC datetime) and
    ``trading_date`` (YYYYMMDD as kest-record csv gives it), both on the
    exchange's clock of each file (module clock: a simulated clock's own
    calendar where the file's header holds one, else the host's), prices
    in yuan as floats (the record's hundredths / 100), turnover in yuan,
    volumes and open interest in lots, and the other record fields as they are.
    """
    if isinstance(path, (list, tuple)):
        files = list(path)
    else:
        files = recording_files(path) if follow_rotation else [path]
    span = window.bounds(from_ns, to_ns)
    headers = []
    parts = [_read_entries(f, on_damage, span=span, header=headers) for f in files]
    entries = np.concatenate(parts) if len(parts) > 1 else parts[0]
    if not frame:
        return entries
    dates = [_dates(h, p) for h, p in zip(headers, parts)]
    return _to_frame(entries, tuple(np.concatenate(c) for c in zip(*dates)))
