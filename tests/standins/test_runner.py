"""The runner's installer interface: fill and settlement hooks book labelled cash deltas of their
own, and the bookings stay the only thing that moves cash."""

import datetime

import numpy as np
import pytest
from korvane.const import INSTRUMENT_TYPE
from korvane.model.instrument import Instrument
from korvane.runner import LONG, Backtest, BondQuote, Strategy

STOCK = "000001.XSHE"
MONDAY, TUESDAY = datetime.date(2024, 9, 2), datetime.date(2024, 9, 3)


class Market:
    def __init__(self, price=10.0):
        self.price = price

    def bond_quote(self, order_book_id, day):  # noqa: ARG002 (the framework's market interface)
        return BondQuote(clean=self.price, full=self.price)

    def repo_rate(self, order_book_id, day):  # noqa: ARG002 (the framework's market interface)
        return None


class BuyThenSell(Strategy):
    def handle_day(self, context):
        if context.date == MONDAY:
            context.buy(STOCK, 300)
        else:
            context.sell(STOCK, 100)


class Hooks:
    """An installer of hooks that record their calls and book what they are told to."""

    def __init__(self, on_fill=(), on_settlement=()):
        self.on_fill, self.on_settlement, self.calls = on_fill, on_settlement, []

    def install(self, backtest):
        backtest.add_fill_hook(self.fill, (INSTRUMENT_TYPE.CS,))
        backtest.add_settlement_hook(self.settled, (INSTRUMENT_TYPE.CS,))

    def fill(self, position, trade, quantity_before, day):
        self.calls.append(("fill", day, quantity_before, position.quantity, trade.last_quantity))
        return self.on_fill

    def settled(self, position, day):
        self.calls.append(("settlement", day, position.quantity))
        return self.on_settlement


def backtest(*mods, cash=100_000.0, market=None):
    instruments = [Instrument(STOCK, INSTRUMENT_TYPE.CS, round_lot=100)]
    return Backtest(
        BuyThenSell(),
        MONDAY,
        TUESDAY,
        cash=cash,
        instruments=instruments,
        market=market or Market(),
        mods=mods,
    )


def test_hooks_are_called_after_the_position_and_book_labelled_deltas_of_their_own():
    hooks = Hooks(on_fill=[("fee rebate", 1.5), ("nothing", 0.0)], on_settlement=(("interest", -0.25),))
    result = backtest(hooks).run()
    assert hooks.calls == [
        ("fill", MONDAY, 0, 300, 300),
        ("settlement", MONDAY, 300),
        ("fill", TUESDAY, 300, 200, 100),
        ("settlement", TUESDAY, 200),
    ]
    bought, rebate, interest, sold, rebate_2, interest_2 = result.bookings
    assert [(b.phase, b.label, b.amount, b.transaction_cost) for b in result.bookings] == [
        ("trade", "", -3_000.0, 0.0),
        ("trade", "fee rebate", 1.5, 0.0),  # zero deltas are not booked
        ("settlement", "interest", -0.25, 0.0),
        ("trade", "", 1_000.0, 0.0),
        ("trade", "fee rebate", 1.5, 0.0),
        ("settlement", "interest", -0.25, 0.0),
    ]
    assert rebate.trade is bought.trade and interest.trade is None
    assert (result.days[0].trades, result.days[0].settlement) == (-3_000.0 + 1.5, -0.25)
    assert result.final_cash == 100_000.0 + sum(b.amount for b in result.bookings)
    assert [b.cash_after for b in result.bookings][-1] == result.final_cash
    assert result.days[-1].positions_quantity == {(STOCK, LONG): 200}


@pytest.mark.parametrize(
    "on_fill, error, message",
    [
        ([("", 1.0)], TypeError, "returned the label '': a hook names each delta it books"),
        ([(None, 1.0)], TypeError, "returned the label None"),
        (
            [("fee", "1.0")],
            TypeError,
            "^hook Hooks.fill returned '1.0' as 'fee' of '000001.XSHE', not a cash delta$",
        ),
        ([("fee", True)], TypeError, "returned True as .fee."),
    ],
)
def test_a_hook_that_books_something_unnamed_or_not_a_number_raises(on_fill, error, message):
    with pytest.raises(error, match=message):
        backtest(Hooks(on_fill=on_fill)).run()


def test_an_order_function_is_offered_once():
    class Offer:
        def install(self, backtest):
            backtest.add_order_function("lend", print)

    with pytest.raises(ValueError, match="the context already has 'lend'"):
        backtest(Offer(), Offer())


@pytest.mark.parametrize(
    "cash, message",
    [
        pytest.param(10**400, "^initial cash is too large for a float$", id="10**400"),
        (-1, "must be a non-negative finite number, got -1"),
        (float("nan"), "got nan"),
        ("1e6", "must be a non-negative number, got '1e6'"),
    ],
)
def test_initial_cash_is_a_non_negative_float(cash, message):
    with pytest.raises(ValueError, match=message):
        backtest(cash=cash)


def test_initial_cash_is_kept_as_a_python_float():
    result = backtest(cash=np.float32(100_000)).run()
    assert type(result.initial_cash) is float and type(result.final_cash) is float


def test_prices_are_booked_as_python_floats():
    result = backtest(market=Market(np.float32(10.5))).run()
    assert [b.amount for b in result.bookings] == [-3_150.0, 1_050.0]
    booked = [result.final_cash, result.final_equity, *(b.amount for b in result.bookings)]
    assert {type(n) for n in booked} == {float}


@pytest.mark.parametrize(
    "price", [float("nan"), float("inf"), None, "10", 10**400], ids=["nan", "inf", "None", "text", "10**400"]
)
def test_a_price_that_is_not_a_finite_number_is_no_quote(price):
    result = backtest(market=Market(price)).run()
    assert [o.status for o in result.orders] == ["unfilled", "unfilled"]
    assert result.bookings == [] and result.final_equity == 100_000.0
