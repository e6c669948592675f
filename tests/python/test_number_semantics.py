"""Arithmetic and comparisons made in C++ give what Python gives: the same
value, of the same type, or the same error. Floats with floats and small ints
take a shortcut there; everything else Python's own operators."""

import fractions
import math

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from korvane_mod_bond.transaction import BondTransactionDecider

numbers = st.one_of(
    st.floats(allow_nan=True, allow_infinity=True),
    st.integers(min_value=-(2**60), max_value=2**60),
    st.integers(min_value=2**52, max_value=2**54),  # around the last exactly representable ints
    st.sampled_from([2**1100, -(2**1100), 0, -0.0, True, False]),  # ints no double holds, bools
    st.floats(allow_nan=False, width=64).map(np.float64),
    st.fractions(max_denominator=100).map(fractions.Fraction),
)


def outcome(fn, *args):
    try:
        result = fn(*args)
    except Exception as e:  # the same kind of error, with the same words
        return ("raises", type(e), str(e))
    if isinstance(result, float) and math.isnan(result):
        return (type(result), "nan")
    return (type(result), repr(result))


def python_commission(price, quantity, rate, bound, exchange):
    value = price * quantity * rate
    if exchange:
        return bound if bound < value else value
    return bound if bound > value else value


@pytest.mark.filterwarnings("ignore::RuntimeWarning")  # NumPy's overflow notes, the same on both sides
@settings(max_examples=400, deadline=None)
@given(price=numbers, quantity=numbers, rate=numbers, bound=numbers, exchange=st.booleans())
def test_commission_arithmetic_is_pythons(price, quantity, rate, bound, exchange):
    order_book_id = "019547.XSHG" if exchange else "190210.IB"
    decider = BondTransactionDecider(rate, bound, rate, bound)
    ours = outcome(decider._get_commission, price, quantity, order_book_id)
    theirs = outcome(python_commission, price, quantity, rate, bound, exchange)
    assert ours == theirs


@pytest.mark.parametrize(
    "price, quantity",
    [
        (1.5, 2**53 + 1),  # rounds to a double the same way on both sides
        (1e308, 10),  # overflows to inf
        (0.1, -3),
        (float("nan"), 0),
        (2.0, 2**1100),  # too large for a double: OverflowError, as Python says it
    ],
)
def test_edges(price, quantity):
    decider = BondTransactionDecider(1.0, 0.0, 1.0, float("inf"))
    for order_book_id, exchange in (("X.XSHG", True), ("X.IB", False)):
        ours = outcome(decider._get_commission, price, quantity, order_book_id)
        bound = float("inf") if exchange else 0.0
        assert ours == outcome(python_commission, price, quantity, 1.0, bound, exchange)


@pytest.mark.parametrize("bound", [10, 10.0, 2**53, 2**53 + 1, -0.0])
@pytest.mark.parametrize("exchange", [True, False])
def test_ties_give_the_computed_value(bound, exchange):
    # A cap or floor equal to the value: the value, a float, whatever the bound's type.
    decider = BondTransactionDecider(1.0, bound, 1.0, bound)
    order_book_id = "X.XSHG" if exchange else "X.IB"
    for price, quantity in ((2.0, 5), (0.5, 2 * bound), (-0.0, 7)):
        ours = outcome(decider._get_commission, price, quantity, order_book_id)
        assert ours == outcome(python_commission, price, quantity, 1.0, bound, exchange)
