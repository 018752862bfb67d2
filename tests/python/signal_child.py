"""A receiving loop that the signal tests stop from outside.

signal_child.py MODE CONFIG [LATER_CONFIG]

MODE iterate: `for q in receiver` on a busy channel; wait: poll(timeout=None)
on a quiet channel (the poll is waiting in C++); python: short polls with
Python work (sleep) in between. Prints "ready" once it is polling, then, after
the signal, one line per observation: how the loop ended, what a poll of the
ended receiver raises, and what a later Receiver in this process raises.
"""
import sys
import time

import kest

mode, config = sys.argv[1], sys.argv[2]
later = sys.argv[3] if len(sys.argv) > 3 else config


def say(*words):
    print("@", *words, flush=True)


receiver = kest.Receiver(config)
ended = "ended normally"
try:
    if mode == "iterate":
        for n, q in enumerate(receiver):
            if n == 0:
                say("ready")
    elif mode == "wait":
        say("ready")
        while True:
            receiver.poll(timeout=None)
    else:
        say("ready")
        while True:
            receiver.poll(timeout=0)
            time.sleep(0.02)
except KeyboardInterrupt:
    ended = "KeyboardInterrupt"
say("loop", ended, time.monotonic())
say("closed", receiver.closed)
try:
    receiver.poll(timeout=0)
    say("poll-after", "none")
except Exception as e:  # noqa: BLE001 - the class is what is reported
    say("poll-after", type(e).__name__)
say("closed-after", receiver.closed)
try:
    kest.Receiver(later)
    say("later", "started")
except Exception as e:  # noqa: BLE001
    say("later", type(e).__name__, getattr(e, "signal", ""))
