"""Arguments bind to the C++ methods as to a Python signature, whether given by
position, by a keyword written in the source, or by a keyword whose name is
built at run time (a different string object of the same text)."""

import sys

import pytest

from korvane_mod_bond.transaction import BondTransactionDecider


def runtime(name):
    # Equal text, a distinct object: what `**mapping` hands over when the keys
    # were built while the program ran.
    built = "".join(list(name))
    assert built == name
    return built


FIGURES = dict(
    ib_commission_rate=0.5, ib_min_commission=1.0, exchange_commission_rate=0.25, exchange_max_commission=9
)


@pytest.mark.parametrize("as_runtime", [False, True])
def test_keywords_by_name_whatever_the_string_object(as_runtime):
    name = runtime if as_runtime else sys.intern
    d = BondTransactionDecider(**{name(k): v for k, v in FIGURES.items()})
    assert (d._ib_commission_rate, d._ib_min_commission) == (0.5, 1.0)
    assert (d._exchange_commission_rate, d._exchange_max_commission) == (0.25, 9)
    # keywords out of order, after a positional argument
    kwargs = {name("order_book_id"): "X.IB", name("quantity"): 4}
    assert d._get_commission(2.0, **kwargs) == 4.0
    assert d._get_commission(**{name("price"): 2.0}, **kwargs) == 4.0


def test_binding_errors_name_the_parameter():
    d = BondTransactionDecider(*FIGURES.values())
    with pytest.raises(TypeError, match=r"_get_commission\(\) got multiple values for argument 'price'"):
        d._get_commission(2.0, **{runtime("price"): 3.0, "quantity": 1, "order_book_id": "X.IB"})
    with pytest.raises(TypeError, match=r"_get_commission\(\) got an unexpected keyword argument 'prize'"):
        d._get_commission(prize=2.0, quantity=1, order_book_id="X.IB")
    with pytest.raises(
        TypeError,
        match=r"_get_commission\(\) missing 2 required positional arguments: 'quantity' and 'order_book_id'",
    ):
        d._get_commission(2.0)
    with pytest.raises(TypeError, match=r"_get_commission\(\) takes 3 positional arguments but 4 were given"):
        d._get_commission(2.0, 1, "X.IB", 5)


def test_names_handed_to_python_are_interned(monkeypatch):
    # Interned names match the callee's parameters and later attribute reads by
    # identity; equal but distinct strings would fall back to comparing text.
    import datetime

    from korvane.environment import Environment
    from korvane.model.trade import Trade
    from korvane.testing import make_env

    from korvane_mod_bond import position
    from korvane_mod_bond.data import BondInstrument, RepoInstrument
    from korvane_mod_bond.trade import RepoTrade

    received = []
    factory = Trade.__dict__["__from_create__"].__func__

    def recording(cls, *args, **kwargs):
        received.extend(kwargs)
        return factory(cls, *args, **kwargs)

    monkeypatch.setattr(Trade, "__from_create__", classmethod(recording))
    make_env(
        [RepoInstrument("204001.XSHG", repo_period=1), BondInstrument("019547.XSHG")],
        trading_dt=datetime.datetime(2024, 9, 20, 15),
    )
    try:
        trade = RepoTrade.create_repo_trade(0.02, 1e6, "204001.XSHG", None, 0.9, "019547.XSHG", 100)
    finally:
        Environment.clear_instance()
    assert len(received) == 9 and "due_settlement_date" in received
    assert all(sys.intern(name) is name for name in received)
    assert all(sys.intern(name) is name for name in vars(trade))
    for layout in (position.CASH_FLOW_DTYPES, position.IMPLIED_CASH_FLOW_DTYPES):
        assert all(sys.intern(name) is name for name, _ in layout)
