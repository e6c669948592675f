"""Books beyond 1,024 bonds a kind: the cost of a position-day (``before_trading`` and
``settlement``) for books of 10 to 4,000 bonds of each kind, with the framework's
memos (``lru_cache(1024)`` a kind) and with ``BondMod(cash_flow_memo_size=8192)``.

A book of ``n`` bonds a kind holds ``n`` exchange bonds (realized tables) and ``n``
inter-bank bonds (implied tables) of 40 records, visited in the host's order (the two
kinds alternate), day start for every position, then settlement for every one. Each
book has memos of its own, filled on a first day that is not counted; the same
``DAYS`` trading days are then counted for every book (after a small book run
uncounted, so that no book pays for the interpreter's first calls). With the framework's memos a
book of more than 1,024 bonds a kind misses on every visit, from the first one (the
visits cycle through more bonds than the memo keeps): there a window of ``WINDOW``
position-days is counted, the rest of the day start run around it uncounted, so that
each counted settlement meets the memo the whole day start left.

Counted by callgrind (the same every run, whatever else the machine does): one
interpreter under ``valgrind --tool=callgrind --instr-atstart=no`` runs every book,
the counted visits between two client requests of a tiny library built on first use
into build/bench-memo. Under BENCH_QUICK=1, or without valgrind or its header, wall
time of one run instead (rough; ratios within the run).
"""

import json
import os
import pathlib
import shutil
import subprocess
import sys
import sysconfig
import tempfile
import time

from common import QUICK, Section

HERE = pathlib.Path(__file__).resolve().parent
BUILD = HERE.parent / "build" / "bench-memo"
SIZES = (10, 100, 1024, 1025, 2000, 4000)  # bonds a kind
SETTING = 8192  # cash_flow_memo_size of the runs with the setting
DAYS = 1 if QUICK else 3  # counted days, after a first day that fills the memos
WINDOW = 100  # position-days counted where every visit misses
TARGET = 1.02  # 4,000 bonds a kind with the setting against 100

COUNTER_C = """
#include <valgrind/callgrind.h>
void kmb_memo_on(int zero) {
    CALLGRIND_START_INSTRUMENTATION;
    if (zero) CALLGRIND_ZERO_STATS;
    CALLGRIND_TOGGLE_COLLECT;
}
void kmb_memo_off(void) {
    CALLGRIND_TOGGLE_COLLECT;
    CALLGRIND_STOP_INSTRUMENTATION;
}
void kmb_memo_dump(const char* label) { CALLGRIND_DUMP_STATS_AT(label); }
"""


def books():
    """(label, bonds a kind, cash_flow_memo_size or None) of every book measured."""
    return [("{}-{}".format(n, size or "default"), n, size) for n in SIZES for size in (None, SETTING)]


class Clock:
    """Counts wall time between `on` and `off`; `total()` the sum since `reset`."""

    def __init__(self):
        self.spent, self.since = 0.0, None

    def on(self, zero):
        if zero:
            self.spent = 0.0
        self.since = time.perf_counter()

    def off(self):
        self.spent += time.perf_counter() - self.since

    def dump(self, label):
        pass


class Callgrind:
    """Counts instructions between `on` and `off` through callgrind's client requests."""

    def __init__(self, library):
        import ctypes

        self.lib = ctypes.CDLL(library)
        self.lib.kmb_memo_dump.argtypes = [ctypes.c_char_p]

    def on(self, zero):
        self.lib.kmb_memo_on(1 if zero else 0)

    def off(self):
        self.lib.kmb_memo_off()

    def dump(self, label):
        self.lib.kmb_memo_dump(label.encode())


def measure(counter, n, size):
    """Counts the position-days of a book of `n` bonds a kind with memos of `size` (None:
    the framework's); returns the position-days counted."""
    import gc

    from korvane.environment import Environment
    from workload import LONG, bond_book, forget_client_calls, trading_days

    from korvane_mod_bond import clear_cash_flow_memos, mod
    from korvane_mod_bond.position import BondPosition

    Environment.clear_instance()
    mod._bind_cash_flow_memos(size)
    clear_cash_flow_memos()
    _, real_ids, implied_ids = bond_book(n, n)
    book = [BondPosition(i, LONG, 1000) for pair in zip(real_ids, implied_ids) for i in pair]
    days = trading_days(1 + DAYS)
    gc.collect()
    if size is None and n > 1024:  # every visit misses: a window of the first counted day
        day = days[1]
        counter.on(True)
        for p in book[:WINDOW]:
            p.before_trading(day)
        counter.off()
        for p in book[WINDOW:]:
            p.before_trading(day)
        counter.on(False)
        for p in book[:WINDOW]:
            p.settlement(day)
        counter.off()
        counted = WINDOW
    else:
        for p in book:  # the first day fills the memos
            p.before_trading(days[0])
        for p in book:
            p.settlement(days[0])
        counter.on(True)
        for day in days[1:]:
            for p in book:
                p.before_trading(day)
            for p in book:
                p.settlement(day)
        counter.off()
        counted = len(book) * DAYS
    forget_client_calls()
    return counted


