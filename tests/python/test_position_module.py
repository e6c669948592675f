"""The position module as a whole: the instrument types its classes serve, its
proxies, and its load (trade's first, classes that outlive the module object)."""

from types import SimpleNamespace

import pytest
from compiled_helpers import EXCHANGE_BOND, LONG, REPO_1D, SHORT, day, environment, repo_trade, run_python
from korvane.const import INSTRUMENT_TYPE
from korvane.portfolio.position import Position

from korvane_mod_bond import position as P


@pytest.mark.parametrize(
    "cls, instrument_type",
    [
        (P.BondPosition, INSTRUMENT_TYPE.BOND),
        (P.BondPositionWithRealizedCashFlow, None),
        (P.BondPositionWithImpliedCashFlow, None),
        (P.RepoPosition, INSTRUMENT_TYPE.REPO),
        (P.BondPositionProxy, INSTRUMENT_TYPE.BOND),
        (P.RepoPositionProxy, INSTRUMENT_TYPE.REPO),
    ],
)
def test_instrument_types(cls, instrument_type):
    if instrument_type is None:  # a cash-flow variant shares its parent's tuple
        assert "__instrument_types__" not in vars(cls)
        assert cls.__instrument_types__ is P.BondPosition.__instrument_types__
    else:
        assert type(cls.__instrument_types__) is tuple and cls.__instrument_types__ == (instrument_type,)


def test_repo_position_aliases():
    assert P.RepoPosition.position_pnl is P.RepoPosition.trading_pnl
    assert P.RepoPosition.market_value is P.RepoPosition.margin


@pytest.mark.parametrize(
    "proxy, instrument_type",
    [(P.BondPositionProxy, INSTRUMENT_TYPE.BOND), (P.RepoPositionProxy, INSTRUMENT_TYPE.REPO)],
)
@pytest.mark.parametrize("wrapped", ["bond", "repo", "plain", None])
def test_proxy_type_whatever_it_wraps(proxy, instrument_type, wrapped):
    environment()
    position = {
        "bond": lambda: P.BondPosition(EXCHANGE_BOND, LONG),
        "repo": lambda: P.RepoPosition(REPO_1D, SHORT),
        "plain": lambda: Position("000001.XSHE", LONG),
        None: lambda: SimpleNamespace(),
    }[wrapped]()
    assert proxy(position).type is instrument_type


def test_bond_proxy_shows_pledges_and_receivable():
    env = environment()
    held = env.portfolio.get_position(EXCHANGE_BOND, LONG)
    held._old_quantity = 1000
    held.apply_trade(repo_trade(day("2024-09-23"), 1000, 1001, pledged_quantity=300))
    held._payment_receivable = 250.0
    proxy = P.BondPositionProxy(held)
    assert proxy.closable == 700 and proxy.equity == 250.0


# ----------------------------------------------------------------- loading


def test_loading_brings_the_trade_module_in_first():
    result = run_python(
        """
        import sys
        import korvane_mod_bond.position as position
        trade = sys.modules["korvane_mod_bond.trade"]
        print(position.RepoTrade is trade.RepoTrade)
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["True"]


def test_classes_outlive_their_module_object():
    result = run_python(
        """
        import gc, sys
        import korvane_mod_bond
        from korvane.testing import make_env
        from korvane_mod_bond.data import BondInstrument
        from korvane_mod_bond.position import BondPosition
        del sys.modules["korvane_mod_bond.position"], korvane_mod_bond.position
        gc.collect()
        make_env([BondInstrument("019547.XSHG")])
        print(type(BondPosition("019547.XSHG", "LONG")).__name__)
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["BondPositionWithRealizedCashFlow"]
