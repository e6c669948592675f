"""Bond positions: pledge book, receivable, day start and settlement, variant choice."""

import pytest
from compiled_helpers import (
    EXCHANGE_BOND,
    IB_BOND,
    LONG,
    buy,
    day,
    environment,
    implied_frames,
    realized_frames,
    repo_trade,
    sell,
)
from korvane.const import SIDE
from korvane.portfolio.position import Position
from korvane.testing import make_trade

from korvane_mod_bond import position as P

REALIZED, IMPLIED = P.BondPositionWithRealizedCashFlow, P.BondPositionWithImpliedCashFlow


@pytest.fixture
def holding():
    def holding(order_book_id, quantity, valuation_source=None):
        environment(valuation_source=valuation_source)
        return P.BondPosition(order_book_id, LONG, quantity)

    return holding


@pytest.fixture
def payments():
    def payments(order_book_id, rows):
        """Cash-flow rows (date, paid, principal) for the variant the bond gets: the
        implied table also states each paid amount as that day's receivable."""
        if order_book_id == EXCHANGE_BOND:
            realized_frames({order_book_id: rows})
        else:
            implied_frames({order_book_id: [(d, paid, paid, principal) for d, paid, principal in rows]})

    return payments


BOTH = pytest.mark.parametrize("order_book_id", [EXCHANGE_BOND, IB_BOND])


# ------------------------------------------------------------------ core


@BOTH
def test_new_position_adds_nothing_to_the_base(order_book_id, holding):
    pos = holding(order_book_id, 1000)
    assert pos.pledged_quantity == 0 and type(pos.pledged_quantity) is int
    assert pos.closable == Position.closable.fget(pos) == 1000
    assert pos.equity == Position.equity.fget(pos)
    assert pos._payment_receivable == 0 and type(pos._payment_receivable) is int
    assert pos._instrument is pos._env.data_proxy.instruments(order_book_id)
    state = pos.get_state()
    assert state["payment_receivable"] == 0 and type(state["payment_receivable"]) is int


def test_buys_and_sells_are_the_bases_own(holding):
    pos = holding(EXCHANGE_BOND, 0)
    plain = Position(EXCHANGE_BOND, LONG)
    for trade in (buy(EXCHANGE_BOND, 500, 101.5, commission=3.0), sell(EXCHANGE_BOND, 200, 102.0)):
        got, expected = pos.apply_trade(trade), plain.apply_trade(trade)
        assert got == expected and type(got) is type(expected)
    assert pos.get_state() == {**plain.get_state(), "payment_receivable": 0}
    assert dict(pos._due_settlement_dict) == {}


def test_financing_trades_fill_the_pledge_book(holding):
    pos = holding(EXCHANGE_BOND, 100)
    monday, tuesday = day("2024-09-23"), day("2024-09-24")
    for due, pledged in [(monday, 100), (monday, 50), (tuesday, 30)]:
        assert pos.apply_trade(repo_trade(due, 900_000, 900_100, pledged_quantity=pledged)) is None
    assert dict(pos._due_settlement_dict) == {monday: 150, tuesday: 30}
    assert pos.pledged_quantity == 180
    assert pos.closable == -80  # not clamped
    assert pos.quantity == 100 and pos._payment_receivable == 0


def test_financing_trade_of_the_wrong_class_changes_nothing(holding):
    pos = holding(EXCHANGE_BOND, 1000)
    due = day("2024-09-23")
    trade = make_trade(
        EXCHANGE_BOND, 1, 100.0, side=SIDE.FINANCING, due_settlement_date=due, pledged_quantity=10
    )
    before = pos.get_state()
    with pytest.raises(TypeError) as err:
        pos.apply_trade(trade)
    message = "financing trade requires type of RepoTrade, current type: <class 'korvane.model.trade.Trade'>"
    assert str(err.value) == message
    assert dict(pos._due_settlement_dict) == {} and pos.get_state() == before


@pytest.mark.parametrize(
    "saved, receivable",
    [({"old_quantity": 7, "payment_receivable": 350.0}, 350.0), ({"old_quantity": 7}, 0)],
)
def test_state_round_trip_keeps_the_receivable_not_the_pledges(saved, receivable, holding):
    pos = holding(EXCHANGE_BOND, 1000)
    pos.apply_trade(repo_trade(day("2024-09-23"), 1000, 1001, pledged_quantity=25))
    pos._payment_receivable = 99.0
    pos.set_state(saved)
    assert pos.quantity == 7
    assert pos._payment_receivable == receivable and type(pos._payment_receivable) is type(receivable)
    assert dict(pos._due_settlement_dict) == {day("2024-09-23"): 25}
    state = pos.get_state()
    assert state["payment_receivable"] == receivable
    fresh = P.BondPosition(EXCHANGE_BOND, LONG)
    fresh.set_state(state)
    assert fresh._payment_receivable == receivable and fresh.quantity == 7 and fresh.pledged_quantity == 0
    pos.update_last_price(101.0)
    assert pos.equity == 101.0 * 7 + receivable


