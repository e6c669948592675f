from types import SimpleNamespace

import pytest
from korvane.interface import AbstractTransactionCostDecider
from korvane.model.order import Order

from korvane_mod_bond import transaction

BondTransactionDecider = transaction.BondTransactionDecider
RepoTransactionDecider = transaction.RepoTransactionDecider

EX = "019547.XSHG"
IB = "190210.IB"


def bond_decider(ib_rate=0.00005, ib_min=1.0, ex_rate=0.0001, ex_max=5.0):
    return BondTransactionDecider(ib_rate, ib_min, ex_rate, ex_max)


def trade(order_book_id, price, quantity):
    return SimpleNamespace(order_book_id=order_book_id, last_price=price, last_quantity=quantity)


@pytest.mark.parametrize(
    "order_book_id, price, quantity, rate, bound, expected",
    [
        (EX, 100, 1000, 0.0001, 5.0, 5.0),  # capped
        (EX, 101.2, 10000, 0.00001, 20.0, 101.2 * 10000 * 0.00001),  # 10.12, under the cap
        (IB, 99.5, 200, 0.00005, 1.0, 1.0),  # 0.995, floored
        (IB, 99.5, 1_000_000, 0.00005, 1.0, 4975.0),
        (IB, 101.2, 1000, 0.0003, 1.0, 30.359999999999996),  # (price × quantity) × rate, not price × (q × r)
    ],
)
def test_commission_capped_on_exchange_floored_inter_bank(
    order_book_id, price, quantity, rate, bound, expected
):
    exchange = order_book_id == EX
    d = bond_decider(ib_rate=rate, ib_min=bound) if not exchange else bond_decider(ex_rate=rate, ex_max=bound)
    commission = d.get_trade_commission(trade(order_book_id, price, quantity))
    assert commission == expected and (commission is bound) is (expected == bound)
    order = Order(order_book_id, quantity, "BUY", price=price * 2, frozen_price=price)
    assert d.get_order_transaction_cost(order) == expected  # at the frozen price, no tax


@pytest.mark.parametrize("order_book_id", [EX, IB])
def test_bound_ties_and_nan_give_the_computed_value(order_book_id):
    bound = float("50000")
    d = bond_decider(ib_rate=0.5, ib_min=bound, ex_rate=0.5, ex_max=bound)
    tie = d._get_commission(100.0, 1000, order_book_id)
    assert tie == bound and tie is not bound
    nan = d._get_commission(float("nan"), 1000, order_book_id)
    assert nan != nan


def test_tax_is_the_integer_zero():
    for d in (bond_decider(), RepoTransactionDecider()):
        tax = d.get_trade_tax(None)
        assert type(tax) is int and tax == 0


def test_commission_through_an_overriding_subclass():
    class Flat(BondTransactionDecider):
        def _get_commission(self, price, quantity, order_book_id):
            return (price, quantity, order_book_id)

    d = Flat(0, 0, 0, 0)
    assert d.get_trade_commission(trade(EX, 1, 2)) == (1, 2, EX)
    assert d.get_order_transaction_cost(Order(IB, 20, "SELL", price=9, frozen_price=3)) == (3, 20, IB)


def test_bond_decider_fields_and_construction(monkeypatch):
    monkeypatch.setattr(
        AbstractTransactionCostDecider, "__init__", lambda _self: pytest.fail("base initialised")
    )
    figures = [object() for _ in range(4)]
    d = BondTransactionDecider(
        *figures[:2], exchange_commission_rate=figures[2], exchange_max_commission=figures[3]
    )
    names = [
        "_ib_commission_rate",
        "_ib_min_commission",
        "_exchange_commission_rate",
        "_exchange_max_commission",
    ]
    assert list(vars(d)) == names and all(getattr(d, n) is f for n, f in zip(names, figures))
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'exchange_max_commission'"):
        BondTransactionDecider(1, 2, 3)


@pytest.mark.parametrize("haircut", [0.9, 1])
def test_repo_order_and_its_trade_charged_on_the_same_principal(haircut):
    from korvane.environment import Environment
    from korvane.testing import make_env

    from korvane_mod_bond.data import BondInstrument, RepoInstrument
    from korvane_mod_bond.trade import RepoTrade

    make_env([BondInstrument(EX), RepoInstrument("204007.XSHG", 7)])
    try:
        order = Order("204007.XSHG", 1_000_000, "FINANCING", bond_order_book_id=EX, haircut=haircut)
        repo = RepoTrade.create_exchange_repo_trade(None, 0.02, 1_000_000, "204007.XSHG", haircut, EX, 10000)
        d = RepoTransactionDecider()
        expected = transaction.calc_repo_commission("204007.XSHG", 1_000_000 * haircut)
        assert (
            d.get_order_transaction_cost(order) == d.get_trade_commission(repo) == repo.commission == expected
        )
    finally:
        Environment.clear_instance()


def test_repo_commission_reads_the_global_at_call_time(monkeypatch):
    charged = []
    monkeypatch.setattr(
        transaction, "calc_repo_commission", lambda oid, amount: charged.append((oid, amount)) or 7
    )
    d = RepoTransactionDecider()
    assert d.get_trade_commission(SimpleNamespace(order_book_id="R", last_quantity=900000.0)) == 7
    assert d.get_order_transaction_cost(SimpleNamespace(order_book_id="R", quantity=10, haircut=0.5)) == 7
    assert charged == [("R", 900000.0), ("R", 5.0)]
    with pytest.raises(AttributeError, match="haircut"):
        d.get_order_transaction_cost(SimpleNamespace(order_book_id="R", quantity=10))
