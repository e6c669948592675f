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

:func:`load` reads and checks a folder; the first fault raises :class:`DataError`, one
line naming the file, the row (``line N`` of a CSV file, as an editor counts, or ``row
N`` of a Parquet file) and the column. :func:`bundled` is the data shipped in this
package's ``data/`` folder, in the same layout.
"""

import bisect
import datetime
import functools
import math
import numbers
from importlib import resources
from pathlib import Path

import pandas as pd
from korvane.runner import BondQuote

BOND, REPO = "BOND", "REPO"
BOND_EXCHANGES = ("XSHG", "XSHE", "IB")
REPO_EXCHANGES = ("XSHG", "XSHE")

# table -> its columns, each (name, kind); kinds are checked by _CHECKS below
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


class DataError(ValueError):
    """A data file that cannot be used: one line naming the file, row and column."""


# -- reading ---------------------------------------------------------------------------


class _Table:
    """One file's rows as Python values, with the position of each row in the file."""

    def __init__(self, path, rows, first_row, row_word):
        self.path = path
        self.rows = rows  # list of dicts, column -> raw value
        self.first_row = first_row  # the position of rows[0]: 2 for a CSV file (after the header)
        self.row_word = row_word  # "line" (CSV) or "row" (Parquet)

    def where(self, i, column=None):
        place = f"{self.path}, {self.row_word} {self.first_row + i}"
        return f"{place}, column {column}" if column else place

    def fault(self, i, column, message):
        return DataError(f"{self.where(i, column)}: {message}")


def _find(folder, name):
    csv_path, parquet_path = folder / f"{name}.csv", folder / f"{name}.parquet"
    found = [p for p in (csv_path, parquet_path) if p.exists()]
    if len(found) == 2:
        raise DataError(f"{folder}: both {name}.csv and {name}.parquet; keep one")
    if not found:
        if name in OPTIONAL_TABLES:
            return None
        raise DataError(f"{folder}: no {name}.csv (or {name}.parquet)")
    path = found[0]
    if not path.is_file():
        raise DataError(f"{path}: not a regular file")
    return path


def _read(path, columns):
    if path.suffix == ".parquet":
        try:
            import pyarrow  # noqa: F401
        except ImportError:
            raise DataError(f"{path}: reading Parquet needs pyarrow (pip install pyarrow)") from None
        try:
            frame = pd.read_parquet(path)
        except Exception as error:  # pyarrow's errors have no common base
            raise DataError(f"{path}: not a Parquet file: {' '.join(str(error).split())}") from None
        first_row, word = 1, "row"
    else:
        try:
            frame = pd.read_csv(path, dtype=str, keep_default_na=False, encoding="utf-8")
        except UnicodeDecodeError:
            raise DataError(f"{path}: not UTF-8 text") from None
        except (pd.errors.ParserError, pd.errors.EmptyDataError) as error:
            raise DataError(f"{path}: not a CSV table: {' '.join(str(error).split())}") from None
        first_row, word = 2, "line"
    missing = [name for name, _ in columns if name not in frame.columns]
    if missing:
        raise DataError(
            f"{path}: no column {', '.join(missing)} (the columns are {', '.join(frame.columns)})"
        )
    names = [name for name, _ in columns]
    rows = frame[names].to_dict("records")
    return _Table(path, rows, first_row, word)


def _empty(value):
    return (
        value is None
        or (isinstance(value, str) and value.strip() == "")
        or (isinstance(value, float) and math.isnan(value))
    )


def _as_date(value):
    if isinstance(value, str):
        return datetime.date.fromisoformat(value.strip())
    if isinstance(value, datetime.datetime):  # pandas' Timestamp too
        if value.time() != datetime.time(0):
            raise ValueError
        return value.date()
    if isinstance(value, datetime.date):
        return value
    raise ValueError


def _as_number(value):
    if isinstance(value, str):
        number = float(value.strip())
    elif isinstance(value, numbers.Real) and not isinstance(value, bool):
        number = float(value)
    else:
        raise ValueError
    if not math.isfinite(number):
        raise ValueError
    return number


def _as_whole(value):
    number = _as_number(value)
    if number != int(number) or number < 1:
        raise ValueError
    return int(number)


