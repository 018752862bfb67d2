#!/usr/bin/env python3
"""A test killed in the middle of its run takes its children with it.

  children_test.py TEST_BINARY GTEST_FILTER KEST_CARD_CTL

Runs one test of TEST_BINARY that starts a card model (kest-card-sim) and a
receiver (kest-md-recv), waits until the receiver is bringing the card up or
running, kills the test binary with SIGKILL (no destructor, no handler of
its own runs) and then waits until every process it had started is gone.
Waits use deadlines; a deadline passed fails the run, speed never does.
"""
import os
import signal
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "common"))
import kest_children  # noqa: E402
from kest_checks import wait_for  # noqa: E402

binary, test, ctl = sys.argv[1:4]
WANTED = ("kest-card-sim", "kest-md-recv")


def stat(pid):
    """(name, state, parent, start time) of a live process, None when it is gone."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            text = f.read()
    except OSError:
        return None
    name = text[text.index("(") + 1:text.rindex(")")]
    rest = text[text.rindex(")") + 2:].split()
    if rest[0] in "ZX":  # dead, waiting to be reaped
        return None
    return name, rest[0], int(rest[1]), int(rest[19])


def children_of(parent):
    live = {pid: stat(pid) for pid in map(int, filter(str.isdigit, os.listdir("/proc")))}
    return {pid: s for pid, s in live.items() if s is not None and s[2] == parent}


def running_mid_test(p):
    if p.poll() is not None:
        sys.exit(f"FAIL the test ended (status {p.returncode}) before it could be killed mid-run")
    kids = children_of(p.pid)
    if not set(WANTED) <= {s[0] for s in kids.values()}:
        return None
    recv = next(pid for pid, s in kids.items() if s[0] == "kest-md-recv")
    # The receiver's own output, in its working directory (the test's scratch directory).
    try:
        cwd = os.readlink(f"/proc/{recv}/cwd")
        out = "".join(open(os.path.join(cwd, f), errors="replace").read()
                      for f in os.listdir(cwd) if f.startswith("recv") and f.endswith(".out"))
    except OSError:
        return None
    return kids if ("listening tcp basement data" in out or "logical start" in out) else None


p = kest_children.popen([binary, f"--gtest_filter={test}"], stdout=open(os.devnull, "w"),
                        stderr=open(os.devnull, "w"))
kids = wait_for("the test to run a card model and a receiver that brings the card up",
                lambda: running_mid_test(p), 300) or sys.exit(1)
print(f"test binary {p.pid} runs {', '.join(f'{s[0]} {pid}' for pid, s in sorted(kids.items()))}")
os.kill(p.pid, signal.SIGKILL)
p.wait()
print(f"test binary killed (status {p.returncode})")


def running():
    # A pid may be taken again by another process: the start time tells them apart.
    return [pid for pid, s in kids.items() if (stat(pid) or (None,) * 4)[3] == s[3]]


if not wait_for("every child of the killed test to end", lambda: not running(), 60):
    left = running()
    for pid in left:
        os.kill(pid, signal.SIGKILL)  # not left behind by this check either
    sys.exit("FAIL still running 60 s after the test was killed: " + ", ".join(f"{kids[pid][0]} {pid}" for pid in left))
print(f"ok   every child of the killed test has ended: {', '.join(str(pid) for pid in sorted(kids))}")

# What it left besides processes: the card of its namespace, which the next test of the binary sweeps
# in its own namespace only.
os.environ["KEST_CARDSIM_NAMESPACE"] = f"toolstest.{p.pid}"
kest_children.run([ctl, "remove", "0"], capture_output=True)
