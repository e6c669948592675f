"""The framework stand-ins stand alone: importing them loads nothing of the bond package or the demo."""

import subprocess
import sys
import textwrap


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
