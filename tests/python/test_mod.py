"""The package's start-up code and repo order functions, in a backtest of the framework
with a small market of its own: every bond at 100 clean, 101 full, every repo at 2 %."""

import datetime
import decimal
import fractions
import math

import numpy as np
import pytest
from korvane.const import INSTRUMENT_TYPE
from korvane.runner import Backtest, BondQuote, Strategy
from pelvorn import bond

from korvane_mod_bond import mod as mod_module
from korvane_mod_bond import position as P
from korvane_mod_bond.data import BondInstrument, instrument_from_record
from korvane_mod_bond.mod import BondMod, face_value

D = datetime.date
MONDAY = D(2024, 9, 2)
GC001, GC007, R001, R007 = "204001.XSHG", "204007.XSHG", "131810.XSHE", "131801.XSHE"
EXCHANGE_BOND, IB_BOND = "019547.XSHG", "200205.IB"
# repays 30 of its 100 face on 2024-03-15, 30 on 2025-03-17 and the last 40 on 2026-03-16
AMORTISING_BOND = "127001.XSHE"


class FlatMarket:
    def __init__(self, rate=0.02):
        self.rate = rate

    def bond_quote(self, order_book_id, day):  # noqa: ARG002 (the framework's market interface)
        return BondQuote(clean=100.0, full=101.0)

    def repo_rate(self, order_book_id, day):  # noqa: ARG002 (the framework's market interface)
        return self.rate


class Liar(float):
    """A float whose comparisons and remainder say whatever lets it through a check."""

    def __lt__(self, other):
        return False

    __le__ = __lt__

    def __gt__(self, other):
        return True

    __ge__ = __gt__

    def __mod__(self, other):
        return 0.0


class Script(Strategy):
    """Runs ``steps[i](context)`` on the i-th trading day and keeps what each returns."""

    def __init__(self, *steps):
        self.steps = steps
        self.seen = []

    def handle_day(self, context):
        day = len(self.seen)
        self.seen.append(self.steps[day](context) if day < len(self.steps) else None)


def run(*steps, cash=10_000_000.0, days=5, mod=None, market=None, extra=()):
    instruments = [instrument_from_record(bond.instrument_info(i)) for i in bond.all_instruments().index]
    end = MONDAY + datetime.timedelta(days=days - 1)
    backtest = Backtest(
        Script(*steps), MONDAY, end, cash=cash, instruments=[*instruments, *extra],
        market=market or FlatMarket(), mods=[mod or BondMod()],
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
    "held, ordered, repo_id, bond_id, messages",
    [
        # the repo validator warns of a fill of 0 yuan, the order function refuses it
        (
            0,
            2_000,
            GC001,
            EXCHANGE_BOND,
            [
                "正回购名义金额超过当前持仓票面价值, 实际成交 0.0 元",
                "正回购失败，019547.XSHG 没有可质押的持仓",
            ],
        ),
        # 500 bonds of 100 face: the validator passes the order's 200,000 yuan, but the fill
        # capped at the free bonds would pledge 50,000, below Shanghai's 100,000
        (
            500,
            2_000,
            GC001,
            EXCHANGE_BOND,
            [
                "正回购名义金额超过当前持仓票面价值, 实际成交 50000.0 元",
                "正回购失败，019547.XSHG 可质押持仓的票面价值 50000.0 元低于场内最低抵押名义价值 100000 元",
            ],
        ),
        # 10 bonds whose face is 70 since the first instalment: 700 yuan, below Shenzhen's 1,000
        # (the validator's warning counts the issue price)
        (
            10,
            20,
            R001,
            AMORTISING_BOND,
            [
                "正回购名义金额超过当前持仓票面价值, 实际成交 1000.0 元",
                "正回购失败，127001.XSHE 可质押持仓的票面价值 700.0 元低于场内最低抵押名义价值 1000 元",
            ],
        ),
    ],
)
def test_a_repo_that_cannot_pledge_what_the_exchange_takes_is_refused_and_logged(
    held, ordered, repo_id, bond_id, messages
):
    def step(c):
        if held:
            assert c.buy(bond_id, held).status == "filled"
        return c.repo(repo_id, bond_id, ordered, 0.9)

    result, (record,) = run(step, days=1)
    assert (record.status, record.messages, record.trade) == ("refused", messages, None)
    assert result.user_log == [(MONDAY, m) for m in messages]
    assert result.refused_orders() == [record] and result.repo_trades == []
    assert [b.order_book_id for b in result.bookings] == [bond_id] * bool(held)


