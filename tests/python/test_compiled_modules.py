"""What every compiled module shares, checked once over the four: its namespace (the
outside names bound at load, in order, as the very objects of their modules, then
what it defines), a load that fails with the ImportError of a missing outside name,
classes laid out member by member in declaration order with the __doc__ they have,
every compiled callable's parameters as the typing stubs give them (inspect.signature,
help(), mypy's stubtest read them from the text signature) with __doc__ None, and
arguments bound as a Python signature binds them."""

import ast
import importlib
import inspect
import pydoc
import sys
import textwrap
from pathlib import Path

import pytest
from compiled_helpers import run_python

import korvane_mod_bond
from korvane_mod_bond import position as P
from korvane_mod_bond import trade as T
from korvane_mod_bond import transaction as X
from korvane_mod_bond import validator as V

MODULES = ["position", "trade", "validator", "transaction"]

# ---------------------------------------------------------------- namespaces

# The outside names each module binds, in load order, with where each comes from
# ("module:name", or a module itself); then the names it defines, in order.
OUTSIDE = {
    "position": {
        "defaultdict": "collections:defaultdict",
        "np": "numpy",
        "bond": "pelvorn:bond",
        "lru_cache": "korvane.utils.functools:lru_cache",
        "SIDE": "korvane.const:SIDE",
        "POSITION_DIRECTION": "korvane.const:POSITION_DIRECTION",
        "Trade": "korvane.model.trade:Trade",
        "INSTRUMENT_TYPE": "korvane.const:INSTRUMENT_TYPE",
        "Environment": "korvane.environment:Environment",
        "Position": "korvane.portfolio.position:Position",
        "convert_date_to_date_int": "korvane.utils.datetime_func:convert_date_to_date_int",
        "StockPositionProxy": "korvane.mod.korvane_mod_sys_accounts.position_model:StockPositionProxy",
        "RepoTrade": "korvane_mod_bond.trade:RepoTrade",
        "BondInstrument": "korvane_mod_bond.data:BondInstrument",
        "is_exchange_bond": "korvane_mod_bond.utils:is_exchange_bond",
    },
    "trade": {
        "Environment": "korvane.environment:Environment",
        "SIDE": "korvane.const:SIDE",
        "POSITION_EFFECT": "korvane.const:POSITION_EFFECT",
        "POSITION_DIRECTION": "korvane.const:POSITION_DIRECTION",
        "TRADING_CALENDAR_TYPE": "korvane.const:TRADING_CALENDAR_TYPE",
        "Trade": "korvane.model.trade:Trade",
        "is_exchange_bond": "korvane_mod_bond.utils:is_exchange_bond",
        "calc_repo_commission": "korvane_mod_bond.utils:calc_repo_commission",
        "get_commission_rate": "korvane_mod_bond.utils:get_commission_rate",
    },
    "validator": {
        "AbstractFrontendValidator": "korvane.interface:AbstractFrontendValidator",
        "user_system_log": "korvane.utils.logger:user_system_log",
        "Environment": "korvane.environment:Environment",
        "SIDE": "korvane.const:SIDE",
        "POSITION_DIRECTION": "korvane.const:POSITION_DIRECTION",
        "POSITION_EFFECT": "korvane.const:POSITION_EFFECT",
        "BondInstrument": "korvane_mod_bond.data:BondInstrument",
        "is_exchange_bond": "korvane_mod_bond.utils:is_exchange_bond",
        "_get_account_position_ins": "korvane_mod_bond.api:_get_account_position_ins",
    },
    "transaction": {
        "AbstractTransactionCostDecider": "korvane.interface:AbstractTransactionCostDecider",
        "Order": "korvane.model.order:Order",
        "Trade": "korvane.model.trade:Trade",
        "is_exchange_bond": "korvane_mod_bond.utils:is_exchange_bond",
        "calc_repo_commission": "korvane_mod_bond.utils:calc_repo_commission",
    },
}
DEFINED = {
    "position": """
        CASH_FLOW_DTYPES IMPLIED_CASH_FLOW_DTYPES _all_real_cash_flow _all_implied_cash_flow
        BondPosition BondPositionWithRealizedCashFlow BondPositionWithImpliedCashFlow RepoPosition
        BondPositionProxy RepoPositionProxy
    """.split(),
    "trade": ["RepoTrade"],
    "validator": ["BondValidator", "RepoValidator"],
    "transaction": ["BondTransactionDecider", "RepoTransactionDecider"],
}


