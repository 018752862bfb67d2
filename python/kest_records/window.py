"""The time window of a selection, the rule kest-record slice --from/--to and kest-card-sim --replay
follow too.

A time is an integer, nanoseconds since the epoch (UTC), or text YYYY-MM-DD[T ]HH:MM[:SS[.fffffffff]]
with Z, +hh:mm, -hh:mm or no zone; a time without a zone is China Standard Time (UTC+08:00), the
exchange's clock. A window [from, to) holds the arrivals at or after from and before to, so that
consecutive windows neither overlap nor leave a gap; an end not given leaves that side open.
"""
import calendar
import re

import numpy as np

CHINA_STANDARD_TIME_S = 8 * 3600  # the offset of a time given without a zone
_TEXT = re.compile(r"(\d{4})-(\d{2})-(\d{2})[T ](\d{2}):(\d{2})(?::(\d{2})(?:\.(\d{1,9}))?)?"
                   r"(?:(Z)|([+-])(\d{2}):(\d{2}))?")


def parse_time(value):
    """Nanoseconds since the epoch of an integer or a text time; ValueError for other text."""
    if isinstance(value, (int, np.integer)) and not isinstance(value, bool):
        return int(value)
    if not isinstance(value, str):
        raise TypeError(f"a time is nanoseconds since the epoch or text, not {type(value).__name__}")
    if re.fullmatch(r"[+-]?\d+", value):
        return int(value)
    m = _TEXT.fullmatch(value)
    if m is None:
        raise ValueError(f"time {value!r}: wants nanoseconds since the epoch or "
                         "YYYY-MM-DDTHH:MM[:SS[.fff]][Z|+hh:mm]")
    y, mo, d, h, mi, s, frac, utc, sign, oh, om = m.groups()
    offset = 0 if utc else CHINA_STANDARD_TIME_S if sign is None else \
        (-1 if sign == "-" else 1) * (int(oh) * 3600 + int(om) * 60)
    seconds = calendar.timegm((int(y), int(mo), int(d), int(h), int(mi), int(s or 0))) - offset
    return seconds * 1_000_000_000 + int((frac or "").ljust(9, "0"))


def bounds(from_ns=None, to_ns=None):
    """The window as (first nanosecond in it, first after it), None for an open end."""
    return (None if from_ns is None else parse_time(from_ns), None if to_ns is None else parse_time(to_ns))


def overlaps(min_ns, max_ns, window):
    """Whether arrivals from min_ns to max_ns (both in) may fall in the window: a block whose latest
    arrival is the window's first nanosecond is in it, one whose earliest is its end is not."""
    lo, hi = window
    return (lo is None or max_ns >= lo) and (hi is None or min_ns < hi)


def within(entries, window):
    """The entries (ENTRY_DTYPE) whose arrivals are in the window."""
    lo, hi = window
    if lo is None and hi is None:
        return entries
    arrival = entries["arrival_ns"]
    keep = np.ones(len(entries), bool)
    if lo is not None:
        keep &= arrival >= lo
    if hi is not None:
        keep &= arrival < hi
    return entries[keep]
