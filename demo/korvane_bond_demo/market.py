"""The demo's market: bundled bond quotes, repo rates and reference data.

Daily bond prices and repo rates live in this package's ``data/`` folder; the
reference data and cash flows are the pelvorn client's. Both are written by
``tools/make_sample_data.py``.
"""

import bisect
import datetime
import functools
from importlib import resources

import pandas as pd
from korvane.runner import BondQuote
from pelvorn import bond


def _read(name):
    with resources.files("korvane_bond_demo").joinpath("data").joinpath(name).open("rb") as f:
        return pd.read_csv(f, dtype={"order_book_id": str}, parse_dates=["date"])


class BundledMarket:
    """Quotes by (order book id, day): :meth:`bond_quote` and :meth:`repo_rate`.

    A day without a quote (a holiday, a day before listing or after the last
    payment) gives None.
    """

    def __init__(self):
        prices = _read("bond_prices.csv")
        rates = _read("repo_rates.csv")
        self._quotes = {
            (obid, day.date()): BondQuote(clean=clean, full=full)
            for obid, day, clean, full in zip(
                prices["order_book_id"].tolist(),
                prices["date"].tolist(),
                prices["clean_price"].tolist(),
                prices["full_price"].tolist(),
            )
        }
        self._rates = {
            (obid, day.date()): rate
            for obid, day, rate in zip(
                rates["order_book_id"].tolist(), rates["date"].tolist(), rates["rate"].tolist()
            )
        }
        # Every session has repo rates, so their dates are the exchange's session list
        # over the data: the run's calendar there (where an installed calendar
        # release may not know the latest holidays).
        self.sessions = sorted({day for _, day in self._rates})
        self.first_date, self.last_date = self.sessions[0], self.sessions[-1]

    def previous_session(self, day):
        """The last session of the data before ``day``, or None."""
        i = bisect.bisect_left(self.sessions, _as_date(day))
        return self.sessions[i - 1] if i > 0 else None

    def bond_quote(self, order_book_id, day):
        return self._quotes.get((order_book_id, _as_date(day)))

    def repo_rate(self, order_book_id, day):
        return self._rates.get((order_book_id, _as_date(day)))


def _as_date(day):
    return day.date() if isinstance(day, datetime.datetime) else day


@functools.lru_cache(maxsize=1)
def bundled_market():
    """The market read once per process (it is read-only)."""
    return BundledMarket()


def bundled_instruments():
    """Every bond and repo of the bundled reference data, as the package's instrument objects."""
    from korvane_mod_bond.data import instrument_from_record

    return [instrument_from_record(bond.instrument_info(obid)) for obid in bond.all_instruments().index]


def payment_schedule(order_book_id):
    """Payment dates of a bond with the amounts paid per bond: a frame indexed by
    date, columns ``cash_flow``, ``principal_payment``, ``interest_payment``,
    ``remaining_principal``; empty when the client has none."""
    frame = bond.realized_cash_flow(order_book_id)
    if frame is None:
        return pd.DataFrame(
            columns=["cash_flow", "principal_payment", "interest_payment", "remaining_principal"]
        )
    frame = frame.droplevel("order_book_id")
    frame.index = [ts.date() for ts in frame.index]
    return frame.sort_index()
