"""Parameter sweeps: every point of a grid one whole backtest, in Dask worker processes.

The package's objects live in one interpreter each, so a point is the unit of work:
:func:`run_point` runs one backtest in a worker and returns its statistics, or the
error it raised as one line (the other points go on). :func:`run_grid` runs the
points on an embedded ``LocalCluster`` (one single-threaded worker process per
core) or on the Dask scheduler at an address; :class:`ResultsFile` writes each
finished point to ``sweep.csv`` as it completes, and :func:`write_heatmap` the
heatmap, whose failure leaves the table as it is.
"""

import contextlib
import csv
import json
import logging
import math
import os
import signal
import threading

from korvane_bond_demo.config import PARAMETERS

# The statistics of a point, in the columns of sweep.csv (the keys of stats.json).
STATISTICS = (
    "pnl",
    "total_return",
    "annual_return",
    "annual_volatility",
    "max_drawdown",
    "sharpe_ratio",
    "leverage_max",
    "leverage_mean",
)
LOWER_IS_BETTER = frozenset({"annual_volatility"})
PERCENT = frozenset({"total_return", "annual_return", "annual_volatility", "max_drawdown"})
GRID_FILE = "sweep-grid.json"
OUTPUTS = ("sweep.csv", "sweep.png", GRID_FILE)
POLL_SECONDS = 0.2  # how often the finished tasks and Ctrl-C are looked at
CLOSE_SECONDS = 20  # the longest wait for the embedded cluster to close
# A grid with more points needs --max-points: a typo in a grid (a million points) must
# not start an hours-long run without a word.
MAX_POINTS = 1_000
# Beyond this many values along an axis the heatmap's cells carry no figures and its
# ticks are thinned; its size stays within MAX_FIGURE inches.
ANNOTATED_CELLS = 24
MAX_FIGURE = (16.0, 10.0)
INSTALL_HINT = 'the sweep runs on Dask: pip install "korvane-bond-demo[sweep]" (dask and distributed)'
WORKER_WAIT_SECONDS = 60


def _one_line(error):
    text = " ".join(str(error).split())
    return f"{type(error).__name__}: {text}" if text else type(error).__name__


_ONE_RUN_AT_A_TIME = threading.Lock()


def run_point(settings):
    """One backtest with ``settings``, in the calling process: {statistic: value}, or
    {"error": the error in one line} when the run raised."""
    from korvane_bond_demo.backtest import run_statistics

    try:
        # A run holds the framework's environment, one per interpreter: on a worker
        # with several threads, its points run one after the other.
        with _ONE_RUN_AT_A_TIME:
            stats = run_statistics(settings)
    except Exception as error:  # a failing point is a result of the sweep, not its end
        return {"error": _one_line(error)}
    return {name: stats[name] for name in STATISTICS}


def default_workers():
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # not on Linux
        return os.cpu_count() or 1


def require_dask():
    """Raise ValueError with the install hint when dask's distributed scheduler is missing."""
    try:
        import dask  # noqa: F401
        import distributed  # noqa: F401
    except ImportError:
        raise ValueError(INSTALL_HINT) from None


@contextlib.contextmanager
def _client(scheduler, workers):
    from distributed import Client, LocalCluster

    if scheduler is not None:
        try:
            client = Client(scheduler, timeout="10s")
        except (OSError, TimeoutError, ValueError) as error:
            raise ConnectionError(
                f"cannot reach the Dask scheduler at {scheduler}: {_one_line(error)}"
            ) from None
        with client:
            try:
                client.wait_for_workers(1, timeout=WORKER_WAIT_SECONDS)
            except (TimeoutError, OSError):
                raise ConnectionError(
                    f"no worker joined the Dask scheduler at {scheduler} in {WORKER_WAIT_SECONDS} s"
                ) from None
            yield client
        return
    # Ctrl-C is the command's to handle: it closes the cluster, which ends the workers.
    # The worker processes inherit SIGINT ignored from the start below, so they never
    # take it themselves; a Ctrl-C meanwhile is held back, not lost (_sigint_held).
    cluster = None
    try:
        with _sigint_held():
            cluster = LocalCluster(
                n_workers=workers,
                threads_per_worker=1,
                processes=True,
                dashboard_address=None,
                # the scheduler's HTTP server (health, metrics) on a free port, not 8787,
                # which another cluster may hold
                scheduler_kwargs={"dashboard_address": ":0"},
                silence_logs=logging.ERROR,
            )
        with Client(cluster) as client:
            yield client
    finally:
        if cluster is not None:
            cluster.close(timeout=CLOSE_SECONDS)


