"""Each kind of cell of a table, read and bounded.

:data:`KINDS` maps a kind to its reader, which turns a cell (CSV text, or a Parquet
value) into the value kept, or raises ``ValueError``; :class:`Bad` when the cell is of the
kind but out of what a run can represent, in words of its own. :data:`FAST` holds the
quick readers of the CSV text of a number that is right.
"""

import datetime
import math
import numbers

from korvane_bond_demo.reader.layout import FIRST_DATE, LAST_DATE, MAX_AMOUNT, MAX_WHOLE


class Bad(ValueError):
    """A cell's fault, in words of its own."""


def _text(value):
    if not isinstance(value, str):
        raise ValueError
    text = value.strip()
    if not text:
        raise ValueError
    if "\x00" in text:
        raise Bad(f"a NUL character in {value!r}")
    return text


def as_date(value):
    """A cell as a ``datetime.date`` within the dates a run can represent."""
    if isinstance(value, str):
        day = datetime.date.fromisoformat(value.strip())
    elif isinstance(value, datetime.datetime):  # pandas' Timestamp too
        if value.time() != datetime.time(0):
            raise ValueError
        day = value.date()
    elif isinstance(value, datetime.date):
        day = value
    else:
        raise ValueError
    if not FIRST_DATE <= day <= LAST_DATE:
        raise Bad(f"{day} is outside the dates the run can represent, {FIRST_DATE} to {LAST_DATE}")
    return day


def _as_number(value):
    if isinstance(value, str):
        number = float(value)
    elif isinstance(value, numbers.Real) and not isinstance(value, bool):
        number = float(value)
    else:
        raise ValueError
    if not math.isfinite(number):
        raise ValueError
    if abs(number) > MAX_AMOUNT:
        raise Bad(f"{value!r} is larger than the run can represent ({MAX_AMOUNT:g} at most)")
    return number


def _integral(number):
    if not math.isfinite(number) or number != int(number):
        raise ValueError
    return int(number)


def _as_whole(value):
    if isinstance(value, bool):
        raise ValueError
    if isinstance(value, str):
        try:
            number = int(value)  # exactly, however long
        except ValueError:
            number = _integral(float(value))  # 10.0, 1e3
    elif isinstance(value, numbers.Integral):
        number = int(value)
    elif isinstance(value, numbers.Real):
        number = _integral(float(value))
    else:
        raise ValueError
    if number < 1:
        raise ValueError
    if number > MAX_WHOLE:
        raise Bad(f"{value!r} is larger than the run can represent ({MAX_WHOLE:,} at most)")
    return number


def _at_least(value, low):
    if value < low:
        raise ValueError
    return value


def _above(value, low):
    if not value > low:
        raise ValueError
    return value


# kind -> (reader, what a value must be, how a column of it is kept, the empty value)
KINDS = {
    "id": (_text, "an order book id", None, None),
    "text": (_text, "a text", None, None),
    "date": (as_date, "a date (YYYY-MM-DD)", "i", 0),
    "number": (_as_number, "a finite number", "d", math.nan),
    "amount": (lambda v: _at_least(_as_number(v), 0.0), "a finite number of at least 0", "d", math.nan),
    "price": (lambda v: _above(_as_number(v), 0.0), "a positive finite number", "d", math.nan),
    "whole": (_as_whole, "a whole number of at least 1", "q", 0),
    "count": (lambda v: 0 if _as_number(v) == 0 else _as_whole(v), "a whole number of at least 0", "q", 0),
}


def is_empty(value):
    return (
        value is None
        or (isinstance(value, str) and value.strip() == "")
        or (isinstance(value, float) and math.isnan(value))
    )


def memo(reader, limit=100_000):
    """``reader`` remembering what it made of each value (a text, a date): a table names few
    distinct days and ids many times, and an id read once is kept once."""
    seen = {}

    def read(value):
        try:
            return seen[value]
        except KeyError:
            made = reader(value)
            if len(seen) < limit:
                seen[value] = made
            return made
        except TypeError:  # not hashable
            return reader(value)

    return read


def _in(low, high, above=False):
    """A reader of text that is a number from ``low`` (excluded when ``above``) to
    ``high``: the common case of a CSV cell, in one comparison (NaN fails it too)."""

    def read(text):
        number = float(text)
        if (low < number <= high) if above else (low <= number <= high):
            return number
        raise ValueError

    return read


# kind -> the reader of a CSV cell that is right, or ValueError (then the kind's own
# reader says what is wrong)
FAST = {
    "number": _in(-MAX_AMOUNT, MAX_AMOUNT),
    "amount": _in(0.0, MAX_AMOUNT),
    "price": _in(0.0, MAX_AMOUNT, above=True),
}
