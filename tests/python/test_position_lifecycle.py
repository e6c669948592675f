"""Positions driven day by day through the stand-in portfolio, from purchase to redemption."""

import datetime

import pytest
from compiled_helpers import (
    EXCHANGE_BOND,
    IB_BOND,
    LONG,
    REPO_1D,
    SHORT,
    buy,
    environment,
    implied_frames,
    realized_frames,
)
from pelvorn import bond

from korvane_mod_bond import position as P
from korvane_mod_bond.trade import RepoTrade


def trading_days(env, start, end):
    return [ts.date() for ts in env.data_proxy.get_trading_dates(start, end)]


def run_days(env, days, on_day=None):
    """The event loop's day: clock, day start, the day's trades, settlement."""
    for d in days:
        env.update_time(datetime.datetime.combine(d, datetime.time(15, 0)))
        env.portfolio.before_trading(d)
        if on_day:
            on_day(d)
        env.portfolio.settlement(d)


# An amortising inter-bank bond: each instalment becomes receivable on its record
# day and is paid the next trading day; the last one is paid without a record day.
IB_FLOWS = [
    ("2024-10-14", 0.0, 22.0, 0.0),
    ("2024-10-15", 22.0, 0.0, 20.0),
    ("2024-11-14", 0.0, 41.6, 0.0),
    ("2024-11-15", 41.6, 0.0, 40.0),
    ("2024-12-16", 40.8, 40.8, 40.0),
]
EXCHANGE_FLOWS = [("2024-10-21", 3.0, 0.0), ("2024-11-20", 3.0, 0.0), ("2024-12-20", 103.0, 100.0)]


def test_two_bonds_held_to_final_redemption():
    implied_frames({IB_BOND: IB_FLOWS})
    realized_frames({EXCHANGE_BOND: EXCHANGE_FLOWS})
    start_cash = 10_000_000.0
    env = environment(trading_dt=datetime.datetime(2024, 9, 20, 15), cash=start_cash)
    portfolio = env.portfolio
    costs = []

    def purchases(d):
        if d == datetime.date(2024, 9, 20):
            costs.append(-portfolio.apply_trade(buy(IB_BOND, 1000, 99.5, commission=12.0)))
            costs.append(-portfolio.apply_trade(buy(EXCHANGE_BOND, 2000, 101.2, commission=7.5)))

    run_days(env, trading_days(env, "2024-09-20", "2024-10-13"), purchases)
    ib = portfolio.get_position(IB_BOND, LONG)
    exchange = portfolio.get_position(EXCHANGE_BOND, LONG)
    assert (
        type(ib) is P.BondPositionWithImpliedCashFlow and type(exchange) is P.BondPositionWithRealizedCashFlow
    )

    # the record day books the instalment as receivable: equity counts it, cash does not move
    cash_before = portfolio.cash
    run_days(env, trading_days(env, "2024-10-14", "2024-10-14"))
    assert ib._payment_receivable == 22_000.0 and portfolio.cash == cash_before

    run_days(env, trading_days(env, "2024-10-15", "2024-12-31"))
    received = sum(row[1] for row in IB_FLOWS) * 1000 + sum(row[1] for row in EXCHANGE_FLOWS) * 2000
    assert costs == [99.5 * 1000 + 12.0, 101.2 * 2000 + 7.5]
    assert portfolio.cash == pytest.approx(start_cash - sum(costs) + received, rel=1e-15)
    for position in (ib, exchange):
        assert position.quantity == 0 and position._payment_receivable == 0.0
    assert portfolio.get_positions() == []
    assert [c[0] for c in bond.calls] == ["get_implied_cash_flow", "realized_cash_flow"]  # one query per bond


def test_bond_financed_through_a_repo_to_maturity():
    realized_frames({EXCHANGE_BOND: []})
    start_cash = 3_000_000.0
    monday = datetime.date(2024, 9, 30)  # the last trading day before the National Day holiday
    env = environment(trading_dt=datetime.datetime(2024, 9, 30, 15), cash=start_cash)
    portfolio = env.portfolio
    trades = {}

    def trade_on_monday(d):
        if d == monday:
            trades["buy"] = buy(EXCHANGE_BOND, 20_000, 100.0, commission=20.0)
            portfolio.apply_trade(trades["buy"])
            trades["repo"] = RepoTrade.create_repo_trade(
                0.02, 1_000_000, REPO_1D, None, 0.9, EXCHANGE_BOND, 10_000
            )
            cash_before = portfolio.cash
            portfolio.apply_trade(trades["repo"])
            assert portfolio.cash - cash_before == 900_000 - trades["repo"].transaction_cost

    run_days(env, [monday], trade_on_monday)
    repo, held = trades["repo"], portfolio.get_position(EXCHANGE_BOND, LONG)
    assert repo.due_settlement_date == datetime.date(2024, 10, 8) and repo.actual_holding_days == 8
    assert held.closable == 10_000 and portfolio.get_position(REPO_1D, SHORT).quantity == 900_000

    days = trading_days(env, "2024-10-01", "2024-10-08")
    assert days == [repo.due_settlement_date]  # the holiday has no trading day
    run_days(env, days)
    assert held.closable == 20_000 and held.pledged_quantity == 0
    assert portfolio.get_position(REPO_1D, SHORT).quantity == 0
    expected = (
        start_cash
        - 100.0 * 20_000
        - trades["buy"].transaction_cost
        - repo.transaction_cost
        + repo.last_quantity
        - repo.due_settlement_amount
    )
    assert portfolio.cash == pytest.approx(expected, rel=1e-15)