@contextlib.contextmanager
def _sigint_held():
    """SIGINT ignored by the processes started in the block, and held back in this one
    until the block ends: blocked in every thread (those started in the block inherit
    that), so the kernel keeps a Ctrl-C pending instead of discarding it, and it is
    delivered to the handler in place once the block ends."""
    if not _main_thread():
        yield
        return
    signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})
    handler = signal.signal(signal.SIGINT, signal.SIG_IGN)
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, handler)
        signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGINT})


def _main_thread():
    return threading.current_thread() is threading.main_thread()


@contextlib.contextmanager
def _interrupt_flag():
    """An event set by Ctrl-C while the block runs (the main thread's handler, in place
    of the KeyboardInterrupt that library code waiting on a future could swallow)."""
    flag = threading.Event()
    if not _main_thread():
        yield flag
        return
    previous = signal.signal(signal.SIGINT, lambda _signum, _frame: flag.set())
    try:
        yield flag
    finally:
        signal.signal(signal.SIGINT, previous)


def run_grid(points, scheduler=None, workers=None, progress=None, started=None, finished=None):
    """Run every Settings of ``points`` (a list of (number, Settings)) as one task, and
    call ``finished(number, result)`` as each one completes (see :func:`run_point`).
    ``progress`` wraps the iterable of finished tasks; ``started`` is called with the
    client once the cluster is there. Ctrl-C raises KeyboardInterrupt within a poll
    interval, at any moment, and the cluster is closed."""
    if not points:
        return
    workers = min(workers or default_workers(), len(points))
    with _interrupt_flag() as interrupted, _client(scheduler, workers) as client:
        if interrupted.is_set():
            raise KeyboardInterrupt
        if started is not None:
            started(client)
        futures = {client.submit(run_point, settings, pure=False): number for number, settings in points}
        done = _completed(futures, interrupted)
        for future in progress(done) if progress is not None else done:
            if future.status == "error":  # the task itself could not run (a worker died, ...)
                result = {"error": _one_line(future.exception())}
            else:
                result = future.result()
            future.release()
            if finished is not None:
                finished(futures[future], result)
            if interrupted.is_set():
                raise KeyboardInterrupt


def _completed(futures, interrupted):
    """The futures as they complete; KeyboardInterrupt once ``interrupted`` is set."""
    pending = list(futures)
    while pending:
        if interrupted.is_set():
            raise KeyboardInterrupt
        ready = [future for future in pending if future.done()]
        if not ready:
            interrupted.wait(POLL_SECONDS)
            continue
        ready_ids = {id(future) for future in ready}
        pending = [future for future in pending if id(future) not in ready_ids]
        yield from ready


# -- results ---------------------------------------------------------------------------


def header(names):
    return ["point", *names, *STATISTICS, "error"]


def row(number, swept, result):
    """One row of sweep.csv: the point's number, its swept values, its statistics (full
    precision, empty where undefined or failed) and its error (empty when it ran)."""
    values = [PARAMETERS[name].text(value) for name, value in swept.items()]
    figures = ["" if result.get(name) is None else repr(float(result[name])) for name in STATISTICS]
    return [str(number), *values, *figures, result.get("error", "")]


def rows(points, results):
    for number, ((swept, _), result) in enumerate(zip(points, results), 1):
        yield row(number, swept, result)


def _grid_record(names, points):
    """What identifies a grid: its parameters and every point's settings, as text."""
    return {
        "parameters": names,
        "points": [
            {name: PARAMETERS[name].text(getattr(settings, name)) for name in PARAMETERS}
            for _, settings in points
        ],
    }


