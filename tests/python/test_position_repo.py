"""Repo positions: booking repo trades, pledges on the bond, settlement of amounts due."""

import datetime

import pytest
from compiled_helpers import (
    EXCHANGE_BOND,
    LONG,
    REPO_1D,
    REVERSE_REPO,
    SHORT,
    buy,
    day,
    environment,
    repo_trade,
)
from korvane.const import SIDE
from korvane.testing import make_env, make_trade
from pelvorn import bond

from korvane_mod_bond import position as P
from korvane_mod_bond.data import BondInstrument, RepoInstrument
from korvane_mod_bond.trade import RepoTrade

FRIDAY, MONDAY = day("2024-09-20"), day("2024-09-23")


@pytest.fixture
def short_repo():
    def short_repo():
        environment()
        return P.RepoPosition(REPO_1D, SHORT)

    return short_repo


@pytest.fixture
def long_repo():
    def long_repo(monkeypatch):
        env = environment()

        def no_lookup(*_args):
            raise AssertionError("a long repo position looked a bond position up")

        monkeypatch.setattr(env.portfolio, "get_position", no_lookup)
        return P.RepoPosition(REVERSE_REPO, LONG)

    return long_repo


def test_worked_example_through_the_portfolio():
    bond.set_frames(realized={EXCHANGE_BOND: None})
    env = environment(cash=10_000_000.0)
    portfolio = env.portfolio
    portfolio.apply_trade(buy(EXCHANGE_BOND, 20_000, 100.0, commission=5.0))
    held = portfolio.get_position(EXCHANGE_BOND, LONG)
    assert type(held) is P.BondPositionWithRealizedCashFlow and held.closable == 20_000

    trade = RepoTrade.create_repo_trade(0.02, 1_000_000, REPO_1D, None, 0.9, EXCHANGE_BOND, 5000)
    assert trade.due_settlement_date == MONDAY and trade.last_quantity == 900_000
    cash = portfolio.apply_trade(trade)
    assert cash == 900_000 - trade.transaction_cost
    repo = portfolio.get_position(REPO_1D, SHORT)
    assert type(repo) is P.RepoPosition
    assert repo._due_settlement_dict == {MONDAY: [900_000, trade.due_settlement_amount]}
    assert held.closable == 15_000 and held.pledged_quantity == 5000
    assert repo.equity == -900_000 and repo.trading_pnl == repo.market_value == 0

    assert portfolio.settlement(FRIDAY) == 0
    assert held.closable == 15_000 and repo._old_quantity == 900_000

    env.update_time(datetime.datetime(2024, 9, 23, 15, 0))
    portfolio.before_trading(MONDAY)
    assert repo.settlement(MONDAY) == -trade.due_settlement_amount
    assert repo.settlement(MONDAY) == 0  # settled once
    assert held.settlement(MONDAY) == 0
    assert repo.quantity == 0 and repo._due_settlement_dict == {}
    assert held.closable == 20_000 and held.pledged_quantity == 0
    assert trade.due_settlement_amount == pytest.approx(900_147.945205, abs=1e-6)


def test_reverse_repo_pays_principal_and_cost_and_collects_the_amount_due(monkeypatch, long_repo):
    repo = long_repo(monkeypatch)
    trade = repo_trade(MONDAY, 100_000, 100_016.44, side=SIDE.MARGIN, commission=1.5, repo=REVERSE_REPO)
    assert repo.apply_trade(trade) == -100_001.5
    assert repo._today_quantity == 100_000 and repo.equity == 100_000
    assert repo.settlement(FRIDAY) == 0
    assert repo.settlement(MONDAY) == 100_016.44
    assert repo.quantity == 0


def test_financing_brings_in_principal_less_cost_and_pays_the_amount_due(short_repo):
    repo = short_repo()
    assert (
        repo.apply_trade(repo_trade(MONDAY, 50_000, 50_008.2, pledged_quantity=10, commission=0.5))
        == 49_999.5
    )
    repo.settlement(FRIDAY)
    assert repo.settlement(MONDAY) == -50_008.2


def test_two_trades_on_one_due_date_settle_once_summed(short_repo):
    repo = short_repo()
    repo.apply_trade(repo_trade(MONDAY, 100, 101.0, pledged_quantity=1))
    repo.apply_trade(repo_trade(MONDAY, 200, 202.5, pledged_quantity=2))
    assert repo._due_settlement_dict == {MONDAY: [300, 303.5]}
    repo.settlement(FRIDAY)
    assert repo.settlement(MONDAY) == -303.5
    assert repo._old_quantity == 0 and repo._due_settlement_dict == {}
    bond_position = repo._env.portfolio.get_position(EXCHANGE_BOND, LONG)
    assert dict(bond_position._due_settlement_dict) == {MONDAY: 3}  # released by the bond's own settlement


