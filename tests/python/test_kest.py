"""The Python module kest against a live model card (see conftest.py)."""
import itertools
import os
import pathlib
import re
import signal
import subprocess
import sys
import tempfile
import time
import tracemalloc

import numpy as np
import pytest

import kest
import kest_children
import kest_records
from conftest import TOOL, wait_for


def collect(receiver, count):
    """At least `count` records: waits for them (a loaded machine may deliver slowly)."""
    parts = []

    def enough():
        parts.append(receiver.poll(1024, timeout=0.1).copy())
        return sum(len(p) for p in parts) >= count
    wait_for(f"{count} records on the channel", enough, 300)
    return np.concatenate(parts)


def test_records_are_those_kest_md_recv_recorded_on_the_same_run(card):
    with kest.Receiver(card.ch1) as receiver:
        got = collect(receiver, 600)
        assert got.dtype is kest_records.RECORD_DTYPE
    # Channel 0 was given what channel 1 was: the recorder takes all of it before it is stopped.
    pushed = card.ring(0)[1]

    def taken():
        waiting, given, _ = card.ring(0)
        return given - waiting >= pushed
    wait_for("the recorder on channel 0 taking what the card pushed to it", taken, 300)
    assert card.stop_recorder() == 0
    recorded = kest_records.load(card.recording)["record"]
    assert len(got) > 500 and len(recorded) > 500
    # Channels 1 and 0 take the same instruments: the card wrote the same
    # records to both, in the same order, from the bring-up on.
    first = np.nonzero((recorded["inst_no"] == got[0]["inst_no"]) & (recorded["change_no"] == got[0]["change_no"])
                       & (recorded["inst_id"] == got[0]["inst_id"]))[0]
    assert len(first) == 1
    start = first[0]
    n = min(len(got), len(recorded) - start)
    assert n > 500
    assert got[:n].tobytes() == recorded[start:start + n].tobytes()


def test_timeouts_on_a_quiet_channel(card):
    # A lower bound only: a loaded machine may take longer over anything, but
    # no poll returns before its timeout. Zero is told from a wait by a wait
    # ten times longer than what a machine's load could add.
    with kest.Receiver(card.ch2) as receiver:
        t0 = time.monotonic()
        assert len(receiver.poll(timeout=0)) == 0
        immediate = time.monotonic() - t0
        t0 = time.monotonic()
        assert len(receiver.poll(timeout=3)) == 0
        waited = time.monotonic() - t0
        assert waited >= 2.99, waited
        assert immediate < waited / 10, (immediate, waited)
        for bad in ({"timeout": -1}, {"max_records": receiver.capacity + 1, "timeout": 0}):
            with pytest.raises(ValueError):
                receiver.poll(**bad)


def test_timeouts_on_a_busy_channel(card):
    with kest.Receiver(card.ch1, capacity=64) as receiver:
        batch = receiver.poll(timeout=None, max_records=64)
        assert 1 <= len(batch) <= 64
        batch = receiver.poll(timeout=300, max_records=16)
        assert 1 <= len(batch) <= 16
        # What the card delivered so far, without waiting: once the ring holds
        # more than one, a poll that does not wait takes them all (up to its limit).
        wait_for("a backlog of records on channel 1", lambda: card.ring(1)[0] > 64, 300)
        assert len(receiver.poll(timeout=0, max_records=64)) == 64


def test_iteration_and_frame(card):
    with kest.Receiver(card.ch1) as receiver:
        quotes = list(itertools.islice(receiver, 50))
        assert all(q.dtype is kest_records.RECORD_DTYPE for q in quotes)
        # A change both feeds of an exchange carry comes once from each.
        change = {(int(q["type"]), bytes(q["inst_id"]), int(q["change_no"])) for q in quotes}
        assert len(change) == 50  # fifty distinct records, none repeated
        frame = receiver.frame(timeout=60)
    assert len(frame) > 0
    levels = [f"{side}{n}_{what}" for side in ("bid", "ask") for n in range(1, 6) for what in ("price", "volume")]
    assert list(frame.columns) == ["arrival", "inst_no", "inst_id", "exchange_time", "exchange_stamp", "trading_date",
                                   "type", "change_no", "last_price", "volume", "turnover", "open_interest", *levels,
                                   "last_tick_flag", "max_inst_no"]
    # Prices and turnover in yuan, volumes in lots as integers, times as times.
    for name in ["last_price", "turnover"] + [c for c in levels if c.endswith("price")]:
        assert frame[name].dtype == np.float64, name
    for name in ["volume", "open_interest", "inst_no", "change_no"] + [c for c in levels if c.endswith("volume")]:
        assert np.issubdtype(frame[name].dtype, np.integer), name
    assert frame["inst_id"].map(type).eq(str).all()
    assert str(frame["exchange_time"].dtype) == "timedelta64[ns]"
    assert str(frame["arrival"].dt.tz) == "UTC"
    now = time.time_ns()
    assert (frame["arrival"].astype("int64") <= now).all()
    assert (frame["arrival"].astype("int64") > now - 120 * 10**9).all()


def test_no_allocation_per_record_inside_poll(card):
    with kest.Receiver(card.ch1, capacity=4096) as receiver:
        receiver.poll(4096, timeout=1)
        wait_for("a backlog of 300 records on channel 1", lambda: card.ring(1)[0] >= 300, 300)
        tracemalloc.start()
        before = tracemalloc.take_snapshot()
        batch = receiver.poll(4096, timeout=1)
        after = tracemalloc.take_snapshot()
        tracemalloc.stop()
        blocks = sum(stat.count_diff for stat in after.compare_to(before, "filename") if stat.count_diff > 0)
        assert len(batch) >= 300
        # The view of the buffer and its bookkeeping, whatever the count.
        assert blocks <= 8, (blocks, len(batch))
        assert np.shares_memory(batch, receiver.poll(1, timeout=1))