def compiled(module):
    return importlib.import_module("korvane_mod_bond." + module)


@pytest.mark.parametrize("module", MODULES)
def test_names_are_bound_in_load_order(module):
    names = [name for name in vars(compiled(module)) if not name.startswith("__")]
    assert names == [*OUTSIDE[module], *DEFINED[module]]


@pytest.mark.parametrize("module", MODULES)
def test_outside_names_are_the_very_objects(module):
    for name, source in OUTSIDE[module].items():
        where, _, attribute = source.partition(":")
        expected = importlib.import_module(where)
        if attribute:
            expected = getattr(expected, attribute)
        assert getattr(compiled(module), name) is expected, name


def without(*names):
    """Code that removes each "module:name" before the import."""
    return "".join("import {0}\ndel {0}.{1}\n".format(*n.split(":")) for n in names)


@pytest.mark.parametrize(
    "module, removed, message",
    [
        # two missing: the one bound first is named
        (
            "position",
            without("korvane.const:SIDE", "korvane.portfolio.position:Position"),
            "cannot import name 'SIDE' from 'korvane.const'",
        ),
        (
            "position",
            without("korvane_mod_bond.data:BondInstrument"),
            "cannot import name 'BondInstrument' from 'korvane_mod_bond.data'",
        ),
        ("position", "import sys\nsys.modules['korvane_mod_bond.trade'] = None\n", "korvane_mod_bond.trade"),
        (
            "trade",
            without("korvane.const:TRADING_CALENDAR_TYPE"),
            "cannot import name 'TRADING_CALENDAR_TYPE' from 'korvane.const'",
        ),
        (
            "trade",
            without("korvane_mod_bond.utils:get_commission_rate"),
            "cannot import name 'get_commission_rate' from 'korvane_mod_bond.utils'",
        ),
        (
            "validator",
            without("korvane.interface:AbstractFrontendValidator"),
            "cannot import name 'AbstractFrontendValidator' from 'korvane.interface'",
        ),
        (
            "validator",
            without("korvane.const:POSITION_EFFECT"),
            "cannot import name 'POSITION_EFFECT' from 'korvane.const'",
        ),
        (
            "validator",
            without("korvane_mod_bond.api:_get_account_position_ins"),
            "cannot import name '_get_account_position_ins' from 'korvane_mod_bond.api'",
        ),
        (
            "transaction",
            without("korvane.model.trade:Trade"),
            "cannot import name 'Trade' from 'korvane.model.trade'",
        ),
        (
            "transaction",
            without("korvane_mod_bond.utils:calc_repo_commission"),
            "cannot import name 'calc_repo_commission' from 'korvane_mod_bond.utils'",
        ),
    ],
)
def test_a_missing_outside_name_fails_the_load(module, removed, message):
    result = run_python(
        removed
        + textwrap.dedent(
            """
            import sys
            try:
                import korvane_mod_bond.{0}
            except ImportError as error:
                print(type(error).__name__, "korvane_mod_bond.{0}" in sys.modules)
                print(error)
            """.format(module)
        )
    )
    assert result.returncode == 0, result.stderr
    status, text = result.stdout.split("\n", 1)
    assert status in ("ImportError False", "ModuleNotFoundError False")
    assert message in text


# ---------------------------------------------------------------- classes

IMPLICIT = {"__module__", "__doc__", "__dict__", "__weakref__", "__abstractmethods__"}
BOND_DECIDER_DOC = (
    "\n    订单税费计算接口，通过实现次接口可以定义不同市场、不同合约的个性化税费计算逻辑。\n    "
)


def kind(member):
    if isinstance(member, staticmethod):
        return "static"
    if isinstance(member, property):
        return "property"
    return {"method_descriptor": "method", "classmethod_descriptor": "classmethod"}.get(
        type(member).__name__, "value"
    )