class ResultsFile:
    """``sweep.csv`` written as the points finish: the header first, then one row per
    finished point, appended, flushed and synced to disk as it completes, so a crash or
    an interrupt loses no finished point. :meth:`close` rewrites it in point order
    (atomically). ``sweep-grid.json`` beside it records the grid, for ``--resume``."""

    def __init__(self, out, names, points, resume=False):
        self.path = out / "sweep.csv"
        self.grid_path = out / GRID_FILE
        self.names = names
        self.points = points
        self.results = {}  # point number -> result
        if resume:
            self.results = self._read_back()
            self._file = open(self.path, "a", newline="", encoding="utf-8")
        else:
            _write_atomically(self.grid_path, json.dumps(_grid_record(names, points), indent=1) + "\n")
            self._file = open(self.path, "w", newline="", encoding="utf-8")
            self._write(header(names))

    def _write(self, cells):
        csv.writer(self._file, lineterminator="\n").writerow(cells)
        self._file.flush()
        os.fsync(self._file.fileno())

    def add(self, number, result):
        swept = self.points[number - 1][0]
        self.results[number] = result
        self._write(row(number, swept, result))

    @property
    def remaining(self):
        """(number, Settings) of the points with no row yet."""
        return [(n, settings) for n, (_, settings) in enumerate(self.points, 1) if n not in self.results]

    def close(self, final=True):
        """Close the file; when ``final``, rewrite it with every row in point order."""
        self._file.close()
        if final:
            with open(self.path.with_name(".sweep.csv.partial"), "w", newline="", encoding="utf-8") as f:
                writer = csv.writer(f, lineterminator="\n")
                writer.writerow(header(self.names))
                for number in sorted(self.results):
                    writer.writerow(row(number, self.points[number - 1][0], self.results[number]))
                f.flush()
                os.fsync(f.fileno())
            os.replace(self.path.with_name(".sweep.csv.partial"), self.path)

    def ordered_results(self):
        return [self.results.get(n, {"error": "not run"}) for n in range(1, len(self.points) + 1)]

    def _read_back(self):
        """The finished points of an earlier run of the same grid; ValueError otherwise."""
        if not self.path.is_file() or not self.grid_path.is_file():
            raise ValueError(f"--resume: no earlier sweep in {self.path.parent} (sweep.csv and {GRID_FILE})")
        try:
            recorded = json.loads(self.grid_path.read_text(encoding="utf-8"))
        except (OSError, ValueError):
            raise ValueError(f"--resume: {self.grid_path} cannot be read") from None
        if recorded != _grid_record(self.names, self.points):
            raise ValueError(
                f"--resume: {self.path} holds another grid or other settings; run it without --resume "
                "to start again"
            )
        with open(self.path, newline="", encoding="utf-8") as f:
            text = f.read()
        if text and not text.endswith("\n"):  # a row cut short by a crash: run that point again
            text = text[: text.rfind("\n") + 1]
            with open(self.path, "w", newline="", encoding="utf-8") as f:
                f.write(text)
        lines = list(csv.reader(text.splitlines()))
        if not lines or lines[0] != header(self.names):
            raise ValueError(f"--resume: {self.path} does not start with the header of this grid")
        results = {}
        count = len(self.names)
        for cells in lines[1:]:
            if len(cells) != len(header(self.names)) or not cells[0].isdigit():
                raise ValueError(f"--resume: {self.path}: a row that is not this grid's: {','.join(cells)}")
            number = int(cells[0])
            figures = cells[1 + count : 1 + count + len(STATISTICS)]
            if cells[-1]:
                results[number] = {"error": cells[-1]}
            else:
                results[number] = {name: (float(v) if v else None) for name, v in zip(STATISTICS, figures)}
        return results


def _write_atomically(path, text):
    partial = path.with_name(f".{path.name}.partial")
    with open(partial, "w", encoding="utf-8") as f:
        f.write(text)
        f.flush()
        os.fsync(f.fileno())
    os.replace(partial, path)


def write_heatmap(out, points, results, heatmap):
    """Write sweep.png (under a temporary name, then renamed); its path."""
    path = out / "sweep.png"
    partial = out / ".sweep.png.partial"
    try:
        plot_heatmap(partial, points, results, *heatmap)
        os.replace(partial, path)
    finally:
        with contextlib.suppress(OSError):
            partial.unlink()
    return path


def parse_heatmap(text, names):
    """``STAT:X[:Y]`` checked against the statistics and the grid's parameters."""
    parts = text.split(":")
    if len(parts) not in (2, 3) or not all(parts):
        raise ValueError(f"write --heatmap STAT:X[:Y], got {text!r}")
    stat, x, y = parts[0], parts[1], parts[2] if len(parts) == 3 else None
    if stat not in STATISTICS:
        raise ValueError(f"--heatmap: unknown statistic {stat!r}; choose one of {', '.join(STATISTICS)}")
    for name in (x, y):
        if name is not None and name not in names:
            raise ValueError(f"--heatmap: {name!r} is not a parameter of the grid ({', '.join(names)})")
    if x == y:
        raise ValueError("--heatmap: X and Y must be two different parameters")
    return stat, x, y


def default_heatmap(names):
    return ("annual_return", names[0], names[1] if len(names) > 1 else None)


def format_figure(stat, value):
    if value is None or not math.isfinite(value):
        return "n/a"
    if stat in PERCENT:
        return f"{value:.2%}"
    if stat == "pnl":
        return f"{value:,.0f}"
    return f"{value:.2f}"


def _cells(points, results, stat, x, y):
    """The heatmap's values: x values, y values, matrix[y][x] of the mean over the other
    parameters (None where no point of the cell gave a figure)."""
    xs, ys = [], []
    sums = {}
    for (swept, _), result in zip(points, results):
        cx, cy = swept[x], swept[y] if y is not None else None
        if cx not in xs:
            xs.append(cx)
        if cy not in ys:
            ys.append(cy)
        value = result.get(stat)
        cell = sums.setdefault((cx, cy), [])
        if value is not None and math.isfinite(value):
            cell.append(value)
    matrix = [
        [math.fsum(sums[(cx, cy)]) / len(sums[(cx, cy)]) if sums.get((cx, cy)) else None for cx in xs]
        for cy in ys
    ]
    return xs, ys, matrix


