"""Live quotes from the card in Python, through the library's public interface.

    import kest
    with kest.Receiver("/usr/share/KestShfeMdApi/kest_md.ini") as receiver:
        while True:
            batch = receiver.poll(1024)        # numpy array of RECORD_DTYPE, at least one record
            ...
        for q in receiver:                     # or one record at a time
            print(q["inst_id"], q["bid1_px"] / 100)

Records are the library's ``KestShfeMdType`` bytes exactly as delivered, in
a numpy structured array of ``kest_records.RECORD_DTYPE`` (the same dtype
object ``kest_records.load`` uses): prices and turnover in hundredths.
``receiver.frame()`` gives a pandas DataFrame with the columns and units of
``kest_records.load(path, frame=True)``.

The library is one per process: one Receiver is open at a time. Every start
installs the library's own SIGINT/SIGTERM handlers; the Receiver passes both
signals on to Python's handlers as well, so Ctrl-C raises KeyboardInterrupt
in a polling loop, and after either signal the library ends its polls for
good in this process (see Receiver).
"""

import glob
import os
import re
import time

import numpy as np

import kest_records
from kest_records import RECORD_DTYPE

try:
    from . import _kest
except ImportError as _e:
    # Said in one line, in place of Python's "partially initialized module"
    # guess: kest_records (recordings) works without this half.
    import importlib.util

    if importlib.util.find_spec(__name__ + "._kest") is None:
        raise ImportError("kest: its C++ half kest._kest is not installed (an install with KEST_RECORDS_ONLY=1, "
                          "or a source tree that was not built): kest_records reads recordings without it; "
                          "for live quotes install kest with pip install ./python or python3-kestshfemdapi",
                          name=__name__ + "._kest") from None
    raise ImportError(f"kest: its C++ half kest._kest cannot be loaded: {_e}", name=__name__ + "._kest") from None

__all__ = ["Receiver", "StartError", "ConfigError", "Stopped", "RECORD_DTYPE", "record_layout", "FEEDS", "CHANNELS"]

#: The feeds in the order of a record's ``type`` field, each a dict of name ("SHFE 2ps"), key ("shfe2ps"), bit,
#: block ("2ps") and exchange, from the card's own table.
FEEDS = tuple(_kest.FEEDS)
#: A card's processing channels (0 to CHANNELS - 1).
CHANNELS = _kest.CHANNELS


def record_layout():
    """{field: (offset, size)} of KestShfeMdType as the extension was compiled."""
    return _kest.record_layout()


def _check_dtype():
    layout = _kest.record_layout()
    if RECORD_DTYPE.itemsize != _kest.RECORD_SIZE or set(layout) != set(RECORD_DTYPE.names):
        raise ImportError("kest_records.RECORD_DTYPE does not describe KestShfeMdType")
    for name, (offset, size) in layout.items():
        dtype, at = RECORD_DTYPE.fields[name][:2]
        if at != offset or dtype.itemsize != size:
            raise ImportError(f"kest_records.RECORD_DTYPE: {name} at {at} ({dtype.itemsize} bytes), "
                              f"the C struct has it at {offset} ({size} bytes)")


_check_dtype()


class StartError(RuntimeError):
    """The library's start failed.

    returncode: what KestStart returned (-1 null path, -2 start-up failed),
    None when the library (or the card's library under it) could not be
    loaded, which the message says in one line with where to get it, or had
    no memory for its object;
    log_file: the log file the library wrote for this start (in the working
    directory), or None if none was found.
    """

    def __init__(self, message, returncode, log_file):
        super().__init__(message)
        self.returncode = returncode
        self.log_file = log_file


class ConfigError(ValueError):
    """A configuration file refused before the start: one in which the library
    recognises no key. The library would read it as channel 0 with every
    default, reprogram the card and empty every channel's subscriptions."""


