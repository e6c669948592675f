"""The books the benchmarks run on: bonds with 40-record cash-flow tables, a
year of trading days, repos, orders and trades."""

import datetime

from korvane.const import POSITION_DIRECTION, POSITION_EFFECT, SIDE
from korvane.data import get_trading_calendar
from korvane.model.order import Order
from korvane.testing import make_env, make_trade
from pelvorn import bond

from korvane_mod_bond.data import BondInstrument, RepoInstrument

LONG, SHORT = POSITION_DIRECTION.LONG, POSITION_DIRECTION.SHORT
FIRST_DAY = datetime.date(2024, 1, 2)
RECORDS = 40
PATTERNS = 16  # distinct frames, shared by many bonds (each bond still has its own table)


def trading_days(n, start=FIRST_DAY):
    """The first `n` trading days from `start`, as dates (what the framework hands positions)."""
    sessions = get_trading_calendar().get_trading_dates(start, start + datetime.timedelta(days=2 * n))
    days = [s.date() for s in sessions[:n]]
    assert len(days) == n
    return days


def _dates(pattern):
    # A record every 45 days from the start of 2023: about eight of the forty fall
    # in the benchmarked year, some of them on trading days (a coupon on some days).
    first = datetime.date(2023, 1, 1) + datetime.timedelta(days=3 * pattern)
    return [(first + datetime.timedelta(days=45 * i)).isoformat() for i in range(RECORDS)]


def realized_frame(pattern, records=RECORDS):
    dates = _dates(pattern) if records == RECORDS else _long_dates(records)
    rows = [
        (d, 1.5 if i + 1 < records else 101.5, 0.0 if i + 1 < records else 100.0) for i, d in enumerate(dates)
    ]
    return bond.make_realized_frame("pattern", rows)


def implied_frame(pattern, records=RECORDS):
    dates = _dates(pattern) if records == RECORDS else _long_dates(records)
    # Odd records pay the coupon, even ones make the next one receivable.
    rows = [
        (d, 1.5 if i % 2 else 0.0, 0.0 if i % 2 else 1.5, 0.0 if i + 1 < records else 100.0)
        for i, d in enumerate(dates)
    ]
    return bond.make_implied_frame("pattern", rows)


def _long_dates(records):
    first = datetime.date(1990, 1, 1)
    return [(first + datetime.timedelta(days=i)).isoformat() for i in range(records)]


def exchange_bond(i):
    return "{:06d}.XSHG".format(100000 + i)


def inter_bank_bond(i):
    return "{:07d}.IB".format(2000000 + i)


def bond_book(n_realized, n_implied, position_classes=(), extra_instruments=(), **env_kwargs):
    """A fresh environment whose data proxy knows `n_realized` exchange bonds and
    `n_implied` inter-bank bonds (implied cash flows) and whose client serves a
    40-record frame for each. Returns (env, exchange ids, inter-bank ids)."""
    realized_ids = [exchange_bond(i) for i in range(n_realized)]
    implied_ids = [inter_bank_bond(i) for i in range(n_implied)]
    instruments = [
        BondInstrument(i, round_lot=10, issue_price=100.0, initial_issue_size=1e10)
        for i in realized_ids + implied_ids
    ]
    bond.reset()
    realized = [realized_frame(p) for p in range(PATTERNS)]
    implied = [implied_frame(p) for p in range(PATTERNS)]
    bond.set_frames(
        realized={obid: realized[k % PATTERNS] for k, obid in enumerate(realized_ids)},
        implied={obid: implied[k % PATTERNS] for k, obid in enumerate(implied_ids)},
    )
    env = make_env(
        list(instruments) + list(extra_instruments),
        position_classes=position_classes,
        valuation_source="implied",
        **env_kwargs,
    )
    return env, realized_ids, implied_ids


def forget_client_calls():
    """The stand-in client records every query; the benchmarks make many."""
    del bond.calls[:]


REPO = "204001.XSHG"  # one-day Shanghai repo
PLEDGED = "019547.XSHG"  # the bond pledged in it


def repo_instruments():
    return [
        RepoInstrument(REPO, repo_period=1),
        BondInstrument(PLEDGED, round_lot=10, issue_price=100.0, initial_issue_size=1e10),
    ]


# Friday 20 September 2024: a one-day repo falls due on Saturday and moves to Monday.
REPO_TRADING_DT = datetime.datetime(2024, 9, 20, 15)


def bond_buy_order(order_book_id):
    return Order(order_book_id, 1000, SIDE.BUY, POSITION_EFFECT.OPEN, price=100.5)


def repo_financing_order():
    return Order(
        REPO,
        200_000,
        SIDE.FINANCING,
        POSITION_EFFECT.OPEN,
        price=0.02,
        bond_order_book_id=PLEDGED,
        haircut=0.9,
    )


def bond_trade(order_book_id):
    return make_trade(order_book_id, 1000, 100.5, commission=1.0)