# kind -> (reader, what a value must be)
_CHECKS = {
    "id": (lambda v: v.strip() if isinstance(v, str) and v.strip() else _bad(), "an order book id"),
    "text": (lambda v: v.strip() if isinstance(v, str) and v.strip() else _bad(), "a text"),
    "date": (_as_date, "a date (YYYY-MM-DD)"),
    "number": (_as_number, "a finite number"),
    "amount": (lambda v: _at_least(_as_number(v), 0.0), "a finite number of at least 0"),
    "price": (lambda v: _above(_as_number(v), 0.0), "a positive finite number"),
    "whole": (_as_whole, "a whole number of at least 1"),
}


def _bad():
    raise ValueError


def _at_least(value, low):
    if value < low:
        raise ValueError
    return value


def _above(value, low):
    if not value > low:
        raise ValueError
    return value


def _parse(table, columns):
    """The rows as dicts of checked values; DataError at the first bad cell."""
    parsed = []
    for i, row in enumerate(table.rows):
        values = {}
        for name, kind in columns:
            raw = row[name]
            optional = kind.endswith("?")
            kind = kind.rstrip("?")
            if _empty(raw):
                if not optional:
                    raise table.fault(i, name, "empty")
                values[name] = None
                continue
            reader, what = _CHECKS[kind]
            try:
                values[name] = reader(raw)
            except (ValueError, TypeError, OverflowError):
                raise table.fault(i, name, f"not {what}: {raw!r}") from None
        parsed.append(values)
    return parsed


def _unique(table, rows, key_columns):
    seen = {}
    for i, row in enumerate(rows):
        key = tuple(row[c] for c in key_columns)
        if key in seen:
            first = table.first_row + seen[key]
            raise table.fault(
                i, key_columns[-1], f"{' '.join(map(str, key))} again (first at {table.row_word} {first})"
            )
        seen[key] = i


# -- the checks across files -----------------------------------------------------------


def _check_instruments(table, rows):
    _unique(table, rows, ("order_book_id",))
    for i, row in enumerate(rows):
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


def _check_ids(table, rows, kinds, wanted, what):
    for i, row in enumerate(rows):
        if kinds.get(row["order_book_id"]) not in wanted:
            raise table.fault(i, "order_book_id", f"{row['order_book_id']} is not {what} of instruments.csv")


def _check_on_sessions(table, rows, sessions):
    known = set(sessions)
    for i, row in enumerate(rows):
        if row["date"] not in known:
            raise table.fault(i, "date", f"{row['date']} is not a session of sessions.csv")


def load(folder):
    """Read and check the market data in ``folder``: a :class:`Dataset`, or :class:`DataError`."""
    folder = Path(folder)
    if not folder.is_dir():
        raise DataError(
            f"the data folder {folder} is not a folder" if folder.exists() else f"no data folder {folder}"
        )
    tables, rows = {}, {}
    for name, columns in LAYOUT.items():
        path = _find(folder, name)
        if path is None:
            continue
        tables[name] = _read(path, columns)
        rows[name] = _parse(tables[name], columns)
    sessions = [row["date"] for row in rows["sessions"]]
    if not sessions:
        raise DataError(f"{tables['sessions'].path}: no session")
    for i in range(1, len(sessions)):
        if sessions[i] <= sessions[i - 1]:
            raise tables["sessions"].fault(i, "date", f"{sessions[i]} does not follow {sessions[i - 1]}")
    _check_instruments(tables["instruments"], rows["instruments"])
    kinds = {row["order_book_id"]: row["type"] for row in rows["instruments"]}
    exchange = {row["order_book_id"]: row["exchange"] for row in rows["instruments"]}
    for name in ("realized_cash_flow", "implied_cash_flow", "bond_prices", "repo_rates"):
        if name not in rows:
            continue
        date = "payment_date" if name == "realized_cash_flow" else "date"
        _unique(tables[name], rows[name], ("order_book_id", date))
        wanted, what = ((REPO,), "a repo") if name == "repo_rates" else ((BOND,), "a bond")
        _check_ids(tables[name], rows[name], kinds, wanted, what)
        if name in ("bond_prices", "repo_rates"):
            _check_on_sessions(tables[name], rows[name], sessions)
    for i, row in enumerate(rows["realized_cash_flow"]):
        if row["remaining_principal"] > 100:
            raise tables["realized_cash_flow"].fault(
                i,
                "remaining_principal",
                f"above 100 (amounts are per 100 face): {row['remaining_principal']!r}",
            )
    for i, row in enumerate(rows["repo_rates"]):
        if row["rate"] > MAX_RATE:
            raise tables["repo_rates"].fault(
                i, "rate", f"above {MAX_RATE:g} (rates are decimals, 0.018 is 1.8 %): {row['rate']!r}"
            )
    has_realized = {row["order_book_id"] for row in rows["realized_cash_flow"]}
    has_implied = {row["order_book_id"] for row in rows.get("implied_cash_flow", ())}
    for i, row in enumerate(rows["instruments"]):
        obid = row["order_book_id"]
        if row["type"] != BOND:
            continue
        if obid not in has_realized:
            raise tables["instruments"].fault(
                i, "order_book_id", f"bond {obid} has no row in realized_cash_flow"
            )
        if exchange[obid] == "IB" and obid not in has_implied:
            where = (
                "implied_cash_flow" if "implied_cash_flow" in tables else "implied_cash_flow (no such file)"
            )
            raise tables["instruments"].fault(
                i, "order_book_id", f"inter-bank bond {obid} has no row in {where}"
            )
    return Dataset(folder, rows)


