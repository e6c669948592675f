"""The backtest runner with the bond package installed: orders through the validators
of their instrument type, refusals recorded and never raised, clear errors."""

import datetime

import pytest
from korvane.const import INSTRUMENT_TYPE
from korvane.portfolio.position import Position
from korvane.runner import Backtest, Strategy
from korvane_bond_demo.dataset import bundled

from korvane_mod_bond import position as P
from korvane_mod_bond.mod import BondMod

D = datetime.date
FIRST, LAST = D(2024, 9, 2), D(2024, 9, 13)


class Script(Strategy):
    """Calls ``steps[day](context)`` on the days listed and keeps what they return."""

    def __init__(self, steps):
        self.steps = steps
        self.seen = {}

    def handle_day(self, context):
        step = self.steps.get(context.date)
        if step is not None:
            self.seen[context.date] = step(context)


@pytest.fixture(scope="module")
def market():
    return bundled()


def backtest(market, steps, start=FIRST, end=LAST, cash=1_000_000.0, mods=None):
    return Backtest(
        Script(steps),
        start,
        end,
        cash=cash,
        instruments=market.instruments(),
        market=market,
        mods=[BondMod()] if mods is None else mods,
        sessions=market.sessions,
    )


@pytest.mark.parametrize(
    "order, message",
    [
        # the bond validator: lot, inter-bank minimum
        (lambda c: c.buy("019547.XSHG", 15), "下单失败，数量 15 不合法"),
        (lambda c: c.buy("200205.IB", 500), "下单失败，数量 500 不合法"),
        # the framework's cash check
        (lambda c: c.buy("019547.XSHG", 100_000), "订单创建失败: 019547.XSHG 可用资金不足"),
        (lambda c: c.reverse_repo("204001.XSHG", 2_000_000), "订单创建失败: 204001.XSHG 可用资金不足"),
        # the repo validator: the Shanghai exchange's minimum pledge
        (
            lambda c: (c.buy("019547.XSHG", 900), c.repo("204007.XSHG", "019547.XSHG", 900, 0.9))[1],
            "场内债券正回购失败，场内债券抵押名义价值应在 100000 元及以上",
        ),
    ],
)
def test_refused_orders_are_recorded_not_raised(market, order, message):
    run = backtest(market, {D(2024, 9, 2): order})
    result = run.run()
    record = run.strategy.seen[D(2024, 9, 2)]
    assert record.status == "refused"
    assert record.message.startswith(message)
    assert record.trade is None
    assert (D(2024, 9, 2), record.message) in result.user_log
    refused_id = record.order.order_book_id
    assert not [b for b in result.bookings if b.order_book_id == refused_id and b.phase == "trade"]
    replayed = 1_000_000.0
    for booking in result.bookings:
        replayed += booking.amount
    assert result.final_cash == replayed


def test_pledged_bond_refused_while_pledged_then_sold(market):
    """Buy, pledge all of it in a seven-day repo, try to sell the same day and every day
    after: refused with the closable message until the repo's due date has settled."""

    def day_one(c):
        c.buy("019547.XSHG", 2_000)
        c.repo("204007.XSHG", "019547.XSHG", 2_000, 0.9)
        return c.position("019547.XSHG").closable, c.sell("019547.XSHG", 2_000)

    def sell(c):
        return c.position("019547.XSHG").closable, c.sell("019547.XSHG", 2_000)

    days = [D(2024, 9, d) for d in (2, 3, 4, 5, 6, 9, 10)]
    run = backtest(market, {day: day_one if day == days[0] else sell for day in days})
    result = run.run()
    (repo,) = result.repo_trades
    assert repo.due_settlement_date == D(2024, 9, 9)
    for day in days:
        closable, record = run.strategy.seen[day]
        if day <= repo.due_settlement_date:
            assert closable == 0
            assert record.status == "refused"
            assert (
                record.message
                == "订单创建失败:  019547.XSHG 的仓位不足, 目标平仓 2000, 可平仓位为 {}".format(closable)
            )
        elif record.status == "filled":
            assert closable == 2_000
            break
    else:
        pytest.fail("never sold")
    assert day == D(2024, 9, 10)


def test_positions_and_proxies_are_installed_by_instrument_type(market):
    run = backtest(market, {})
    assert run.proxies == {
        INSTRUMENT_TYPE.BOND: P.BondPositionProxy,
        INSTRUMENT_TYPE.REPO: P.RepoPositionProxy,
    }
    bond = run.portfolio.get_position("200205.IB")
    assert isinstance(bond, P.BondPositionWithImpliedCashFlow)
    assert isinstance(run.portfolio.get_position("131810.XSHE"), P.RepoPosition)
    # inter-bank bonds carry their accrued interest as a receivable: marked clean
    quote = market.bond_quote("200205.IB", D(2024, 9, 2))
    assert run.markers[INSTRUMENT_TYPE.BOND](bond, quote) == quote.clean
    exchange = run.portfolio.get_position("019547.XSHG")
    assert run.markers[INSTRUMENT_TYPE.BOND](exchange, quote) == quote.full


class NoDeltaPosition(Position):
    __instrument_types__ = (INSTRUMENT_TYPE.BOND,)

    def settlement(self, trading_date):
        super().settlement(trading_date)  # forgets to return the cash delta


class NoDeltaMod:
    def install(self, backtest):
        backtest.register_position_class(NoDeltaPosition)


def test_a_position_that_returns_no_cash_delta_stops_the_run(market):
    run = backtest(market, {D(2024, 9, 2): lambda c: c.buy("019547.XSHG", 10)}, mods=[NoDeltaMod()])
    with pytest.raises(TypeError, match=r"NoDeltaPosition.settlement of '019547.XSHG' returned None"):
        run.run()


@pytest.mark.parametrize(
    "start, end, cash, message",
    [
        (D(2024, 9, 13), D(2024, 9, 2), 1e6, "after end date"),
        (D(2024, 9, 14), D(2024, 9, 15), 1e6, "no trading day"),
        (D(2024, 9, 2), D(2031, 1, 1), 1e6, "outside the trading calendar"),
        (D(2024, 9, 2), D(2024, 9, 13), -1.0, "non-negative"),
    ],
)
def test_bad_runs_are_refused_up_front(market, start, end, cash, message):
    with pytest.raises(ValueError, match=message):
        backtest(market, {}, start=start, end=end, cash=cash)
