"""The market data a run uses: a folder in the layout of :mod:`korvane_bond_demo.reader`,
read and checked once per process and rules, and the bundled data as one instance of it.

:func:`load` reads and checks a folder into a :class:`Dataset` (the first fault raises
:class:`~korvane_bond_demo.reader.layout.DataError`, one line naming the file, row and
column); :func:`open_data` does so once per process; :func:`bundled` is the data shipped
in this package's ``data/`` folder. :func:`fingerprint` identifies a folder's data by
their content: the outputs record it, and a sweep's workers check it.
"""

import bisect
import functools
import hashlib
import os
from importlib import resources
from pathlib import Path

import pandas as pd
from korvane.runner import BondQuote

from korvane_bond_demo import frames
from korvane_bond_demo.reader import folder as reader
from korvane_bond_demo.reader.layout import DEFAULT_MAX_TABLE_MB, LAYOUT, DataError, columns
from korvane_bond_demo.reader.series import plain_day


class Dataset:
    """Checked market data: reference data, cash flows, quotes, rates and sessions.

    It is the run's market (:meth:`bond_quote`, :meth:`repo_rate`), its instruments
    (:meth:`instruments`), its calendar (:attr:`sessions`), and, through
    :meth:`install`, what the data client serves the package's positions.
    """

    def __init__(self, folder, tables, quotes, rates, roll=False, sha256=None):
        self.folder = folder
        self.sha256 = sha256  # the content's fingerprint (see fingerprint())
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
            "instruments": frames.instrument_frame(self.records),
            "realized": frames.cash_flow_frame(tables["realized_cash_flow"], "realized_cash_flow", roll_to),
            "implied": frames.cash_flow_frame(implied, "implied_cash_flow", roll_to),
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
            return pd.DataFrame(columns=columns("realized_cash_flow")[2:])
        part = frame.loc[order_book_id].copy()
        part.index = [ts.date() for ts in part.index]
        return part

    def previous_session(self, day):
        """The last session of the data before ``day``, or None."""
        i = bisect.bisect_left(self.sessions, plain_day(day))
        return self.sessions[i - 1] if i > 0 else None

    def bond_quote(self, order_book_id, day):
        """The bond's :class:`~korvane.runner.BondQuote` of ``day``, or None."""
        i = self._quotes.on(order_book_id, day)
        return None if i is None else self._quote(i)

    def last_quote(self, order_book_id, day):
        """The bond's last quote on or before ``day`` (a :class:`~korvane.runner.BondQuote`),
        or None."""
        i = self._quotes.on(order_book_id, day, last=True)
        return None if i is None else self._quote(i)

    def _quote(self, i):
        values = self._quotes.values
        return BondQuote(clean=values["clean_price"][i], full=values["full_price"][i])

    def bond_yield(self, order_book_id, day):
        i = self._quotes.on(order_book_id, day)
        return None if i is None else self._quotes.values["yield"][i]

    def repo_rate(self, order_book_id, day):
        i = self._rates.on(order_book_id, day)
        return None if i is None else self._rates.values["rate"][i]

    @property
    def is_bundled(self):
        return self.folder == bundled_folder()

    def describe(self):
        """How the data are named in messages."""
        return "the bundled market data" if self.is_bundled else f"the market data in {self.folder}"

    def description(self):
        """What the outputs record of the data: the folder (None for the bundled data), how
        messages name them, the sessions they cover and their content's fingerprint."""
        return {
            "folder": None if self.is_bundled else str(self.folder),
            "name": self.describe(),
            "first_session": self.first_date.isoformat(),
            "last_session": self.last_date.isoformat(),
            "sha256": self.sha256,
        }


def fingerprint(folder=None):
    """The SHA-256 of the market data in ``folder`` (None: the bundled data): every table
    file of the layout, by name and content. OSError when one cannot be read."""
    root = bundled_folder() if folder is None else os.fspath(folder)
    digest = hashlib.sha256()
    for name in sorted(LAYOUT):
        for suffix in (".csv", ".parquet"):
            path = os.path.join(root, name + suffix)
            if not os.path.isfile(path):
                continue
            digest.update(f"{name}{suffix}\0{os.path.getsize(path)}\0".encode())
            with open(path, "rb") as f:
                for block in iter(lambda f=f: f.read(1 << 20), b""):
                    digest.update(block)
    return digest.hexdigest()


def load(folder, roll_cash_flow_dates=False, max_table_mb=DEFAULT_MAX_TABLE_MB):
    """Read and check the market data in ``folder``: a :class:`Dataset`, or
    :class:`~korvane_bond_demo.reader.layout.DataError`.

    ``roll_cash_flow_dates`` moves a date of a cash-flow table that is not a session (within
    the sessions) to the next session, instead of refusing it; ``max_table_mb`` is the
    largest table read, in million bytes."""
    folder = Path(folder)
    roll = bool(roll_cash_flow_dates)
    tables, quotes, rates = reader.read(folder, roll, int(max_table_mb * 1_000_000))
    try:
        sha256 = fingerprint(folder)
    except OSError as error:  # read a moment ago: the folder changed since
        raise DataError(f"the data folder {folder}: cannot read it: {error.strerror or error}") from None
    return Dataset(folder, tables, quotes, rates, roll, sha256)


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
