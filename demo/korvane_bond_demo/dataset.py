"""Market data in a folder: the layout, its checks, and the bundled data as one instance of it.

A folder holds six tables, each as ``NAME.csv`` or, where ``pyarrow`` is installed,
``NAME.parquet`` (not both). Amounts are per bond of 100 face value, dates
``YYYY-MM-DD``, rates yearly decimals (0.018 is 1.8 %):

- ``instruments``: ``order_book_id``, ``type`` (BOND or REPO), ``symbol``, ``exchange``
  (XSHG, XSHE or IB for bonds; XSHG or XSHE for repos), ``round_lot``, ``issue_price``
  (bonds), ``initial_issue_size`` (bonds, may be empty), ``repo_period`` (repos, calendar
  days), ``listed_date``, ``maturity_date`` (bonds), ``coupon_rate`` (may be empty);
- ``realized_cash_flow``: every bond's payments: ``order_book_id``, ``payment_date``,
  ``cash_flow``, ``principal_payment``, ``interest_payment``, ``remaining_principal``;
- ``implied_cash_flow`` (needed when there is an inter-bank bond): ``order_book_id``,
  ``date``, ``total_payment``, ``payment_receivable``, ``principal_payment``,
  ``interest_payment``;
- ``bond_prices``: ``order_book_id``, ``date``, ``clean_price``, ``accrued_interest``,
  ``full_price``, ``yield``; a bond is quoted on the sessions it can be traded;
- ``repo_rates``: ``order_book_id``, ``date``, ``rate``;
- ``sessions``: ``date``, every trading day the data cover, in order: the run's calendar.

:func:`load` reads and checks a folder, one row at a time: the first fault raises
:class:`DataError` as soon as it is read, one line naming the file, the row (``line N``
of a CSV file, as an editor counts, or ``row N`` of a Parquet file) and the column.
Besides each cell's own kind and range, the data must agree with themselves:

- every date of a table lies within :data:`FIRST_DATE` to :data:`LAST_DATE`; every
  number is at most :data:`MAX_AMOUNT` in size, a lot or a count at most
  :data:`MAX_WHOLE`, a repo's period at most :data:`MAX_REPO_PERIOD` days;
- a quote's full price is its clean price plus its accrued interest, within
  :data:`PRICE_TOLERANCE`;
- a payment is its principal plus its interest; the principal repaid adds up to at
  most 100, the remaining principal after each payment is 100 less the principal
  repaid so far (so it never rises);
- the dates of both cash-flow tables that fall within the sessions are sessions (with
  ``roll_cash_flow_dates``, a date that is not one moves to the next session instead,
  and records that meet there are added up);
- in the implied table, what becomes receivable over a period adds up to its payment
  (a period with nothing receivable before its payment date is booked on that date);
  its payments within the sessions are the realized table's, date, amount and principal;

sums of amounts agree within :data:`AMOUNT_TOLERANCE`. A table larger than its limit
(``max_table_mb``, default :data:`DEFAULT_MAX_TABLE_MB` million bytes; a Parquet file's
uncompressed size counts) is refused before it is read, and a CSV file is checked for
NUL bytes and UTF-8 line by line before it is parsed. :func:`bundled` is the data
shipped in this package's ``data/`` folder, in the same layout.
"""

import array
import bisect
import codecs
import datetime
import functools
import math
import numbers
import os
import stat
from importlib import resources
from pathlib import Path

import numpy as np
import pandas as pd
from korvane.runner import BondQuote

BOND, REPO = "BOND", "REPO"
BOND_EXCHANGES = ("XSHG", "XSHE", "IB")
REPO_EXCHANGES = ("XSHG", "XSHE")

