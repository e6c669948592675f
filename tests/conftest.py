"""Settings for the whole suite.

With KMB_TEST_INSTALLED set (`make wheels` sets it), the suite tests the packages as
installed: every one of them must come from site-packages, none from the source tree.
"""

import importlib
import importlib.util
import os
import sysconfig
from pathlib import Path

MODULES = ["position", "trade", "transaction", "validator"]
PACKAGES = ["korvane_mod_bond", *("korvane_mod_bond." + m for m in MODULES), "korvane", "pelvorn"]
# The demo only where it is installed: the wheel is tested first beside the stand-ins alone.
DEMO = "korvane_bond_demo"


def pytest_configure():
    if not os.environ.get("KMB_TEST_INSTALLED"):
        return
    site = {Path(sysconfig.get_paths()[k]).resolve() for k in ("purelib", "platlib")}
    for name in PACKAGES + ([DEMO] if importlib.util.find_spec(DEMO) is not None else []):
        module = importlib.import_module(name)
        where = Path(module.__file__).resolve()
        assert any(s in where.parents for s in site), "%s comes from %s, not site-packages" % (name, where)
