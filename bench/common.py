"""Timing helpers and the one table every benchmark reports into.

Times are the best of several runs (the least disturbed by whatever else the
machine does); each run is calibrated to last about `RUN_SECONDS`, so fast and
slow operations cost the same wall time.
"""

import gc
import os
import time
import timeit

# Wall time of one timed run; `BENCH_QUICK=1` shortens everything for a smoke run.
QUICK = os.environ.get("BENCH_QUICK") == "1"
RUN_SECONDS = 0.01 if QUICK else 0.04
REPEAT = 2 if QUICK else 5


def _calibrate(timer, seconds):
    """The number of runs that lasts about `seconds`."""
    number = 1
    while True:
        elapsed = timer.timeit(number)
        if elapsed >= seconds / 10:
            return max(1, round(number * seconds / elapsed))
        number *= 10 if elapsed < seconds / 1000 else 4


def _timer(fn, namespace):
    # A statement string runs with no call of its own around it; a callable is called.
    return timeit.Timer(fn, globals=namespace) if isinstance(fn, str) else timeit.Timer(fn)


def ns_per_call(fn, namespace=None, number=None, repeat=REPEAT):
    """Best-of-`repeat` wall time of one run of `fn` (a callable, or a statement
    run in `namespace`), in nanoseconds."""
    gc.collect()
    timer = _timer(fn, namespace)
    if number is None:
        number = _calibrate(timer, RUN_SECONDS)
    return min(timer.repeat(repeat=repeat, number=number)) / number * 1e9


def interleaved(fns, namespace=None, repeat=REPEAT):
    """ns per run of each entry of the dict `fns` (as for `ns_per_call`), timed in
    turn within each repeat so that a slow spell of the machine hits them all alike."""
    gc.collect()
    timers = {name: _timer(fn, namespace) for name, fn in fns.items()}
    numbers = {name: _calibrate(t, RUN_SECONDS) for name, t in timers.items()}
    best = {name: float("inf") for name in fns}
    for _ in range(repeat):
        for name, t in timers.items():
            best[name] = min(best[name], t.timeit(numbers[name]) / numbers[name] * 1e9)
    return best


def best_seconds(fn, repeat=REPEAT):
    """Best-of-`repeat` wall time of one run of `fn()`, in seconds."""
    best = float("inf")
    for _ in range(repeat):
        gc.collect()
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best


class Row:
    """One line of the report: the C++ time against its floors and its Python twin.

    `floor_target` is the largest acceptable ratio to the (plain-Python) floor,
    None for no target; every C++ method must also be at least as fast as its
    pure-Python twin. `cfloor` is the same floor made from compiled code.
    """

    def __init__(
        self,
        name,
        ours,
        floor=None,
        python=None,
        floor_target=None,
        note="",
        unit="ns",
        cfloor=None,
        other=None,
    ):
        self.name = name
        self.ours = ours
        self.floor = floor
        self.python = python
        self.floor_target = floor_target
        self.note = note
        self.unit = unit
        self.cfloor = cfloor
        self.other = other  # (label, reference ns, largest acceptable ratio): a target of its own

    def verdict(self):
        fails = []
        if self.floor_target is not None and self.floor and self.ours / self.floor > self.floor_target:
            fails.append("floor")
        if self.python and self.ours > self.python:
            fails.append("python")
        if self.other and self.ours / self.other[1] > self.other[2]:
            fails.append(self.other[0])
        return "MISSED " + "+".join(fails) if fails else "ok"


class Section:
    def __init__(self, title, rows=(), notes=()):
        self.title = title
        self.rows = list(rows)
        self.notes = list(notes)


def _number(value, unit):
    if value is None:
        return ""
    if unit == "ns" and value >= 100_000:
        return "{:,.0f}".format(value / 1000) + " us"
    return "{:,.0f}".format(value)


def _ratio(a, b):
    return "{:.2f}x".format(a / b) if a is not None and b else ""


COLUMNS = "{:<48} {:>9} {:>9} {:>7} {:>6} {:>9} {:>7} {:>9} {:>7}  {}"


def print_table(sections, file=None):
    """The report: one table, a heading per section, free-text notes under it."""
    head = COLUMNS.format(
        "operation",
        "C++ ns",
        "floor ns",
        "/floor",
        "target",
        "C floor",
        "/Cfloor",
        "Python ns",
        "/Python",
        "verdict",
    )
    print(head, file=file)
    print("-" * len(head), file=file)
    for section in sections:
        print(section.title, file=file)
        for r in section.rows:
            target = "{:.1f}x".format(r.floor_target) if r.floor_target else ""
            line = COLUMNS.format(
                "  " + r.name,
                _number(r.ours, r.unit),
                _number(r.floor, r.unit),
                _ratio(r.ours, r.floor),
                target,
                _number(r.cfloor, r.unit),
                _ratio(r.ours, r.cfloor),
                _number(r.python, r.unit),
                _ratio(r.ours, r.python),
                r.verdict(),
            )
            print(line + ("  " + r.note if r.note else ""), file=file)
        for note in section.notes:
            print("    " + note, file=file)