@pytest.mark.parametrize(
    "cls, bases, members, doc",
    [
        (
            P.BondPosition,
            (P.Position,),
            "__instrument_types__=value __new__=static __init__ set_state get_state equity=property "
            "pledged_quantity=property closable=property apply_trade before_trading settlement "
            "_get_cash_flow_receivable _get_cash_flow",
            None,
        ),
        (
            P.BondPositionWithRealizedCashFlow,
            (P.BondPosition,),
            "_get_cash_flow_receivable _get_cash_flow",
            None,
        ),
        (
            P.BondPositionWithImpliedCashFlow,
            (P.BondPosition,),
            "_get_day_cash_flow _get_cash_flow_receivable _get_cash_flow",
            None,
        ),
        (
            P.RepoPosition,
            (P.Position,),
            "__instrument_types__=value trading_pnl=property position_pnl=property margin=property "
            "market_value=property equity=property __init__ apply_trade settlement",
            None,
        ),
        (P.BondPositionProxy, (P.StockPositionProxy,), "__instrument_types__=value type=property", None),
        (P.RepoPositionProxy, (P.StockPositionProxy,), "__instrument_types__=value type=property", None),
        (
            T.RepoTrade,
            (T.Trade,),
            "calc_max_amount=classmethod __from_create__=classmethod create_repo_trade=classmethod "
            "create_reverse_repo_trade=classmethod create_exchange_repo_trade=classmethod "
            "create_exchange_reverse_repo_trade=classmethod position_direction=property",
            None,
        ),
        (V.BondValidator, (V.AbstractFrontendValidator,), "__init__ can_submit_order can_cancel_order", None),
        (V.RepoValidator, (V.AbstractFrontendValidator,), "__init__ can_submit_order can_cancel_order", None),
        (
            X.BondTransactionDecider,
            (X.AbstractTransactionCostDecider,),
            "__init__ _get_commission get_trade_tax get_trade_commission get_order_transaction_cost",
            BOND_DECIDER_DOC,
        ),
        (
            X.RepoTransactionDecider,
            (X.AbstractTransactionCostDecider,),
            "get_trade_tax get_trade_commission get_order_transaction_cost",
            None,
        ),
    ],
    ids=lambda v: v.__name__ if isinstance(v, type) else "",
)
def test_classes_are_laid_out_in_declaration_order(cls, bases, members, doc):
    assert cls.__bases__ == bases
    assert cls.__module__ in ("korvane_mod_bond." + m for m in MODULES)
    assert cls.__qualname__ == cls.__name__
    own = {n: m for n, m in vars(cls).items() if n not in IMPLICIT and not n.startswith("_abc")}
    expected = [m if "=" in m else m + "=method" for m in members.split()]
    assert ["{}={}".format(n, kind(m)) for n, m in own.items()] == expected
    assert cls.__doc__ == doc


@pytest.mark.parametrize(
    "prop, doc",
    [
        (P.BondPosition.equity, "持仓总权益"),
        (P.BondPosition.pledged_quantity, "返回当前持仓量"),
        (P.BondPosition.closable, None),
        (P.RepoPosition.trading_pnl, None),
        (P.RepoPosition.margin, None),
        (P.RepoPosition.equity, None),
        (P.BondPositionProxy.type, None),
        (P.RepoPositionProxy.type, None),
        (T.RepoTrade.position_direction, None),
    ],
)
def test_property_docs(prop, doc):
    assert prop.__doc__ == doc and prop.fset is None and prop.fdel is None


# ---------------------------------------------------------------- signatures

STUBS = Path(korvane_mod_bond.__file__).parent


def _stub_callables():
    """(module, dotted name, stub parameters) of every function the stubs
    declare on a compiled class or as the memoised tables' call, properties
    left out. A method's stub parameters include `self`, a class method's
    `cls` is dropped (it is bound when read from the class), __new__ keeps
    its `cls` (a static method)."""
    found = []
    for module in MODULES:
        tree = ast.parse((STUBS / (module + ".pyi")).read_text(encoding="utf-8"))
        for cls in (node for node in tree.body if isinstance(node, ast.ClassDef)):
            for fn in (node for node in cls.body if isinstance(node, ast.FunctionDef)):
                decorators = {d.id for d in fn.decorator_list if isinstance(d, ast.Name)}
                if "property" in decorators:
                    continue
                parameters = _parameters(fn)
                if "classmethod" in decorators:
                    parameters = parameters[1:]
                if cls.name == "_Memoised":
                    if fn.name == "__call__":
                        for table in ("_all_real_cash_flow", "_all_implied_cash_flow"):
                            found.append((module, table, parameters[1:]))
                    continue
                found.append((module, cls.name + "." + fn.name, parameters))
    return found


