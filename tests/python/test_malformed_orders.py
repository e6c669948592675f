"""Orders and trades that are not what they should be, given to the validators,
the cost deciders, the repo trade factories and the positions: attributes
missing, None, text, NaN, huge numbers, and objects whose every operator
misbehaves. Whatever comes in, the answer is a verdict, a number or a Python
exception the caller can catch; never a crash and never SystemError (the mark
of a C-API call left with an error set, or a NULL with none).
"""

import contextlib
import copy
import datetime
import math
from decimal import Decimal
from fractions import Fraction
from types import SimpleNamespace

import numpy as np
import pytest
from compiled_helpers import Holder
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st
from korvane.const import POSITION_DIRECTION, POSITION_EFFECT, SIDE
from korvane.environment import Environment
from korvane.testing import make_env

from korvane_mod_bond import position as P
from korvane_mod_bond import transaction, validator
from korvane_mod_bond.data import BondInstrument, RepoInstrument
from korvane_mod_bond.trade import RepoTrade

EX, IB, REPO = "019547.XSHG", "190210.IB", "204001.XSHG"
DUE = datetime.date(2024, 9, 23)
MISSING = object()  # the attribute is not there at all


class Hostile:
    """Every operator raises."""

    def _raise(self, *_args):
        raise ArithmeticError("hostile operand")

    __eq__ = __ne__ = __lt__ = __le__ = __gt__ = __ge__ = _raise
    __add__ = __radd__ = __sub__ = __rsub__ = __mul__ = __rmul__ = _raise
    __truediv__ = __rtruediv__ = __mod__ = __rmod__ = __neg__ = __bool__ = __float__ = _raise
    __hash__ = object.__hash__

    def __format__(self, spec):
        raise ArithmeticError("cannot be shown")

    __str__ = __repr__ = lambda _self: "<hostile>"


class Ambiguous:
    """Comparisons answer with arrays, whose truth is an error."""

    def _array(self, *_args):
        return np.array([True, False])

    __eq__ = __ne__ = __lt__ = __le__ = __gt__ = __ge__ = __mod__ = __mul__ = __rmul__ = _array
    __hash__ = object.__hash__


class Unimplemented:
    """Every operator declines."""

    def _no(self, *_args):
        return NotImplemented

    __eq__ = __ne__ = __lt__ = __le__ = __gt__ = __ge__ = __mod__ = __rmod__ = _no
    __add__ = __radd__ = __sub__ = __rsub__ = __mul__ = __rmul__ = __truediv__ = __rtruediv__ = _no
    __hash__ = object.__hash__


BAD = [
    None,
    "1000",
    "%d",
    "",
    b"1000",
    math.nan,
    math.inf,
    -math.inf,
    -1,
    0,
    10**30,
    -(10**400),
    1e308,
    True,
    [],
    {},
    (1000,),
    object(),
    Decimal("1000"),
    Decimal("NaN"),
    Fraction(1, 3),
    np.float64(1000),
    np.int64(1000),
    np.array([1000, 1000]),
    1000 + 1j,
    Hostile(),
    Ambiguous(),
    Unimplemented(),
]


def value(good):
    """A field's value: usually one a real order carries, often a bad one or none at all."""
    return st.one_of(st.sampled_from(good), st.sampled_from(BAD), st.just(MISSING))


def fields(**choices):
    return st.fixed_dictionaries({name: value(good) for name, good in choices.items()})


def thing(values):
    obj = SimpleNamespace()
    for name, v in values.items():
        if v is not MISSING:
            setattr(obj, name, v)
    return obj


ORDER = fields(
    order_book_id=[EX, IB, REPO, "unknown"],
    quantity=[1000, 1000.0, 990, 1005, 1e9],
    side=[SIDE.BUY, SIDE.SELL, SIDE.FINANCING, SIDE.MARGIN],
    position_effect=[POSITION_EFFECT.OPEN, POSITION_EFFECT.CLOSE],
    position_direction=[POSITION_DIRECTION.LONG, POSITION_DIRECTION.SHORT],
    frozen_price=[100.0, 99.5],
    bond_order_book_id=[EX, IB],
    haircut=[0.9, 1],
)
TRADE = fields(
    order_book_id=[EX, IB, REPO],
    last_price=[100.0, 0.02],
    last_quantity=[1000, 900_000.0],
)
BOND_INSTRUMENT = fields(round_lot=[10, 100], initial_issue_size=[1e6, 0], issue_price=[100.0])
HOLDING = fields(quantity=[0, 9000], closable=[0, 1000])
pytestmark = pytest.mark.filterwarnings("ignore::RuntimeWarning")
SETTINGS = settings(
    max_examples=300, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture]
)


