#!/usr/bin/python3
"""Per-record cost of kest.Receiver.poll beside the C++ buffer mode, over the
same model card in the same run.

    bench/python/poll_bench.py BUILD_DIR [--rounds N] [--records N]

A private model card (its own namespace); kest.Receiver on channel 1, a C++
receiver (KestRecv(record) in a loop, compiled code) on channel 2. Each round
fills channel 1 with N quotes and drains them with poll(batch, timeout=0) in
a Python loop, for batches of 1, 64 and 1024, then fills channel 2 with N and
drains them in C++; the rings are filled outside the timing. Prints the
median over rounds of the ns per record, and the median of the per-round
ratios, and the Python allocator calls one poll makes (malloc, calloc and
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
    t0 = time.perf_counter_ns()
    while got < N:
        got += len(poll(batch, 0))
    return time.perf_counter_ns() - t0


ns = {b: [] for b in BATCHES}
ns_cpp = []
ratios = {b: [] for b in BATCHES}
for _ in range(opt.rounds):
    row = {}
    for b in BATCHES:
        card.fill(1, N)
        row[b] = python_drain(b) / N
    card.fill(2, N)
    elapsed, _last = cpp.drain(N)
    c = elapsed / N
    ns_cpp.append(c)
    for b in BATCHES:
        ns[b].append(row[b])
        ratios[b].append(row[b] / c)

allocations = {}
for b in BATCHES:
    for ready in (1, b):
        card.fill(1, ready)
        receiver.poll(max(BATCHES), 1)  # nothing left behind
        card.fill(1, ready)
        allocations[(b, ready)] = kest_bench_card.count_allocations(receiver.poll, b, 0)
        receiver.poll(max(BATCHES), 0)
receiver.close()

print(f"records per measure {N}, {opt.rounds} rounds, medians; C++ buffer mode: KestRecv(record) in a loop")
print(f"{'batch':>6} {'python ns/record':>17} {'C++ ns/record':>14} {'ratio':>6} {'allocs/poll (1 ready)':>22} "
      f"{'allocs/poll (batch ready)':>26} {'allocs/record':>14}")
for b in BATCHES:
    one, full = allocations[(b, 1)], allocations[(b, b)]
    per_record = (full - one) / (b - 1) if b > 1 else 0.0
    print(f"{b:>6} {statistics.median(ns[b]):>17.1f} {statistics.median(ns_cpp):>14.1f} "
          f"{statistics.median(ratios[b]):>6.2f} {one:>22} {full:>26} {per_record:>14.3f}")