def test_a_pledge_is_a_whole_number_of_bonds_that_a_roll_pledges_again():
    # 1,010 bonds issued at 99.9: a pledge counted through its face value would come back as
    # 1009.9999999999999 bonds
    odd = BondInstrument("990099.XSHG", issue_price=99.9, initial_issue_size=1e9)

    def borrow(c):
        c.buy(odd.order_book_id, 1_010)
        return c.repo(GC001, odd.order_book_id, 2_000, 0.9)  # capped at the 1,010 held

    def roll(c):
        (maturing,) = c.open_repos
        record = c.repo(GC001, odd.order_book_id, maturing.pledged_quantity, 0.9)
        return record, c.pledgeable_quantity(odd.order_book_id)

    result, (first, (second, free)) = run(borrow, roll, days=2, extra=[odd])
    for record in (first, second):
        assert record.status == "filled"
        trade = record.trade
        assert type(trade.pledged_quantity) is float and trade.pledged_quantity == 1_010
        assert trade.last_quantity == 1_010 * 99.9 * 0.9
    assert free == 0.0
    assert len(result.repo_trades) == 2


@pytest.mark.parametrize(
    "day, face",
    [
        (datetime.date(2024, 3, 14), 100.0),
        (datetime.date(2024, 3, 15), 70.0),  # prices on a payment date are ex-payment
        (datetime.date(2025, 3, 14), 70.0),
        (datetime.date(2025, 3, 17), 40.0),
        (datetime.date(2026, 3, 16), 0.0),
    ],
)
def test_face_value_is_the_issue_price_less_the_principal_repaid(day, face):
    assert face_value(instrument_from_record(bond.instrument_info(AMORTISING_BOND)), day) == face


def test_a_repo_pledges_the_bonds_current_face():
    def step(c):
        c.buy(AMORTISING_BOND, 2_000)
        return c.repo(R007, AMORTISING_BOND, 2_000, 0.7)

    result, (record,) = run(step, days=1)
    assert (record.status, record.messages) == ("filled", [])
    assert record.order.quantity == 2_000 * 70.0
    assert (record.trade.pledged_quantity, record.trade.last_quantity) == (2_000, 2_000 * 70.0 * 0.7)


@pytest.mark.parametrize(
    "value", [np.float32(0.9), np.float16(0.9), decimal.Decimal("0.9"), fractions.Fraction(9, 10), 1]
)
def test_order_functions_book_python_floats_whatever_number_they_are_given(value):
    def step(c):
        c.buy(EXCHANGE_BOND, 10_000)
        return (
            c.repo(GC001, EXCHANGE_BOND, np.int64(10_000), value),
            c.reverse_repo(R001, decimal.Decimal(100_000)),
            c.max_reverse_repo_amount(R001, np.float32(1_234_567)),
        )

    result, ((borrowed, lent, most), _) = run(step, days=2, market=FlatMarket(np.float32(0.02)))
    trade = borrowed.trade
    assert trade.last_quantity == 1_000_000.0 * float(value)
    assert trade.last_price == float(np.float32(0.02))
    assert trade.pledged_quantity == 10_000
    assert lent.trade.last_quantity == 100_000.0 and most == 1_234_000.0
    numbers = [
        trade.last_quantity,
        trade.last_price,
        trade.due_settlement_amount,
        trade.pledged_quantity,
        most,
    ]
    numbers += [lent.trade.last_quantity, lent.trade.due_settlement_amount, result.final_cash]
    numbers += [b.amount for b in result.bookings] + [b.cash_after for b in result.bookings]
    assert {type(n) for n in numbers} == {float}


@pytest.mark.parametrize(
    "rate",
    [math.nan, math.inf, None, "0.02", decimal.Decimal("NaN"), 10**400, True],
    ids=["nan", "inf", "None", "text", "Decimal NaN", "10**400", "True"],
)
def test_a_rate_that_is_not_a_finite_number_is_no_quote(rate):
    def step(c):
        c.buy(EXCHANGE_BOND, 10_000)
        return c.repo(GC001, EXCHANGE_BOND, 10_000, 0.9), c.reverse_repo(R001, 100_000)

    result, ((borrowed, lent),) = run(step, days=1, market=FlatMarket(rate))
    for record, repo_id in ((borrowed, GC001), (lent, R001)):
        assert (record.status, record.messages) == (
            "unfilled",
            [f"{repo_id} 在 {MONDAY} 没有行情, 订单未成交"],
        )
    assert result.repo_trades == [] and not math.isnan(result.final_cash)


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


