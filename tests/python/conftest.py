"""What the tests of the four modules share.

Every test starts with fresh cash-flow memos and a fresh data client and leaves no
environment behind (`fresh_market_data`, for every test here). The set-up they share
comes as fixtures that hand out a function, called as often as a test likes:

- `environment(...)`: an environment with four instruments, the exchange bond
  "019547.XSHG", the inter-bank bond "200205.IB" and the one-day repos "204001.XSHG"
  (financing) and "131810.XSHE" (reverse), holding bond and repo positions;
- `buy`, `sell`, `repo_trade`: trades;
- `realized_frames`, `implied_frames`: the data client's cash-flow frames per bond.

The validator and cost-decider tests get `RecordingLog`, `Holder`, `holding` and
`import_error` the same way.
"""

import datetime
import os
import subprocess
import sys
from types import SimpleNamespace

import pytest
from korvane.const import POSITION_EFFECT, SIDE
from korvane.environment import Environment
from korvane.testing import make_env, make_trade
from pelvorn import bond

from korvane_mod_bond import position as P
from korvane_mod_bond.data import BondInstrument, RepoInstrument
from korvane_mod_bond.trade import RepoTrade

EXCHANGE_BOND = "019547.XSHG"
IB_BOND = "200205.IB"
REPO_1D = "204001.XSHG"
REVERSE_REPO = "131810.XSHE"


def _forget_market_data():
    bond.reset()
    P._all_real_cash_flow.cache_clear()
    P._all_implied_cash_flow.cache_clear()


@pytest.fixture(autouse=True)
def fresh_market_data():
    """Fresh memos and client before, no environment after."""
    _forget_market_data()
    yield
    _forget_market_data()
    Environment.clear_instance()


# ---------------------------------------------------------------- positions


@pytest.fixture
def environment():
    def environment(
        trading_dt=datetime.datetime(2024, 9, 20, 15, 0), valuation_source=None, cash=0.0, extra=()
    ):
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

    return environment


@pytest.fixture
def buy():
    def buy(order_book_id, quantity, price=100.0, commission=0.0):
        return make_trade(order_book_id, quantity, price, commission=commission)

    return buy


@pytest.fixture
def sell():
    def sell(order_book_id, quantity, price=100.0):
        return make_trade(
            order_book_id, quantity, price, side=SIDE.SELL, position_effect=POSITION_EFFECT.CLOSE
        )

    return sell


@pytest.fixture
def repo_trade():
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

    return repo_trade


@pytest.fixture
def realized_frames():
    def realized_frames(rows_by_id):
        bond.set_frames(realized={k: bond.make_realized_frame(k, rows) for k, rows in rows_by_id.items()})

    return realized_frames


@pytest.fixture
def implied_frames():
    def implied_frames(rows_by_id):
        bond.set_frames(implied={k: bond.make_implied_frame(k, rows) for k, rows in rows_by_id.items()})

    return implied_frames


# ---------------------------------------------------------------- validators and cost deciders


class _RecordingLog:
    """A user log that records which operation logged what."""

    def __init__(self):
        self.lines = []

    def warn(self, msg):
        self.lines.append(("warn", msg))

    def warning(self, msg):
        self.lines.append(("warning", msg))


def _holding(quantity=0, closable=None):
    return SimpleNamespace(quantity=quantity, closable=quantity if closable is None else closable)


class _Holder:
    """An account or a portfolio handing out the given positions (empty ones otherwise),
    recording its lookups."""

    def __init__(self, positions=None):
        self.positions = positions or {}
        self.lookups = []

    def get_position(self, order_book_id, direction):
        self.lookups.append((order_book_id, direction))
        return self.positions.get((order_book_id, direction), _holding())


@pytest.fixture
def RecordingLog():
    return _RecordingLog


@pytest.fixture
def Holder():
    return _Holder


@pytest.fixture
def holding():
    return _holding


@pytest.fixture
def import_error():
    def import_error(module, host_module, name):
        """Last stderr line of importing `module` in a fresh interpreter whose `host_module` lacks `name`."""
        code = "import {0} as h; del h.{1}; import {2}".format(host_module, name, module)
        done = subprocess.run(
            [sys.executable, "-c", code], capture_output=True, text=True, env=dict(os.environ), timeout=120
        )
        assert done.returncode != 0
        return done.stderr.strip().splitlines()[-1]

    return import_error
