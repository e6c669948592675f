"""The typed context names the order functions as BondMod offers them, and mypy checks a
strategy's calls against it: the tutorial's strategy passes, wrong calls are caught."""

import importlib.util
import inspect
import subprocess
import sys
from pathlib import Path

import pytest

from korvane_mod_bond import mod
from korvane_mod_bond.context import BondContext

ROOT = Path(__file__).resolve().parents[2]
TUTORIAL = ROOT / "docs" / "tutorial" / "strategy.py"

WRONG = """\
from korvane.runner import Strategy
from korvane_mod_bond.context import BondContext


class Wrong(Strategy):
    def handle_day(self, context: BondContext) -> None:
        context.repo("204001.XSHG", 10_000)
        context.reverse_repo("204001.XSHG", "100000")
        context.pledgeable_quantity(bond_id=19547)
        amount: str = context.max_reverse_repo_amount("204001.XSHG")
        context.buy("019547.XSHG", context.date)
"""
# line -> the error codes mypy must give there; the last line uses the framework's own
# members, which the typed context leaves to the framework
EXPECTED = {7: {"call-arg", "arg-type"}, 8: {"arg-type"}, 9: {"arg-type"}, 10: {"assignment"}}


@pytest.mark.parametrize("name", [f.__name__ for f in mod.ORDER_FUNCTIONS])
def test_each_order_function_is_named_with_its_parameters(name):
    function = inspect.signature(getattr(mod, name))
    method = inspect.signature(getattr(BondContext, name))
    assert list(method.parameters.values())[1:] == list(function.parameters.values())[1:]
    assert method.return_annotation == function.return_annotation


@pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="needs mypy (the typing group)")
def test_mypy_checks_a_strategys_calls(tmp_path):
    wrong = tmp_path / "wrong.py"
    wrong.write_text(WRONG, encoding="utf-8")
    done = subprocess.run(
        [sys.executable, "-m", "mypy", "--config-file", str(ROOT / "pyproject.toml")]
        + ["--cache-dir", str(tmp_path / "cache"), "--no-error-summary", "--hide-error-context"]
        + ["--show-error-codes", str(TUTORIAL), str(wrong)],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert done.returncode in (0, 1), done.stdout + done.stderr  # 2: mypy could not run
    found = {}
    for line in (line for line in done.stdout.splitlines() if ": error: " in line):
        path, lineno, _, message = line.split(":", 3)
        assert Path(path).name == "wrong.py", line  # the tutorial's strategy is clean
        found.setdefault(int(lineno), set()).add(message.rsplit("[", 1)[1].rstrip("]"))
    assert found == EXPECTED, done.stdout + done.stderr
