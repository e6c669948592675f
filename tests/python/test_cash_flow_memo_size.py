"""Books beyond 1,024 bonds a kind: ``BondMod(cash_flow_memo_size=N)`` binds memos of N
around the same builders in the position module, which the compiled positions and the
order functions then use; the framework's ``lru_cache(1024)`` stays the default and comes
back for a backtest without the setting, no table of one run serving another; and every
table of a layout shares one dtype object, however many bonds are held."""

import datetime
import decimal
import fractions
import functools
import sys

import numpy as np
import pytest
from korvane.runner import Backtest, BondQuote, Strategy
from korvane.utils.functools import lru_cache
from pelvorn import bond

from korvane_mod_bond import clear_cash_flow_memos
from korvane_mod_bond import mod as mod_module
from korvane_mod_bond import position as P
from korvane_mod_bond.data import BondInstrument
from korvane_mod_bond.mod import BondMod

NAMES = ("_all_real_cash_flow", "_all_implied_cash_flow")
FIRST_DAY = datetime.date(2024, 9, 2)  # a Monday


@pytest.fixture(autouse=True)
def framework_memos_back():
    """Every test starts and ends with the framework's memos bound."""
    defaults = {name: getattr(P, name) for name in NAMES}
    yield defaults
    mod_module._bind_cash_flow_memos(None)
    for name, memo in defaults.items():
        setattr(P, name, memo)


class Market:
    def bond_quote(self, order_book_id, day):  # noqa: ARG002 (the framework's market interface)
        return BondQuote(clean=100.0, full=101.0)

    def repo_rate(self, order_book_id, day):  # noqa: ARG002 (the framework's market interface)
        return 0.02


class BuyAll(Strategy):
    def __init__(self, holdings):
        self.holdings = holdings

    def handle_day(self, context):
        if context.date == context.trading_days[0]:
            for order_book_id, quantity in self.holdings:
                context.buy(order_book_id, quantity)


def exchange_ids(n):
    return [f"{100000 + i:06d}.XSHG" for i in range(n)]


def inter_bank_ids(n):
    return [f"{2000000 + i:07d}.IB" for i in range(n)]


def serve_book(per_kind):
    """Serves a two-record frame of each kind for `per_kind` bonds of each market;
    returns (exchange ids, inter-bank ids)."""
    real = bond.make_realized_frame("x", [("2024-09-03", 1.5, 0.0), ("2030-01-02", 101.5, 100.0)])
    implied = bond.make_implied_frame(
        "x", [("2024-09-03", 1.5, 0.0, 0.0), ("2024-09-30", 0.0, 0.2, 0.0), ("2030-01-02", 101.5, 1.3, 100.0)]
    )
    exchange, inter_bank = exchange_ids(per_kind), inter_bank_ids(per_kind)
    bond.set_frames(realized=dict.fromkeys(exchange, real), implied=dict.fromkeys(inter_bank, implied))
    return exchange, inter_bank


def backtest(mod, holdings=(), instruments=(), days=1):
    end = FIRST_DAY + datetime.timedelta(days=days - 1)
    return Backtest(
        BuyAll(holdings), FIRST_DAY, end, cash=1e9, instruments=list(instruments), market=Market(), mods=[mod]
    )


def bound():
    return tuple(getattr(P, name) for name in NAMES)


FRAMEWORK_MEMO = type(lru_cache(1)(len))


# ------------------------------------------------------------------ the setting


@pytest.mark.parametrize(
    ("value", "expected"),
    [
        (None, None),
        (1, 1),
        (4096, 4096),
        (np.int64(2048), 2048),
        (np.uint16(1025), 1025),
        (sys.maxsize, sys.maxsize),
    ],
)
def test_a_size_is_a_whole_number_of_bonds(value, expected):
    size = BondMod(cash_flow_memo_size=value).cash_flow_memo_size
    assert size == expected and type(size) is type(expected)


@pytest.mark.parametrize(
    ("value", "error"),
    [
        (True, TypeError),
        (np.True_, TypeError),
        (4096.0, TypeError),
        (np.float64(2048), TypeError),
        ("4096", TypeError),
        (decimal.Decimal(4096), TypeError),
        (fractions.Fraction(4096), TypeError),
        (0, ValueError),
        (-1, ValueError),
        (np.int8(-3), ValueError),
        (sys.maxsize + 1, ValueError),
    ],
)
def test_a_size_that_is_not_one_raises_one_line_naming_it(value, error):
    with pytest.raises(error) as raised:
        BondMod(cash_flow_memo_size=value)
    message = str(raised.value)
    assert message.startswith("BondMod: cash_flow_memo_size must be ")
    assert message.endswith("got " + repr(value))
    assert "\n" not in message


def test_the_size_is_given_by_keyword_only():
    with pytest.raises(TypeError):
        BondMod(0.00001, 150.0, 0.00002, 100.0, 4096)


# ------------------------------------------------------------------- binding


def test_by_default_the_framework_memos_stay_bound(framework_memos_back):
    backtest(BondMod())
    assert bound() == tuple(framework_memos_back.values())
    for memo in bound():
        assert type(memo) is FRAMEWORK_MEMO and memo.cache_info().maxsize == 1024


def test_the_setting_binds_memos_of_its_size_around_the_same_builders(framework_memos_back):
    backtest(BondMod(cash_flow_memo_size=3000))
    for name, memo in zip(NAMES, bound()):
        assert type(memo) is FRAMEWORK_MEMO and memo.cache_info() == (0, 0, 3000, 0)
        assert memo.__wrapped__ is framework_memos_back[name].__wrapped__
        assert memo.__name__ == name


