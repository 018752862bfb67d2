"""Entries as a pandas DataFrame: UTC arrivals, exchange times and trading dates, prices and turnover
in yuan."""
import numpy as np

from . import clock

_HOST = {"exchange_anchor_s": 0}  # a header whose exchange keeps the host's time


def _dates(header, entries):
    """The stamps and trading dates of one file's entries, as the frame's columns take them."""
    return clock.stamp_ns(header, entries), clock.trading_date(header, entries)


def _to_frame(entries, dates=None):
    """dates: (stamps, trading dates) of the entries, by their files' exchange clocks; the host's if None."""
    import pandas as pd

    stamps, trading = _dates(_HOST, entries) if dates is None else dates
    r = entries["record"]
    t = r["update_time"].astype(np.int64)
    exchange_ms = ((t // 10000) * 3600 + (t // 100 % 100) * 60 + t % 100) * 1000 + r["update_milli_sec"]
    columns = {
        "arrival": pd.to_datetime(entries["arrival_ns"], unit="ns", utc=True),
        "inst_no": r["inst_no"],
        "inst_id": np.char.decode(r["inst_id"], "ascii", "replace"),
        "exchange_time": pd.to_timedelta(exchange_ms, unit="ms"),
        "exchange_stamp": pd.to_datetime(stamps, unit="ns", utc=True),
        "trading_date": trading,
        "type": r["type"],
        "change_no": r["change_no"],
        "last_price": r["last_px"] / 100.0,
        "volume": r["volume"],
        "turnover": r["turnover"] / 100.0,
        "open_interest": r["open_interest"],
    }
    for side in ("bid", "ask"):
        for n in range(1, 6):
            columns[f"{side}{n}_price"] = r[f"{side}{n}_px"] / 100.0
            columns[f"{side}{n}_volume"] = r[f"{side}{n}_vol"]
    columns["last_tick_flag"] = r["last_tick_flag"]
    columns["max_inst_no"] = r["max_inst_no"]
    return pd.DataFrame(columns)
