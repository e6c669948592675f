"""The package's start-up code and repo order functions, in a backtest of the framework
with a small market of its own: every bond at 100 clean, 101 full, every repo at 2 %."""

import datetime
import math

import pytest
from korvane.const import INSTRUMENT_TYPE
from korvane.runner import Backtest, BondQuote, Strategy
from pelvorn import bond

from korvane_mod_bond import mod as mod_module
from korvane_mod_bond import position as P
from korvane_mod_bond.data import instrument_from_record
from korvane_mod_bond.mod import BondMod

D = datetime.date
MONDAY = D(2024, 9, 2)
GC001, GC007, R001 = "204001.XSHG", "204007.XSHG", "131810.XSHE"
EXCHANGE_BOND, IB_BOND = "019547.XSHG", "200205.IB"


class FlatMarket:
    def bond_quote(self, order_book_id, day):  # noqa: ARG002 (the framework's market interface)
        return BondQuote(clean=100.0, full=101.0)

    def repo_rate(self, order_book_id, day):  # noqa: ARG002 (the framework's market interface)
        return 0.02


class Script(Strategy):
    """Runs ``steps[i](context)`` on the i-th trading day and keeps what each returns."""

    def __init__(self, *steps):
        self.steps = steps
        self.seen = []

    def handle_day(self, context):
        day = len(self.seen)
        self.seen.append(self.steps[day](context) if day < len(self.steps) else None)


def run(*steps, cash=10_000_000.0, days=5, mod=None):
    instruments = [instrument_from_record(bond.instrument_info(i)) for i in bond.all_instruments().index]
    end = MONDAY + datetime.timedelta(days=days - 1)
    backtest = Backtest(
        Script(*steps), MONDAY, end, cash=cash, instruments=instruments, market=FlatMarket(),
        mods=[mod or BondMod()],
    )  # fmt: skip
    return backtest.run(), backtest.strategy.seen


def test_install_registers_every_part_by_instrument_type():
    mod = BondMod(ib_commission_rate=0.0001, exchange_max_commission=5.0)
    result, _ = run(mod=mod)
    backtest = result.backtest
    bond_decider = backtest.cost_deciders[INSTRUMENT_TYPE.BOND]
    assert (bond_decider._ib_commission_rate, bond_decider._ib_min_commission) == (0.0001, 150.0)
    assert (bond_decider._exchange_commission_rate, bond_decider._exchange_max_commission) == (0.00002, 5.0)
    assert backtest.proxies == {
        INSTRUMENT_TYPE.BOND: P.BondPositionProxy,
        INSTRUMENT_TYPE.REPO: P.RepoPositionProxy,
    }
    assert [type(v).__name__ for v in backtest.validators[INSTRUMENT_TYPE.REPO]] == ["RepoValidator"]
    assert (backtest.fill_hooks, backtest.settlement_hooks) == (
        {INSTRUMENT_TYPE.BOND: [mod_module.fill_hook]},
        {INSTRUMENT_TYPE.BOND: [mod_module.settlement_hook]},
    )
    assert set(backtest.order_functions) == {
        "repo",
        "reverse_repo",
        "max_reverse_repo_amount",
        "pledgeable_quantity",
    }
    # a bond on implied cash flows carries its accrued interest as a receivable: marked clean
    mark = backtest.markers[INSTRUMENT_TYPE.BOND]
    quote = BondQuote(clean=100.0, full=101.0)
    assert mark(backtest.portfolio.get_position(IB_BOND), quote) == 100.0
    assert mark(backtest.portfolio.get_position(EXCHANGE_BOND), quote) == 101.0


def test_a_repo_rolled_on_its_due_day_books_principal_interest_and_repayment():
    def borrow(c):
        c.buy(EXCHANGE_BOND, 10_000)
        return c.repo(GC001, EXCHANGE_BOND, 10_000, 0.9)

    def roll(c):
        # the maturing repo's collateral is free again for a new repo on its due day
        assert c.position(EXCHANGE_BOND).closable == 0
        assert c.pledgeable_quantity(EXCHANGE_BOND) == 10_000
        return c.repo(GC001, EXCHANGE_BOND, 10_000, 0.9)

    result, (first, second) = run(borrow, roll, days=2)
    assert (first.status, second.status) == ("filled", "filled")
    trade = first.trade
    assert (trade.last_quantity, trade.pledged_quantity, trade.due_settlement_date) == (
        900_000.0,
        10_000,
        D(2024, 9, 3),
    )
    assert trade.due_settlement_amount == 900_000.0 * (1 + 0.02 / 365 * 1)
    (matured,) = result.repo_maturities
    assert matured.trade is trade and matured.interest == pytest.approx(900_000.0 * 0.02 / 365)
    repo_bookings = [(b.phase, b.amount) for b in result.bookings if b.order_book_id == GC001]
    assert repo_bookings == [
        ("trade", 900_000.0 - trade.transaction_cost),
        ("trade", 900_000.0 - second.trade.transaction_cost),  # the roll, in the morning
        ("settlement", -trade.due_settlement_amount),  # the repayment, at the day's end
    ]