def outcome(call):
    """The result of `call()`, or the exception it raised, which must be one a caller can handle."""
    try:
        return call()
    except SystemError:
        raise
    except RuntimeError as error:
        pytest.fail(f"C++ failure surfaced as RuntimeError: {error}")
    except Exception as error:  # anything else is the Python answer
        return error


def check_verdict(result, log, warnings_on_pass):
    if isinstance(result, Exception):
        assert log.lines == []  # a refusal is logged only when it is the answer
    elif result is False:
        assert len(log.lines) == 1
    else:
        assert result is True and len(log.lines) <= warnings_on_pass


@SETTINGS
@given(order=ORDER, ins=BOND_INSTRUMENT, held=HOLDING, exchange=st.booleans())
def test_bond_validator(log, monkeypatch, order, ins, held, exchange):
    del log.lines[:]
    instrument = BondInstrument(EX)
    vars(instrument).update({k: v for k, v in ins.items() if v is not MISSING})
    position = thing(held)
    holder = SimpleNamespace(get_position=lambda _order_book_id, _direction: position)
    env = SimpleNamespace(
        data_proxy=SimpleNamespace(instruments=lambda _order_book_id: instrument), portfolio=holder
    )
    monkeypatch.setattr(validator, "is_exchange_bond", lambda _order_book_id: exchange)
    v = validator.BondValidator(env)
    result = outcome(lambda: v.can_submit_order(thing(order), holder))
    check_verdict(result, log, warnings_on_pass=0)
    assert v.can_cancel_order(thing(order)) is True


@SETTINGS
@given(
    order=ORDER,
    held=HOLDING,
    exchange=value(["XSHE", "XSHG", "IB"]),
    issue_price=value([100.0]),
    lookup=st.sampled_from(["three", "two", "four", "not iterable", "raises"]),
)
def test_repo_validator(log, monkeypatch, order, held, exchange, issue_price, lookup):
    del log.lines[:]
    repo = thing({"exchange": exchange})
    bond = thing({"issue_price": issue_price})

    def get_account_position_ins(order_book_id):
        three = (Holder(), thing(held), bond if order_book_id in (EX, IB) else repo)
        return {
            "three": three,
            "two": three[:2],
            "four": three + (None,),
            "not iterable": 3,
            "raises": (item() for item in (Holder, lambda: 1 / 0)),
        }[lookup]

    monkeypatch.setattr(validator, "_get_account_position_ins", get_account_position_ins)
    v = validator.RepoValidator(None)
    result = outcome(lambda: v.can_submit_order(thing(order), None))
    check_verdict(result, log, warnings_on_pass=1)


@SETTINGS
@given(
    order=ORDER,
    trade=TRADE,
    figures=st.lists(value([0.00005, 1.0, 0.0001, 5.0]), min_size=4, max_size=4),
    exchange=st.booleans(),
)
def test_cost_deciders(monkeypatch, order, trade, figures, exchange):
    monkeypatch.setattr(transaction, "is_exchange_bond", lambda _order_book_id: exchange)
    monkeypatch.setattr(transaction, "calc_repo_commission", lambda _order_book_id, amount: amount * 1e-5)
    bond = outcome(lambda: transaction.BondTransactionDecider(*figures))
    for decider in (bond, transaction.RepoTransactionDecider()):
        if isinstance(decider, Exception):
            continue
        outcome(lambda d=decider: d.get_trade_commission(thing(trade)))
        outcome(lambda d=decider: d.get_order_transaction_cost(thing(order)))
        outcome(lambda d=decider: d.get_trade_tax(thing(trade)))


@contextlib.contextmanager
def environment():
    """A fresh environment for each example: what one example booked never reaches the next."""
    env = make_env(
        [BondInstrument(EX), BondInstrument(IB), RepoInstrument(REPO, repo_period=7)],
        position_classes=[P.BondPosition, P.RepoPosition],
        trading_dt="2024-09-20 15:00",
    )
    try:
        yield env
    finally:
        Environment.clear_instance()


TERMS = fields(
    price=[0.02, 0.018],
    amount=[1_000_000, 1e6],
    repo_period=[1, 7],
    haircut=[0.9, 1],
    bond_id=[EX],
    pledged_quantity=[10_000, 0],
)