def plot_heatmap(path, points, results, stat, x, y):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    import numpy as np

    xs, ys, matrix = _cells(points, results, stat, x, y)
    data = np.array([[np.nan if v is None else v for v in row] for row in matrix], dtype=float)
    others = [name for name in points[0][0] if name not in (x, y)]
    width = min(MAX_FIGURE[0], max(6.0, 1.3 * len(xs) + 3.0))
    height = min(MAX_FIGURE[1], max(3.0, 0.8 * len(ys) + 2.2))
    annotate = len(xs) <= ANNOTATED_CELLS and len(ys) <= ANNOTATED_CELLS
    fig, ax = plt.subplots(figsize=(width, height), dpi=110)
    try:
        cmap = plt.get_cmap("RdYlGn_r" if stat in LOWER_IS_BETTER else "RdYlGn").with_extremes(bad="#d9d9d9")
        finite = data[np.isfinite(data)]
        vmin, vmax = (finite.min(), finite.max()) if finite.size else (0.0, 1.0)
        if vmin == vmax:
            vmin, vmax = vmin - 1e-12, vmax + 1e-12
        image = ax.imshow(np.ma.masked_invalid(data), cmap=cmap, vmin=vmin, vmax=vmax, aspect="auto")
        bar = fig.colorbar(image, ax=ax)
        bar.set_label(stat.replace("_", " "))
        if stat in PERCENT:
            bar.ax.yaxis.set_major_formatter(matplotlib.ticker.PercentFormatter(1.0, decimals=2))
        middle = (vmin + vmax) / 2
        for j, cells in enumerate(matrix if annotate else ()):
            for i, value in enumerate(cells):
                text = "failed" if value is None else format_figure(stat, value)
                dark = value is not None and abs(value - middle) > 0.35 * (vmax - vmin)
                ax.text(i, j, text, ha="center", va="center", fontsize=10, color="white" if dark else "black")
        xticks = _ticks(len(xs))
        ax.set_xticks(xticks)
        ax.set_xticklabels([_label(x, xs[i]) for i in xticks], rotation=0 if len(xticks) <= 12 else 45)
        ax.set_xlabel(x)
        if y is None:
            ax.set_yticks([0])
            ax.set_yticklabels([""])
        else:
            yticks = _ticks(len(ys))
            ax.set_yticks(yticks)
            ax.set_yticklabels([_label(y, ys[i]) for i in yticks])
            ax.set_ylabel(y)
        title = f"{stat.replace('_', ' ')} by {x}" + (f" and {y}" if y else "")
        if others:
            title += f"\n(mean over {', '.join(others)})"
        ax.set_title(title)
        fig.tight_layout()
        fig.savefig(path, format="png")
    finally:
        plt.close(fig)


def _ticks(count, most=ANNOTATED_CELLS):
    """The positions labelled along an axis of ``count`` cells: all, or every n-th."""
    step = max(1, math.ceil(count / most))
    return list(range(0, count, step))


def _label(name, value):
    return PARAMETERS[name].text(value).replace("+", "\n")


def best(points, results, stat, count=5):
    """The ``count`` best points that ran by ``stat``: (number, swept values, result)."""
    ran = [
        (n, swept, result)
        for n, ((swept, _), result) in enumerate(zip(points, results), 1)
        if result.get(stat) is not None and math.isfinite(result[stat])
    ]
    ran.sort(key=lambda item: item[2][stat], reverse=stat not in LOWER_IS_BETTER)
    return ran[:count]


def format_summary(points, results, stat, paths, count=5):
    failed = sum("error" in result for result in results)
    lines = [f"{len(points)} points, {len(points) - failed} ran, {failed} failed"]
    top = best(points, results, stat, count)
    if top:
        order = "lowest" if stat in LOWER_IS_BETTER else "highest"
        lines.append(f"\nbest points by {stat} ({order} first):")
        shown = ("pnl", "annual_return", "annual_volatility", "max_drawdown", "sharpe_ratio", "leverage_mean")
        for number, swept, result in top:
            where = ", ".join(f"{name}={PARAMETERS[name].text(v)}" for name, v in swept.items())
            figures = "  ".join(f"{name} {format_figure(name, result[name])}" for name in shown)
            lines.append(f"  #{number}: {where}\n      {figures}")
    errors = [(n, result["error"]) for n, result in enumerate(results, 1) if "error" in result]
    if errors:
        lines.append("\nfailed points:")
        lines.extend(f"  #{n}: {message}" for n, message in errors[:count])
        if len(errors) > count:
            lines.append(f"  ... and {len(errors) - count} more (the error column of sweep.csv)")
    lines.append("\nwritten:")
    lines.extend(f"  {path}" for path in paths)
    return "\n".join(lines)
