"""What each layer of the demo loads: the stand-ins nothing of the package or the demo, the
commands' --help no heavy library (each in a fresh interpreter)."""

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


@pytest.mark.parametrize("args", [["--help"], ["sweep", "--help"]], ids=["run", "sweep"])
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