@SETTINGS
@given(terms=TERMS)
def test_repo_trade_factories(terms):
    given_terms = {k: v for k, v in terms.items() if v is not MISSING}
    price, amount = given_terms.pop("price", None), given_terms.pop("amount", None)
    with environment():
        outcome(lambda: RepoTrade.create_repo_trade(price, amount, REPO, **given_terms))
        period = given_terms.get("repo_period")
        outcome(lambda: RepoTrade.create_reverse_repo_trade(price, amount, REPO, period))
        outcome(lambda: RepoTrade.calc_max_amount(REPO, amount))


def repo_trade(fields):
    """A RepoTrade made by the host's factory with whatever fields it is given.

    A mutable value is the trade's own copy: the pledge book holds the trade's
    quantity itself and a later `+=` changes it in place, which must not reach
    the next example through the shared list of bad values."""
    fields = {k: copy.copy(v) for k, v in fields.items() if v is not MISSING}
    return super(RepoTrade, RepoTrade).__from_create__(
        None,
        0.02,
        fields.pop("last_quantity", 0),
        SIDE.FINANCING,
        POSITION_EFFECT.OPEN,
        REPO,
        commission=fields.pop("commission", 0.0),
        **fields,
    )


REPO_TRADE = fields(
    last_quantity=[900_000.0],
    due_settlement_date=[DUE, DUE - datetime.timedelta(days=3)],
    due_settlement_amount=[900_147.9],
    bond_id=[EX],
    pledged_quantity=[10_000],
    commission=[9.0],
)


def shown(v):
    """A booked value as text (so that a NaN compares equal to itself), or, for
    an array, the object itself: a quantity is a number, and an array that
    stands in for one is changed in place by the host's `+=` (the position's
    step that adds the trade), which no rollback can undo."""
    return ("array", id(v)) if isinstance(v, np.ndarray) else repr(v)


def booked(repo, bond):
    """What a repo trade books.

    Pledges of mixed number types may not add up (a float and a Decimal): the
    sum's error is then what the pledge book shows."""
    book = {k: tuple(shown(x) for x in v) for k, v in repo._due_settlement_dict.items()}
    held = repo._old_quantity, repo._today_quantity
    # An array quantity is changed in place by `+=`, and the host's own settlement
    # rolls it into a new one: what it holds says nothing of a half-booked trade.
    quantity = "an array" if any(isinstance(v, np.ndarray) for v in held) else repr(repo.quantity)
    return (quantity, book), repr(outcome(lambda: bond.pledged_quantity))


LATER_NONE_DUE = {"due_settlement_date": DUE, "due_settlement_amount": None}
GOOD_REPO_TRADE = dict(
    last_quantity=900_000.0,
    due_settlement_date=DUE - datetime.timedelta(days=3),
    due_settlement_amount=900_147.9,
    bond_id=EX,
    pledged_quantity=10_000,
    commission=9.0,
)


@SETTINGS
@given(trades=st.lists(REPO_TRADE, min_size=1, max_size=3))
@example(trades=[{**GOOD_REPO_TRADE, "commission": None}])
@example(trades=[GOOD_REPO_TRADE, {**GOOD_REPO_TRADE, **LATER_NONE_DUE}])  # settles the first, not the second
@example(
    trades=[
        {**GOOD_REPO_TRADE, "pledged_quantity": float("nan")},
        {**GOOD_REPO_TRADE, "pledged_quantity": Decimal("1000"), "due_settlement_date": DUE},
    ]
)
@example(  # an array quantity, then a trade whose transaction cost cannot be had
    trades=[
        {**GOOD_REPO_TRADE, "last_quantity": np.array([1000, 1000])},
        {**GOOD_REPO_TRADE, "last_quantity": 900_000, "commission": None},
    ]
)
def test_a_repo_trade_that_cannot_be_booked_changes_nothing(trades):
    with environment() as env:
        repo = P.RepoPosition(REPO, POSITION_DIRECTION.SHORT)
        bond = env.portfolio.get_position(EX, POSITION_DIRECTION.LONG)
        for fields in trades:
            before = booked(repo, bond)
            if isinstance(outcome(lambda f=fields: repo.apply_trade(repo_trade(f))), Exception):
                assert booked(repo, bond) == before
        before = booked(repo, bond)[0]
        if isinstance(outcome(lambda: repo.settlement(DUE)), Exception):
            assert booked(repo, bond)[0] == before  # no entry half settled
