#!/usr/bin/python3
"""A recording's day as one picture: per instrument the mid price inside its
bid-ask band on the exchange's clock, the quote rate per second of arrival,
and either the delay from the exchange's time stamp to arrival (a recording
made in real time) or the quotes per quarter hour of the exchange's day, by
feed (a recording of an accelerated simulated clock, where that delay means
nothing).

    plot_day.py RECORDING [-o day.png] [--instruments N]

RECORDING is a file of kest-md-recv --record (with the files rotation added
after it). Quotes are named by contract and feed ("cu2502 SHFE 4ps"): the
feeds of an exchange carry one market at their own cadence. The exchange's
update time (HHMMSS.mmm) is China Standard Time; a recording holds no poll
start, so the delay shown is exchange time to arrival, to the millisecond the
exchange stamps. The burst of quotes a receiver drains from its ring when it
starts (the backlog) is kept out of the rate plot and marked there. Needs
python3-matplotlib, python3-pandas and python3-numpy; writes a PNG.
"""
import argparse
import sys

import matplotlib
import matplotlib.dates

matplotlib.use("Agg")  # a file, no display
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402

import kest  # noqa: E402  (its feed table; no card or library is needed)
import kest_records  # noqa: E402

FEEDS = {n: f["name"] for n, f in enumerate(kest.FEEDS)}
CST = kest_records.window.CHINA_STANDARD_TIME_S // 3600  # hours ahead of UTC: the exchanges' clock
SESSION_BREAK = pd.Timedelta(minutes=5)  # a longer pause in a contract's quotes ends a line


def feed_name(t):
    return FEEDS.get(int(t), f"type {int(t)}")


def exchange_clock(frame):
    """Each quote's exchange time stamp as a CST datetime (naive): the
    reader's exchange_stamp, its update time on the date of the recording's
    exchange clock (a simulated clock's own calendar where the recording was
    made over one, else the host's)."""
    return frame["exchange_stamp"].dt.tz_localize(None) + pd.Timedelta(hours=CST)


