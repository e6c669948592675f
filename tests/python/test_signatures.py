"""Every public compiled callable shows its real parameters (inspect.signature,
help(), mypy's stubtest read them from the text signature) under the names
and defaults the typing stubs give, while its __doc__ stays None."""

import ast
import importlib
import inspect
import pydoc
from pathlib import Path

import pytest

import korvane_mod_bond

MODULES = ["position", "trade", "validator", "transaction"]
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
    obj = importlib.import_module("korvane_mod_bond." + module)
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
def test_signature_is_the_stubs_and_doc_unchanged(module, name, parameters):
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
    from korvane_mod_bond.trade import RepoTrade
    from korvane_mod_bond.validator import BondValidator

    def shown(obj):  # help()'s text, without the spaces and line breaks it lays out (3.13 wraps)
        return "".join(pydoc.render_doc(obj, renderer=pydoc.plaintext).split())

    # As help() shows every builtin method: self positional-only ("/").
    assert "can_submit_order(self,/,order,account=None)" in shown(BondValidator)
    parameters = "order_id,price,amount,order_book_id,hairbut,bond_id,pledged_quantity"
    assert "create_exchange_repo_trade({})".format(parameters) in shown(RepoTrade.create_exchange_repo_trade)
