"""A file's rows kept column by column as they are read, and how each cell is read into them."""

import array
import datetime
import math

import numpy as np

from korvane_bond_demo.reader.cells import FAST, KINDS, Bad, as_date, is_empty, memo
from korvane_bond_demo.reader.layout import DataError


class Table:
    """One file's rows, kept column by column: dates as day ordinals (0 when empty),
    numbers as floats (NaN when empty), whole numbers (0 when empty), texts as strings
    (None when empty); and the place of each row in the file."""

    def __init__(self, path, columns, row_word):
        self.path = path
        self.row_word = row_word  # "line" (CSV) or "row" (Parquet)
        self.kinds = {name: kind.rstrip("?") for name, kind in columns}
        self.columns = {}
        for name, kind in self.kinds.items():
            code = KINDS[kind][2]
            self.columns[name] = [] if code is None else array.array(code)
        self.places = array.array("q")  # the line (CSV) or row (Parquet) of each row

    def __len__(self):
        return len(self.places)

    def where(self, i, column=None):
        place = f"{self.path}, {self.row_word} {self.places[i]}"
        return f"{place}, column {column}" if column else place

    def fault(self, i, column, message):
        return DataError(f"{self.where(i, column)}: {message}")

    def value(self, name, i):
        """The cell as a Python value: a date, a float, an int, a string, or None when empty."""
        raw = self.columns[name][i]
        kind = self.kinds[name]
        if kind == "date":
            return datetime.date.fromordinal(raw) if raw else None
        if kind in ("whole", "count"):
            return raw or None  # a count of 0 reads as empty
        if kind in ("id", "text"):
            return raw
        return None if math.isnan(raw) else raw

    def row(self, i):
        return {name: self.value(name, i) for name in self.columns}

    def dates(self, name):
        """A date column as a NumPy array of day ordinals."""
        return np.frombuffer(self.columns[name], dtype=np.int32)

    def numbers(self, name):
        return np.frombuffer(self.columns[name], dtype=np.float64)


class Plan:
    """How the cells of one table are read into its columns: each row first by the
    quick readers of CSV text, a row they refuse (or any row of another source) again
    by each kind's own reader, which names what is wrong."""

    def __init__(self, table, columns, text=True):
        self.table = table
        self.cells = []  # (name, reader, optional, what, empty)
        quick = []
        for name, kind in columns:
            base = kind.rstrip("?")
            reader, what, _, empty = KINDS[base]
            if base in ("id", "date"):
                reader = memo(reader if base == "id" else lambda v: as_date(v).toordinal())
            self.cells.append((name, reader, kind.endswith("?"), what, empty))
            quick.append(FAST.get(base, reader))
        self.quick = quick if text else None
        self.appends = [table.columns[name].append for name, _ in columns]

    def add(self, place, cells):
        """Append one row's ``cells`` (in the order of the columns) found at ``place``;
        DataError at the first bad cell."""
        table = self.table
        i = len(table.places)
        table.places.append(place)
        values = None
        if self.quick is not None:
            try:
                values = [read(raw) for read, raw in zip(self.quick, cells)]
            except (ValueError, TypeError, OverflowError):
                pass
        if values is None:
            values = [self._read(i, cell, raw) for cell, raw in zip(self.cells, cells)]
        for append, value in zip(self.appends, values):
            append(value)
        return i

    def _read(self, i, cell, raw):
        name, reader, optional, what, empty = cell
        try:
            return reader(raw)
        except Bad as fault:
            raise self.table.fault(i, name, str(fault)) from None
        except (ValueError, TypeError, OverflowError):
            if not is_empty(raw):
                raise self.table.fault(i, name, f"not {what}: {raw!r}") from None
            if not optional:
                raise self.table.fault(i, name, "empty") from None
            return empty