def _parameters(fn):
    """(name, default) of each parameter of a stub's def, the default as a
    Python value or `inspect.Parameter.empty`."""
    args = fn.args
    positional = args.posonlyargs + args.args
    defaults = [inspect.Parameter.empty] * (len(positional) - len(args.defaults))
    defaults += [ast.literal_eval(d) for d in args.defaults]
    parameters = [(a.arg, d) for a, d in zip(positional, defaults)]
    parameters += [
        (a.arg, inspect.Parameter.empty if d is None else ast.literal_eval(d))
        for a, d in zip(args.kwonlyargs, args.kw_defaults)
    ]
    if args.vararg:
        parameters.append(("*" + args.vararg.arg, inspect.Parameter.empty))
    if args.kwarg:
        parameters.append(("**" + args.kwarg.arg, inspect.Parameter.empty))
    return parameters


def _runtime(module, name):
    obj = compiled(module)
    for part in name.split("."):
        obj = getattr(obj, part)
    return obj


def _shown(parameter):
    prefix = {parameter.VAR_POSITIONAL: "*", parameter.VAR_KEYWORD: "**"}.get(parameter.kind, "")
    return prefix + parameter.name, parameter.default


CALLABLES = _stub_callables()


def test_every_compiled_class_method_is_covered():
    # The stubs declare all six RepoTrade class methods, the positions' 17
    # methods, the validators' 6 and the deciders' 8, and the two memoised tables.
    names = {name for _, name, _ in CALLABLES}
    assert len(names) == len(CALLABLES) == 39
    assert {"RepoTrade.create_exchange_repo_trade", "BondPosition.__new__", "_all_implied_cash_flow"} <= names


@pytest.mark.parametrize(("module", "name", "parameters"), CALLABLES, ids=[n for _, n, _ in CALLABLES])
def test_signature_is_the_stubs_and_doc_none(module, name, parameters):
    runtime = _runtime(module, name)
    shown = [_shown(p) for p in inspect.signature(runtime).parameters.values()]
    assert shown == parameters
    assert runtime.__doc__ is None
    # The memoised tables' function itself, reached through the memo.
    wrapped = getattr(runtime, "__wrapped__", None)
    if wrapped is not None:
        assert [_shown(p) for p in inspect.signature(wrapped).parameters.values()] == parameters
        assert wrapped.__doc__ is None


def test_help_shows_the_parameters():
    def shown(obj):  # help()'s text, without the spaces and line breaks it lays out (3.13 wraps)
        return "".join(pydoc.render_doc(obj, renderer=pydoc.plaintext).split())

    # As help() shows every builtin method: self positional-only ("/").
    assert "can_submit_order(self,/,order,account=None)" in shown(V.BondValidator)
    parameters = "order_id,price,amount,order_book_id,hairbut,bond_id,pledged_quantity"
    assert "create_exchange_repo_trade({})".format(parameters) in shown(
        T.RepoTrade.create_exchange_repo_trade
    )


# ---------------------------------------------------------------- argument binding


def runtime_name(name):
    """Equal text, a distinct object: what `**mapping` hands over when the keys
    were built while the program ran."""
    built = "".join(list(name))
    assert built == name
    return built


FIGURES = dict(
    ib_commission_rate=0.5, ib_min_commission=1.0, exchange_commission_rate=0.25, exchange_max_commission=9
)


def bond_decider():
    return X.BondTransactionDecider(*FIGURES.values())


@pytest.mark.parametrize("name", [runtime_name, sys.intern], ids=["built at run time", "interned"])
def test_keywords_bind_by_their_text_whatever_the_string_object(name, monkeypatch):
    d = X.BondTransactionDecider(**{name(k): v for k, v in FIGURES.items()})
    assert (d._ib_commission_rate, d._ib_min_commission) == (0.5, 1.0)
    assert (d._exchange_commission_rate, d._exchange_max_commission) == (0.25, 9)
    # keywords out of order, after a positional argument
    kwargs = {name("order_book_id"): "X.IB", name("quantity"): 4}
    assert d._get_commission(2.0, **kwargs) == 4.0
    assert d._get_commission(**{name("price"): 2.0}, **kwargs) == 4.0
    monkeypatch.setattr(T, "get_commission_rate", lambda _order_book_id: 0.25)
    assert T.RepoTrade.calc_max_amount(**{name("available_cash"): 10.0, name("order_book_id"): "R"}) == 8.0
    v = V.RepoValidator(**{name("env"): None})
    assert v.can_cancel_order(**{name("account"): None, name("order"): None}) is True
    assert P._all_real_cash_flow.__wrapped__(**{name("order_book_ids"): "000000.IB"}) is None


