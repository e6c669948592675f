import re
from types import SimpleNamespace

import pytest
from compiled_helpers import Holder, holding
from korvane.const import POSITION_DIRECTION, SIDE
from korvane.model.order import Order

from korvane_mod_bond import validator
from korvane_mod_bond.data import BondInstrument, RepoInstrument

BOND = "019547.XSHG"
FAIL = "场内债券正回购失败，场内债券抵押名义价值应在 {} 元及以上"
OVER = "正回购名义金额超过当前持仓票面价值, 实际成交 {} 元"


@pytest.fixture
def lookups(monkeypatch):
    """Serves `_get_account_position_ins` from `lookups.results` and records each call."""
    calls = SimpleNamespace(ids=[], results={})

    def lookup(order_book_id):
        calls.ids.append(order_book_id)
        return calls.results[order_book_id]

    monkeypatch.setattr(validator, "_get_account_position_ins", lookup)
    return calls


@pytest.fixture
def serve():
    def serve(lookups, repo_exchange, closable, issue_price=100.0):
        repo = RepoInstrument("R001." + repo_exchange, 1, exchange=repo_exchange)
        lookups.results[BOND] = (Holder(), holding(closable), BondInstrument(BOND, issue_price=issue_price))
        lookups.results[repo.order_book_id] = (Holder(), holding(), repo)
        return repo.order_book_id

    return serve


def repo_order(order_book_id, quantity, side=SIDE.FINANCING, bond=BOND):
    return Order(order_book_id, quantity, side, bond_order_book_id=bond)


def check(order):
    return validator.RepoValidator(None).can_submit_order(order, account=object())


@pytest.mark.parametrize(
    "exchange, quantity, accepted",
    [("XSHE", 999, False), ("XSHE", 1000, True), ("XSHG", 99999, False), ("XSHG", 100000, True)],
)
def test_exchange_minimum(log, lookups, exchange, quantity, accepted, serve):
    repo = serve(lookups, exchange, closable=10_000)
    assert check(repo_order(repo, quantity)) is accepted
    assert lookups.ids == [BOND, repo]
    minimum = {"XSHE": 1000, "XSHG": 100000}[exchange]
    assert log.lines == ([] if accepted else [("warning", FAIL.format(minimum))])


@pytest.mark.parametrize(
    "exchange, closable, quantity, accepted, message",
    [
        ("XSHE", 0, 999, False, FAIL.format(1000)),  # the minimum is checked first
        ("XSHE", 1000, 100000, True, None),  # exactly the holding's face value
        ("XSHE", 1000, 100001, True, OVER.format("100000.0")),
        ("XSHG", 0, 100000, True, OVER.format("0.0")),
        ("IB", 0, 1, True, OVER.format("0.0")),  # no minimum on another market
    ],
)
def test_holding_warning_accepts(log, lookups, exchange, closable, quantity, accepted, message, serve):
    repo = serve(lookups, exchange, closable)
    assert check(repo_order(repo, quantity)) is accepted
    assert log.lines == ([] if message is None else [("warning", message)])


@pytest.mark.parametrize(
    "side, bond, asked",
    [(SIDE.MARGIN, BOND, []), (SIDE.BUY, BOND, []), (SIDE.FINANCING, "190210.IB", ["190210.IB"])],
)
def test_out_of_scope_orders_pass_without_lookup(log, lookups, monkeypatch, side, bond, asked):
    markets = []
    monkeypatch.setattr(
        validator, "is_exchange_bond", lambda oid: markets.append(oid) or oid.endswith(".XSHG")
    )
    assert check(repo_order("R001.XSHG", 1, side, bond)) is True
    assert markets == asked and lookups.ids == [] and log.lines == []


@pytest.mark.parametrize("make", [lambda: (1, 2), lambda: [1, 2, 3, 4], lambda: None, lambda: iter("ab")])
def test_lookup_must_give_three_items(lookups, make):
    with pytest.raises((TypeError, ValueError)) as expected:
        _, _, _ = make()
    lookups.results[BOND] = make()
    with pytest.raises(expected.type, match="^{}$".format(re.escape(str(expected.value)))):
        check(repo_order("R001.XSHG", 1000))


def test_with_the_framework_lookup(log):
    from korvane.environment import Environment
    from korvane.testing import make_env

    env = make_env([BondInstrument(BOND, issue_price=100.0), RepoInstrument("204001.XSHG", 1)])
    try:
        env.portfolio.get_position(BOND, POSITION_DIRECTION.LONG)._old_quantity = 2000
        v = validator.RepoValidator(env)
        assert v.can_submit_order(repo_order("204001.XSHG", 99999)) is False
        assert v.can_submit_order(repo_order("204001.XSHG", 300000)) is True
    finally:
        Environment.clear_instance()
    assert log.lines == [("warning", FAIL.format(100000)), ("warning", OVER.format("200000.0"))]
