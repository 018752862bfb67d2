"""The exchange's clock of a recording file (recording/FORMAT.md): the host's, or the line its header
holds where a card model ran a simulated clock; the stamps and trading dates it gives the entries.
The rules of recording/ExchangeClock.h and TradingDate (recording/QuoteCsv.h), which the reader's test
compares with kest-record csv."""
import numpy as np

from .window import CHINA_STANDARD_TIME_S

_DAY_MS = 86_400_000
_CST_MS = CHINA_STANDARD_TIME_S * 1000
_LAST_STAMP_MS = 7_258_118_400_000  # 2200-01-01T00:00:00Z
_I64 = np.iinfo(np.int64)


def has_clock(header):
    """Whether the file's header holds an exchange clock (else the exchange kept the host's time)."""
    return header["exchange_anchor_s"] != 0


def exchange_ns(header, arrival_ns):
    """Arrivals (nanoseconds since the epoch) on the exchange's clock, rounded down; held to 64 bits."""
    arrival = np.asarray(arrival_ns, dtype=np.int64)
    if not has_clock(header):
        return arrival
    rate, anchor, at = int(header["exchange_rate_milli"]), int(header["exchange_anchor_ns"]), \
        int(header["exchange_anchor_s"]) * 10**9
    limit = (_I64.max - abs(anchor)) // rate  # |since / 1000| up to this keeps the product in 64 bits
    if len(arrival) and (int(arrival.min()) - at < -limit * 1000 or int(arrival.max()) - at > limit * 1000):
        exact = (anchor + (a - at) * rate // 1000 for a in arrival.tolist())
        return np.array([min(max(x, int(_I64.min)), int(_I64.max)) for x in exact], dtype=np.int64)
    q, r = np.divmod(arrival - at, 1000)  # since x rate / 1000 as q x rate plus the remainder's share
    return anchor + q * rate + r * rate // 1000


def stamp_ns(header, entries):
    """When the exchange stamped each entry's record (nanoseconds since the epoch, UTC): its update
    time (China Standard Time of day) on the day that puts it nearest the arrival on the exchange's
    clock; that time itself where the update time is no time of day."""
    near = exchange_ns(header, entries["arrival_ns"])
    near_ms = near // 1_000_000
    r = entries["record"]
    t = r["update_time"].astype(np.int64)
    hh, mm, ss, milli = t // 10000, t // 100 % 100, t % 100, r["update_milli_sec"].astype(np.int64)
    good = (hh <= 23) & (mm <= 59) & (ss <= 59) & (milli <= 999) & (near_ms >= 0) & (near_ms <= _LAST_STAMP_MS)
    local = np.where(good, near_ms, 0) + _CST_MS
    stamp = local // _DAY_MS * _DAY_MS + ((hh * 60 + mm) * 60 + ss) * 1000 + milli
    stamp = np.where(stamp - local > _DAY_MS // 2, stamp - _DAY_MS, stamp)
    stamp = np.where(local - stamp > _DAY_MS // 2, stamp + _DAY_MS, stamp)
    return np.where(good, (stamp - _CST_MS) * 1_000_000, near)


def trading_dates(ns):
    """The exchange's trading date (YYYYMMDD) of times in nanoseconds: the China Standard Time date,
    except that the night session (from 18:00, and past midnight until 06:00) belongs to the next
    weekday's date."""
    s = np.asarray(ns, dtype=np.int64) // 1_000_000_000 + CHINA_STANDARD_TIME_S
    days = s // 86400
    hour = (s - days * 86400) // 3600
    days = days + (hour >= 18)
    weekday = (days + 3) % 7  # 0 Monday
    night = (hour >= 18) | (hour < 6)
    days = days + np.where(night & (weekday == 5), 2, 0) + np.where(night & (weekday == 6), 1, 0)
    d = days.astype("datetime64[D]")
    month = d.astype("datetime64[M]")
    year = month.astype("datetime64[Y]").astype(np.int64) + 1970
    return (year * 10000 + (month.astype(np.int64) % 12 + 1) * 100 +
            (d - month.astype("datetime64[D]")).astype(np.int64) + 1).astype(np.uint32)


def trading_date(header, entries):
    """Each entry's trading date as kest-record csv gives it: of its stamp where the header holds an
    exchange clock, else of its arrival on the host."""
    return trading_dates(stamp_ns(header, entries) if has_clock(header) else entries["arrival_ns"])