# table -> its columns, each (name, kind); a kind ending in "?" may be empty
LAYOUT = {
    "instruments": (
        ("order_book_id", "id"),
        ("type", "text"),
        ("symbol", "text"),
        ("exchange", "text"),
        ("round_lot", "whole"),
        ("issue_price", "number?"),
        ("initial_issue_size", "number?"),
        ("repo_period", "whole?"),
        ("listed_date", "date?"),
        ("maturity_date", "date?"),
        ("coupon_rate", "number?"),
    ),
    "realized_cash_flow": (
        ("order_book_id", "id"),
        ("payment_date", "date"),
        ("cash_flow", "amount"),
        ("principal_payment", "amount"),
        ("interest_payment", "amount"),
        ("remaining_principal", "amount"),
    ),
    "implied_cash_flow": (
        ("order_book_id", "id"),
        ("date", "date"),
        ("total_payment", "amount"),
        ("payment_receivable", "amount"),
        ("principal_payment", "amount"),
        ("interest_payment", "amount"),
    ),
    "bond_prices": (
        ("order_book_id", "id"),
        ("date", "date"),
        ("clean_price", "price"),
        ("accrued_interest", "amount"),
        ("full_price", "price"),
        ("yield", "number"),
    ),
    "repo_rates": (("order_book_id", "id"), ("date", "date"), ("rate", "amount")),
    "sessions": (("date", "date"),),
}
OPTIONAL_TABLES = frozenset({"implied_cash_flow"})
MAX_RATE = 1.0  # a yearly repo rate above 100 % is a unit slip (percent for a decimal)
DEFAULT_MAX_TABLE_MB = 256  # million bytes a table; reading one takes about 1.3 times as much memory
PARQUET_BATCH = 65_536  # rows of a Parquet file read at a time
# What the run can represent: dates pandas' timestamps hold with room for a repo's term,
# amounts no larger than the largest cash a run takes, whole numbers a float holds exactly.
FIRST_DATE, LAST_DATE = datetime.date(1900, 1, 1), datetime.date(2199, 12, 31)
MAX_AMOUNT = 1e15
MAX_WHOLE = 2**53
MAX_REPO_PERIOD = 365  # calendar days: no exchange repo runs longer than a year
FACE = 100.0  # amounts are per bond of 100 face value
# A full price may differ from clean + accrued by the rounding of its three figures.
PRICE_TOLERANCE = 0.0005
# Sums of amounts per 100 face (principal repaid, a period's receivables) and the
# payments of the two cash-flow tables agree within this.
AMOUNT_TOLERANCE = 1e-6


class DataError(ValueError):
    """A data file that cannot be used: one line naming the file, row and column."""


class _Bad(ValueError):
    """A cell's fault, in words of its own."""


# -- cells -----------------------------------------------------------------------------


def _text(value):
    if not isinstance(value, str):
        raise ValueError
    text = value.strip()
    if not text:
        raise ValueError
    if "\x00" in text:
        raise _Bad(f"a NUL character in {value!r}")
    return text


def _as_date(value):
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
        raise _Bad(f"{day} is outside the dates the run can represent, {FIRST_DATE} to {LAST_DATE}")
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
        raise _Bad(f"{value!r} is larger than the run can represent ({MAX_AMOUNT:g} at most)")
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
        raise _Bad(f"{value!r} is larger than the run can represent ({MAX_WHOLE:,} at most)")
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
_KINDS = {
    "id": (_text, "an order book id", None, None),
    "text": (_text, "a text", None, None),
    "date": (_as_date, "a date (YYYY-MM-DD)", "i", 0),
    "number": (_as_number, "a finite number", "d", math.nan),
    "amount": (lambda v: _at_least(_as_number(v), 0.0), "a finite number of at least 0", "d", math.nan),
    "price": (lambda v: _above(_as_number(v), 0.0), "a positive finite number", "d", math.nan),
    "whole": (_as_whole, "a whole number of at least 1", "q", 0),
    "count": (lambda v: 0 if _as_number(v) == 0 else _as_whole(v), "a whole number of at least 0", "q", 0),
}


def _empty(value):
    return (
        value is None
        or (isinstance(value, str) and value.strip() == "")
        or (isinstance(value, float) and math.isnan(value))
    )


# -- tables ----------------------------------------------------------------------------


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
            code = _KINDS[kind][2]
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


def _memo(reader, limit=100_000):
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
_FAST = {
    "number": _in(-MAX_AMOUNT, MAX_AMOUNT),
    "amount": _in(0.0, MAX_AMOUNT),
    "price": _in(0.0, MAX_AMOUNT, above=True),
}


class _Plan:
    """How the cells of one table are read into its columns: each row first by the
    quick readers of CSV text, a row they refuse (or any row of another source) again
    by each kind's own reader, which names what is wrong."""

    def __init__(self, table, columns, text=True):
        self.table = table
        self.cells = []  # (name, reader, optional, what, empty)
        quick = []
        for name, kind in columns:
            base = kind.rstrip("?")
            reader, what, _, empty = _KINDS[base]
            if base in ("id", "date"):
                reader = _memo(reader if base == "id" else lambda v: _as_date(v).toordinal())
            self.cells.append((name, reader, kind.endswith("?"), what, empty))
            quick.append(_FAST.get(base, reader))
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
        except _Bad as fault:
            raise self.table.fault(i, name, str(fault)) from None
        except (ValueError, TypeError, OverflowError):
            if not _empty(raw):
                raise self.table.fault(i, name, f"not {what}: {raw!r}") from None
            if not optional:
                raise self.table.fault(i, name, "empty") from None
            return empty