def start_backlog(frame, per_second):
    """Seconds at the start that drained a backlog: a receiver that starts
    late takes in seconds what the exchange sent over a longer time, so in
    those seconds the exchange's clock runs far faster than it does through
    the rest of the run (whatever the simulated clock's speed)."""
    bins = frame.groupby(frame["arrival"].dt.floor("1s"))["stamp"]
    covered = (bins.max() - bins.min()).dt.total_seconds().reindex(per_second.index).fillna(0)
    steady = covered[covered > 0].iloc[len(covered) // 10 :].median() if (covered > 0).any() else 0
    n = 0
    while n < len(covered) // 2 and covered.iloc[n] > 3 * max(steady, 1.0):
        n += 1
    return n


def segments(x):
    """Index ranges of x without a pause longer than SESSION_BREAK."""
    cuts = np.flatnonzero(np.diff(x.to_numpy()) > SESSION_BREAK.to_timedelta64()) + 1
    bounds = [0, *cuts, len(x)]
    return [slice(a, b) for a, b in zip(bounds[:-1], bounds[1:]) if b > a]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("recording")
    parser.add_argument("-o", "--output", default="day.png")
    parser.add_argument("--instruments", type=int, default=4, help="instruments to draw: the busiest N")
    opt = parser.parse_args()

    try:
        frame = kest_records.load(opt.recording, frame=True)
    except OSError as e:
        sys.exit(f"plot_day.py: cannot read {opt.recording}: {e.strerror or e}")
    except ValueError as e:
        sys.exit(f"plot_day.py: {opt.recording} is not a recording this reader knows ({e})")
    if frame.empty:
        sys.exit(f"plot_day.py: {opt.recording} holds no quotes")
    frame["feed"] = frame["type"].map(feed_name)
    frame["key"] = frame["inst_id"] + " " + frame["feed"]
    frame["stamp"] = exchange_clock(frame)
    start, end = frame["arrival"].min(), frame["arrival"].max()
    span = (end - start).total_seconds()
    per_second = frame.set_index("arrival").resample("1s").size()
    backlog = start_backlog(frame, per_second)
    # The exchange clock's pace against arrival, past the backlog.
    live = frame[frame["arrival"] >= per_second.index[backlog]] if backlog else frame
    live_span = (live["arrival"].max() - live["arrival"].min()).total_seconds()
    speed = (live["stamp"].max() - live["stamp"].min()).total_seconds() / live_span if live_span > 0 else 1.0
    accelerated = speed > 1.5
    # The spread's mean over about 300 steps of the run's exchange time.
    wanted = (frame["stamp"].max() - frame["stamp"].min()).total_seconds() / 300
    step = next((f"{n}s" for n in (1, 5, 10, 30, 60, 300, 900) if n >= wanted), "3600s")

    # The busiest contract of each product, on the feed that carries it most often.
    per_key = frame["key"].value_counts()
    chosen, products = [], set()
    for key in per_key.index:
        product = key.split(" ")[0].rstrip("0123456789CP-.")[:2]
        if product not in products:
            products.add(product)
            chosen.append(key)
        if len(chosen) == opt.instruments:
            break

    n = len(chosen)
    fig = plt.figure(figsize=(13, 2.8 * n + 6.5), constrained_layout=True)
    grid = fig.add_gridspec(n + 2, 2)
    feeds = ", ".join(sorted(frame["feed"].unique()))
    fig.suptitle(f"{opt.recording}: {len(frame):,} quotes of {frame['inst_id'].nunique()} contracts on {feeds}\n"
                 f"exchange time {frame['stamp'].min():%Y-%m-%d %H:%M} to {frame['stamp'].max():%Y-%m-%d %H:%M} CST, "
                 f"recorded in {span:,.0f} s" + (f" (clock {speed:,.0f}x)" if accelerated else ""))

    for row, key in enumerate(chosen):
        q = frame[(frame["key"] == key) & (frame["bid1_volume"] > 0) & (frame["ask1_volume"] > 0)]
        ax = fig.add_subplot(grid[row, :])
        for s in segments(q["stamp"]):
            part = q.iloc[s]
            ax.fill_between(part["stamp"], part["bid1_price"], part["ask1_price"], step="post",
                            color="tab:orange", alpha=0.35, lw=0)
            ax.plot(part["stamp"], (part["bid1_price"] + part["ask1_price"]) / 2, lw=0.7, color="tab:blue",
                    drawstyle="steps-post")
        ax.set_ylabel("yuan")
        # The spread, its mean per step, as steps along the foot of the
        # panel on its own scale (the band is a tick wide at a day's scale).
        width = pd.Series((q["ask1_price"] - q["bid1_price"]).to_numpy(), index=q["stamp"])
        per_minute = width.resample(step).mean()
        foot = ax.twinx()
        foot.plot(per_minute.index, per_minute.values, lw=0.6, color="tab:orange", drawstyle="steps-post")
        foot.set_ylim(0, 4 * (per_minute.max() if per_minute.notna().any() else 1))
        foot.set_ylabel("spread", color="tab:orange", fontsize=8)
        ax.set_zorder(foot.get_zorder() + 1)  # the mid above the spread
        ax.patch.set_visible(False)
        ax.set_title(f"{key}: mid (blue) inside its bid-ask band (orange), mean spread per {step} (steps at the foot), "
                     f"{len(q):,} two-sided quotes, median spread {width.median() if len(q) else float('nan'):g}",
                     loc="left", fontsize=9)
        locator = matplotlib.dates.AutoDateLocator()
        ax.xaxis.set_major_locator(locator)
        ax.xaxis.set_major_formatter(matplotlib.dates.ConciseDateFormatter(locator))
        ax.set_xlabel("exchange time (CST)", fontsize=8)

    rate = fig.add_subplot(grid[n, :])
    shown = per_second.iloc[backlog:]
    busy = shown[shown > 0]
    rate.plot(shown.index, shown.values, lw=0.8, color="tab:green")
    if backlog:
        drained = int(per_second.iloc[:backlog].sum())
        rate.axvspan(per_second.index[0], per_second.index[backlog], color="tab:gray", alpha=0.3)
        rate.text(0.005, 0.95, f"grey: start backlog, {drained:,} quotes drained in {backlog} s (left out)",
                  transform=rate.transAxes, fontsize=8, va="top")
    rate.set_ylabel("quotes / s")
    rate.set_xlabel("arrival (UTC)")
    rate.set_title(f"quote rate: median {busy.median() if len(busy) else 0:,.0f}/s while quotes flow, "
                   f"highest {shown.max():,}/s", loc="left", fontsize=9)

    lower = fig.add_subplot(grid[n + 1, 0])
    if accelerated:
        hour = (frame["stamp"] - frame["stamp"].min().normalize()).dt.total_seconds() / 3600
        bins = np.arange(np.floor(hour.min()), np.ceil(hour.max()) + 0.25, 0.25)
        for feed, part in hour.groupby(frame["feed"]):
            lower.hist(part, bins=bins, histtype="step", label=feed)
        ticks = lower.get_xticks()
        lower.set_xticks(ticks, [f"{int(t) % 24:02d}:00" for t in ticks], fontsize=7)
        lower.set_xlim(bins[0], bins[-1])
        lower.set_xlabel("exchange time (CST)")
        lower.set_ylabel("quotes per 15 min")
        lower.legend(fontsize=7)
        lower.set_title("the day's sessions, by feed", loc="left", fontsize=9)
    else:
        local = frame["arrival"].dt.tz_localize(None) + pd.Timedelta(hours=CST)
        delay = (local - frame["stamp"]).dt.total_seconds() * 1000.0
        lower.hist(delay, bins=100, color="tab:purple")
        lower.set_yscale("log")
        lower.set_xlabel("exchange time stamp (CST) to arrival (ms)")
        lower.set_ylabel("quotes")
        p = np.percentile(delay, [50, 99, 99.9])
        lower.set_title(f"delay: p50 {p[0]:.1f} ms, p99 {p[1]:.1f} ms, p99.9 {p[2]:.1f} ms", loc="left", fontsize=9)

    counts = fig.add_subplot(grid[n + 1, 1])
    top = per_key.head(15)
    counts.barh(top.index[::-1], top.values[::-1], color="tab:gray")
    counts.set_xlabel("quotes")
    counts.tick_params(axis="y", labelsize=7)
    counts.set_title("busiest contracts, by feed", loc="left", fontsize=9)

    fig.savefig(opt.output, dpi=80)
    print(f"plot_day.py: wrote {opt.output}")


if __name__ == "__main__":
    main()