@pytest.mark.parametrize(
    "call, message",
    [
        (
            lambda: bond_decider()._get_commission(
                2.0, **{runtime_name("price"): 3.0, "quantity": 1, "order_book_id": "X.IB"}
            ),
            r"_get_commission\(\) got multiple values for argument 'price'",
        ),
        (
            lambda: bond_decider()._get_commission(prize=2.0, quantity=1, order_book_id="X.IB"),
            r"_get_commission\(\) got an unexpected keyword argument 'prize'",
        ),
        (
            lambda: bond_decider()._get_commission(2.0),
            r"_get_commission\(\) missing 2 required positional arguments: 'quantity' and 'order_book_id'",
        ),
        (
            lambda: bond_decider()._get_commission(2.0, 1, "X.IB", 5),
            r"_get_commission\(\) takes 3 positional arguments but 4 were given",
        ),
        (
            lambda: X.BondTransactionDecider(1, 2, 3),
            r"__init__\(\) missing 1 required positional argument: 'exchange_max_commission'",
        ),
        (
            lambda: V.BondValidator(None).can_submit_order(None, None, None),
            r"can_submit_order\(\) takes from 1 to 2 positional arguments but 3 were given",
        ),
        (
            lambda: V.RepoValidator(None).can_submit_order(None, acount=None),
            r"can_submit_order\(\) got an unexpected keyword argument 'acount'",
        ),
        (
            lambda: V.BondValidator(None).can_cancel_order(account=None),
            r"can_cancel_order\(\) missing 1 required positional argument: 'order'",
        ),
        (
            lambda: T.RepoTrade.calc_max_amount("R"),
            r"calc_max_amount\(\) missing 1 required positional argument: 'available_cash'",
        ),
        (
            lambda: T.RepoTrade.__from_create__(None, 0.02, 1000, None, "R", price=0.03),
            r"__from_create__\(\) got multiple values for argument 'price'",
        ),
        (
            lambda: T.RepoTrade.create_exchange_reverse_repo_trade(1, 0.02, 1000, "R", 5),
            r"create_exchange_reverse_repo_trade\(\) takes 4 positional arguments but 5 were given",
        ),
        (
            lambda: P.BondPosition("019547.XSHG"),
            r"__new__\(\) missing 1 required positional argument: 'direction'",
        ),
        (
            lambda: P._all_real_cash_flow.__wrapped__("a", "b"),
            r"_all_real_cash_flow\(\) takes 1 positional argument but 2 were given",
        ),
        (
            lambda: P._all_implied_cash_flow.__wrapped__(order_book_id="a"),
            r"_all_implied_cash_flow\(\) got an unexpected keyword argument 'order_book_id'",
        ),
    ],
)
def test_binding_errors_name_the_callable_and_the_parameter(call, message):
    with pytest.raises(TypeError, match=message):
        call()


def test_names_handed_to_python_are_interned(monkeypatch):
    # Interned names match the callee's parameters and later attribute reads by
    # identity; equal but distinct strings would fall back to comparing text.
    import datetime

    from korvane.environment import Environment
    from korvane.model.trade import Trade
    from korvane.testing import make_env

    from korvane_mod_bond.data import BondInstrument, RepoInstrument

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
        trade = T.RepoTrade.create_repo_trade(0.02, 1e6, "204001.XSHG", None, 0.9, "019547.XSHG", 100)
    finally:
        Environment.clear_instance()
    assert len(received) == 9 and "due_settlement_date" in received
    assert all(sys.intern(name) is name for name in received)
    assert all(sys.intern(name) is name for name in vars(trade))
    for layout in (P.CASH_FLOW_DTYPES, P.IMPLIED_CASH_FLOW_DTYPES):
        assert all(sys.intern(name) is name for name, _ in layout)
