"""The demo where its users wait: a sweep's point, the sweep's worker pool, a default run.

Each figure is counted in processes of its own, so that what one loads never helps
another:

- **sweep point**: the instructions of one point (set-up, run, ledger, the statistics
  the sweep keeps) in a warm worker, counted by callgrind between two client requests
  (a tiny library built on first use into build/bench-demo), beside the same point as
  a whole run's analysis would make it (summary, risk figures and all the statistics);
  CPU time where valgrind or its header is missing, and under BENCH_QUICK=1;
- **pool overhead**: CPU time (parent and workers) of the same points run one after
  the other in one process, through the sweep's worker pool and through a plain
  process pool of the same size; the overhead a point is the difference over the
  points;
- **default run**: CPU time of ``python -m korvane_bond_demo`` (the main job) as a
  user runs it, best of a few, and the share of it spent in the chart (matplotlib's
  import and the drawing).
"""

import os
import pathlib
import resource
import shutil
import subprocess
import sys
import sysconfig
import tempfile
import textwrap

from common import QUICK, Section

HERE = pathlib.Path(__file__).parent
BUILD = HERE.parent / "build" / "bench-demo"
WORKERS = 2
# The points: the grid of `make sweep` (a two-year run each); a quick run takes fewer, shorter.
GRID = [
    dict(repo_tenor_days=tenor, borrowed_share=share, lend_overnight=lend)
    for tenor in (1, 7)
    for share in (0.5, 0.75, 1.0)
    for lend in (True, False)
]
SPAN = ("2024-09-02", "2024-10-31") if QUICK else ("2024-01-01", "2025-12-31")
if QUICK:
    GRID = GRID[:4]
RUNS = 1 if QUICK else 3

COUNTER_C = """
#include <valgrind/callgrind.h>
void kmb_count_start(void) {
    CALLGRIND_START_INSTRUMENTATION;
    CALLGRIND_ZERO_STATS;
    CALLGRIND_TOGGLE_COLLECT;
}
void kmb_count_stop(void) {
    CALLGRIND_TOGGLE_COLLECT;
    CALLGRIND_DUMP_STATS_AT("point");
    CALLGRIND_STOP_INSTRUMENTATION;
}
"""

# Set-up shared by the scenarios: the points as Settings, the modules a point needs.
SETUP = textwrap.dedent(
    """
    import datetime, resource, sys, time
    from korvane_bond_demo.settings import Settings
    from korvane_bond_demo import backtest, sweep
    from korvane_bond_demo.dataset import open_data
    GRID = {grid!r}
    START, END = (datetime.date.fromisoformat(d) for d in {span!r})
    POINTS = [Settings(start=START, end=END, **values) for values in GRID]
    open_data(None)

    def cpu():
        own, children = resource.getrusage(resource.RUSAGE_SELF), resource.getrusage(resource.RUSAGE_CHILDREN)
        return own.ru_utime + own.ru_stime + children.ru_utime + children.ru_stime
    """
)

SCENARIOS = {
    # the points one after the other in this process
    "single": """
        start = cpu()
        for settings in POINTS:
            sweep.run_point(settings)
        print(cpu() - start)
    """,
    # the sweep's own pool, as `korvane-bond-demo sweep` runs it
    "pool": """
        found = sweep.fingerprints([(None, s) for s in POINTS])
        start = cpu()
        sweep.run_grid(list(enumerate(POINTS, 1)), found, workers={workers})
        print(cpu() - start)
    """,
    # a plain process pool of the same size, one point a task
    "plain": """
        import concurrent.futures
        start = cpu()
        with concurrent.futures.ProcessPoolExecutor({workers}) as pool:
            list(pool.map(sweep.run_point, POINTS))
        print(cpu() - start)
    """,
    # one warm point under callgrind: the sweep's, or a whole run's analysis of it
    "count": """
        import ctypes
        counter = ctypes.CDLL({library!r})
        what = sys.argv[1]
        work = (lambda s: sweep.run_point(s)) if what == "point" else backtest.run_statistics
        work(POINTS[-1])  # warm: the imports, the data, the framework's first run
        counter.kmb_count_start()
        work(POINTS[-1])
        counter.kmb_count_stop()
    """,
    "time": """
        what = sys.argv[1]
        work = (lambda s: sweep.run_point(s)) if what == "point" else backtest.run_statistics
        work(POINTS[-1])
        best = float("inf")
        for _ in range({runs}):
            start = cpu()
            work(POINTS[-1])
            best = min(best, cpu() - start)
        print(best)
    """,
}

# The main job as a user runs it, the chart's CPU time beside it.
CHART = textwrap.dedent(
    """
    import sys, time
    from korvane_bond_demo import chart, interrupt
    from korvane_bond_demo.cli import main
    spent = []
    draw = chart.render_chart
    def timed(*args, **kwargs):
        start = time.process_time()
        try:
            return draw(*args, **kwargs)
        finally:
            spent.append(time.process_time() - start)
    chart.render_chart = timed
    code = main(["--out", sys.argv[1], "--no-progress"])
    sys.stderr.write("chart %r\\n" % sum(spent))
    sys.exit(code)
    """
)