def _size_limit(path, size, limit, what="a table (max_table_mb, --max-table-mb, raises it)"):
    if size > limit:
        raise DataError(f"{path}: {size:,} bytes, above the limit of {limit:,} for {what}")


class _BadLine(Exception):
    """A line that is no text: its number, its bytes and what is wrong with it."""

    def __init__(self, number, raw, what):
        super().__init__(what)
        self.number, self.raw, self.what = number, raw, what


_NUL_MARK = "\uffff"  # stands for a NUL byte while the line is split into cells


def _bad_cell(text):
    return any(ch == _NUL_MARK or "\udc80" <= ch <= "\udcff" for ch in text)


def _lines(handle, path, limit):
    """The file's lines as text, each checked for a NUL byte and for UTF-8 before it is
    parsed (:class:`_BadLine` otherwise)."""
    read = 0
    decode = codecs.getdecoder("utf-8")
    for number, raw in enumerate(handle, 1):
        read += len(raw)
        if read > limit:
            _size_limit(path, read, limit)  # the file grew while it was read
        if number == 1 and raw.startswith(codecs.BOM_UTF8):
            raw = raw[len(codecs.BOM_UTF8) :]
        if b"\x00" in raw:
            raise _BadLine(number, raw, "a NUL byte: not a text table")
        try:
            yield decode(raw)[0]
        except UnicodeDecodeError:
            raise _BadLine(number, raw, "not UTF-8 text") from None


def _bad_line(path, bad, header):
    """The DataError of a line that is no text, naming the column of the bad cell when the
    line alone splits into the header's cells."""
    import csv

    text = bad.raw.decode("utf-8", "surrogateescape").replace("\x00", _NUL_MARK)
    cells = next(csv.reader([text]), [])
    if header is not None and len(cells) == len(header):
        for name, cell in zip(header, cells):
            if _bad_cell(cell):
                return DataError(f"{path}, line {bad.number}, column {name}: {bad.what}")
    return DataError(f"{path}, line {bad.number}: {bad.what}")


def _header(path, names, present):
    missing = [name for name in names if name not in present]
    if missing:
        raise DataError(f"{path}: no column {', '.join(missing)} (the columns are {', '.join(present)})")
    doubled = sorted({name for name in names if present.count(name) > 1})
    if doubled:
        raise DataError(f"{path}: column {', '.join(doubled)} more than once")


def _read_csv(path, columns, limit, check_row):
    import csv

    table = Table(path, columns, "line")
    plan = _Plan(table, columns)
    names = [name for name, _ in columns]
    header = None
    with open(path, "rb") as handle:
        reader = csv.reader(_lines(handle, path, limit))
        try:
            header = next(reader, None)
            if header is None:
                raise DataError(f"{path}: empty: no header line")
            header = [name.strip() for name in header]
            _header(path, names, header)
            positions = [header.index(name) for name in names]
            width, line = len(header), reader.line_num
            for cells in reader:
                place, line = line + 1, reader.line_num
                if not cells:
                    continue  # a blank line
                if len(cells) != width:
                    raise DataError(f"{path}, line {place}: {len(cells)} cells, the header names {width}")
                check_row(table, plan.add(place, [cells[p] for p in positions]))
        except _BadLine as bad:
            raise _bad_line(path, bad, header) from None
        except csv.Error as error:
            raise DataError(f"{path}, line {reader.line_num}: not a CSV row: {error}") from None
    return table


def _read_parquet(path, columns, limit, check_row):
    try:
        import pyarrow.parquet as pq
    except ImportError:
        raise DataError(f"{path}: reading Parquet needs pyarrow (pip install pyarrow)") from None
    try:
        source = pq.ParquetFile(path)
        metadata = source.metadata
        expanded = sum(metadata.row_group(g).total_byte_size for g in range(metadata.num_row_groups))
        present = list(source.schema_arrow.names)
    except Exception as error:  # pyarrow's errors have no common base
        raise DataError(f"{path}: not a Parquet file: {' '.join(str(error).split())}") from None
    _size_limit(path, expanded, limit)
    names = [name for name, _ in columns]
    _header(path, names, present)
    table = Table(path, columns, "row")
    plan = _Plan(table, columns, text=False)
    batches = source.iter_batches(batch_size=PARQUET_BATCH, columns=names)
    row = 0
    while True:
        # a batch of rows at a time: the table's values are never all Python objects at once
        try:
            batch = next(batches, None)
            if batch is None:
                return table
            cells = [batch.column(name).to_pylist() for name in names]
        except Exception as error:  # pyarrow's errors have no common base
            raise DataError(f"{path}: not a Parquet file: {' '.join(str(error).split())}") from None
        for values in zip(*cells):
            row += 1
            check_row(table, plan.add(row, values))


