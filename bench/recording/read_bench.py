"""numpy figures of the recording benchmark (run by kest_bench_recording --python THIS):
kest_records.load of a version 2 file, uncompressed and compressed, beside reading its bytes
(medians of the process's CPU time, as the C++ figures)."""
import os
import statistics
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "python"))
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


def main():
    plain, compressed, runs = sys.argv[1], sys.argv[2], int(sys.argv[3])
    n = len(kest_records.load(plain))
    t_read = median(runs, lambda: read_bytes(plain))
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
            ("kest_records.load, version 2 zstd (numpy)", n / t_z / 1e6, "M ent/s", ">= 3 M/s", n / t_z >= 3e6)]
    for what, value, unit, limit, ok in rows:
        print(f"  {what:<58} {value:12.2f} {unit:<10} {limit:<28} {'ok' if ok else 'MISSED'}")


if __name__ == "__main__":
    main()