class Stopped(RuntimeError):
    """The library has ended its polls for good in this process (after SIGINT
    or SIGTERM): no receiver of this process gets quotes again.
    signal: the signal's number, or 0 when it is not known."""

    def __init__(self, message, signal=0):
        super().__init__(message)
        self.signal = signal


def _log_files_since(began):
    files = []
    for name in glob.glob("kest_u50_*.log"):
        try:
            if os.stat(name).st_mtime + 1 >= began:
                files.append(name)
        except OSError:
            pass
    return sorted(files, key=lambda n: (os.stat(n).st_mtime, n))


def _signal_in_log(log_file):
    try:
        with open(log_file, errors="replace") as f:
            found = re.findall(r"received signal (\d+)", f.read())
        return int(found[-1]) if found else 0
    except (OSError, TypeError):
        return 0


def _stopped(signal, during_start=False):
    what = {2: "SIGINT", 15: "SIGTERM"}.get(signal, "SIGINT or SIGTERM")
    when = " during the start" if during_start else ""
    return Stopped(f"the library ended its polls for good after {what}{when}: no receiver of this process "
                   "gets quotes again; start a new process", signal)


class Receiver:
    """A started library object in buffer mode, polled from Python.

    Receiver(config_path, capacity=1024)

    Starts the library with the INI file config_path (KestStart(path)). A
    start of channel 0 programs the card and blocks for seconds (three 1 s
    pauses, then the snapshot wait); the GIL is released meanwhile. A start of
    channels 1 to 15 only attaches to the channel's stream.

    CPU binding: the start binds the calling thread, the Python thread that
    constructs the Receiver, to the configuration's ``cpucore``
    (sched_setaffinity of that thread; cpucore=-1 leaves it unbound). Poll
    from that thread. Threads it starts afterwards inherit the binding, and
    in the main thread that is every thread the program starts later. close()
    gives the thread back the cores it had before, when called from it.

    capacity: records the receiver's buffer holds, allocated once here; every
    poll fills it from the start, so an array poll returned is valid until the
    next poll: copy what you keep (``batch.copy()``).

    Raises StartError (returncode, log_file) when the start fails, ConfigError
    for a file in which the library recognises no key (never started), Stopped
    when the library of this process has already ended its polls, and
    ValueError while another receiver is open in this process.

    Signals: the library's handlers take SIGINT and SIGTERM over at the start;
    the receiver passes them on to the handlers Python had (so Ctrl-C raises
    KeyboardInterrupt in a polling loop, at once if it is in Python code, and
    from poll if it is waiting there). After either signal the library ends
    its polls for good in the whole process: at its next poll the receiver
    closes itself; Python's SIGINT handler raises KeyboardInterrupt once
    (in your code, or from inside the poll that is waiting), every later
    poll raises Stopped, iteration ends on SIGTERM, and a later
    Receiver in the same process raises Stopped without starting. Closing
    gives Python its own handlers back.

    Use it as a context manager or call close(); any use after close raises
    ValueError.
    """

    def __init__(self, config_path, capacity=1024):
        config_path = os.fspath(config_path)
        if _kest.receiver_open():
            raise ValueError("a receiver is already open in this process: the library is one per process "
                             "(close the other first)")
        if _kest.library_ended():
            raise _stopped(_kest.last_signal())
        # The verdict of kest-config-check and kest-md-recv's refusal, read with the library's own reader.
        # A file that cannot be read or checksummed is left to the library, which says why.
        verdict = _kest.start_verdict(config_path)
        if verdict["opened"] and not verdict["start_fails"] and not verdict["recognised"]:
            raise ConfigError(verdict["headline"])
        missing = _kest.load_library()
        if missing:
            raise StartError(missing, None, None)
        self.config_path = config_path
        self._r = None
        began = time.time()
        try:
            r = _kest.Receiver(config_path, int(capacity), RECORD_DTYPE)
        except _kest.LoadError as e:
            raise StartError(str(e), None, None) from None
        if r.start_code != 0 or r.interrupted:
            logs = _log_files_since(began)
            log_file = logs[-1] if logs else None
            if r.interrupted:
                sig = _signal_in_log(log_file)
                if sig == 2:
                    raise KeyboardInterrupt("SIGINT during the start")
                raise _stopped(sig, during_start=True)
            # The advice kest-md-recv gives for the same log, from the same code.
            advice = _kest.start_diagnosis(log_file or "", config_path, verdict["bus"], verdict["channel"])
            advice = advice or ("see the log file." if log_file else "no log file was written.")
            raise StartError(f"start failed ({r.start_code}): {advice}\nlog file: {log_file or 'none written'}",
                             r.start_code, log_file)
        self._r = r
        self._records = r.records
        self._arrivals = r.arrivals
        self.capacity = r.capacity

    # --- polling -------------------------------------------------------------

    def _poll(self, max_records, timeout, stamp):
        r = self._r
        if r is None:
            raise ValueError("the receiver is closed")
        if r.ended:
            raise _stopped(r.end_signal)
        # Python's own signal handlers run inside (a SIGINT's KeyboardInterrupt
        # comes from there); what comes back is how the fill ended.
        n, status = r.poll(max_records, timeout, stamp)
        if status == 3 and n == 0:  # the library has ended its polls
            # A SIGINT that reached Python's handler has raised there already
            # (in Python code, or just now inside poll).
            if r.end_signal == 2 and not r.end_signal_reached_python:
                raise KeyboardInterrupt
            raise _stopped(r.end_signal)
        return n

    def poll(self, max_records=1024, timeout=None):
        """The records delivered so far, up to max_records (at most capacity),
        as a numpy array of RECORD_DTYPE, a view of the receiver's buffer valid
        until the next poll.

        timeout: None waits for at least one record; 0 returns at once,
        possibly empty; a positive number of seconds waits that long at most
        for the first record. Once a record is there the poll takes what the
        card has delivered, up to max_records, and returns without waiting
        for more. Filled in C++ with the GIL released; nothing is allocated
        per record.
        """
        return self._records[:self._poll(max_records, timeout, False)]

    def poll_with_arrivals(self, max_records=1024, timeout=None):
        """As poll, with each record's arrival time: (records, arrival_ns), the
        second an int64 array of nanoseconds since the epoch (CLOCK_REALTIME,
        taken as each record was delivered, as kest-md-recv --record does)."""
        n = self._poll(max_records, timeout, True)
        return self._records[:n], self._arrivals[:n]

    def frame(self, max_records=1024, timeout=None):
        """A poll as a pandas DataFrame with the columns and units of
        kest_records.load(path, frame=True): arrival (UTC), exchange_time,
        prices and turnover in yuan, volumes in lots."""
        records, arrivals = self.poll_with_arrivals(max_records, timeout)
        entries = np.empty(len(records), dtype=kest_records.ENTRY_DTYPE)
        entries["arrival_ns"] = arrivals
        entries["record"] = records
        return kest_records._to_frame(entries)

    def __iter__(self):
        """One record at a time (numpy records of RECORD_DTYPE, each a copy of
        its own), waiting for the next as long as it takes. Ends when the
        library ends its polls after SIGTERM; Ctrl-C raises KeyboardInterrupt."""
        while True:
            try:
                batch = self.poll(self.capacity, None).copy()
            except Stopped:
                return
            yield from batch

    # --- lifetime ------------------------------------------------------------

    @property
    def closed(self):
        return self._r is None or self._r.closed

    def close(self):
        """Stops and frees the library object (a poll running in another thread
        returns first) and gives Python its signal handlers back. Idempotent."""
        if self._r is not None:
            self._r.close()
            self._r = None

    def __enter__(self):
        if self.closed:
            raise ValueError("the receiver is closed")
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def __del__(self):
        try:
            self.close()
        except Exception:
            pass