# -- finding the files -----------------------------------------------------------------


def _find(folder, name):
    """The path of table ``name`` in ``folder``, or None for a missing optional table."""
    found = []
    for path in (folder / f"{name}.csv", folder / f"{name}.parquet"):
        try:
            os.lstat(path)
        except FileNotFoundError:
            continue
        except OSError as error:
            raise DataError(f"{path}: cannot read it: {error.strerror or error}") from None
        found.append(path)
    if len(found) == 2:
        raise DataError(f"{folder}: both {name}.csv and {name}.parquet; keep one")
    if not found:
        if name in OPTIONAL_TABLES:
            return None
        raise DataError(f"{folder}: no {name}.csv (or {name}.parquet)")
    path = found[0]
    try:
        info = os.stat(path)  # a link to nowhere, or a loop of links, fails here
    except OSError as error:
        raise DataError(f"{path}: cannot read it: {error.strerror or error}") from None
    if not stat.S_ISREG(info.st_mode):
        raise DataError(f"{path}: not a regular file")
    return path, info.st_size


# -- reading and checking a folder -----------------------------------------------------


class _Loader:
    """Reads a folder's tables, the sessions and the instruments first, each row checked as
    it is read against the tables read before it, then each table as a whole."""

    def __init__(self, folder, roll, limit):
        self.folder = folder
        self.roll = roll
        self.limit = limit
        self.tables = {}
        self.instrument_rows = {}  # order book id -> its row of instruments
        self.kinds = {}  # order book id -> BOND or REPO

    def read(self, name, check_row):
        found = _find(self.folder, name)
        if found is None:
            return None
        path, size = found
        columns = LAYOUT[name]
        _size_limit(path, size, self.limit)
        try:
            if path.suffix == ".parquet":  # its uncompressed size is checked too
                table = _read_parquet(path, columns, self.limit, check_row)
            else:
                table = _read_csv(path, columns, self.limit, check_row)
        except OSError as error:
            raise DataError(f"{path}: cannot read it: {error.strerror or error}") from None
        self.tables[name] = table
        return table

    def load(self):
        self.read("sessions", self._check_session)
        self._keep_sessions()
        self.read("instruments", self._check_instrument)
        self._check_cash_flows(self.read("realized_cash_flow", self._check_payment))
        implied = self.read("implied_cash_flow", self._check_implied_record)
        if implied is not None:
            self._check_implied(implied)
        quotes = _Series(self.read("bond_prices", self._check_quote), ("clean_price", "full_price", "yield"))
        rates = _Series(self.read("repo_rates", self._check_rate), ("rate",))
        self._check_bonds_have_cash_flows()
        return Dataset(self.folder, self.tables, quotes, rates, self.roll)

    # rows --------------------------------------------------------------------------

    @staticmethod
    def _check_session(table, i):
        dates = table.columns["date"]
        if i and dates[i] <= dates[i - 1]:
            raise table.fault(
                i, "date", f"{table.value('date', i)} does not follow {table.value('date', i - 1)}"
            )

    def _keep_sessions(self):
        table = self.tables["sessions"]
        if not len(table):
            raise DataError(f"{table.path}: no session")
        self.session_set = frozenset(table.columns["date"])
        self.first, self.last = table.columns["date"][0], table.columns["date"][-1]

    def _check_instrument(self, table, i):
        obid = table.columns["order_book_id"][i]
        if obid in self.instrument_rows:
            first = table.places[self.instrument_rows[obid]]
            raise table.fault(i, "order_book_id", f"{obid} again (first at {table.row_word} {first})")
        self.instrument_rows[obid] = i
        row = table.row(i)
        kind, exchange = row["type"], row["exchange"]
        if kind not in (BOND, REPO):
            raise table.fault(i, "type", f"not BOND or REPO: {kind!r}")
        allowed = BOND_EXCHANGES if kind == BOND else REPO_EXCHANGES
        if exchange not in allowed:
            raise table.fault(
                i, "exchange", f"a {kind.lower()}'s exchange is one of {', '.join(allowed)}, got {exchange!r}"
            )
        needed = ("issue_price", "listed_date", "maturity_date") if kind == BOND else ("repo_period",)
        for name in needed:
            if row[name] is None:
                raise table.fault(i, name, f"empty: a {kind.lower()} needs one")
        if kind == BOND and not row["issue_price"] > 0:
            raise table.fault(i, "issue_price", f"not a positive price: {row['issue_price']!r}")
        if kind == BOND and row["maturity_date"] < row["listed_date"]:
            raise table.fault(
                i, "maturity_date", f"{row['maturity_date']} is before the listing, {row['listed_date']}"
            )
        if kind == REPO and row["repo_period"] > MAX_REPO_PERIOD:
            raise table.fault(
                i,
                "repo_period",
                f"a repo runs at most {MAX_REPO_PERIOD} days here, got {row['repo_period']:,}",
            )
        self.kinds[obid] = kind

    def _check_id(self, table, i, wanted):
        obid = table.columns["order_book_id"][i]
        if self.kinds.get(obid) != wanted:
            what = "a bond" if wanted == BOND else "a repo"
            name = self.tables["instruments"].path.name
            raise table.fault(i, "order_book_id", f"{obid} is not {what} of {name}")

    def _on_session(self, table, i, column, cash_flow=False):
        ordinal = table.columns[column][i]
        if ordinal in self.session_set:
            return
        if cash_flow and (self.roll or not self.first <= ordinal <= self.last):
            return  # moved to the next session; or outside the sessions, never reached
        name = self.tables["sessions"].path.name
        message = f"{table.value(column, i)} is not a session of {name}"
        if cash_flow:
            message += (
                ": nothing is paid or booked on it (--roll-cash-flow-dates moves it to the next session)"
            )
        raise table.fault(i, column, message)

    def _check_payment(self, table, i):
        self._check_id(table, i, BOND)
        self._on_session(table, i, "payment_date", cash_flow=True)
        columns = table.columns
        cash, principal = columns["cash_flow"][i], columns["principal_payment"][i]
        interest = columns["interest_payment"][i]
        if abs(cash - (principal + interest)) > AMOUNT_TOLERANCE:
            raise table.fault(
                i,
                "cash_flow",
                f"{cash!r} is not the principal plus the interest, {principal!r} + {interest!r}",
            )
        if columns["remaining_principal"][i] > FACE:
            raise table.fault(
                i,
                "remaining_principal",
                f"above 100 (amounts are per 100 face): {columns['remaining_principal'][i]!r}",
            )

    def _check_implied_record(self, table, i):
        self._check_id(table, i, BOND)
        self._on_session(table, i, "date", cash_flow=True)

    def _check_quote(self, table, i):
        self._check_id(table, i, BOND)
        self._on_session(table, i, "date")
        columns = table.columns
        clean, accrued, full = (
            columns["clean_price"][i],
            columns["accrued_interest"][i],
            columns["full_price"][i],
        )
        if abs(full - (clean + accrued)) > PRICE_TOLERANCE:
            raise table.fault(
                i,
                "full_price",
                f"{full!r} is not the clean price plus the accrued interest, {clean!r} + {accrued!r} "
                f"(within {PRICE_TOLERANCE:g})",
            )

    def _check_rate(self, table, i):
        self._check_id(table, i, REPO)
        self._on_session(table, i, "date")
        rate = table.columns["rate"][i]
        if rate > MAX_RATE:
            raise table.fault(i, "rate", f"above {MAX_RATE:g} (rates are decimals, 0.018 is 1.8 %): {rate!r}")

    # whole tables ------------------------------------------------------------------

    @staticmethod
    def _by_bond(table, date_column):
        """(row order by bond, then date; the bond code of each row)."""
        codes = {}
        code = np.fromiter(
            (codes.setdefault(obid, len(codes)) for obid in table.columns["order_book_id"]),
            dtype=np.int64,
            count=len(table),
        )
        return np.lexsort((table.dates(date_column), code)), code

    @staticmethod
    def _unique(table, date_column):
        """No two rows of ``table`` for one bond or repo and date, the first repeat named;
        (the rows' order by id and date, each row's id code)."""
        order, code = _Loader._by_bond(table, date_column)
        key = (code << 32) | table.dates(date_column).astype(np.int64)
        ranked = key[order]
        repeats = np.flatnonzero(ranked[1:] == ranked[:-1])
        if not repeats.size:
            return order, code
        i = int(order[repeats + 1].min())  # the earliest row that repeats one before it
        first = int(order[np.searchsorted(ranked, key[i])])  # lexsort is stable: the first row
        obid = table.columns["order_book_id"][i]
        raise table.fault(
            i,
            date_column,
            f"{obid} {table.value(date_column, i)} again (first at {table.row_word} {table.places[first]})",
        )

    def _check_cash_flows(self, table):
        """Each bond's payments in date order: the principal repaid adds up to at most 100,
        and the remaining principal is 100 less it (so it never rises)."""
        order, code = self._unique(table, "payment_date")
        columns, places = table.columns, table.places
        bond, repaid, remaining, before = None, 0.0, FACE, None
        for i in order.tolist():
            if code[i] != bond:
                bond, repaid, remaining, before = code[i], 0.0, FACE, None
            if remaining <= AMOUNT_TOLERANCE and columns["cash_flow"][i] > 0:
                raise table.fault(
                    i,
                    "payment_date",
                    f"a payment after the bond was repaid in full ({table.row_word} {places[before]})",
                )
            repaid += columns["principal_payment"][i]
            if repaid > FACE + AMOUNT_TOLERANCE:
                raise table.fault(
                    i,
                    "principal_payment",
                    f"the principal repaid adds up to {repaid!r}, above the face of 100",
                )
            now = columns["remaining_principal"][i]
            if now > remaining + AMOUNT_TOLERANCE:
                raise table.fault(
                    i,
                    "remaining_principal",
                    f"rises from {remaining!r} ({table.row_word} {places[before]}) to {now!r}",
                )
            if abs(now - (FACE - repaid)) > AMOUNT_TOLERANCE:
                raise table.fault(
                    i,
                    "remaining_principal",
                    f"{now!r} is not 100 less the principal repaid up to this payment, {FACE - repaid!r}",
                )
            remaining, before = now, i

    def _check_implied(self, table):
        """Each period's receivables add up to its payment; the payments within the sessions
        are the realized table's."""
        order, code = self._unique(table, "date")
        columns, places = table.columns, table.places
        bond, accrued, start = None, 0.0, None
        for i in order.tolist():
            if code[i] != bond:
                bond, accrued, start = code[i], 0.0, None
            total, receivable = columns["total_payment"][i], columns["payment_receivable"][i]
            if total == 0:
                accrued += receivable
                start = i if start is None else start
                continue
            # a period with nothing receivable before its payment date books the payment that day
            if accrued > 0 and abs(accrued + receivable - total) > AMOUNT_TOLERANCE:
                raise table.fault(
                    i,
                    "payment_receivable",
                    f"the period's receivables ({table.row_word} {places[start]} to here) add up to "
                    f"{accrued + receivable!r}, not its payment of {total!r}",
                )
            accrued, start = 0.0, None
        self._check_same_payments(table)

    def _payments(self, table, date_column, amount_column, bonds=None):
        """(bond, date ordinal) -> row, of the payments within the sessions."""
        found = {}
        columns = table.columns
        for i in range(len(table)):
            ordinal, obid = columns[date_column][i], columns["order_book_id"][i]
            if columns[amount_column][i] != 0 and self.first <= ordinal <= self.last:
                if bonds is None or obid in bonds:
                    found[(obid, ordinal)] = i
        return found

    def _check_same_payments(self, implied):
        realized = self.tables["realized_cash_flow"]
        bonds = set(implied.columns["order_book_id"])
        paid = self._payments(realized, "payment_date", "cash_flow", bonds)
        for key, i in self._payments(implied, "date", "total_payment").items():
            j = paid.pop(key, None)
            day = implied.value("date", i)
            if j is None:
                raise implied.fault(
                    i, "total_payment", f"{key[0]} pays nothing on {day} in {realized.path.name}"
                )
            for mine, theirs in (("total_payment", "cash_flow"), ("principal_payment", "principal_payment")):
                a, b = implied.columns[mine][i], realized.columns[theirs][j]
                if abs(a - b) > AMOUNT_TOLERANCE:
                    raise implied.fault(
                        i, mine, f"{a!r}, where {realized.where(j, theirs)} has {b!r} for the same day"
                    )
        if paid:
            j = min(paid.values())
            raise realized.fault(
                j,
                "payment_date",
                f"{realized.columns['order_book_id'][j]} pays {realized.columns['cash_flow'][j]!r} here, "
                f"and {implied.path.name} has no payment on {realized.value('payment_date', j)}",
            )

    def _check_bonds_have_cash_flows(self):
        instruments = self.tables["instruments"]
        has_realized = set(self.tables["realized_cash_flow"].columns["order_book_id"])
        implied = self.tables.get("implied_cash_flow")
        has_implied = set(implied.columns["order_book_id"]) if implied is not None else set()
        for obid, i in self.instrument_rows.items():
            if self.kinds[obid] != BOND:
                continue
            if obid not in has_realized:
                raise instruments.fault(i, "order_book_id", f"bond {obid} has no row in realized_cash_flow")
            if instruments.columns["exchange"][i] == "IB" and obid not in has_implied:
                where = "implied_cash_flow" if implied is not None else "implied_cash_flow (no such file)"
                raise instruments.fault(i, "order_book_id", f"inter-bank bond {obid} has no row in {where}")


