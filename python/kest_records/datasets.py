"""Recordings as a Dask DataFrame, a partition per file or per range of blocks."""
import os

import numpy as np

from .file import RecordingFile
from .format import ENTRY_DTYPE
from .frames import _dates, _to_frame
from .loading import _read_entries


def _frame_part(path, blocks):
    header = []
    entries = _read_entries(path, blocks=blocks, header=header)
    return _to_frame(entries, _dates(header[0], entries))


def dataset(paths, blocks_per_partition=None):
    """A Dask DataFrame of recordings (the columns of load(frame=True)).

    paths: a glob pattern, a path, or a list of them (each file on its own:
    rotation files are matched by the glob or listed). One partition per file,
    or per `blocks_per_partition` blocks of a version 2 file. The partitions
    read the files where they run: on a dask.distributed cluster the workers
    need the files at the same paths.
    """
    import glob

    import dask
    import dask.dataframe as dd

    if isinstance(paths, (str, os.PathLike)):
        paths = [paths]
    files = []
    for p in paths:
        p = str(p)
        matched = sorted(glob.glob(p)) if any(c in p for c in "*?[") else [p]
        if not matched:
            raise FileNotFoundError(f"no recording matches {p}")
        files += matched
    parts = []
    for f in files:
        rec = RecordingFile(f)
        if blocks_per_partition and rec.blocks:
            for start in range(0, len(rec.blocks), blocks_per_partition):
                parts.append(dask.delayed(_frame_part)(f, list(range(start, min(start + blocks_per_partition,
                                                                               len(rec.blocks))))))
        else:
            parts.append(dask.delayed(_frame_part)(f, None))
    return dd.from_delayed(parts, meta=_to_frame(np.zeros(0, ENTRY_DTYPE)), verify_meta=False)
