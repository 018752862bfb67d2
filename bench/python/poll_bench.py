#!/usr/bin/python3
"""Per-record cost of kest.Receiver.poll beside the C++ buffer mode, over the
same model card in the same run.

    bench/python/poll_bench.py BUILD_DIR [--rounds N] [--records N]

A private model card (its own namespace); kest.Receiver on channel 1, a C++
receiver (KestRecv(record) in a loop, compiled code) on channel 2. Each round
fills channel 1 with N quotes and drains them with poll(batch, timeout=0) in
a Python loop, for batches of 1, 64 and 1024, then fills channel 2 with N and
drains them in C++; the rings are filled outside the timing. Both sides are
timed in the receiving thread's CPU time (CLOCK_THREAD_CPUTIME_ID: what the
thread spent, not the time other processes of a shared machine took from it)
and on the wall clock. Prints the median over rounds of the ns per record,
the median of the per-round ratios, and the Python allocator calls one poll makes (malloc, calloc and
realloc in every domain, counted by a hook) with 1 and with the full batch
ready: their difference over the extra records is the allocations per record.
"""
import argparse
import os
import statistics
import sys
import time

parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
parser.add_argument("build", help="the build tree (python/ holds kest and the card module)")
parser.add_argument("--rounds", type=int, default=15)
parser.add_argument("--records", type=int, default=1 << 16, help="quotes per measure (default 65536)")
opt = parser.parse_args()

# The loader resolves the card library when kest is imported: the model's.
model = os.path.join(os.path.abspath(opt.build), "cardsim")
if model not in os.environ.get("LD_LIBRARY_PATH", "").split(":"):
    os.environ["LD_LIBRARY_PATH"] = model + ":" + os.environ.get("LD_LIBRARY_PATH", "")
    os.execv(sys.executable, [sys.executable] + sys.argv)
sys.path.insert(0, os.path.join(os.path.abspath(opt.build), "python"))

import kest  # noqa: E402
import kest_bench_card  # noqa: E402

BATCHES = (1, 64, 1024)
N = opt.records - opt.records % 1024

card = kest_bench_card.Card()  # also moves into a directory of its own (the library's log)
cpp = kest_bench_card.CppReceiver(card.config(2))
receiver = kest.Receiver(card.config(1), capacity=max(BATCHES))


def python_drain(batch):
    poll = receiver.poll
    got = 0
    c0, t0 = time.thread_time_ns(), time.perf_counter_ns()
    while got < N:
        got += len(poll(batch, 0))
    return time.thread_time_ns() - c0, time.perf_counter_ns() - t0


cpu = {b: [] for b in BATCHES}
wall = {b: [] for b in BATCHES}
cpp_cpu, cpp_wall = [], []
ratio_cpu = {b: [] for b in BATCHES}
ratio_wall = {b: [] for b in BATCHES}
for _ in range(opt.rounds):
    row = {}
    for b in BATCHES:
        card.fill(1, N)
        row[b] = python_drain(b)
    card.fill(2, N)
    c, w, _last = cpp.drain(N)
    cpp_cpu.append(c / N)
    cpp_wall.append(w / N)
    for b in BATCHES:
        cpu[b].append(row[b][0] / N)
        wall[b].append(row[b][1] / N)
        ratio_cpu[b].append(row[b][0] / c)
        ratio_wall[b].append(row[b][1] / w)

allocations = {}
for b in BATCHES:
    for ready in (1, b):
        card.fill(1, ready)
        receiver.poll(max(BATCHES), 1)  # nothing left behind
        card.fill(1, ready)
        allocations[(b, ready)] = kest_bench_card.count_allocations(receiver.poll, b, 0)
        receiver.poll(max(BATCHES), 0)
receiver.close()

med = statistics.median
print(f"records per measure {N}, {opt.rounds} rounds, medians; C++ buffer mode: KestRecv(record) in a loop; "
      f"load average {' '.join(open('/proc/loadavg').read().split()[:3])}")
print(f"{'batch':>5} | {'CPU ns/record: poll':>19} {'C++':>6} {'ratio':>6} | {'wall ns/record: poll':>20} {'C++':>6} "
      f"{'ratio':>6} | {'allocs/poll, 1 ready':>20} {'batch ready':>11} {'per record':>10}")
for b in BATCHES:
    one, full = allocations[(b, 1)], allocations[(b, b)]
    per_record = (full - one) / (b - 1) if b > 1 else 0.0
    print(f"{b:>5} | {med(cpu[b]):>19.1f} {med(cpp_cpu):>6.1f} {med(ratio_cpu[b]):>6.2f} | "
          f"{med(wall[b]):>20.1f} {med(cpp_wall):>6.1f} {med(ratio_wall[b]):>6.2f} | "
          f"{one:>20} {full:>11} {per_record:>10.3f}")
