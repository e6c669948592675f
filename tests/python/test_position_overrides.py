"""What a bond position reads through its own attributes follows a subclass,
a class patched at run time and a rebound host name, as Python code would; so
does what the compiled modules call through their namespaces (the cash-flow
memos, the host's functions) and through a position (its cash-flow hooks),
however fast the path that usually finds them."""

import datetime
import enum
import sys
import textwrap

import pytest
from compiled_helpers import (
    EXCHANGE_BOND,
    IB_BOND,
    LONG,
    REPO_1D,
    SHORT,
    day,
    environment,
    implied_frames,
    realized_frames,
    repo_trade,
    run_python,
)
from korvane.portfolio.position import Position
from korvane.testing import make_trade

from korvane_mod_bond import position as P
from korvane_mod_bond import transaction as X


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


# ------------------------------------ rebinding what the modules call on every day

ON, NEXT = day("2024-09-23"), day("2024-09-24")
BOTH = pytest.mark.parametrize("order_book_id", [EXCHANGE_BOND, IB_BOND])
MEMOS = pytest.mark.parametrize(
    "order_book_id, memo", [(EXCHANGE_BOND, "_all_real_cash_flow"), (IB_BOND, "_all_implied_cash_flow")]
)


def paying(order_book_id):
    """100 of a bond that pays 2.0 on ON and 3.0 on NEXT, its day run once so
    that whatever the module keeps between calls is kept."""
    environment()
    if order_book_id == EXCHANGE_BOND:
        realized_frames({order_book_id: [("2024-09-23", 2.0, 0.0), ("2024-09-24", 3.0, 0.0)]})
    else:
        implied_frames({order_book_id: [("2024-09-23", 2.0, 2.0, 0.0), ("2024-09-24", 3.0, 3.0, 0.0)]})
    pos = P.BondPosition(order_book_id, LONG, 100)
    pos.before_trading(ON)
    assert pos.settlement(ON) == 200.0
    return pos


@MEMOS
def test_a_rebound_memo_is_the_one_called(order_book_id, memo, monkeypatch):
    pos = paying(order_book_id)
    original, asked = getattr(P, memo), []

    def later_days(*args):
        asked.append(args)
        return original(*args)[1:]  # the table without its first day

    monkeypatch.setattr(P, memo, later_days)
    assert pos._get_cash_flow(ON) == (0.0, False) and pos._get_cash_flow(NEXT) == (3.0, False)
    assert asked == [(order_book_id,)] * 2
    monkeypatch.undo()
    assert pos._get_cash_flow(ON) == (2.0, False) and len(asked) == 2


@MEMOS
def test_a_deleted_memo_is_missed_and_a_restored_one_found(order_book_id, memo):
    pos = paying(order_book_id)
    original = vars(P).pop(memo)
    try:
        with pytest.raises(NameError, match=r"^name '{}' is not defined$".format(memo)):
            pos.before_trading(ON)
    finally:
        vars(P).update({memo: original})  # put back as module.__dict__.update does it
    assert pos._get_cash_flow(ON) == (2.0, False)


@BOTH
def test_a_rebound_host_function_is_the_one_called(order_book_id, monkeypatch):
    pos = paying(order_book_id)
    convert = P.convert_date_to_date_int
    monkeypatch.setattr(
        P, "convert_date_to_date_int", lambda date: convert(date + datetime.timedelta(days=1))
    )
    assert pos._get_cash_flow(ON) == (3.0, False)  # read as the next day
    assert pos.settlement(ON) == 300.0
    monkeypatch.undo()
    assert pos._get_cash_flow(ON) == (2.0, False)


def test_a_rebound_host_function_of_the_cost_decider_is_the_one_called(monkeypatch):
    environment()
    decider = X.BondTransactionDecider(0.5, 1.0, 0.25, 9)
    exchange, inter_bank = (make_trade(i, 10, 100.0) for i in (EXCHANGE_BOND, IB_BOND))
    as_exchange, as_inter_bank = (
        decider.get_trade_commission(exchange),
        decider.get_trade_commission(inter_bank),
    )
    assert as_exchange != as_inter_bank
    monkeypatch.setattr(X, "is_exchange_bond", lambda _order_book_id: False)
    assert decider.get_trade_commission(exchange) == as_inter_bank
    monkeypatch.undo()
    assert decider.get_trade_commission(exchange) == as_exchange


