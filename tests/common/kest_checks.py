"""What the test scripts that run the real programs share.

  check(ok, what)                  prints "ok   WHAT" or "FAIL WHAT" and keeps the failures; returns ok
  finish(work=None)                exits 1 when a check failed (the scratch directory WORK kept), else 0 (removed)
  run(*argv, **kw)                 a program run to its end as a child (kest_children.run), output as text
  model_env(build, name)           the tools' environment over BUILD's card model, in a namespace NAME.PID
  wait_for(what, predicate, seconds=400, step=0.1)
                                   the predicate's first true value, asked until the deadline; past it a
                                   failed check naming what was awaited, and None. A deadline passed fails
                                   the run, speed never does.
  start(work, name, args, **kw)    a child (kest_children.popen) working in WORK/NAME, its standard output
                                   and error in out.txt and err.txt there; kept in `children`
  output(p, which="out")           what the child p wrote so far on standard output ("out") or error ("err")
  stop(p, sig=SIGINT, seconds=60)  signals p unless it has ended and waits for it; False when it outlived the
                                   wait and was killed. stop_all() stops every child started, the last first.
  ring(ctl, channel, **kw)         (waiting, pushed, refused) of a channel's card-to-host ring, as
                                   `kest-card-ctl status 0` of the model counts them; None when not shown
  sample_config(path, sample, channels, **settings)
                                   writes the [config] section of the configuration SAMPLE, with the keys
                                   `settings` set, and the sections {channel: its body}; returns path
  channel_config(path, channel)    writes a configuration that receives the channel, logging everything
"""
import os
import pathlib
import re
import shutil
import signal
import subprocess
import sys
import time

import kest_children

failures = []
children = []


def check(ok, what):
    print(("ok   " if ok else "FAIL ") + what, flush=True)
    if not ok:
        failures.append(what)
    return ok


def finish(work=None):
    if failures:
        sys.exit(f"{len(failures)} check(s) failed" + (f"; files kept in {work}" if work else ""))
    if work:
        shutil.rmtree(work, ignore_errors=True)
    sys.exit(0)


def run(*argv, timeout=900, **kw):
    return kest_children.run(list(argv), capture_output=True, text=True, timeout=timeout, **kw)


def model_env(build, name):
    # Quote times are the exchange's (China Standard Time): the tools run in its
    # zone, as on a host at the exchange, so that a quote's age is its age.
    return dict(os.environ, LD_LIBRARY_PATH=os.path.join(build, "cardsim"), TZ="Asia/Shanghai",
                KEST_CARDSIM_NAMESPACE=f"{name}.{os.getpid()}")


def wait_for(what, predicate, seconds=400, step=0.1):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(step)
    check(False, f"{what} within {seconds} s")
    return None


def start(work, name, args, **kw):
    d = os.path.join(work, name)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, "out.txt"), "w") as out, open(os.path.join(d, "err.txt"), "w") as err:
        p = kest_children.popen(args, cwd=d, stdout=out, stderr=err, **kw)
    p.name, p.dir = name, d
    children.append(p)
    return p


def output(p, which="out"):
    return pathlib.Path(p.dir, which + ".txt").read_text(errors="replace")


def stop(p, sig=signal.SIGINT, seconds=60):
    if p.poll() is None:
        p.send_signal(sig)
    try:
        p.wait(seconds)
        return True
    except subprocess.TimeoutExpired:
        p.kill()
        p.wait()
        return False


def stop_all(seconds=20):
    for p in reversed(children):
        stop(p, seconds=seconds)


def ring(ctl, channel, **kw):
    status = kest_children.run([ctl, "status", "0"], capture_output=True, text=True, **kw).stdout
    m = re.search(rf"(?m)^\s+{channel}\s+(\d+) /\s+\d+ /\s+\d+\s+(\d+)\s+(\d+)", status.split("channels:")[-1])
    return tuple(int(x) for x in m.groups()) if m else None


def channel_config(path, channel):
    pathlib.Path(path).write_text(f"[config]\nlog_level=7\ncpucore=-1\ndevice=xilinx0:{channel}\n")
    return path


def sample_config(path, sample, channels, **settings):
    body = pathlib.Path(sample).read_text().split("[channel0]")[0]
    for key, value in settings.items():
        body = re.sub(rf"(?m)^{key}=.*$", f"{key}={value}", body)
    pathlib.Path(path).write_text(body + "".join(f"[channel{c}]\n{section}\n" for c, section in channels.items()))
    return path