def test_second_receiver_is_refused(card):
    with kest.Receiver(card.ch2):
        with pytest.raises(ValueError, match="one per process"):
            kest.Receiver(card.ch1)
    kest.Receiver(card.ch2).close()  # after close a new one starts


def test_use_after_close(card):
    receiver = kest.Receiver(card.ch2)
    receiver.close()
    receiver.close()
    assert receiver.closed
    for use in (lambda: receiver.poll(timeout=0), lambda: next(iter(receiver)), lambda: receiver.frame(timeout=0),
                receiver.__enter__):
        with pytest.raises(ValueError, match="closed"):
            use()


def test_bad_config_path(card):
    with pytest.raises(kest.StartError) as e:
        kest.Receiver(os.path.join(card.work, "no-such.ini"))
    assert e.value.returncode == -2
    assert e.value.log_file and os.path.exists(e.value.log_file)
    assert "no-such.ini" in str(e.value)
    # kest-md-recv says the same of the same failure; it logs elsewhere, so that a log file of the same
    # second's name is not this process's.
    recv = subprocess.run([TOOL["kest-md-recv"], os.path.join(card.work, "no-such.ini"), "--seconds", "30"],
                          cwd=tempfile.mkdtemp(dir=card.work), capture_output=True, text=True, timeout=60)
    assert "start failed (-2): " in recv.stderr, recv.stderr
    advice = str(e.value).split("\n")[0]
    assert recv.stderr.splitlines()[-2] == "kest-md-recv: " + advice, (recv.stderr, advice)
    # A directory is named as one (the library cannot checksum it).
    with pytest.raises(kest.StartError) as e:
        kest.Receiver(card.work)
    assert "it is a directory, not a configuration file" in str(e.value), str(e.value)


def test_garbage_config_is_refused_before_a_start(card):
    path = os.path.join(card.work, "garbage.ini")
    pathlib.Path(path).write_bytes(bytes(range(256)) * 8)
    with pytest.raises(kest.ConfigError, match="recognises no key"):
        kest.Receiver(path)
    pathlib.Path(path).write_text("[Config]\ndevice=xilinx0:1\n")  # the section's name is case-sensitive
    with pytest.raises(kest.ConfigError):
        kest.Receiver(path)


def signalled(card, sig, mode, config):
    """What signal_child.py in MODE on CONFIG reports after SIG, as {first word: the rest} of its lines (those
    beginning with '@ ': the library mirrors its log on standard output too), and when SIG was sent."""
    script = os.path.join(os.path.dirname(__file__), "signal_child.py")
    p = kest_children.popen([sys.executable, "-u", script, mode, config, card.ch2], cwd=card.work,
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    said = (line[2:].rstrip("\n").partition(" ") for line in p.stdout if line.startswith("@ "))
    assert next(said)[0] == "ready"
    time.sleep(0.3)
    sent = time.monotonic()
    p.send_signal(sig)
    lines = {word: rest for word, _, rest in said}
    assert p.wait(30) == 0, lines
    return lines, sent


@pytest.mark.parametrize("mode", ["iterate", "wait", "python"])
def test_sigint_raises_keyboard_interrupt_promptly(card, mode):
    lines, sent = signalled(card, signal.SIGINT, mode, card.ch2 if mode == "wait" else card.ch1)
    how, when = lines["loop"].rsplit(" ", 1)
    assert how == "KeyboardInterrupt"
    # The wait checks for signals every 100 ms: a bound a hundred times that
    # tells an interrupted wait from one that never ends, on any machine.
    assert float(when) - sent < 10.0
    # The library ends its polls for good after the signal: the receiver
    # closes itself (at its next poll when the interrupt came in Python code),
    # later polls raise Stopped, and a later receiver in the same process is
    # refused without a start.
    if mode == "wait":
        assert lines["closed"] == "True"
    assert lines["poll-after"] == "Stopped"
    assert lines["closed-after"] == "True"
    assert lines["later"] == "Stopped 2"


def test_sigterm_ends_iteration_cleanly(card):
    lines, _ = signalled(card, signal.SIGTERM, "iterate", card.ch1)
    assert lines["loop"].rsplit(" ", 1)[0] == "ended normally"
    assert lines["closed"] == "True"
    assert lines["poll-after"] == "Stopped"
    assert lines["later"] == "Stopped 15"


def test_china_offset_of_a_window_and_of_the_alerts_is_the_recordings_library_own():
    header = pathlib.Path(os.path.dirname(__file__), "../../recording/include/recording/ChinaTime.h").read_text()
    hours = int(re.search(r"kChinaOffsetS = (\d+) \* 3600;", header).group(1))
    assert kest_records.window.CHINA_STANDARD_TIME_S == hours * 3600
    # The alert rules' clock of the sessions is the exchange's too.
    alerts = pathlib.Path(os.path.dirname(__file__), "../../ops/prometheus/kest-alerts.yml").read_text()
    assert set(re.findall(r"time\(\) \+ (\d+)", alerts)) == {str(hours * 3600)}


def test_the_readers_channel_count_is_the_cards():
    assert kest_records.format.CHANNELS == kest.CHANNELS