def load(folder, roll_cash_flow_dates=False, max_table_mb=DEFAULT_MAX_TABLE_MB):
    """Read and check the market data in ``folder``: a :class:`Dataset`, or :class:`DataError`.

    ``roll_cash_flow_dates`` moves a date of a cash-flow table that is not a session (within
    the sessions) to the next session, instead of refusing it; ``max_table_mb`` is the
    largest table read, in million bytes."""
    folder = Path(folder)
    try:
        info = os.stat(folder)
    except FileNotFoundError:
        raise DataError(f"no data folder {folder}") from None
    except OSError as error:
        raise DataError(f"the data folder {folder}: cannot read it: {error.strerror or error}") from None
    except ValueError as error:  # a NUL character in the name
        raise DataError(f"the data folder {str(folder)!r} is no path: {error}") from None
    if not stat.S_ISDIR(info.st_mode):
        raise DataError(f"the data folder {folder} is not a folder")
    return _Loader(folder, bool(roll_cash_flow_dates), int(max_table_mb * 1_000_000)).load()


# -- the data as the run uses them -----------------------------------------------------


class Dataset:
    """Checked market data: reference data, cash flows, quotes, rates and sessions.

    It is the run's market (:meth:`bond_quote`, :meth:`repo_rate`), its instruments
    (:meth:`instruments`), its calendar (:attr:`sessions`), and, through
    :meth:`install`, what the data client serves the package's positions.
    """

    def __init__(self, folder, tables, quotes, rates, roll=False):
        self.folder = folder
        sessions = tables["sessions"]
        self.sessions = [sessions.value("date", i) for i in range(len(sessions))]
        self.first_date, self.last_date = self.sessions[0], self.sessions[-1]
        instruments = tables["instruments"]
        self.records = [
            {k: v for k, v in instruments.row(i).items() if v is not None} for i in range(len(instruments))
        ]
        self._quotes = quotes  # clean and full prices, yields
        self._rates = rates
        roll_to = sessions.dates("date") if roll else None
        implied = tables.get("implied_cash_flow")
        self._frames = {
            "instruments": _instrument_frame(self.records),
            "realized": _cash_flow_frame(tables["realized_cash_flow"], "realized_cash_flow", roll_to),
            "implied": _cash_flow_frame(implied, "implied_cash_flow", roll_to),
        }

    def __repr__(self):
        return f"Dataset({str(self.folder)!r})"

    @property
    def ids(self):
        return [record["order_book_id"] for record in self.records]

    def record(self, order_book_id):
        """The instrument's row of ``instruments`` (its non-empty fields), or None."""
        return next((r for r in self.records if r["order_book_id"] == order_book_id), None)

    def instruments(self):
        """Every bond and repo as the package's instrument objects."""
        from korvane_mod_bond.data import instrument_from_record

        return [instrument_from_record(record) for record in self.records]

    def install(self):
        """Serve this data's reference data and cash flows through the data client (the
        positions read them there), and forget what the package memoised of other data."""
        from pelvorn import bond

        from korvane_mod_bond import clear_cash_flow_memos

        bond.set_source(self._frames["instruments"], self._frames["realized"], self._frames["implied"])
        # The package memoises each bond's cash-flow table by id: a table of another
        # dataset with the same id must not be served to this run.
        clear_cash_flow_memos()

    def realized_cash_flow(self, order_book_id):
        """The bond's payments: a frame indexed by date, the realized columns; empty when none."""
        frame = self._frames["realized"]
        if order_book_id not in frame.index.get_level_values(0):
            return pd.DataFrame(columns=[c for c, _ in LAYOUT["realized_cash_flow"][2:]])
        part = frame.loc[order_book_id].copy()
        part.index = [ts.date() for ts in part.index]
        return part

    def previous_session(self, day):
        """The last session of the data before ``day``, or None."""
        i = bisect.bisect_left(self.sessions, _day(day))
        return self.sessions[i - 1] if i > 0 else None

    def bond_quote(self, order_book_id, day):
        """The bond's :class:`~korvane.runner.BondQuote` of ``day``, or None."""
        i = self._quotes.on(order_book_id, day)
        return None if i is None else self._quotes.quote(i)

    def last_quote(self, order_book_id, day):
        """The bond's last quote on or before ``day`` (a :class:`~korvane.runner.BondQuote`),
        or None."""
        i = self._quotes.on(order_book_id, day, last=True)
        return None if i is None else self._quotes.quote(i)

    def bond_yield(self, order_book_id, day):
        i = self._quotes.on(order_book_id, day)
        return None if i is None else self._quotes.values["yield"][i]

    def repo_rate(self, order_book_id, day):
        i = self._rates.on(order_book_id, day)
        return None if i is None else self._rates.values["rate"][i]

    def describe(self):
        """How the data are named in messages."""
        return (
            "the bundled market data"
            if self.folder == bundled_folder()
            else f"the market data in {self.folder}"
        )


