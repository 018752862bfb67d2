#!/usr/bin/python3
"""A recording's day as one picture: mid price and spread per instrument over
time, the quote rate per second, and the histogram of the delay from the
exchange's time stamp to arrival at the receiver.

    plot_day.py RECORDING [-o day.png] [--instruments N]

RECORDING is a file of kest-md-recv --record (with the files rotation added
after it). The recording keeps each quote's arrival time (CLOCK_REALTIME at
the receiver) and the exchange's update time (HHMMSS.mmm, China Standard
Time from the exchanges, UTC from the card model: the one that fits is
taken); a recording holds no poll start, so the delay shown is exchange time
to arrival, to the millisecond the exchange stamps. Needs python3-matplotlib,
python3-pandas and python3-numpy; writes a PNG.
"""
import argparse

import matplotlib

matplotlib.use("Agg")  # a file, no display
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402

import kest_records  # noqa: E402

def exchange_delay_ms(frame, utc_offset_hours):
    """Arrival minus the exchange's stamp, in ms; the stamp is a time of day on
    a clock utc_offset_hours ahead of UTC, put on the arrival's date there
    (within half a day)."""
    local = frame["arrival"].dt.tz_localize(None) + pd.Timedelta(hours=utc_offset_hours)
    stamp = local.dt.normalize() + frame["exchange_time"]
    delay = (local - stamp).dt.total_seconds() * 1000.0
    day = 86400000.0
    return (delay + day / 2) % day - day / 2


def exchange_clock(frame):
    """The exchange's clock: China Standard Time (UTC+8) as the exchanges stamp,
    or UTC as the card model does; the one that gives the smaller delays."""
    return min((8, 0), key=lambda h: abs(np.median(exchange_delay_ms(frame, h))))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("recording")
    parser.add_argument("-o", "--output", default="day.png")
    parser.add_argument("--instruments", type=int, default=4, help="instruments to draw: the busiest N")
    opt = parser.parse_args()

    frame = kest_records.load(opt.recording, frame=True)
    if frame.empty:
        raise SystemExit(f"plot_day.py: {opt.recording} holds no quotes")
    frame["key"] = frame["inst_id"] + np.where(frame["type"] == 0, "", " (type " + frame["type"].astype(str) + ")")
    busiest = frame["key"].value_counts().index[: opt.instruments]
    start = frame["arrival"].min()
    span = (frame["arrival"].max() - start).total_seconds()

    n = len(busiest)
    fig = plt.figure(figsize=(12, 3.0 * n + 6), constrained_layout=True)
    grid = fig.add_gridspec(n + 2, 2)
    fig.suptitle(f"{opt.recording}: {len(frame):,} quotes of {frame['key'].nunique()} instruments, "
                 f"{start:%Y-%m-%d %H:%M:%S} UTC + {span:,.0f} s")

    for row, key in enumerate(busiest):
        q = frame[frame["key"] == key]
        two_sided = (q["bid1_volume"] > 0) & (q["ask1_volume"] > 0)
        q = q[two_sided]
        ax = fig.add_subplot(grid[row, :])
        mid = (q["bid1_price"] + q["ask1_price"]) / 2
        ax.plot(q["arrival"], mid, lw=0.8, color="tab:blue")
        ax.set_ylabel(f"{key}\nmid (yuan)")
        spread = ax.twinx()
        spread.plot(q["arrival"], q["ask1_price"] - q["bid1_price"], lw=0.6, color="tab:orange", alpha=0.7)
        spread.set_ylabel("spread (yuan)", color="tab:orange")
        ax.set_title(f"{key}: {len(q):,} two-sided quotes", loc="left", fontsize=9)

    rate = fig.add_subplot(grid[n, :])
    per_second = frame.set_index("arrival").resample("1s").size()
    rate.plot(per_second.index, per_second.values, lw=0.8, color="tab:green")
    rate.set_ylabel("quotes / s")
    rate.set_xlabel("arrival (UTC)")
    rate.set_title(f"quote rate: median {per_second.median():,.0f}/s, highest {per_second.max():,}/s",
                   loc="left", fontsize=9)

    offset = exchange_clock(frame)
    delay = exchange_delay_ms(frame, offset)
    hist = fig.add_subplot(grid[n + 1, 0])
    hist.hist(delay, bins=100, color="tab:purple")
    hist.set_yscale("log")
    hist.set_xlabel(f"exchange time stamp (UTC+{offset}) to arrival (ms)")
    hist.set_ylabel("quotes")
    p = np.percentile(delay, [50, 99, 99.9])
    hist.set_title(f"delay: p50 {p[0]:.1f} ms, p99 {p[1]:.1f} ms, p99.9 {p[2]:.1f} ms", loc="left", fontsize=9)

    counts = fig.add_subplot(grid[n + 1, 1])
    top = frame["key"].value_counts().head(15)
    counts.barh(top.index[::-1], top.values[::-1], color="tab:gray")
    counts.set_xlabel("quotes")
    counts.set_title("busiest instruments", loc="left", fontsize=9)

    fig.savefig(opt.output, dpi=80)
    print(f"plot_day.py: wrote {opt.output}")


if __name__ == "__main__":
    main()
