"""Repo trade records: terms worked out at creation, the four factories."""

import datetime
import math

import pytest
from korvane.const import POSITION_DIRECTION, POSITION_EFFECT, SIDE
from korvane.model.trade import Trade
from korvane.testing import make_env

from korvane_mod_bond.data import BondInstrument, RepoInstrument
from korvane_mod_bond.trade import RepoTrade

REPO_1D = "204001.XSHG"
REPO_7D = "204007.XSHG"
BOND = "019547.XSHG"
FRIDAY = datetime.datetime(2024, 9, 27, 15, 0)  # last trading day before National Day


def environment(trading_dt=FRIDAY, calendar_dt=None):
    return make_env(
        [
            RepoInstrument(REPO_1D, repo_period=1),
            RepoInstrument(REPO_7D, repo_period=7),
            BondInstrument(BOND, issue_price=100.0, initial_issue_size=1e10),
        ],
        trading_dt=trading_dt,
        calendar_dt=calendar_dt,
    )


def test_financing_worked_example():
    # A one-day repo on Friday 2024-09-20 falls due on Monday and holds three days.
    environment(datetime.datetime(2024, 9, 20, 15, 0))
    trade = RepoTrade.create_repo_trade(0.02, 1_000_000, REPO_1D, None, 0.9, BOND, 5000)
    assert type(trade) is RepoTrade and isinstance(trade, Trade)
    assert trade.due_settlement_date == datetime.date(2024, 9, 23)
    assert type(trade.due_settlement_date) is datetime.date
    assert trade.actual_holding_days == 3
    assert trade.last_quantity == 900_000
    assert trade.due_settlement_amount == 900_000 * (1 + 0.02 / 365 * 3)
    assert math.isclose(trade.due_settlement_amount, 900_147.945205, rel_tol=1e-12)
    assert trade.position_direction == POSITION_DIRECTION.SHORT
    assert trade.side == SIDE.FINANCING and trade.position_effect == POSITION_EFFECT.OPEN
    assert (trade.bond_id, trade.pledged_quantity, trade.coupon_value) == (BOND, 5000, 100.0)
    assert trade.repo_period == 1 and trade.haircut == 0.9
    assert trade.commission == 900_000 * 0.00001
    assert trade.transaction_cost == trade.commission
    assert trade.order_id is None


@pytest.mark.parametrize(
    "trading_dt, calendar_dt, repo, due, days",
    [
        # a due date on a trading day stays
        (datetime.datetime(2024, 9, 24, 15), None, REPO_1D, datetime.date(2024, 9, 25), 1),
        # over the National Day holiday: due on 2024-10-08, eight days held
        (datetime.datetime(2024, 9, 30, 15), None, REPO_1D, datetime.date(2024, 10, 8), 8),
        (FRIDAY, None, REPO_7D, datetime.date(2024, 10, 8), 11),
        # a night session: the calendar date is a day before the trading date
        (
            datetime.datetime(2024, 9, 25, 15),
            datetime.datetime(2024, 9, 24, 21),
            REPO_1D,
            datetime.date(2024, 9, 26),
            2,
        ),
    ],
)
def test_due_date_moves_to_a_trading_day(trading_dt, calendar_dt, repo, due, days):
    environment(trading_dt, calendar_dt)
    trade = RepoTrade.create_reverse_repo_trade(0.018, 100_000, repo, 0)
    assert (trade.due_settlement_date, trade.actual_holding_days) == (due, days)
    assert trade.due_settlement_amount == 100_000 * (1 + 0.018 / 365 * days)


@pytest.mark.parametrize("given, used", [(None, 7), (0, 7), (3, 3)])
def test_repo_period_falls_back_to_the_instrument_when_falsy(given, used):
    environment(datetime.datetime(2024, 9, 2, 15))
    trade = RepoTrade.create_repo_trade(0.02, 1000, REPO_7D, given, 1, BOND, 10)
    assert trade.repo_period == used
    assert trade.due_settlement_date == datetime.date(2024, 9, 2) + datetime.timedelta(days=used)


def test_defaults_of_from_create_when_keywords_are_absent():
    environment()
    trade = RepoTrade.__from_create__("order-1", 0.02, 1000, SIDE.MARGIN, REPO_1D, unknown="ignored")
    assert trade.haircut == 1 and type(trade.haircut) is int
    assert trade.pledged_quantity == 0 and type(trade.pledged_quantity) is int
    assert trade.last_quantity == 1000
    assert trade.order_id == "order-1"  # the order's id reaches the trade
    assert not hasattr(trade, "unknown")


