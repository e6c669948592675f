"""What the tests of the four compiled modules share, as plain functions and classes.

- the instruments' ids and `day` (a date from its ISO text);
- `environment(...)`: an environment with four instruments, the exchange bond
  "019547.XSHG", the inter-bank bond "200205.IB" and the one-day repos "204001.XSHG"
  (financing) and "131810.XSHE" (reverse), holding bond and repo positions;
- `buy`, `sell`, `repo_trade`: trades;
- `realized_frames`, `implied_frames`: the data client's cash-flow frames per bond;
- `RecordingLog`, `Holder`, `holding`: the user log, an account or portfolio, and a
  position, as the validators and cost deciders see them;
- `run_python(code)`: code run in a fresh interpreter, with a timeout.

conftest.py resets the memos and the data client around every test.
"""

import datetime
import os
import subprocess
import sys
import textwrap
from types import SimpleNamespace

from korvane.const import POSITION_DIRECTION, POSITION_EFFECT, SIDE
from korvane.testing import make_env, make_trade
from pelvorn import bond

from korvane_mod_bond import position as P
from korvane_mod_bond.data import BondInstrument, RepoInstrument
from korvane_mod_bond.trade import RepoTrade

EXCHANGE_BOND = "019547.XSHG"
IB_BOND = "200205.IB"
REPO_1D = "204001.XSHG"
REVERSE_REPO = "131810.XSHE"
LONG, SHORT = POSITION_DIRECTION.LONG, POSITION_DIRECTION.SHORT
day = datetime.date.fromisoformat

# ---------------------------------------------------------------- positions


def environment(trading_dt=datetime.datetime(2024, 9, 20, 15, 0), valuation_source=None, cash=0.0, extra=()):
    """Two bonds and two repos; the default clock is Friday 2024-09-20, the day of
    the repo worked example (the Monday after it is a trading day)."""
    return make_env(
        [
            BondInstrument(EXCHANGE_BOND, issue_price=100.0, initial_issue_size=28e9),
            BondInstrument(IB_BOND, issue_price=100.0, initial_issue_size=30e9),
            RepoInstrument(REPO_1D, repo_period=1),
            RepoInstrument(REVERSE_REPO, repo_period=1),
            *extra,
        ],
        position_classes=[P.BondPosition, P.RepoPosition],
        trading_dt=trading_dt,
        valuation_source=valuation_source,
        cash=cash,
    )


def buy(order_book_id, quantity, price=100.0, commission=0.0):
    return make_trade(order_book_id, quantity, price, commission=commission)


def sell(order_book_id, quantity, price=100.0):
    return make_trade(order_book_id, quantity, price, side=SIDE.SELL, position_effect=POSITION_EFFECT.CLOSE)


def repo_trade(
    due, amount, due_amount, side=SIDE.FINANCING, pledged_quantity=0, commission=0.0, repo=REPO_1D
):
    """A repo trade with its terms given by hand (not worked out from the clock),
    made by the host's factory on the RepoTrade class."""
    return super(RepoTrade, RepoTrade).__from_create__(
        None,
        0.02,
        amount,
        side,
        POSITION_EFFECT.OPEN,
        repo,
        commission=commission,
        due_settlement_date=due,
        due_settlement_amount=due_amount,
        bond_id=EXCHANGE_BOND if side == SIDE.FINANCING else None,
        pledged_quantity=pledged_quantity,
    )


def realized_frames(rows_by_id):
    """The data client serves these realized cash-flow rows (date, paid, principal) per bond."""
    bond.set_frames(realized={k: bond.make_realized_frame(k, rows) for k, rows in rows_by_id.items()})


def implied_frames(rows_by_id):
    """The data client serves these implied cash-flow rows (date, paid, receivable,
    principal) per bond."""
    bond.set_frames(implied={k: bond.make_implied_frame(k, rows) for k, rows in rows_by_id.items()})


# ---------------------------------------------------------------- validators and cost deciders


class RecordingLog:
    """A user log that records which operation logged what."""

    def __init__(self):
        self.lines = []

    def warn(self, msg):
        self.lines.append(("warn", msg))

    def warning(self, msg):
        self.lines.append(("warning", msg))


def holding(quantity=0, closable=None):
    return SimpleNamespace(quantity=quantity, closable=quantity if closable is None else closable)


class Holder:
    """An account or a portfolio handing out the given positions (empty ones otherwise),
    recording its lookups."""

    def __init__(self, positions=None):
        self.positions = positions or {}
        self.lookups = []

    def get_position(self, order_book_id, direction):
        self.lookups.append((order_book_id, direction))
        return self.positions.get((order_book_id, direction), holding())


# ---------------------------------------------------------------- processes


def run_python(code, timeout=120):
    """`code` (dedented) run by a fresh interpreter that finds what this one finds."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        env=env,
        capture_output=True,
        text=True,
        timeout=timeout,
    )
