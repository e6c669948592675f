import enum
import math
from types import SimpleNamespace

import pytest
from compiled_helpers import LONG, SHORT, Holder, holding
from korvane.const import POSITION_EFFECT, SIDE
from korvane.interface import AbstractFrontendValidator
from korvane.model.order import Order

from korvane_mod_bond import validator
from korvane_mod_bond.data import BondInstrument, RepoInstrument

IB = "190210.IB"
EX = "019547.XSHG"


@pytest.fixture
def make_validator():
    def make_validator(*instruments, portfolio=None):
        by_id = {ins.order_book_id: ins for ins in instruments}
        env = SimpleNamespace(
            data_proxy=SimpleNamespace(instruments=by_id.get), portfolio=portfolio or Holder()
        )
        return validator.BondValidator(env)

    return make_validator


def buy(order_book_id, quantity):
    return Order(order_book_id, quantity, SIDE.BUY, POSITION_EFFECT.OPEN)


def sell(order_book_id, quantity):
    return Order(order_book_id, quantity, SIDE.SELL, POSITION_EFFECT.CLOSE)


@pytest.mark.parametrize(
    "order_book_id, lot, quantity, accepted",
    [
        (IB, 10, 990, False),  # below the inter-bank minimum
        (IB, 10, 1000, True),
        (IB, 10, 1005, False),  # not a whole lot
        (IB, 10, 1000.0, True),
        (EX, 10, 10, True),
        (EX, 10, 0, True),
        (EX, 10, -10, False),
        (EX, 100, 1500.0, True),
        (EX, 100, 1550.0, False),
        (EX, 0.1, 0.3, False),  # Python's 0.3 % 0.1 is not 0
        (EX, None, math.nan, False),  # refused before the lot is used
    ],
)
def test_quantity_check(log, order_book_id, lot, quantity, accepted, make_validator):
    v = make_validator(BondInstrument(order_book_id, round_lot=lot))
    account = Holder() if accepted else None  # a refusal touches no account
    assert v.can_submit_order(buy(order_book_id, quantity), account) is accepted
    assert log.lines == ([] if accepted else [("warn", "下单失败，数量 {} 不合法".format(quantity))])


def test_market_is_asked_before_a_non_bond_is_refused(log, monkeypatch, make_validator):
    asked = []
    monkeypatch.setattr(validator, "is_exchange_bond", lambda oid: asked.append(oid) or True)
    v = make_validator(RepoInstrument("204001.XSHG", 1))
    with pytest.raises(
        TypeError, match=r"^wrong type for bond instrument: <class 'korvane_mod_bond.data.RepoInstrument'>$"
    ):
        v.can_submit_order(buy("204001.XSHG", 1000), Holder())
    assert asked == ["204001.XSHG"] and log.lines == []


@pytest.mark.parametrize("quantity, accepted", [(1000, True), (1010, False)])
def test_close_up_to_the_closable_quantity(log, quantity, accepted, make_validator):
    account = Holder({(EX, LONG): holding(1200, closable=1000)})
    v = make_validator(BondInstrument(EX))
    assert v.can_submit_order(sell(EX, quantity), account=account) is accepted
    assert account.lookups == [(EX, LONG)]
    expected = "订单创建失败:  019547.XSHG 的仓位不足, 目标平仓 1010, 可平仓位为 1000"
    assert log.lines == ([] if accepted else [("warning", expected)])


@pytest.mark.usefixtures("log")
def test_opening_order_is_not_held_to_the_closable_quantity(make_validator):
    account = Holder({(EX, SHORT): holding(0)})
    order = Order(EX, 500, SIDE.SELL, POSITION_EFFECT.OPEN)
    assert make_validator(BondInstrument(EX)).can_submit_order(order, account) is True
    assert account.lookups == [(EX, SHORT)]


def test_without_account_the_position_comes_from_the_portfolio(log, make_validator):
    portfolio = Holder({(EX, LONG): holding(100)})
    assert make_validator(BondInstrument(EX), portfolio=portfolio).can_submit_order(sell(EX, 110)) is False
    assert portfolio.lookups == [(EX, LONG)]
    assert log.lines == [("warning", "订单创建失败:  019547.XSHG 的仓位不足, 目标平仓 110, 可平仓位为 100")]


