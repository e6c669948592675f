"""Date conversions."""

import datetime

import numpy as np
import pandas as pd


def convert_date_to_date_int(date):
    """Return the calendar date of ``date`` as the integer YYYYMMDD (2 January 2005 -> 20050102).

    Accepts a ``datetime.date``, a ``datetime.datetime``, a pandas ``Timestamp``
    or a NumPy ``datetime64``; the time of day is ignored.
    """
    if isinstance(date, np.datetime64):
        date = pd.Timestamp(date)
    if date is pd.NaT:
        raise ValueError("cannot convert a missing date (NaT) to YYYYMMDD")
    if not isinstance(date, datetime.date):
        raise TypeError(f"expected a date, datetime or Timestamp, got {type(date).__name__}: {date!r}")
    return date.year * 10000 + date.month * 100 + date.day


def convert_date_int_to_date(date_int):
    """Inverse of :func:`convert_date_to_date_int`: 20050102 -> ``datetime.date(2005, 1, 2)``."""
    if isinstance(date_int, bool) or not isinstance(date_int, (int, np.integer)):
        raise TypeError(f"expected an integer YYYYMMDD, got {date_int!r}")
    date_int = int(date_int)
    return datetime.date(date_int // 10000, date_int // 100 % 100, date_int % 100)


def to_timestamp(value):
    """Turn a date, datetime, Timestamp, ``datetime64``, ISO string or YYYYMMDD integer
    into a timezone-naive pandas ``Timestamp``."""
    if isinstance(value, bool):
        raise TypeError(f"expected a date, got {value!r}")
    if isinstance(value, (int, np.integer)):
        return pd.Timestamp(convert_date_int_to_date(value))
    if value is None or value is pd.NaT:
        raise ValueError(f"expected a date, got {value!r}")
    ts = pd.Timestamp(value)
    if ts.tzinfo is not None:
        ts = ts.tz_localize(None)
    return ts