def _day(day):
    return day.date() if isinstance(day, datetime.datetime) else day


class _Series:
    """The rows of a table of quotes or rates sorted by id and date, kept as compact
    arrays (the table's columns are handed over, one at a time): each id's rows are a
    slice, found by a binary search on its dates."""

    def __init__(self, table, names):
        order, code = _Loader._unique(table, "date")
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
        ordinal = _day(day).toordinal()
        if last:
            i = bisect.bisect_right(self.dates, ordinal, lo, hi) - 1
            return i if i >= lo else None
        i = bisect.bisect_left(self.dates, ordinal, lo, hi)
        return i if i < hi and self.dates[i] == ordinal else None

    def quote(self, i):
        return BondQuote(clean=self.values["clean_price"][i], full=self.values["full_price"][i])


def _instrument_frame(records):
    columns = [name for name, _ in LAYOUT["instruments"]]
    frame = pd.DataFrame([{c: r.get(c) for c in columns} for r in records], columns=columns)
    for name in ("listed_date", "maturity_date"):
        frame[name] = pd.to_datetime(frame[name])
    for name in ("round_lot", "repo_period"):
        frame[name] = frame[name].astype("Int64")
    for name in ("issue_price", "initial_issue_size", "coupon_rate"):
        frame[name] = frame[name].astype(float)
    return frame.set_index("order_book_id")