def test_the_amount_that_can_be_lent_is_every_lot_the_cash_covers():
    """100,005 yuan cover 100,000 lent for seven days and its 5 yuan of commission, though
    100,005 / 1.00005 falls a hair short of 100,000 in floating point; the framework's
    cash check accepts that order, and refuses a lot more."""

    def lend(c):
        exact = c.max_reverse_repo_amount(GC007, 100_005.0)
        return exact, c.max_reverse_repo_amount(GC007, 100_004.99), c.reverse_repo(GC007, exact)

    result, ((exact, short, record),) = run(lend, cash=100_005.0, days=1)
    assert (exact, short) == (100_000.0, 99_000.0)
    assert record.status == "filled" and result.final_cash == 0.0


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
        # a bond of another market than the repo's
        (
            lambda c: c.repo(GC001, IB_BOND, 1_000, 0.9),
            ValueError,
            "^repo: bond_id '200205.IB' trades on IB, repo_id '204001.XSHG' on XSHG",
        ),
        (
            lambda c: c.repo(R001, EXCHANGE_BOND, 1_000, 0.9),
            ValueError,
            "trades on XSHG, repo_id '131810.XSHE'",
        ),
        # numbers no float holds
        (
            lambda c: c.repo(GC001, EXCHANGE_BOND, 10**400, 0.9),
            ValueError,
            "quantity is too large for a float",
        ),
        (lambda c: c.repo(GC001, EXCHANGE_BOND, 10, 10**400), ValueError, "haircut is too large for a float"),
        (
            lambda c: c.reverse_repo(R001, 10**400),
            ValueError,
            "^reverse_repo: amount is too large for a float",
        ),
        (lambda c: c.max_reverse_repo_amount(R001, -(10**400)), ValueError, "cash is too large for a float"),
        (lambda c: c.reverse_repo(R001, 10**5000), ValueError, "amount is too large for a float, got "),
        (lambda c: c.repo(GC001, EXCHANGE_BOND, decimal.Decimal("sNaN"), 0.9), ValueError, "must be finite"),
        (lambda c: c.repo(GC001, EXCHANGE_BOND, 10, 1j), TypeError, "haircut must be a number, got 1j"),
        # float subclasses whose comparisons and remainder would let them through
        (lambda c: c.repo(GC001, EXCHANGE_BOND, Liar(-10.0), 0.9), ValueError, "quantity must be positive"),
        (lambda c: c.repo(GC001, EXCHANGE_BOND, Liar(15.0), 0.9), ValueError, "quantity 15.0 is not a whole"),
        (lambda c: c.repo(GC001, EXCHANGE_BOND, 10, Liar(5.0)), ValueError, r"haircut must be .* got 5.0$"),
        (lambda c: c.reverse_repo(R001, Liar(1_500.0)), ValueError, "amount 1500.0 is not a whole number"),
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


@pytest.mark.parametrize(
    "figures, error, message",
    [
        (
            {"ib_commission_rate": math.nan},
            ValueError,
            "^BondMod: ib_commission_rate must be finite, got nan$",
        ),
        (
            {"ib_commission_rate": -0.01},
            ValueError,
            r"ib_commission_rate must be a share .* \[0, 1\), got -0.01$",
        ),
        ({"exchange_commission_rate": 1}, ValueError, "exchange_commission_rate must be a share"),
        ({"exchange_commission_rate": Liar(-0.5)}, ValueError, "exchange_commission_rate must be a share"),
        ({"exchange_max_commission": -100}, ValueError, "exchange_max_commission must be 0 or more yuan"),
        ({"ib_min_commission": math.inf}, ValueError, "ib_min_commission must be finite"),
        ({"ib_min_commission": 10**400}, ValueError, "ib_min_commission is too large for a float"),
        ({"ib_min_commission": "150"}, TypeError, "^BondMod: ib_min_commission must be a number, got '150'$"),
        ({"exchange_max_commission": None}, TypeError, "exchange_max_commission must be a number, got None"),
    ],
)
def test_bond_mod_refuses_a_figure_that_cannot_price_a_trade(figures, error, message):
    with pytest.raises(error, match=message):
        BondMod(**figures)


def test_bond_mod_keeps_its_figures_as_floats():
    mod = BondMod(np.float32(0.5), decimal.Decimal("150"), 0, np.int64(100))
    assert mod.commission == (0.5, 150.0, 0.0, 100.0)
    assert {type(f) for f in mod.commission} == {float}


def test_installing_the_package_twice_is_refused_in_one_line():
    with pytest.raises(
        ValueError, match="^BondMod: the package is installed in this backtest already"
    ) as raised:
        Backtest(
            Script(), MONDAY, MONDAY, cash=1.0, instruments=[], market=FlatMarket(), mods=[BondMod()] * 2
        )
    assert "\n" not in str(raised.value)
