"""Shared set-up of the position tests: instruments, environments, trades, frames.

Each test module cleans up through :func:`clean` in an autouse fixture of its own.
"""

import datetime

from korvane.const import POSITION_DIRECTION, POSITION_EFFECT, SIDE
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

LONG, SHORT = POSITION_DIRECTION.LONG, POSITION_DIRECTION.SHORT


def day(text):
    return datetime.date.fromisoformat(text)


def clean():
    """Fixture body: fresh memos and client before, no environment after."""
    bond.reset()
    P._all_real_cash_flow.cache_clear()
    P._all_implied_cash_flow.cache_clear()
    yield
    bond.reset()
    P._all_real_cash_flow.cache_clear()
    P._all_implied_cash_flow.cache_clear()
    Environment.clear_instance()


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
    bond.set_frames(realized={k: bond.make_realized_frame(k, rows) for k, rows in rows_by_id.items()})


def implied_frames(rows_by_id):
    bond.set_frames(implied={k: bond.make_implied_frame(k, rows) for k, rows in rows_by_id.items()})
