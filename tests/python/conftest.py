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
import shutil
import sys
import tempfile

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "common"))
import kest_checks  # noqa: E402
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
    assert kest_checks.wait_for(what, predicate, seconds, step=0.05), f"{what}: not within {seconds} s"


class Card:
    def __init__(self, work):
        self.work = work
        # The card flags last ticks on one channel only: on neither of the two compared.
        self.ch0 = kest_checks.sample_config(os.path.join(work, "ch0.ini"), SAMPLE,
                                             {0: f"insts={INSTRUMENTS}", 1: f"insts={INSTRUMENTS}", 2: "insts="},
                                             crc_mux_check=0, last_tick_channel=5)
        self.ch1 = kest_checks.channel_config(os.path.join(work, "ch1.ini"), 1)
        self.ch2 = kest_checks.channel_config(os.path.join(work, "ch2.ini"), 2)
        self.recording = os.path.join(work, "ch0.kestrec")
        self.sim = kest_checks.start(work, "sim", [TOOL["kest-card-sim"], "--card", "0", "--shfe-size", "200",
                                                   "--ine-size", "50", "--rate", "4000", "--ring-bytes",
                                                   str(32 << 20), "--stats", "0"])
        wait_for("the simulated card", lambda: kest_children.run([TOOL["kest-card-ctl"], "list"], capture_output=True,
                                                               text=True).stdout.startswith("0 "))
        self.recv = kest_checks.start(work, "recv", [TOOL["kest-md-recv"], self.ch0, "--quiet", "--buffer",
                                                     "--record", self.recording])
        wait_for("channel 0 brought the card up", lambda: "logical start" in kest_checks.output(self.recv), 400)

    def ring(self, channel):
        """kest_checks.ring of the channel; (0, 0, 0) when not shown."""
        return kest_checks.ring(TOOL["kest-card-ctl"], channel) or (0, 0, 0)

    def stop_recorder(self):
        """Ends kest-md-recv on channel 0; its recording is then complete."""
        kest_checks.stop(self.recv)
        return self.recv.returncode

    def close(self):
        kest_checks.stop_all(30)
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
        shutil.rmtree(work, ignore_errors=True)