def test_reverse_repo_drops_the_bond():
    environment()
    trade = RepoTrade.__from_create__(None, 0.02, 1000, SIDE.MARGIN, REPO_1D, bond_id=BOND, haircut=0.9)
    assert trade.bond_id is None
    assert trade.coupon_value == 0 and type(trade.coupon_value) is int
    assert trade.position_direction == POSITION_DIRECTION.LONG
    assert trade.last_quantity == 900


def test_exchange_factories():
    environment()
    financing = RepoTrade.create_exchange_repo_trade(
        "o-7", 0.021, 200_000, REPO_7D, hairbut=0.8, bond_id=BOND, pledged_quantity=2000
    )
    assert (financing.order_id, financing.haircut, financing.last_quantity) == ("o-7", 0.8, 160_000)
    assert financing.repo_period == 7 and financing.side == SIDE.FINANCING
    reverse = RepoTrade.create_exchange_reverse_repo_trade("o-8", 0.021, 200_000, REPO_1D)
    assert (reverse.haircut, reverse.last_quantity, reverse.side) == (1, 200_000, SIDE.MARGIN)
    with pytest.raises(TypeError, match="unexpected keyword argument 'haircut'"):
        RepoTrade.create_exchange_repo_trade(
            "o-9", 0.021, 200_000, REPO_7D, haircut=0.8, bond_id=BOND, pledged_quantity=1
        )
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'repo_period'"):
        RepoTrade.create_reverse_repo_trade(0.02, 1000, REPO_1D)


def test_factories_build_the_class_they_are_called_on():
    calls = []

    class AuditedRepoTrade(RepoTrade):
        @classmethod
        def __from_create__(cls, *args, **kwargs):
            calls.append((args, kwargs))
            return super().__from_create__(*args, **kwargs)

    environment()
    trade = AuditedRepoTrade.create_reverse_repo_trade(0.02, 1000, REPO_1D, 1)
    assert type(trade) is AuditedRepoTrade
    assert calls == [((None, 0.02, 1000, SIDE.MARGIN, REPO_1D), {"repo_period": 1})]


@pytest.mark.parametrize("rate, cash, expected", [(0.0, 10_000, 10_000), (0.0001, 10_001, 10_000)])
def test_calc_max_amount(monkeypatch, rate, cash, expected):
    import korvane_mod_bond.trade as trade_module

    monkeypatch.setattr(trade_module, "get_commission_rate", lambda _order_book_id: rate)
    amount = RepoTrade.calc_max_amount(REPO_1D, cash)
    assert amount == pytest.approx(expected, rel=1e-15)
    assert amount + amount * rate == pytest.approx(cash, rel=1e-15)


@pytest.mark.parametrize(
    "make, error",
    [
        # unknown repo instrument and no period given: its repo_period cannot be read
        (lambda: RepoTrade.create_reverse_repo_trade(0.02, 1000, "nope.XSHG", 0), AttributeError),
        # a financing trade whose pledged bond is unknown
        (lambda: RepoTrade.create_repo_trade(0.02, 1000, REPO_1D, 1, 1, "nope.IB", 10), AttributeError),
        (
            lambda: RepoTrade.__from_create__(None, 0.02, 1000, SIDE.FINANCING, REPO_1D),
            (AttributeError, TypeError),
        ),
        (lambda: RepoTrade.create_repo_trade("x", 1000, REPO_1D, 1, 1, BOND, 10), TypeError),
    ],
)
def test_failures_propagate(make, error):
    environment()
    with pytest.raises(error):
        make()


def test_rebound_enumerations_are_seen(monkeypatch):
    import enum

    import korvane_mod_bond.trade as trade_module

    environment()
    trade = RepoTrade.create_repo_trade(0.02, 1000, REPO_1D, 1, 1, BOND, 10)
    assert trade.position_direction is POSITION_DIRECTION.SHORT

    class Direction(str, enum.Enum):
        LONG = "L"
        SHORT = "S"

    class Side(str, enum.Enum):
        FINANCING = "F"
        MARGIN = "M"

    monkeypatch.setattr(trade_module, "POSITION_DIRECTION", Direction)
    assert trade.position_direction is Direction.SHORT
    monkeypatch.setattr(trade_module, "SIDE", Side)
    reverse = RepoTrade.create_reverse_repo_trade(0.02, 1000, REPO_1D, 1)
    assert reverse.side is Side.MARGIN and reverse.position_direction is Direction.LONG
    assert trade.position_direction is Direction.LONG  # SIDE.FINANCING is now another member
    monkeypatch.undo()
    assert trade.position_direction is POSITION_DIRECTION.SHORT