def test_a_book_beyond_1024_bonds_a_kind_builds_each_table_once():
    per_kind = 1100
    exchange, inter_bank = serve_book(per_kind)
    instruments = [BondInstrument(i, initial_issue_size=1e10) for i in exchange + inter_bank]
    holdings = [(i, 10) for i in exchange] + [(i, 1000) for i in inter_bank]

    def queries(size):
        clear_cash_flow_memos()
        del bond.calls[:]
        result = backtest(BondMod(cash_flow_memo_size=size), holdings, instruments, days=3).run()
        assert not result.refused_orders() and len(result.orders) == len(holdings)
        return [(name, args[0]) for name, args in bond.calls]

    made = queries(2048)
    assert sorted(made) == sorted(
        [("realized_cash_flow", i) for i in exchange] + [("get_implied_cash_flow", i) for i in inter_bank]
    )
    assert [memo.cache_info().currsize for memo in bound()] == [per_kind, per_kind]
    # The framework's memos (a run without the setting) fetch the tables again and again.
    assert len(queries(None)) > 2 * len(made)


@pytest.mark.parametrize(
    ("first", "second"),
    [(4096, None), (None, 4096), (4096, 4096), (4096, 2048), (2048, 4096)],
)
def test_no_table_of_one_run_serves_a_run_with_another_setting(first, second, framework_memos_back):
    (exchange,), _ = serve_book(1)
    instruments = [BondInstrument(exchange)]
    backtest(BondMod(cash_flow_memo_size=first), instruments=instruments).run()
    first_memos = bound()
    table = P._all_real_cash_flow(exchange)
    backtest(BondMod(cash_flow_memo_size=second), instruments=instruments)
    if second is None:
        assert bound() == tuple(framework_memos_back.values())
    for memo in bound():
        assert memo.cache_info().maxsize == (second or 1024)
    if first == second:  # the same setting keeps its memos, as the framework's are kept
        assert bound() == first_memos and P._all_real_cash_flow(exchange) is table
    else:
        assert all(memo.cache_info().currsize == 0 for memo in bound())
        assert P._all_real_cash_flow(exchange) is not table


def test_tables_cleared_under_the_setting_do_not_come_back_with_the_framework_memos():
    (exchange,), _ = serve_book(1)
    instruments = [BondInstrument(exchange)]
    backtest(BondMod(), instruments=instruments).run()
    old = P._all_real_cash_flow(exchange)  # memoised by the framework's memo
    backtest(BondMod(cash_flow_memo_size=4096), instruments=instruments)
    bond.set_frames(realized={exchange: bond.make_realized_frame(exchange, [("2024-09-04", 7.0, 0.0)])})
    clear_cash_flow_memos()  # another data set, under the setting
    backtest(BondMod(), instruments=instruments)
    assert P._all_real_cash_flow(exchange) is not old
    assert P._all_real_cash_flow(exchange).tolist() == [(20240904, 7.0, 0.0)]


def test_clearing_forgets_the_tables_of_the_sized_memos():
    (exchange,), (inter_bank,) = serve_book(1)
    backtest(BondMod(cash_flow_memo_size=4096))
    assert P._all_real_cash_flow(exchange) is not None and P._all_implied_cash_flow(inter_bank) is not None
    del bond.calls[:]
    clear_cash_flow_memos()
    assert [memo.cache_info().currsize for memo in bound()] == [0, 0]
    P._all_real_cash_flow(exchange)
    P._all_implied_cash_flow(inter_bank)
    assert [name for name, _ in bond.calls] == ["realized_cash_flow", "get_implied_cash_flow"]


def test_a_name_rebound_by_other_code_is_left_as_it_is():
    def own(_order_book_ids):  # no memo
        return None

    P._all_real_cash_flow = own
    backtest(BondMod(cash_flow_memo_size=4096))
    assert P._all_real_cash_flow is own and P._all_implied_cash_flow.cache_info().maxsize == 4096
    backtest(BondMod())
    assert P._all_real_cash_flow is own and P._all_implied_cash_flow.cache_info().maxsize == 1024
    # A memo of one's own that replaced BondMod's is kept too, and sized around its builder.
    mine = functools.lru_cache(10)(P._all_implied_cash_flow.__wrapped__)
    backtest(BondMod(cash_flow_memo_size=4096))
    P._all_implied_cash_flow = mine
    backtest(BondMod())
    assert P._all_implied_cash_flow is mine


# ---------------------------------------------------------- one dtype a layout


@pytest.mark.parametrize(
    ("name", "layout"), [(NAMES[0], P.CASH_FLOW_DTYPES), (NAMES[1], P.IMPLIED_CASH_FLOW_DTYPES)]
)
def test_every_table_of_a_layout_shares_one_dtype(name, layout):
    exchange, inter_bank = serve_book(2100)
    ids = exchange if name == NAMES[0] else inter_bank
    build = getattr(P, name).__wrapped__
    tables = [build(i) for i in ids]
    assert len({id(t.dtype) for t in tables}) == 1  # all alive: one dtype object for 2,100 bonds
    assert tables[0].dtype == np.dtype(layout)
    # Renaming the shared dtype's fields (every table's) does not reach the tables built next.
    shared = tables[0].dtype
    shared.names = tuple(f"f{k}" for k in range(len(layout)))
    fresh = build(ids[0])
    assert fresh.dtype is not shared and fresh.dtype == np.dtype(layout)
    assert build(ids[1]).dtype is fresh.dtype