# ------------------------------------------------------ day start, settlement


@BOTH
def test_coupon_then_final_redemption(order_book_id, holding, payments):
    payments(order_book_id, [("2024-09-23", 3.5, 0.0), ("2025-09-23", 103.5, 100.0)])
    pos = holding(order_book_id, 1000)
    coupon_day, final_day = day("2024-09-23"), day("2025-09-23")
    assert pos.before_trading(day("2024-09-20")) == 0  # a quiet day
    paid = pos.settlement(day("2024-09-20"))
    assert paid == 0 and type(paid) is int
    assert pos._payment_receivable == 0.0 and type(pos._payment_receivable) is float

    assert pos.before_trading(coupon_day) == 0
    assert pos._payment_receivable == 3500.0
    paid = pos.settlement(coupon_day)
    assert paid == 3500.0 and type(paid) is float
    assert pos._payment_receivable == 0.0 and pos.quantity == 1000

    pos.before_trading(final_day)
    assert pos._payment_receivable == 103_500.0
    assert pos.settlement(final_day) == 103_500.0
    assert pos._payment_receivable == 0.0
    assert (pos._today_quantity, pos._old_quantity, pos.quantity) == (0, 0, 0)


@BOTH
def test_quantity_changed_within_a_payment_day(order_book_id, holding, payments):
    payments(order_book_id, [("2024-09-23", 1.5, 0.0)])
    pos = holding(order_book_id, 100)
    pos.before_trading(day("2024-09-23"))
    assert pos._payment_receivable == 150.0
    pos.apply_trade(sell(order_book_id, 40))
    assert pos.settlement(day("2024-09-23")) == 90.0
    assert pos._payment_receivable == 60.0


def test_de_listing_pays_with_the_quantity_held_before(holding, payments):
    payments(EXCHANGE_BOND, [("2024-09-23", 101.0, 100.0)])
    pos = holding(EXCHANGE_BOND, 300)
    pos.apply_trade(buy(EXCHANGE_BOND, 200))
    assert (pos._old_quantity, pos._today_quantity) == (300, 200)
    assert pos.settlement(day("2024-09-23")) == 101.0 * 500
    assert (pos._today_quantity, pos._old_quantity) == (0, 0)


def test_settlement_releases_pledges_due_on_or_before_the_day(holding):
    pos = holding(EXCHANGE_BOND, 1000)
    for due in ("2024-09-20", "2024-09-23", "2024-09-24"):
        pos.apply_trade(repo_trade(day(due), 1000, 1001, pledged_quantity=100))
    assert pos.settlement(day("2024-09-23")) == 0
    assert dict(pos._due_settlement_dict) == {day("2024-09-24"): 100}
    assert pos.pledged_quantity == 100 and pos.closable == 900


@BOTH
def test_no_cash_flow_table_books_nothing(order_book_id, holding):
    pos = holding(order_book_id, 1000)
    assert pos._get_cash_flow(day("2024-09-23")) == (0.0, False)
    assert pos._get_cash_flow_receivable(day("2024-09-23")) == 0.0
    pos.before_trading(day("2024-09-23"))
    assert pos.settlement(day("2024-09-23")) == 0 and pos.quantity == 1000


def test_the_hooks_are_abstract_on_bond_position(holding):
    pos = holding(EXCHANGE_BOND, 1000)
    for hook in (P.BondPosition._get_cash_flow, P.BondPosition._get_cash_flow_receivable):
        with pytest.raises(NotImplementedError) as err:
            hook(pos, day("2024-09-23"))
        assert err.value.args == ()


def test_a_hook_that_returns_no_pair_stops_settlement_after_the_base(holding):
    class Broken(REALIZED):
        def _get_cash_flow(self, date_):  # noqa: ARG002 (the overridden hook's signature)
            return (1.0, False, "extra")

    pos = holding(EXCHANGE_BOND, 0)
    pos.apply_trade(buy(EXCHANGE_BOND, 10))
    pos.__class__ = Broken
    with pytest.raises(ValueError, match=r"^too many values to unpack \(expected 2\)$"):
        pos.settlement(day("2024-09-23"))
    assert (pos._old_quantity, pos._today_quantity) == (10, 0)  # the base's roll-over happened


# --------------------------------------------------------- the two variants


@pytest.mark.parametrize(
    "order_book_id, valuation_source, expected",
    [
        (EXCHANGE_BOND, "exchange", REALIZED),
        (EXCHANGE_BOND, "implied", REALIZED),
        (IB_BOND, "exchange", REALIZED),
        (IB_BOND, "implied", IMPLIED),
        (IB_BOND, "EXCHANGE", IMPLIED),
    ],
)
@pytest.mark.parametrize("called", [P.BondPosition, REALIZED, IMPLIED])
def test_variant_follows_the_market_and_the_valuation_source(
    order_book_id, valuation_source, expected, called
):
    environment(valuation_source=valuation_source)
    pos = called(order_book_id, LONG, 10)
    assert type(pos) is expected
    assert pos.quantity == 10 and pos._order_book_id == order_book_id


