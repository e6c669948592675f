"""The quotes and the repo rates as a run asks for them: by id and day."""

import array
import bisect
import datetime

import numpy as np

from korvane_bond_demo.reader.across import unique


def plain_day(day):
    """The calendar day of a ``datetime.date`` or ``datetime.datetime``."""
    return day.date() if isinstance(day, datetime.datetime) else day


class Series:
    """The rows of a table of quotes or rates sorted by id and date, kept as compact
    arrays (the table's columns are handed over, one at a time): each id's rows are a
    slice, found by a binary search on its dates."""

    def __init__(self, table, names):
        order, code = unique(table, "date")
        ids = list(dict.fromkeys(table.columns.pop("order_book_id")))  # in the order of their codes
        codes = code[order]
        del code
        bounds = [0, *(np.flatnonzero(np.diff(codes)) + 1).tolist(), len(order)]
        self.slices = {ids[int(codes[lo])]: (lo, hi) for lo, hi in zip(bounds, bounds[1:]) if lo < hi}
        del codes
        self.dates = array.array("i")
        self.dates.frombytes(memoryview(table.dates("date")[order]).cast("B"))
        del table.columns["date"]
        self.values = {}
        for name in names:
            self.values[name] = array.array("d")
            self.values[name].frombytes(memoryview(table.numbers(name)[order]).cast("B"))
            del table.columns[name]
        table.columns.clear()

    def on(self, key, day, last=False):
        """The row of ``key`` on ``day`` (with ``last``: on or before it), or None."""
        where = self.slices.get(key)
        if where is None:
            return None
        lo, hi = where
        ordinal = plain_day(day).toordinal()
        if last:
            i = bisect.bisect_right(self.dates, ordinal, lo, hi) - 1
            return i if i >= lo else None
        i = bisect.bisect_left(self.dates, ordinal, lo, hi)
        return i if i < hi and self.dates[i] == ordinal else None