def child(library, out):
    """Runs every book in this interpreter (under callgrind when `library` is given)."""
    sys.path.insert(0, str(HERE))
    counter = Callgrind(library) if library else Clock()
    measure(Clock(), 10, None)  # what the first book alone would pay: the interpreter's first calls
    results = {}
    for label, n, size in books():
        counted = measure(counter, n, size)
        counter.dump(label)
        results[label] = {"position_days": counted, "seconds": getattr(counter, "spent", None)}
    from korvane_mod_bond import clear_cash_flow_memos, mod

    mod._bind_cash_flow_memos(None)
    clear_cash_flow_memos()
    pathlib.Path(out).write_text(json.dumps(results))


def _counter():
    """The client-request library, built on first use; None under BENCH_QUICK=1 or
    without valgrind or a compiler."""
    if QUICK or shutil.which("valgrind") is None:
        return None
    BUILD.mkdir(parents=True, exist_ok=True)
    source, library = BUILD / "counter.c", BUILD / "libkmbmemo.so"
    if not library.exists() or source.read_text() != COUNTER_C:
        source.write_text(COUNTER_C)
        cc = (sysconfig.get_config_var("CC") or "cc").split()
        try:
            subprocess.run(
                [*cc, "-O1", "-shared", "-fPIC", str(source), "-o", str(library)],
                check=True,
                capture_output=True,
            )
        except (OSError, subprocess.CalledProcessError):
            return None
    return library


def _dumps(folder):
    """{label: instructions} of the dumps callgrind wrote at each client request."""
    counts = {}
    for name in os.listdir(folder):
        with open(os.path.join(folder, name)) as f:
            lines = f.read().splitlines()
        trigger = [line for line in lines if line.startswith("desc: Trigger: Client Request: ")]
        # "totals:", not "summary:", which callgrind leaves at 0 when collection is toggled
        total = [int(line.split()[1]) for line in lines if line.startswith("totals:")]
        if trigger and total:
            counts[trigger[0].rsplit(": ", 1)[1]] = total[0]
    return counts


def per_position_day():
    """({label: cost per position-day}, unit), each book in one child interpreter."""
    library = _counter()
    with tempfile.TemporaryDirectory() as folder:
        out = os.path.join(folder, "results.json")
        command = [sys.executable, __file__, "--child", str(library or ""), out]
        if library is not None:
            dumps = os.path.join(folder, "dumps")
            os.mkdir(dumps)
            command = [
                "valgrind",
                "--tool=callgrind",
                "--instr-atstart=no",
                "--collect-atstart=no",
                "--callgrind-out-file=" + os.path.join(dumps, "callgrind.out.%p"),
                *command,
            ]
        env = dict(os.environ, PYTHONHASHSEED="0")
        done = subprocess.run(command, env=env, capture_output=True, text=True)
        if done.returncode != 0:
            raise RuntimeError("bench_memo's child failed:\n" + done.stderr[-3000:])
        results = json.loads(pathlib.Path(out).read_text())
        if library is None:
            return {k: v["seconds"] * 1e9 / v["position_days"] for k, v in results.items()}, "ns (wall time)"
        counts = _dumps(dumps)
    return {k: counts[k] / v["position_days"] for k, v in results.items()}, "instructions (callgrind)"


def run(sections):
    costs, unit = per_position_day()
    heads = ("bonds a kind", "framework memos (1,024)", f"cash_flow_memo_size={SETTING}")
    notes = ["{:>16} {:>26} {:>26}".format(*heads)]
    for n in SIZES:
        default, sized = costs["{}-default".format(n)], costs["{}-{}".format(n, SETTING)]
        notes.append("{:>16,} {:>26,.0f} {:>26,.0f}".format(n, default, sized))
    ratio = costs["4000-{}".format(SETTING)] / costs["100-{}".format(SETTING)]
    if unit.startswith("instructions"):
        verdict = "ok" if ratio <= TARGET else "MISSED"
    else:  # one short run on a shared machine: the target is judged on counted instructions
        verdict = "(wall time, not judged)"
    notes.append(
        f"4,000 bonds a kind with the setting against 100: {ratio:.4f}x (target {TARGET:.2f}x)  {verdict}"
    )
    notes.append(
        "1,025 bonds a kind with the framework's memos against the setting: {:.1f}x".format(
            costs["1025-default"] / costs["1025-{}".format(SETTING)]
        )
    )
    title = "Books beyond 1,024 bonds a kind ({} per position-day; 40-record tables, host order)".format(unit)
    sections.append(Section(title, notes=notes))


if __name__ == "__main__":
    if sys.argv[1:2] == ["--child"]:
        child(sys.argv[2], sys.argv[3])
    else:
        from common import print_table

        out = []
        run(out)
        print_table(out)
