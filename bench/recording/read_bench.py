"""numpy figures of the recording benchmark (run by kest_bench_recording --python THIS):
kest_records.load of a version 2 file, uncompressed and compressed, beside reading its bytes
(medians of the process's CPU time, as the C++ figures).

Reading the bytes is measured two ways: into one reused 4 MiB buffer (the least a read costs,
the baseline of runs(), which makes no copy), and into one new buffer of the file's size, as
load() must fill one new array: the kernel gives new memory zeroed, page by page, and on this
guest that costs about as much as the read itself."""
import glob
import os
import statistics
import sys
import time

# The package with its compiled helper: KEST_PYTHON_DIR, else the build tree's (build/python), else the
# sources (numpy only).
_top = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
sys.path.insert(0, os.environ.get("KEST_PYTHON_DIR") or next(
    (d for d in (os.path.join(_top, "build", "python"), os.path.join(_top, "python"))
     if glob.glob(os.path.join(d, "kest_records", "_blocks*.so"))), os.path.join(_top, "python")))
import numpy as np  # noqa: E402

import kest_records  # noqa: E402


def median(runs, f):
    times = []
    for _ in range(runs):
        start = time.process_time()
        f()
        times.append(time.process_time() - start)
    return statistics.median(times)


def read_bytes(path):
    buf = bytearray(4 << 20)
    with open(path, "rb", buffering=0) as f:
        while f.readinto(buf):
            pass


def read_into_new(path):
    size = os.path.getsize(path)
    # New memory the way load() takes it (on 2 MiB pages where the kernel gives them).
    buf = kest_records._empty(-(-size // kest_records.ENTRY_DTYPE.itemsize)).view(np.uint8)[:size]
    with open(path, "rb", buffering=0) as f:
        f.readinto(memoryview(buf))


def main():
    plain, compressed, runs = sys.argv[1], sys.argv[2], int(sys.argv[3])
    n = len(kest_records.load(plain))
    t_read = median(runs, lambda: read_bytes(plain))
    t_read_new = median(runs, lambda: read_into_new(plain))
    t_load = median(runs, lambda: kest_records.load(plain))
    t_z = median(runs, lambda: kest_records.load(compressed))
    t_runs = median(runs, lambda: sum(len(r) for r in kest_records.RecordingFile(plain).runs()))
    rows = [("read of the version 2 file's bytes (Python)", n / t_read / 1e6, "M ent/s", "baseline", True),
            ("RecordingFile.runs(), version 2 uncompressed (mapped views)", n / t_runs / 1e6, "M ent/s", ">= 6 M/s",
             n / t_runs >= 6e6),
            ("  its time against reading the same bytes", t_runs / t_read, "x", "<= 2x", t_runs / t_read <= 2),
            ("kest_records.load, version 2 uncompressed (one new array)", n / t_load / 1e6, "M ent/s", ">= 6 M/s",
             n / t_load >= 6e6),
            ("  its time against reading the same bytes", t_load / t_read, "x", "<= 2x", t_load / t_read <= 2),
            ("read of the file's bytes into one new buffer of its size", n / t_read_new / 1e6, "M ent/s",
             "baseline", True),
            ("  load()'s time against that", t_load / t_read_new, "x", "<= 2x", t_load / t_read_new <= 2),
            ("kest_records.load, version 2 zstd", n / t_z / 1e6, "M ent/s", ">= 3 M/s", n / t_z >= 3e6)]
    helper = kest_records.checks.helper
    if helper is not None:  # the same reads on the numpy path, for comparison
        kest_records.checks.helper = None
        try:
            t_pure = median(runs, lambda: kest_records.load(plain))
            t_pure_z = median(runs, lambda: kest_records.load(compressed))
        finally:
            kest_records.checks.helper = helper
        rows += [("kest_records.load, uncompressed, numpy path (no helper)", n / t_pure / 1e6, "M ent/s", "", True),
                 ("kest_records.load, zstd, numpy path (no helper)", n / t_pure_z / 1e6, "M ent/s", "", True)]
    print(f"  (kest_records from {os.path.dirname(kest_records.__file__)}, "
          f"{'with' if helper is not None else 'without'} its compiled helper)")
    for what, value, unit, limit, ok in rows:
        print(f"  {what:<58} {value:12.2f} {unit:<10} {limit:<28} {'ok' if ok else 'MISSED'}")


if __name__ == "__main__":
    main()
