"""Quote recordings of kest-md-recv (``--record FILE``) read into numpy, pandas or Dask.

    import kest_records
    entries = kest_records.load("day.kestrec")              # numpy structured array
    frame = kest_records.load("day.kestrec", frame=True)    # pandas DataFrame
    rec = kest_records.RecordingFile("day.kestrec")         # blocks, index, damage
    ddf = kest_records.dataset("/data/*.kestrec")           # Dask DataFrame
    hour = kest_records.load("day.kestrec", from_ns="2025-01-03T09:00", to_ns="2025-01-03T10:00")

The file layout is documented in recording/FORMAT.md of the project: a 64-byte
header, then (version 1) 160-byte entries, or (version 2) blocks of entries,
each checked by a CRC-32C and optionally zstd-compressed, and an index. An
entry is the arrival time in nanoseconds since the epoch, then the 152 bytes
of the quote record exactly as the library delivered them. Blocks that fail
their checks are skipped, named in ``damages`` and warned about; their entries
are never returned.

The blocks of version 2 are checked, copied and (codec 1) untransformed by the
package's compiled helper ``_blocks`` when it imports and the processor has a
CRC-32C instruction, else by numpy and the crc32c module; the results and the
damage reports are the same. KEST_RECORDS_PURE=1 in the environment forces the
numpy path.

A time range is half-open, [from, to), and a time without a zone is China
Standard Time: the rule of kest-record slice (module window).

Modules: format (layout), checks (header checks, CRC-32C, the helper), clock (the exchange's
clock of a file: stamps and trading dates), file
(RecordingFile), window (a time range's rule), loading (load), frames (pandas),
datasets (Dask).
"""
from . import clock  # noqa: F401
from .checks import read_header
from .datasets import dataset
from .file import BlockRef, Damage, RecordingFile, _empty  # noqa: F401 (_empty: the benchmark's)
from .format import BLOCK_DTYPE, ENTRY_DTYPE, FORMAT_VERSION, HEADER_DTYPE, MAGIC, RECORD_DTYPE
from .frames import _to_frame  # noqa: F401 (the live module's frames)
from .loading import DamagedRecording, load, recording_files
from .window import parse_time

__all__ = ["MAGIC", "FORMAT_VERSION", "HEADER_DTYPE", "RECORD_DTYPE", "ENTRY_DTYPE", "BLOCK_DTYPE",
           "Damage", "BlockRef", "DamagedRecording", "RecordingFile",
           "read_header", "recording_files", "load", "dataset", "parse_time"]