def _child_cpu(args, **kwargs):
    """(CPU seconds of the finished child process and its own children, its stdout, its stderr)."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    done = subprocess.run(args, capture_output=True, text=True, check=True, **kwargs)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    spent = after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime
    return spent, done.stdout, done.stderr


def _scenario(name, *argv, prefix=(), library=""):
    code = SETUP.format(grid=GRID, span=SPAN) + textwrap.dedent(
        SCENARIOS[name].format(workers=WORKERS, library=library, runs=RUNS)
    )
    return _child_cpu([*prefix, sys.executable, "-c", code, *argv])


def _counter():
    """The callgrind client-request library, built on first use; None without valgrind."""
    if QUICK or shutil.which("valgrind") is None:
        return None
    BUILD.mkdir(parents=True, exist_ok=True)
    source, library = BUILD / "counter.c", BUILD / "libkmbcount.so"
    if not library.exists():
        source.write_text(COUNTER_C)
        cc = (sysconfig.get_config_var("CC") or "cc").split()
        try:
            subprocess.run([*cc, "-O1", "-shared", "-fPIC", str(source), "-o", str(library)],
                           check=True, capture_output=True)  # fmt: skip
        except (OSError, subprocess.CalledProcessError):
            return None
    return library


def _instructions(what, library):
    """Instructions of one warm ``what`` ("point" or "analysis") under callgrind."""
    with tempfile.TemporaryDirectory() as folder:
        out = os.path.join(folder, "callgrind.out")
        prefix = ["valgrind", "--tool=callgrind", "--instr-atstart=no", "--collect-atstart=no",
                  f"--callgrind-out-file={out}.%p"]  # fmt: skip
        _scenario("count", what, prefix=prefix, library=str(library))
        for name in os.listdir(folder):  # the part dumped by the client request
            with open(os.path.join(folder, name)) as f:
                lines = f.read().splitlines()
            if "desc: Trigger: Client Request: point" in lines:
                return next(int(line.split()[1]) for line in lines if line.startswith("summary:"))
        raise RuntimeError("callgrind wrote no count of the point")


def _point_figures():
    library = _counter()
    if library is not None:
        point, analysis = _instructions("point", library), _instructions("analysis", library)
        unit = "instructions (callgrind)"
        text = lambda n: f"{n / 1e6:,.0f} M"  # noqa: E731
    else:
        point = float(_scenario("time", "point")[1])
        analysis = float(_scenario("time", "analysis")[1])
        unit = "CPU time"
        text = lambda n: f"{n * 1e3:,.0f} ms"  # noqa: E731
    return [
        f"sweep point, warm, {unit}: {text(point)}; the same run analysed as a whole run "
        f"(summary, risk, every statistic): {text(analysis)} ({point / analysis:.0%})"
    ]


def _pool_figures():
    count = len(GRID)
    best = {"single": float("inf"), "pool": float("inf"), "plain": float("inf")}
    for _ in range(RUNS):  # in turn, so that a slow spell of the machine hits them all alike
        for name in best:
            best[name] = min(best[name], float(_scenario(name)[1]))
    single, pool, plain = best["single"], best["pool"], best["plain"]
    per = lambda total: (total - single) / count * 1e3  # noqa: E731
    return [
        f"{count} points ({SPAN[0]} to {SPAN[1]}), CPU time of parent and workers, best of {RUNS}: "
        f"one process {single:.2f} s ({single / count * 1e3:,.0f} ms a point); the sweep's pool of {WORKERS} "
        f"{pool:.2f} s; a plain process pool of {WORKERS} {plain:.2f} s",
        f"overhead a point against one process: the sweep's pool {per(pool):+,.0f} ms, "
        f"the plain pool {per(plain):+,.0f} ms",
    ]


def _default_run_figures():
    best = None
    with tempfile.TemporaryDirectory() as folder:
        for _ in range(RUNS):
            spent, _, err = _child_cpu([sys.executable, "-c", CHART, os.path.join(folder, "out")])
            chart = float(err.rsplit("chart ", 1)[1])
            if best is None or spent < best[0]:
                best = (spent, chart)
    spent, chart = best
    return [
        f"default run (python -m korvane_bond_demo), CPU time, best of {RUNS}: {spent:.2f} s, "
        f"of which the chart (matplotlib's import and the drawing) {chart:.2f} s ({chart / spent:.0%})"
    ]


def run(sections):
    notes = _point_figures() + _pool_figures() + _default_run_figures()
    sections.append(Section("Demo (bench/bench_demo.py; CPU time of all processes)", notes=notes))
