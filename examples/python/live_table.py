#!/usr/bin/python3
"""Live top-of-book table of the instruments a channel receives, refreshed
once a second, with each instrument's quote rate and change-number gaps
(quotes this program never saw, whatever lost them).

    live_table.py CONFIG [--seconds N] [--rows N]

CONFIG is the library's configuration file (its device= names the card and
channel; channel 0 programs the card, see the README). Ctrl-C ends the run
with a summary. With the packages installed and the card model running
(kest-card-sim), run it with the model's directory on the loader path:

    LD_LIBRARY_PATH=/usr/lib/x86_64-linux-gnu/kest-cardsim \\
        /usr/bin/python3 live_table.py /usr/share/KestShfeMdApi/kest_md.ini
"""
import argparse
import sys
import time

import kest


FEEDS = {n: f["name"] for n, f in enumerate(kest.FEEDS)}
# The 4ps feeds carry every change of a contract; a 2ps feed carries a
# contract at most every 500 ms and steps over the changes in between.
CARRIES_EVERY_CHANGE = (1, 3)


class Book:
    """Per (record type, instrument): last quote, quotes, change-number gaps."""

    def __init__(self):
        self.last = {}     # key -> the last record (a copy)
        self.change = {}   # key -> last change number
        self.count = {}    # key -> quotes in total
        self.window = {}   # key -> quotes since the last table
        self.gaps = {}     # key -> change numbers missed
        self.total = 0

    def add(self, batch):
        keys = list(zip(batch["type"].tolist(), batch["inst_id"].tolist()))
        for i, (key, change) in enumerate(zip(keys, batch["change_no"].tolist())):
            previous = self.change.get(key)
            if previous is not None and change > previous + 1 and key[0] in CARRIES_EVERY_CHANGE:
                self.gaps[key] = self.gaps.get(key, 0) + change - previous - 1
            self.change[key] = change
            self.count[key] = self.count.get(key, 0) + 1
            self.window[key] = self.window.get(key, 0) + 1
            self.last[key] = i
        # Only the last record of each instrument is kept, copied out of the
        # receiver's buffer (which the next poll overwrites).
        for key, i in self.last.items():
            if isinstance(i, int):
                self.last[key] = batch[i].copy()
        self.total += len(batch)

    def table(self, rows, seconds, window_seconds, terminal):
        out = []
        if terminal:
            out.append("\x1b[H\x1b[J")
        rate = sum(self.window.values()) / window_seconds if window_seconds > 0 else 0
        out.append(f"{len(self.last)} instruments, {self.total} quotes in {seconds:.0f} s, {rate:,.0f} quotes/s, "
                   f"{sum(self.gaps.values())} missing (change-number gaps)\n")
        out.append(f"{'instrument':<10} {'feed':<8} {'bid vol':>8} {'bid':>11} {'ask':>11} {'ask vol':>8} "
                   f"{'last':>11} {'volume':>10} {'time':>12} {'q/s':>7} {'gaps':>6}\n")
        busiest = sorted(self.last, key=lambda k: -self.count[k])[:rows]
        for key in sorted(busiest, key=lambda k: k[1]):
            q = self.last[key]
            t = int(q["update_time"])
            when = f"{t // 10000:02d}:{t // 100 % 100:02d}:{t % 100:02d}.{int(q['update_milli_sec']):03d}"
            out.append(f"{key[1].decode(errors='replace'):<10} {FEEDS.get(key[0], key[0]):<8} {int(q['bid1_vol']):>8} "
                       f"{q['bid1_px'] / 100:>11.2f} {q['ask1_px'] / 100:>11.2f} {int(q['ask1_vol']):>8} "
                       f"{q['last_px'] / 100:>11.2f} {int(q['volume']):>10} {when:>12} "
                       f"{self.window.get(key, 0) / window_seconds:>7.1f} {self.gaps.get(key, 0):>6}\n")
        self.window = {}
        return "".join(out)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("config", help="the library's configuration file")
    parser.add_argument("--seconds", type=float, default=0, help="end after this many seconds (default: Ctrl-C)")
    parser.add_argument("--rows", type=int, default=30, help="rows of the table: the busiest instruments")
    opt = parser.parse_args()

    terminal = sys.stdout.isatty()
    book = Book()
    try:
        receiver = kest.Receiver(opt.config)
    except (kest.StartError, kest.ConfigError) as e:
        sys.exit(f"live_table.py: {e}")
    began = time.monotonic()
    shown = began
    try:
        with receiver:
            while opt.seconds <= 0 or time.monotonic() - began < opt.seconds:
                now = time.monotonic()
                # Waits at most until the next table is due.
                batch = receiver.poll(1024, timeout=max(0.0, shown + 1 - now))
                if len(batch):
                    book.add(batch)
                now = time.monotonic()
                if now - shown >= 1:
                    sys.stdout.write(book.table(opt.rows, now - began, now - shown, terminal))
                    sys.stdout.flush()
                    shown = now
    except KeyboardInterrupt:
        pass
    except kest.Stopped:
        pass  # SIGTERM: the library ended its polls
    seconds = time.monotonic() - began
    print(f"\n{book.total} quotes of {len(book.last)} instruments in {seconds:.1f} s; "
          f"{sum(book.gaps.values())} missing in change-number gaps")


if __name__ == "__main__":
    main()
