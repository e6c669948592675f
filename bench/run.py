"""Runs every benchmark of this folder in one go: `make bench`."""

import pathlib
import platform
import runpy
import sys

here = pathlib.Path(__file__).parent
sys.path.insert(0, str(here))
print("Python {} on {}".format(platform.python_version(), platform.machine()))
for script in sorted(here.glob("bench_*.py")):
    runpy.run_path(str(script), run_name="__main__")