# -- the data as the run uses them -----------------------------------------------------


class Dataset:
    """Checked market data: reference data, cash flows, quotes, rates and sessions.

    It is the run's market (:meth:`bond_quote`, :meth:`repo_rate`), its instruments
    (:meth:`instruments`), its calendar (:attr:`sessions`), and, through
    :meth:`install`, what the data client serves the package's positions.
    """

    def __init__(self, folder, rows):
        self.folder = folder
        self.sessions = [row["date"] for row in rows["sessions"]]
        self.first_date, self.last_date = self.sessions[0], self.sessions[-1]
        self.records = [{k: v for k, v in row.items() if v is not None} for row in rows["instruments"]]
        self._quotes = {
            (r["order_book_id"], r["date"]): BondQuote(clean=r["clean_price"], full=r["full_price"])
            for r in rows["bond_prices"]
        }
        self._yields = {(r["order_book_id"], r["date"]): r["yield"] for r in rows["bond_prices"]}
        self._rates = {(r["order_book_id"], r["date"]): r["rate"] for r in rows["repo_rates"]}
        self._frames = {
            "instruments": _instrument_frame(self.records),
            "realized": _cash_flow_frame(
                rows["realized_cash_flow"], "payment_date", LAYOUT["realized_cash_flow"]
            ),
            "implied": _cash_flow_frame(
                rows.get("implied_cash_flow", ()), "date", LAYOUT["implied_cash_flow"]
            ),
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
        return self._quotes.get((order_book_id, _day(day)))

    def bond_yield(self, order_book_id, day):
        return self._yields.get((order_book_id, _day(day)))

    def repo_rate(self, order_book_id, day):
        return self._rates.get((order_book_id, _day(day)))

    def describe(self):
        """How the data are named in messages."""
        return (
            "the bundled market data"
            if self.folder == bundled_folder()
            else f"the market data in {self.folder}"
        )


def _day(day):
    return day.date() if isinstance(day, datetime.datetime) else day


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


def _cash_flow_frame(rows, date_column, columns):
    names = [name for name, _ in columns]
    frame = pd.DataFrame(list(rows), columns=names)
    frame[date_column] = pd.to_datetime(frame[date_column])
    for name in names[2:]:
        frame[name] = frame[name].astype(float)
    return frame.set_index(["order_book_id", date_column])


def bundled_folder():
    return Path(str(resources.files("korvane_bond_demo").joinpath("data")))


@functools.lru_cache(maxsize=8)
def _load_cached(folder):
    return load(folder)


def bundled():
    """The data shipped with the demo, read once per process (it is read-only)."""
    return _load_cached(bundled_folder())


def open_data(folder=None):
    """The data in ``folder`` (checked, then read once per process), or the bundled data
    when None."""
    return bundled() if folder is None else _load_cached(Path(folder).resolve())
