"""Children that end with the test process that started them, however it
ends: each is killed when its parent dies (SIGKILL and a CTest timeout
included, where no cleanup of the test runs) and gives up at once when the
parent is already gone by the time it starts.

  popen(args, **kw)  subprocess.Popen with that death signal
  run(args, **kw)    subprocess.run with it

The death signal belongs to the thread that forks: start children from the
test's own thread.
"""
import ctypes
import os
import signal
import subprocess

_PR_SET_PDEATHSIG = 1
_libc = ctypes.CDLL(None, use_errno=True)


def _die_with(parent):
    def preexec():
        if _libc.prctl(_PR_SET_PDEATHSIG, int(signal.SIGKILL), 0, 0, 0) != 0 or os.getppid() != parent:
            os._exit(127)
    return preexec


def popen(args, **kw):
    return subprocess.Popen(args, preexec_fn=_die_with(os.getpid()), **kw)


def run(args, **kw):
    return subprocess.run(args, preexec_fn=_die_with(os.getpid()), **kw)