# What each hook's replacement does to a day, against the 300.0 (3.0 on 100)
# that the bond's own hooks book on NEXT.
REPLACED = {
    "_get_cash_flow": (lambda _self, _date: (0.5, False), "settled", 50.0),
    "_get_cash_flow_receivable": (lambda _self, _date: 0.25, "receivable", 25.0),
    "_get_day_cash_flow": (lambda _self, _date: (0.5, 0.25, False), "settled", 50.0),
}
HOOKS = pytest.mark.parametrize(
    "order_book_id, hook",
    [(EXCHANGE_BOND, "_get_cash_flow"), (EXCHANGE_BOND, "_get_cash_flow_receivable")]
    + [(IB_BOND, hook) for hook in REPLACED],
)


def booked_on_next(pos, what):
    if what == "settled":
        return pos.settlement(NEXT)
    before = pos._payment_receivable
    pos.before_trading(NEXT)
    return pos._payment_receivable - before


@HOOKS
def test_a_subclass_overriding_a_hook(order_book_id, hook):
    pos = paying(order_book_id)
    replacement, what, expected = REPLACED[hook]
    own = type(pos)
    pos.__class__ = type("Overriding", (own,), {hook: replacement})
    assert booked_on_next(pos, what) == expected
    pos.__class__ = own
    assert booked_on_next(pos, what) == 300.0


@HOOKS
def test_an_instance_attribute_shadowing_a_hook(order_book_id, hook):
    pos = paying(order_book_id)
    replacement, what, expected = REPLACED[hook]
    setattr(pos, hook, lambda date: replacement(pos, date))
    assert booked_on_next(pos, what) == expected
    delattr(pos, hook)
    assert booked_on_next(pos, what) == 300.0


@HOOKS
def test_a_hook_patched_on_the_class_after_its_instances_exist(order_book_id, hook, monkeypatch):
    pos = paying(order_book_id)
    replacement, what, expected = REPLACED[hook]
    monkeypatch.setattr(type(pos), hook, replacement)
    assert booked_on_next(pos, what) == expected
    monkeypatch.undo()
    assert booked_on_next(pos, what) == 300.0


# The process-wide side: one watch of the namespaces serves the four modules
# from Python 3.12, and an interpreter may have none left to give.
REBINDINGS = """
    import importlib, sys
    from compiled_helpers import EXCHANGE_BOND
    from test_position_overrides import ON, paying
    from korvane_mod_bond import position as P, transaction, validator, trade

    pos = paying(EXCHANGE_BOND)
    memo = P._all_real_cash_flow
    P._all_real_cash_flow = lambda *args: None
    assert pos._get_cash_flow(ON) == (0.0, False)
    importlib.reload(P)  # the same namespace, changed by the reload's own bookkeeping
    P._all_real_cash_flow = memo
    assert pos._get_cash_flow(ON) == (2.0, False)
    del P._all_real_cash_flow
    try:
        pos._get_cash_flow(ON)
    except NameError as e:
        print(e)
    vars(P).update(_all_real_cash_flow=lambda *args: None)
    assert pos._get_cash_flow(ON) == (0.0, False)
    print("ok")
"""


@pytest.mark.parametrize("watchers_left", [True, False], ids=["watched", "no dict watcher left"])
def test_rebinding_in_a_fresh_interpreter(watchers_left):
    if not watchers_left and sys.version_info < (3, 12):
        pytest.skip("dict watchers exist from Python 3.12")
    take_them_all = (
        """
        import _testcapi
        try:
            while True:
                _testcapi.add_dict_watcher(0)
        except RuntimeError:
            pass
        """
        if not watchers_left
        else ""
    )
    done = run_python(textwrap.dedent(take_them_all) + textwrap.dedent(REBINDINGS), timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == ["name '_all_real_cash_flow' is not defined", "ok"]


class NameAlike:
    """An instance-dict key that hashes like `name` and compares as `equal` says:
    the instance dict's look-up of the hook's name runs Python code."""

    def __init__(self, name, equal):
        self.name, self.equal = name, equal

    def __hash__(self):
        return hash(self.name)

    def __eq__(self, other):
        return self.equal(other)


def refuse(_other):
    raise LookupError("not comparable")


@pytest.mark.parametrize(
    "equal, expected",
    [
        (lambda other: other == "_get_cash_flow", 50.0),  # an instance attribute after all
        (lambda _other: False, 300.0),  # a stranger: the class's own hook
        (refuse, LookupError),
    ],
)
def test_an_instance_dict_key_that_hashes_like_a_hook(equal, expected):
    pos = paying(EXCHANGE_BOND)
    vars(pos)[NameAlike("_get_cash_flow", equal)] = lambda _date: (0.5, False)
    if expected is LookupError:
        with pytest.raises(LookupError, match="^not comparable$"):
            pos.settlement(NEXT)
    else:
        assert pos.settlement(NEXT) == expected