def test_settlement_before_every_due_date_changes_nothing(short_repo):
    repo = short_repo()
    repo.apply_trade(repo_trade(MONDAY, 100, 101.0))
    repo.settlement(FRIDAY)
    book = {k: list(v) for k, v in repo._due_settlement_dict.items()}
    paid = repo.settlement(FRIDAY)
    assert paid == 0 and type(paid) is int
    assert repo._due_settlement_dict == book and repo._old_quantity == 100


def test_a_gap_settles_every_overdue_entry_at_once(monkeypatch, long_repo):
    repo = long_repo(monkeypatch)
    for due, amount in [("2024-09-23", 1000), ("2024-09-24", 2000), ("2024-09-26", 4000)]:
        repo.apply_trade(repo_trade(day(due), amount, amount + 1.0, side=SIDE.MARGIN, repo=REVERSE_REPO))
    repo.settlement(FRIDAY)
    assert repo.settlement(day("2024-09-25")) == 1001.0 + 2001.0
    assert list(repo._due_settlement_dict) == [day("2024-09-26")]
    assert repo._old_quantity == 4000 and repo.equity == 4000


@pytest.mark.parametrize("wrong", [make_trade(REPO_1D, 100, 100.0), "not a trade"])
def test_a_trade_of_the_wrong_class_changes_nothing(wrong, short_repo):
    repo = short_repo()
    with pytest.raises(TypeError) as err:
        repo.apply_trade(wrong)
    assert str(err.value) == "unsupported trade type: {}".format(type(wrong))
    assert repo._today_quantity == 0 and repo._due_settlement_dict == {}


def test_a_pledge_the_bond_position_cannot_take_changes_nothing():
    make_env(
        [BondInstrument(EXCHANGE_BOND), RepoInstrument(REPO_1D, repo_period=1)],
        position_classes=[P.RepoPosition],
    )
    repo = P.RepoPosition(REPO_1D, SHORT)
    with pytest.raises(TypeError) as err:
        repo.apply_trade(repo_trade(MONDAY, 100, 101.0, pledged_quantity=1))
    assert str(err.value) == "unsupported bond position type: <class 'korvane.portfolio.position.Position'>"
    assert repo._today_quantity == 0 and repo._due_settlement_dict == {}


def test_a_short_position_hands_every_trade_to_the_bond_position(monkeypatch):
    env = environment()
    repo = P.RepoPosition(REPO_1D, SHORT)
    held = env.portfolio.get_position(EXCHANGE_BOND, LONG)
    seen = []
    lookup = env.portfolio.get_position

    def get_position(order_book_id, direction):
        seen.append((order_book_id, direction, repo._today_quantity))
        return lookup(order_book_id, direction)

    monkeypatch.setattr(env.portfolio, "get_position", get_position)
    trades = [
        repo_trade(MONDAY, 100, 101.0, pledged_quantity=4),
        repo_trade(MONDAY, 50, 51.0, pledged_quantity=6),
    ]
    for trade in trades:
        repo.apply_trade(trade)
    # looked up before the trade was booked here
    assert seen == [(EXCHANGE_BOND, LONG, 0), (EXCHANGE_BOND, LONG, 100)]
    assert held.pledged_quantity == 10


@pytest.mark.parametrize("direction, factor", [(LONG, 1), (SHORT, -1)])
def test_pnl_and_values_read_zero_and_equity_follows_quantity(direction, factor):
    environment()
    repo = P.RepoPosition(REPO_1D, direction, 1000)
    for name in ("trading_pnl", "position_pnl", "margin", "market_value"):
        value = getattr(repo, name)
        assert value == 0 and type(value) is int
    assert repo.equity == factor * 1000


def test_saved_state_leaves_the_book_alone(short_repo):
    repo = short_repo()
    repo.apply_trade(repo_trade(MONDAY, 100, 101.0))
    state = repo.get_state()
    assert "payment_receivable" not in state
    repo.set_state({})
    assert repo._due_settlement_dict == {MONDAY: [100, 101.0]} and repo.quantity == 0
    assert P.RepoPosition(REPO_1D, SHORT)._due_settlement_dict == {}
