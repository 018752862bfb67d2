"""Entries as a pandas DataFrame: UTC arrivals, exchange times, prices and turnover in yuan."""
import numpy as np


def _to_frame(entries):
    import pandas as pd

    r = entries["record"]
    t = r["update_time"].astype(np.int64)
    exchange_ms = ((t // 10000) * 3600 + (t // 100 % 100) * 60 + t % 100) * 1000 + r["update_milli_sec"]
    columns = {
        "arrival": pd.to_datetime(entries["arrival_ns"], unit="ns", utc=True),
        "inst_no": r["inst_no"],
        "inst_id": np.char.decode(r["inst_id"], "ascii", "replace"),
        "exchange_time": pd.to_timedelta(exchange_ms, unit="ms"),
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
