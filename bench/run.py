"""Runs every benchmark of this folder and prints one table: `make bench`.

`BENCH_QUICK=1` makes every timing short (a smoke run, numbers rough);
`python bench/run.py position trade` runs only the named benchmarks.
"""

import importlib
import os
import pathlib
import platform
import sys
import time

here = pathlib.Path(__file__).parent
sys.path.insert(0, str(here))

from common import print_table  # noqa: E402

ORDER = ["position", "trade", "validator", "transaction", "counted", "tables", "memo", "demo"]


def machine():
    model = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as cpuinfo:
            for line in cpuinfo:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return "{}, {} cores".format(model, os.cpu_count())


def main(names):
    started = time.perf_counter()
    import korvane_mod_bond.position as position

    print(
        "korvane_mod_bond benchmarks: Python {} ({}), {}".format(
            platform.python_version(), pathlib.Path(position.__file__).name, machine()
        )
    )
    print(
        "floor = plain Python making only the calls and reads the operation cannot avoid;"
        " Python = the same method written in plain Python\n"
    )
    sections = []
    for name in names or ORDER:
        start = time.perf_counter()
        importlib.import_module("bench_" + name).run(sections)
        sys.stderr.write("bench_{}: {:.1f} s\n".format(name, time.perf_counter() - start))
    print_table(sections)
    print("\n({:.0f} s)".format(time.perf_counter() - started))


if __name__ == "__main__":
    main(sys.argv[1:])