def test_exchange_bonds_never_read_the_configuration():
    env = environment()
    del env.config.mod.bond._data["valuation_source"]
    assert type(P.BondPosition(EXCHANGE_BOND, LONG)) is REALIZED
    with pytest.raises(AttributeError, match="mod.bond.valuation_source"):
        P.BondPosition(IB_BOND, LONG)


@pytest.mark.parametrize(
    "called, order_book_id, expected",
    [
        (P.BondPosition, IB_BOND, IMPLIED),  # a subclass: the interpreter initialises it
        (IMPLIED, EXCHANGE_BOND, REALIZED),  # not a subclass: __new__ initialises it
        (REALIZED, IB_BOND, IMPLIED),
    ],
)
def test_every_new_position_is_initialised_exactly_once(monkeypatch, called, order_book_id, expected):
    environment()
    inits = []
    base_init = Position.__init__

    def counting_init(self, *args, **kwargs):
        inits.append((args, kwargs))
        base_init(self, *args, **kwargs)

    monkeypatch.setattr(Position, "__init__", counting_init)
    pos = called(order_book_id, direction=LONG, init_quantity=5)
    assert type(pos) is expected
    assert inits == [((order_book_id, LONG, 5), {})]
    assert pos.quantity == 5 and pos._payment_receivable == 0


@pytest.mark.parametrize("principal, de_listed", [(40.0, True), (39.99, False)])
@BOTH
def test_redemption_at_the_issue_price(order_book_id, principal, de_listed, holding, payments):
    payments(order_book_id, [("2024-09-23", 62.0, 60.0), ("2024-09-24", principal + 1.0, principal)])
    pos = holding(order_book_id, 10)
    assert pos._get_cash_flow(day("2024-09-23")) == (62.0, False)
    paid, flag = pos._get_cash_flow(day("2024-09-24"))
    assert (paid, flag) == (principal + 1.0, de_listed)
    assert type(paid) is float and type(flag) is bool


@pytest.mark.parametrize(
    "on, position_receivable, expected",
    [
        ("2024-09-20", 5.0, 0.0),  # no record that day
        ("2024-09-23", 7.0, 1.5),  # nothing paid: the day's receivable
        ("2024-09-24", 0, 2.0),  # paid, nothing booked before: the payment itself
        ("2024-09-24", 2000, 0.5),  # paid, booked before: the day's receivable
    ],
)
def test_implied_receivable_rule(on, position_receivable, expected, holding):
    implied_frames({IB_BOND: [("2024-09-23", 0.0, 1.5, 0.0), ("2024-09-24", 2.0, 0.5, 0.0)]})
    pos = holding(IB_BOND, 1000)
    pos._payment_receivable = position_receivable
    got = pos._get_cash_flow_receivable(day(on))
    assert got == expected and type(got) is float
    assert pos._get_cash_flow(day(on)) == ({"2024-09-24": 2.0}.get(on, 0.0), False)


def test_overridden_hooks_are_used():
    class Scripted(IMPLIED):
        def _get_day_cash_flow(self, date_):  # noqa: ARG002 (the overridden hook's signature)
            return (2.0, 0.5, True)

    class Paying(REALIZED):
        def _get_cash_flow(self, date_):  # noqa: ARG002 (the overridden hook's signature)
            return (1.25, False)

    environment()
    scripted = object.__new__(Scripted)
    scripted.__init__(IB_BOND, LONG, 100)
    assert scripted._get_cash_flow(day("2024-09-23")) == (2.0, True)
    assert scripted._get_cash_flow_receivable(day("2024-09-23")) == 2.0
    scripted.before_trading(day("2024-09-23"))
    assert scripted._payment_receivable == 200.0
    assert scripted.settlement(day("2024-09-23")) == 200.0 and scripted.quantity == 0

    paying = object.__new__(Paying)
    paying.__init__(EXCHANGE_BOND, LONG, 100)
    assert paying._get_cash_flow_receivable(day("2024-09-23")) == 1.25
    paying.before_trading(day("2024-09-23"))
    assert paying._payment_receivable == 125.0


def test_a_hook_set_on_the_instance_hides_the_class_one(holding):
    pos = holding(EXCHANGE_BOND, 100)
    pos._get_cash_flow = lambda date_: (0.75, False)  # noqa: ARG005 (the overridden hook's signature)
    pos.before_trading(day("2024-09-23"))
    assert pos._payment_receivable == 75.0
    assert pos.settlement(day("2024-09-23")) == 75.0