@pytest.mark.parametrize("quantity, accepted", [(1000, True), (1010, False)])
def test_buy_up_to_the_issued_count(log, quantity, accepted, make_validator):
    portfolio = Holder({(EX, LONG): holding(9000)})
    v = make_validator(BondInstrument(EX, issue_price=100, initial_issue_size=1_000_000), portfolio=portfolio)
    assert v.can_submit_order(buy(EX, quantity), Holder()) is accepted
    assert portfolio.lookups == [(EX, LONG)]
    expected = "订单创建失败：持仓数量 9000 接近 019547.XSHG 债券发行总额上限 1000000"
    assert log.lines == ([] if accepted else [("warning", expected)])


@pytest.mark.parametrize(
    "issue_price, issue_size, side",
    [
        (100, 1_000_000, SIDE.SELL),
        (100, 0, SIDE.BUY),
        (100, None, SIDE.BUY),
        (0, 1_000_000, SIDE.BUY),
        (None, 1, SIDE.BUY),
    ],
)
def test_issue_size_check_skipped(log, issue_price, issue_size, side, make_validator):
    portfolio = Holder({(EX, LONG): holding(10**9)})
    v = make_validator(
        BondInstrument(EX, issue_price=issue_price, initial_issue_size=issue_size), portfolio=portfolio
    )
    order = Order(EX, 1000, side, POSITION_EFFECT.OPEN, position_direction=LONG)
    assert v.can_submit_order(order, Holder()) is True
    assert portfolio.lookups == [] and log.lines == []


def test_real_bond_position_closable(log):
    position = pytest.importorskip("korvane_mod_bond.position")
    from korvane.environment import Environment
    from korvane.testing import make_env

    env = make_env([BondInstrument(EX)], position_classes=[position.BondPosition])
    try:
        env.portfolio.get_position(EX, LONG)._old_quantity = 1000
        v = validator.BondValidator(env)
        assert v.can_submit_order(sell(EX, 1000), env.portfolio) is True
        assert v.can_submit_order(sell(EX, 1010), env.portfolio) is False
    finally:
        Environment.clear_instance()
    assert log.lines == [("warning", "订单创建失败:  019547.XSHG 的仓位不足, 目标平仓 1010, 可平仓位为 1000")]


def test_logs_through_the_framework_user_log(caplog, make_validator):
    make_validator(BondInstrument(IB)).can_submit_order(buy(IB, 10))
    assert [r.getMessage() for r in caplog.records] == ["下单失败，数量 10 不合法"]


@pytest.mark.parametrize("cls", [validator.BondValidator, validator.RepoValidator])
def test_construction_and_calls_bind_like_python(cls, monkeypatch):
    monkeypatch.setattr(AbstractFrontendValidator, "__init__", lambda _self: pytest.fail("base initialised"))
    env = object()
    v = cls(env=env)
    assert v._env is env and isinstance(v, AbstractFrontendValidator)
    assert vars(v) == {"_env": env}
    assert v.can_cancel_order(None) is True and v.can_cancel_order(order=None, account=None) is True
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'env'"):
        cls()
    with pytest.raises(TypeError, match="takes from 1 to 2 positional arguments but 3 were given"):
        v.can_submit_order(None, None, None)
    with pytest.raises(TypeError, match="unexpected keyword argument 'acount'"):
        v.can_submit_order(None, acount=None)


class _OtherSide(enum.Enum):
    BUY = "ANOTHER BUY"


@pytest.mark.parametrize("other_side", [_OtherSide, SimpleNamespace(BUY="ANOTHER BUY")])
@pytest.mark.usefixtures("log")
def test_enumerations_are_read_at_call_time(monkeypatch, other_side, make_validator):
    portfolio = Holder({(EX, LONG): holding(10**9)})
    v = make_validator(BondInstrument(EX, issue_price=100, initial_issue_size=1000), portfolio=portfolio)
    assert v.can_submit_order(buy(EX, 10), Holder()) is False
    monkeypatch.setattr(validator, "SIDE", other_side)  # a standard buy is no buy of this side
    assert v.can_submit_order(buy(EX, 10), Holder()) is True
    monkeypatch.undo()
    assert v.can_submit_order(buy(EX, 10), Holder()) is False
