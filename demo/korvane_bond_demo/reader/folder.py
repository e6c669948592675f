"""A folder of market data read in order, every check made: the sessions and the
instruments first (what every other row is checked against), then the cash flows, the
quotes and the rates, each row as it is read and each table once it is whole."""

import os
import stat
from pathlib import Path

from korvane_bond_demo.reader import across, files
from korvane_bond_demo.reader.layout import LAYOUT, DataError
from korvane_bond_demo.reader.rows import RowChecks
from korvane_bond_demo.reader.series import Series

QUOTE_COLUMNS = ("clean_price", "full_price", "yield")


def read(folder, roll, limit):
    """The checked tables of ``folder``: (tables by name, quotes, rates), the quotes and
    the rates as :class:`~korvane_bond_demo.reader.series.Series`; ``roll``: roll a
    cash-flow date that is no session to the next one; ``limit``: the largest table, in
    bytes. :class:`~korvane_bond_demo.reader.layout.DataError` at the first fault."""
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
    rows = RowChecks(roll)

    def table(name, check_row):
        found = files.find(folder, name)
        if found is None:
            return None
        rows.tables[name] = files.read(*found, LAYOUT[name], limit, check_row)
        return rows.tables[name]

    table("sessions", rows.session)
    rows.keep_sessions()
    table("instruments", rows.instrument)
    realized = table("realized_cash_flow", rows.payment)
    across.check_cash_flows(realized)
    implied = table("implied_cash_flow", rows.implied_record)
    if implied is not None:
        across.check_implied(implied, realized, rows.first, rows.last)
    quotes = Series(table("bond_prices", rows.quote), QUOTE_COLUMNS)
    rates = Series(table("repo_rates", rows.rate), ("rate",))
    across.check_bonds_have_cash_flows(rows.tables, rows.instrument_rows, rows.kinds)
    return rows.tables, quotes, rates
