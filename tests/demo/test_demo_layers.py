"""What each layer of the demo loads and does: the stand-ins nothing of the package or the
demo, the commands' --help no heavy library, a run nothing it does not use and a sweep's
point less (each in a fresh interpreter); a run opens and checks its data once."""

import subprocess
import sys
import textwrap

import pytest


def test_standins_import_nothing_of_the_package_or_the_demo():
    code = textwrap.dedent(
        """
        import importlib, pkgutil, sys
        import korvane, pelvorn
        for package in (korvane, pelvorn):
            for info in pkgutil.walk_packages(package.__path__, package.__name__ + "."):
                importlib.import_module(info.name)
        loaded = sorted(m for m in sys.modules if m.startswith(("korvane_mod_bond", "korvane_bond_demo")))
        print(loaded)
        """
    )
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "[]"


HEAVY = ("numpy", "pandas", "matplotlib", "QuantLib", "scipy", "korvane", "distributed")


@pytest.mark.parametrize(
    "args", [["--help"], ["sweep", "--help"], ["tables", "--help"]], ids=["run", "sweep", "tables"]
)
def test_help_loads_no_heavy_library(args):
    code = (
        "import sys\n"
        "from korvane_bond_demo.__main__ import main\n"
        f"sys.argv = ['korvane-bond-demo', *{args!r}]\n"
        "try:\n    main()\nexcept SystemExit as stop:\n    assert stop.code == 0, stop.code\n"
        f"print(sorted(m for m in {HEAVY!r} if m in sys.modules), file=sys.stderr)\n"
    )
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stderr == "[]\n" and "usage: korvane-bond-demo" in done.stdout


# A short run as the command makes it, and a sweep's point, each in a fresh interpreter:
# what they loaded of the libraries a run may do without.
LOADED = """
import sys
from korvane_bond_demo import cli, sweep
from korvane_bond_demo.settings import Settings
import datetime
if sys.argv[1] == "run":
    code = cli.main(["--start", "2024-09-02", "--end", "2024-09-13", "--out", sys.argv[2]])
    assert code == 0, code
else:
    days = dict(start=datetime.date(2024, 9, 2), end=datetime.date(2024, 9, 13))
    assert "error" not in sweep.run_point(Settings(**days)), "the point failed"
optional = ("scipy", "exchange_calendars", "tqdm", "QuantLib", "matplotlib")
print(sorted(m for m in optional if m in sys.modules))
"""


@pytest.mark.parametrize(
    "what, loaded",
    [
        # the statistics need no SciPy, the calendar is the data's sessions, stderr is no terminal
        ("run", ["QuantLib", "matplotlib"]),
        # a sweep's point makes neither the risk figures nor a chart
        ("point", []),
    ],
)
def test_a_run_loads_only_what_it_uses(tmp_path, what, loaded):
    done = subprocess.run([sys.executable, "-c", LOADED, what, str(tmp_path / "out")], capture_output=True,
                          text=True, timeout=300)  # fmt: skip
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines()[-1] == str(loaded)


def test_a_run_opens_and_checks_its_data_once(tmp_path, capsys, monkeypatch):
    from korvane_bond_demo import backtest, cli

    opened, checked = [], []
    data_of, check_against = backtest.data_of, backtest.check_against
    monkeypatch.setattr(backtest, "data_of", lambda settings: opened.append(settings) or data_of(settings))
    monkeypatch.setattr(backtest, "check_against", lambda *args: checked.append(args) or check_against(*args))
    code = cli.main(["--start", "2024-09-02", "--end", "2024-09-13", "--out", str(tmp_path), "--no-progress"])
    assert (code, len(opened), len(checked)) == (0, 1, 1), capsys.readouterr().err
