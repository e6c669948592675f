"""What a bond position reads through its own attributes follows a subclass,
a class patched at run time and a rebound host name, as Python code would."""

import enum

import pytest
from compiled_helpers import EXCHANGE_BOND, LONG, REPO_1D, SHORT, day, environment, repo_trade
from korvane.portfolio.position import Position

from korvane_mod_bond import position as P


def pledged(pos, **book):
    for due, quantity in book.items():
        pos._due_settlement_dict[due] += quantity
    return pos


def test_closable_nets_out_an_overriding_pledged_quantity():
    environment()

    class Counted(P.BondPositionWithRealizedCashFlow):
        @property
        def pledged_quantity(self):
            return 7

    pos = pledged(P.BondPosition(EXCHANGE_BOND, LONG, 1000), a=100)
    assert pos.closable == 900
    pos.__class__ = Counted
    assert pos.closable == Position.closable.fget(pos) - 7 == 993


def test_closable_follows_a_patched_class(monkeypatch):
    environment()
    pos = pledged(P.BondPosition(EXCHANGE_BOND, LONG, 1000), a=100)
    monkeypatch.setattr(P.BondPosition, "pledged_quantity", property(lambda _self: 40))
    assert pos.closable == 960
    monkeypatch.undo()
    assert pos.closable == 900


def test_an_instance_attribute_does_not_shadow_the_property():
    environment()
    pos = pledged(P.BondPosition(EXCHANGE_BOND, LONG, 1000), a=100)
    vars(pos)["pledged_quantity"] = 55  # a data descriptor wins over the instance dict
    assert pos.pledged_quantity == 100 and pos.closable == 900


def test_closable_through_a_class_with_its_own_attribute_lookup():
    environment()
    reads = []

    class Watched(P.BondPositionWithRealizedCashFlow):
        def __getattribute__(self, name):
            reads.append(name)
            return super().__getattribute__(name)

    pos = pledged(P.BondPosition(EXCHANGE_BOND, LONG, 1000), a=100)
    pos.__class__ = Watched
    assert pos.closable == 900
    assert "pledged_quantity" in reads


def test_a_rebound_side_enumeration_is_seen(monkeypatch):
    from korvane.testing import make_trade

    environment()
    pos = P.BondPosition(EXCHANGE_BOND, LONG, 1000)
    buy = make_trade(EXCHANGE_BOND, 10, 100.0)
    assert pos.apply_trade(buy) == -1000.0  # a buy, booked by the base

    class Side(str, enum.Enum):
        FINANCING = "BUY"  # every buy now counts as a financing trade

    monkeypatch.setattr(P, "SIDE", Side)
    with pytest.raises(TypeError, match="financing trade requires type of RepoTrade"):
        pos.apply_trade(buy)
    monkeypatch.undo()
    assert pos.apply_trade(buy) == -1000.0


@pytest.mark.parametrize(
    "quantities",
    [
        [100, 250],
        [2**62, 2**62],  # past 64 bits together
        [-(2**63), -1],
        [100, 2.5],
        [True, 3],
        [0.1, 0.2, 0.3],  # float sums as sum() makes them
        [10**30, -(10**30), 5],
    ],
)
def test_pledged_quantity_is_the_sum_of_the_book(quantities):
    environment()
    pos = P.BondPosition(EXCHANGE_BOND, LONG, 1000)
    for i, quantity in enumerate(quantities):
        pos._due_settlement_dict[i] = quantity
    expected = sum(quantities)
    assert pos.pledged_quantity == expected and type(pos.pledged_quantity) is type(expected)
    assert pos.closable == 1000 - expected


def test_a_rebound_direction_enumeration_is_seen_by_the_repo_position(monkeypatch):
    env = environment()
    held = env.portfolio.get_position(EXCHANGE_BOND, LONG)
    repo = P.RepoPosition(REPO_1D, SHORT)
    repo.apply_trade(repo_trade(day("2024-09-23"), 1000, 1001, pledged_quantity=10))
    assert held.pledged_quantity == 10

    class Direction(str, enum.Enum):
        LONG = "LONG"
        SHORT = "NEITHER"  # no position is short any more

    monkeypatch.setattr(P, "POSITION_DIRECTION", Direction)
    repo.apply_trade(repo_trade(day("2024-09-24"), 1000, 1001, pledged_quantity=10))
    assert held.pledged_quantity == 10  # not handed to the bond
    monkeypatch.undo()
    repo.apply_trade(repo_trade(day("2024-09-25"), 1000, 1001, pledged_quantity=10))
    assert held.pledged_quantity == 20
