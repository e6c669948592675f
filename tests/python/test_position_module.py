"""The position module as a whole: what it binds at load, its constants, classes and proxies."""

import datetime
import os
import subprocess
import sys
import textwrap
from types import SimpleNamespace

import pytest
from korvane.const import INSTRUMENT_TYPE, POSITION_DIRECTION
from korvane.mod.korvane_mod_sys_accounts.position_model import StockPositionProxy
from korvane.portfolio.position import Position

from korvane_mod_bond import position as P

EXCHANGE_BOND = "019547.XSHG"
REPO_1D = "204001.XSHG"
LONG, SHORT = POSITION_DIRECTION.LONG, POSITION_DIRECTION.SHORT
day = datetime.date.fromisoformat

# Every module-level name, in the order the load binds it.
MODULE_NAMES = """
    defaultdict np bond lru_cache SIDE POSITION_DIRECTION Trade INSTRUMENT_TYPE Environment Position
    convert_date_to_date_int StockPositionProxy RepoTrade BondInstrument is_exchange_bond
    CASH_FLOW_DTYPES IMPLIED_CASH_FLOW_DTYPES _all_real_cash_flow _all_implied_cash_flow
    BondPosition BondPositionWithRealizedCashFlow BondPositionWithImpliedCashFlow RepoPosition
    BondPositionProxy RepoPositionProxy
""".split()


def test_names_are_bound_in_load_order():
    assert [name for name in vars(P) if not name.startswith("__")] == MODULE_NAMES
    import collections

    import numpy
    import pelvorn

    from korvane_mod_bond import trade, utils

    assert P.defaultdict is collections.defaultdict and P.np is numpy and P.bond is pelvorn.bond
    assert P.RepoTrade is trade.RepoTrade and P.is_exchange_bond is utils.is_exchange_bond


def test_layouts_are_plain_lists():
    assert P.CASH_FLOW_DTYPES == [
        ("payment_date", "i4"),
        ("cash_flow", "f8"),
        ("cum_principal_payment", "f8"),
    ]
    assert P.IMPLIED_CASH_FLOW_DTYPES == [
        ("date", "i4"),
        ("cash_flow", "f8"),
        ("cum_principal_payment", "f8"),
        ("payment_receivable", "f8"),
    ]
    for layout in (P.CASH_FLOW_DTYPES, P.IMPLIED_CASH_FLOW_DTYPES):
        assert type(layout) is list and all(type(field) is tuple for field in layout)


@pytest.mark.parametrize(
    "cls, base, instrument_type, members",
    [
        (
            P.BondPosition,
            Position,
            INSTRUMENT_TYPE.BOND,
            "__instrument_types__ __new__ __init__ set_state get_state equity pledged_quantity closable "
            "apply_trade before_trading settlement _get_cash_flow_receivable _get_cash_flow",
        ),
        (
            P.BondPositionWithRealizedCashFlow,
            P.BondPosition,
            None,
            "_get_cash_flow_receivable _get_cash_flow",
        ),
        (
            P.BondPositionWithImpliedCashFlow,
            P.BondPosition,
            None,
            "_get_day_cash_flow _get_cash_flow_receivable _get_cash_flow",
        ),
        (
            P.RepoPosition,
            Position,
            INSTRUMENT_TYPE.REPO,
            "__instrument_types__ trading_pnl position_pnl margin market_value equity "
            "__init__ apply_trade settlement",
        ),
        (P.BondPositionProxy, StockPositionProxy, INSTRUMENT_TYPE.BOND, "__instrument_types__ type"),
        (P.RepoPositionProxy, StockPositionProxy, INSTRUMENT_TYPE.REPO, "__instrument_types__ type"),
    ],
)
def test_class_tree_and_bodies(cls, base, instrument_type, members):
    assert cls.__bases__ == (base,)
    assert cls.__module__ == "korvane_mod_bond.position"
    implicit = ("__module__", "__doc__", "__dict__", "__weakref__")
    assert [name for name in vars(cls) if name not in implicit] == members.split()
    if instrument_type is None:  # a cash-flow variant shares its parent's tuple
        assert cls.__instrument_types__ is P.BondPosition.__instrument_types__
    else:
        assert type(cls.__instrument_types__) is tuple and cls.__instrument_types__ == (instrument_type,)


def test_property_docs():
    assert P.BondPosition.pledged_quantity.__doc__ == "返回当前持仓量"
    assert P.BondPosition.equity.__doc__ == "持仓总权益"
    assert P.BondPosition.closable.__doc__ is None
    assert P.RepoPosition.position_pnl is P.RepoPosition.trading_pnl
    assert P.RepoPosition.market_value is P.RepoPosition.margin
    assert isinstance(vars(P.BondPosition)["__new__"], staticmethod)


def test_memoised_builders():
    for name in ("_all_real_cash_flow", "_all_implied_cash_flow"):
        fn = getattr(P, name)
        assert fn.cache_info().maxsize == 1024 and fn.__name__ == name
        assert fn.__wrapped__(order_book_ids="000000.IB") is None  # keyword as named, no data
    with pytest.raises(TypeError):
        P._all_real_cash_flow.__wrapped__()


@pytest.mark.parametrize(
    "proxy, instrument_type",
    [(P.BondPositionProxy, INSTRUMENT_TYPE.BOND), (P.RepoPositionProxy, INSTRUMENT_TYPE.REPO)],
)
@pytest.mark.parametrize("wrapped", ["bond", "repo", "plain", None])
def test_proxy_type_whatever_it_wraps(proxy, instrument_type, wrapped, environment):
    environment()
    position = {
        "bond": lambda: P.BondPosition(EXCHANGE_BOND, LONG),
        "repo": lambda: P.RepoPosition(REPO_1D, SHORT),
        "plain": lambda: Position("000001.XSHE", LONG),
        None: lambda: SimpleNamespace(),
    }[wrapped]()
    assert proxy(position).type is instrument_type


def test_bond_proxy_shows_pledges_and_receivable(environment, repo_trade):
    env = environment()
    held = env.portfolio.get_position(EXCHANGE_BOND, LONG)
    held._old_quantity = 1000
    held.apply_trade(repo_trade(day("2024-09-23"), 1000, 1001, pledged_quantity=300))
    held._payment_receivable = 250.0
    proxy = P.BondPositionProxy(held)
    assert proxy.closable == 700 and proxy.equity == 250.0


# ----------------------------------------------------------------- loading


def run_python(code):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], env=env, capture_output=True, text=True, timeout=120
    )


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


@pytest.mark.parametrize(
    "remove, message",
    [
        # both missing: the one bound first is named
        (
            "import korvane.const, korvane.portfolio.position\n"
            "del korvane.const.SIDE, korvane.portfolio.position.Position",
            "cannot import name 'SIDE' from 'korvane.const'",
        ),
        (
            "import korvane_mod_bond.data\ndel korvane_mod_bond.data.BondInstrument",
            "cannot import name 'BondInstrument' from 'korvane_mod_bond.data'",
        ),
        ("import sys\nsys.modules['korvane_mod_bond.trade'] = None", "korvane_mod_bond.trade"),
    ],
)
def test_a_missing_outside_name_fails_the_load(remove, message):
    result = run_python(
        remove
        + textwrap.dedent(
            """
            import sys
            try:
                import korvane_mod_bond.position
            except ImportError as error:
                print(type(error).__name__, "korvane_mod_bond.position" in sys.modules)
                print(error)
            """
        )
    )
    assert result.returncode == 0, result.stderr
    status, text = result.stdout.split("\n", 1)
    assert status in ("ImportError False", "ModuleNotFoundError False")
    assert message in text


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