def test_a_repo_fill_is_capped_at_the_free_bonds():
    def step(c):
        c.buy(EXCHANGE_BOND, 2_000)
        return c.repo(GC007, EXCHANGE_BOND, 3_000, 1.0)

    result, (record,) = run(step, days=1)
    assert record.status == "filled"
    assert record.trade.pledged_quantity == 2_000
    assert record.messages == ["正回购名义金额超过当前持仓票面价值, 实际成交 200000.0 元"]


@pytest.mark.parametrize(
    "bond_id, messages",
    [
        # the repo validator warns of a fill of 0 yuan, the order function refuses it
        (
            EXCHANGE_BOND,
            [
                "正回购名义金额超过当前持仓票面价值, 实际成交 0.0 元",
                "正回购失败，019547.XSHG 没有可质押的持仓",
            ],
        ),
        # an inter-bank pledge is not checked by the validator
        (IB_BOND, ["正回购失败，200205.IB 没有可质押的持仓"]),
    ],
)
def test_a_repo_without_bonds_to_pledge_is_refused_and_logged(bond_id, messages):
    result, (record,) = run(lambda c: c.repo(GC001, bond_id, 2_000, 0.9), days=1)
    assert (record.status, record.messages, record.trade) == ("refused", messages, None)
    assert result.user_log == [(MONDAY, m) for m in messages]
    assert result.refused_orders() == [record] and result.repo_trades == []


def test_reverse_repo_and_the_amount_that_can_be_lent():
    def lend(c):
        amount = c.max_reverse_repo_amount(R001)
        assert (c.max_reverse_repo_amount(R001, 1_234_567), c.max_reverse_repo_amount(R001, 999.0)) == (
            1_234_000.0,
            0.0,
        )
        return amount, c.reverse_repo(R001, amount)

    result, ((amount, record),) = run(lend, cash=500_000.0, days=1)
    assert amount == math.floor(500_000 / (1 + 0.00001) / 1_000) * 1_000 == 499_000
    assert record.status == "filled" and record.trade.last_quantity == amount
    assert result.final_cash == 500_000.0 - (amount + record.trade.transaction_cost)


@pytest.mark.parametrize(
    "call, error, message",
    [
        (
            lambda c: c.repo(GC001, EXCHANGE_BOND, 1_000, 1.5),
            ValueError,
            r"^repo: haircut must be .* \(0, 1\], got 1.5$",
        ),
        (lambda c: c.repo(GC001, EXCHANGE_BOND, 1_000, 0), ValueError, "haircut must be .* got 0$"),
        (lambda c: c.repo(GC001, EXCHANGE_BOND, 1_000, math.nan), ValueError, "haircut must be finite"),
        (
            lambda c: c.repo(GC001, EXCHANGE_BOND, 1_000, "0.9"),
            TypeError,
            "haircut must be a number, got '0.9'",
        ),
        (
            lambda c: c.repo(GC001, EXCHANGE_BOND, "1000", 0.9),
            TypeError,
            "quantity must be a number, got '1000'",
        ),
        (lambda c: c.repo(GC001, EXCHANGE_BOND, True, 0.9), TypeError, "quantity must be a number"),
        (
            lambda c: c.repo(GC001, EXCHANGE_BOND, 15, 0.9),
            ValueError,
            r"quantity 15 is not a whole number of lots",
        ),
        (lambda c: c.repo(GC001, EXCHANGE_BOND, -10, 0.9), ValueError, "quantity must be positive, got -10"),
        (lambda c: c.repo(GC001, EXCHANGE_BOND, math.inf, 0.9), ValueError, "quantity must be finite"),
        (
            lambda c: c.repo("999999.XSHG", EXCHANGE_BOND, 10, 0.9),
            ValueError,
            "repo_id '999999.XSHG' is not a known",
        ),
        (
            lambda c: c.repo(EXCHANGE_BOND, EXCHANGE_BOND, 10, 0.9),
            ValueError,
            "repo_id '019547.XSHG' is an instrument",
        ),
        (
            lambda c: c.repo(GC001, GC007, 10, 0.9),
            ValueError,
            "bond_id '204007.XSHG' is an instrument of type",
        ),
        (lambda c: c.repo(GC001, None, 10, 0.9), TypeError, "bond_id must be an order book id"),
        (
            lambda c: c.reverse_repo(R001, 1_500),
            ValueError,
            r"amount 1500 is not a whole number of lots of 131810.XSHE",
        ),
        (lambda c: c.reverse_repo(R001, 0), ValueError, "^reverse_repo: amount must be positive"),
        (
            lambda c: c.reverse_repo(IB_BOND, 1_000),
            ValueError,
            "is an instrument of type INSTRUMENT_TYPE.BOND",
        ),
        (lambda c: c.max_reverse_repo_amount(R001, "all"), TypeError, "cash must be a number"),
        (lambda c: c.pledgeable_quantity(GC001), ValueError, "^pledgeable_quantity: bond_id"),
    ],
)
def test_bad_arguments_raise_one_clear_error_before_any_order(call, error, message):
    def step(c):
        with pytest.raises(error, match=message) as raised:
            call(c)
        return raised.value

    result, (exc,) = run(step, days=1)
    assert "\n" not in str(exc)
    assert result.orders == [] and result.user_log == []