_EPOCH = datetime.date(1970, 1, 1).toordinal()


def _timestamps(ordinals):
    return pd.DatetimeIndex((np.asarray(ordinals, dtype=np.int64) - _EPOCH).astype("datetime64[D]")).as_unit(
        "ns"
    )


def _cash_flow_frame(table, name, roll_to=None):
    """The frame the data client serves, indexed by (order book id, date); with ``roll_to``
    (the sessions), dates within the sessions that are not one move to the next, and the
    records that meet there are added up (a payment's remaining principal: the later's)."""
    names = [column for column, _ in LAYOUT[name]]
    date_column = names[1]
    if table is None:
        frame = pd.DataFrame({column: [] for column in names})
        frame[date_column] = pd.to_datetime(frame[date_column])
        for column in names[2:]:
            frame[column] = frame[column].astype(float)
        return frame.set_index(["order_book_id", date_column])
    dates = table.dates(date_column).astype(np.int64)
    moved = False
    if roll_to is not None and len(dates):
        sessions = np.asarray(roll_to, dtype=np.int64)
        within = (dates >= sessions[0]) & (dates <= sessions[-1])
        rolled = np.where(
            within, sessions[np.minimum(np.searchsorted(sessions, dates), len(sessions) - 1)], dates
        )
        moved = bool((rolled != dates).any())
        original, dates = dates, rolled
    data = {"order_book_id": list(table.columns["order_book_id"]), date_column: _timestamps(dates)}
    for column in names[2:]:
        data[column] = table.numbers(column).copy()
    frame = pd.DataFrame(data)
    if moved:
        frame["_original"] = original
        frame = frame.sort_values(["order_book_id", "_original"], kind="stable")
        how = {column: "sum" for column in names[2:]}
        if "remaining_principal" in how:
            how["remaining_principal"] = "last"
        return frame.groupby(["order_book_id", date_column], sort=True).agg(how)
    return frame.set_index(["order_book_id", date_column])


def bundled_folder():
    return Path(str(resources.files("korvane_bond_demo").joinpath("data")))


@functools.lru_cache(maxsize=8)
def _load_cached(folder, roll_cash_flow_dates, max_table_mb):
    return load(folder, roll_cash_flow_dates, max_table_mb)


def bundled():
    """The data shipped with the demo, read once per process (it is read-only)."""
    return open_data()


def open_data(folder=None, roll_cash_flow_dates=False, max_table_mb=DEFAULT_MAX_TABLE_MB):
    """The data in ``folder``, or the bundled data when None: checked, then read once per
    process and rules (see :func:`load`)."""
    # realpath, not Path.resolve: on 3.9 that raises on a loop of links, which load() names
    path = bundled_folder() if folder is None else Path(os.path.realpath(folder))
    return _load_cached(path, bool(roll_cash_flow_dates), max_table_mb)


def data_of(settings):
    """The market data of a run's settings (:class:`korvane_bond_demo.settings.Settings`):
    its folder, read by its rules."""
    return open_data(settings.data, settings.roll_cash_flow_dates, settings.max_table_mb)
