"""A live model card for the tests of the Python module kest.

Run by CTest (tests/python/CMakeLists.txt) with, in the environment:
  PYTHONPATH       the build's package tree (kest, kest_records)
  LD_LIBRARY_PATH  the card model's directory (the loader resolves the card
                   library when kest is imported)
  KEST_BUILD_DIR   the build tree (tools/)
  KEST_SAMPLE_CONFIG  config/kest_md.ini

One kest-card-sim in a namespace of this run; kest-md-recv brings the card up
on channel 0 and records it. Channel 1 has the same instruments as channel 0,
channel 2 none (a channel that stays quiet).
"""
import os
import re
import signal
import subprocess
import sys
import tempfile
import time

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "common"))
import kest_children  # noqa: E402

BUILD = os.environ["KEST_BUILD_DIR"]
SAMPLE = os.environ["KEST_SAMPLE_CONFIG"]
TOOL = {n: os.path.join(BUILD, "tools", n, n) for n in ("kest-md-recv", "kest-card-sim", "kest-card-ctl")}
# Every future: a contract changes at most four times a second, so the
# tests' hundreds of quotes a second come from many of them.
INSTRUMENTS = "all"

# Before any start: the model reads the namespace when a card is opened.
os.environ["KEST_CARDSIM_NAMESPACE"] = f"pytest-kest.{os.getpid()}"


def wait_for(what, predicate, seconds=300):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if predicate():
            return
        time.sleep(0.05)
    raise AssertionError(f"{what}: not within {seconds} s")


def channel_config(work, channel):
    path = os.path.join(work, f"ch{channel}.ini")
    with open(path, "w") as f:
        f.write(f"[config]\nlog_level=7\ncpucore=-1\ndevice=xilinx0:{channel}\n")
    return path


class Card:
    def __init__(self, work):
        self.work = work
        with open(SAMPLE) as f:
            base = f.read().split("[channel0]")[0]
        base = re.sub(r"(?m)^crc_mux_check=.*$", "crc_mux_check=0", base)
        # The card flags last ticks on one channel only: on neither of the two compared.
        base = re.sub(r"(?m)^last_tick_channel=.*$", "last_tick_channel=5", base)
        self.ch0 = os.path.join(work, "ch0.ini")
        with open(self.ch0, "w") as f:
            f.write(base + f"[channel0]\ninsts={INSTRUMENTS}\n[channel1]\ninsts={INSTRUMENTS}\n[channel2]\ninsts=\n")
        self.ch1 = channel_config(work, 1)
        self.ch2 = channel_config(work, 2)
        self.recording = os.path.join(work, "ch0.kestrec")
        self.sim_out = open(os.path.join(work, "sim.out"), "w")
        self.sim = kest_children.popen([TOOL["kest-card-sim"], "--card", "0", "--shfe-size", "200", "--ine-size", "50",
                                     "--rate", "4000", "--ring-bytes", str(32 << 20), "--stats", "0"],
                                    cwd=work, stdout=self.sim_out, stderr=subprocess.STDOUT)
        self.recv_out_path = os.path.join(work, "ch0.out")
        self.recv_out = open(self.recv_out_path, "w")
        wait_for("the simulated card", lambda: kest_children.run([TOOL["kest-card-ctl"], "list"], capture_output=True,
                                                               text=True).stdout.startswith("0 "))
        self.recv = kest_children.popen([TOOL["kest-md-recv"], self.ch0, "--quiet", "--buffer", "--record",
                                      self.recording], cwd=work, stdout=self.recv_out, stderr=subprocess.STDOUT)
        wait_for("channel 0 brought the card up", lambda: "logical start" in self.recv_text(), 400)

    def ring(self, channel):
        """(waiting, pushed): messages in the channel's card-to-host ring and all the card put there, as the
        model counts them."""
        status = kest_children.run([TOOL["kest-card-ctl"], "status", "0"], capture_output=True, text=True).stdout
        m = re.search(rf"(?m)^ +{channel} +(\d+) / +\d+ / +\d+ +(\d+)", status.split("channels:")[-1])
        return (int(m.group(1)), int(m.group(2))) if m else (0, 0)

    def pending(self, channel):
        return self.ring(channel)[0]

    def recv_text(self):
        with open(self.recv_out_path, errors="replace") as f:
            return f.read()

    def stop_recorder(self):
        """Ends kest-md-recv on channel 0; its recording is then complete."""
        if self.recv.poll() is None:
            self.recv.send_signal(signal.SIGINT)
            self.recv.wait(60)
        return self.recv.returncode

    def close(self):
        self.stop_recorder()
        self.sim.send_signal(signal.SIGINT)
        try:
            self.sim.wait(30)
        except subprocess.TimeoutExpired:
            self.sim.kill()
            self.sim.wait()
        kest_children.run([TOOL["kest-card-ctl"], "remove", "0"], capture_output=True)


@pytest.fixture(scope="session")
def card():
    work = tempfile.mkdtemp(prefix="kest-pytest.")
    previous = os.getcwd()
    os.chdir(work)  # the library writes its log in the working directory
    c = Card(work)
    try:
        yield c
    finally:
        c.close()
        os.chdir(previous)


def child(card, script, *args):
    """Starts a Python child in the card's namespace; its own lines begin with '@ '
    (the library mirrors its log on standard output too)."""
    return kest_children.popen([os.sys.executable, "-u", os.path.join(os.path.dirname(__file__), script), *args],
                            cwd=card.work, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)


def child_lines(p):
    for line in p.stdout:
        if line.startswith("@ "):
            yield line[2:].rstrip("\n")


def child_report(p):
    """The child's remaining lines as {first word: the rest}, after it ended."""
    lines = {}
    for line in child_lines(p):
        word, _, rest = line.partition(" ")
        lines[word] = rest
    p.wait(30)
    return lines
