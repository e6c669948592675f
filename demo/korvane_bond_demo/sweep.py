"""Parameter sweeps: every point of a grid one whole backtest, in Dask worker processes.

The package's objects live in one interpreter each, so a point is the unit of work:
:func:`run_point` runs one backtest in a worker and returns its statistics, or the
error it raised as one line (the other points go on). :func:`run_grid` runs the
points on an embedded ``LocalCluster`` (one single-threaded worker process per
core) or on the Dask scheduler at an address; :func:`write_results` writes
``sweep.csv`` and the heatmap atomically.
"""

import contextlib
import csv
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
OUTPUTS = ("sweep.csv", "sweep.png")
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
    # It is ignored while the cluster starts (a few seconds), so that the worker
    # processes inherit that and never take it themselves.
    cluster = None
    try:
        with _sigint_ignored():
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
            cluster.close()


@contextlib.contextmanager
def _sigint_ignored():
    if not _main_thread():
        yield
        return
    handler = signal.signal(signal.SIGINT, signal.SIG_IGN)
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, handler)


def _main_thread():
    return threading.current_thread() is threading.main_thread()


def run_grid(points, scheduler=None, workers=None, progress=None, started=None):
    """Run every Settings of ``points`` as one task; a list of results in their order
    (see :func:`run_point`). ``progress`` wraps the iterable of finished tasks;
    ``started`` is called with the client once the cluster is there."""
    from distributed import as_completed

    workers = min(workers or default_workers(), len(points))
    results = [None] * len(points)
    with _client(scheduler, workers) as client:
        if started is not None:
            started(client)
        futures = [client.submit(run_point, settings, pure=False) for settings in points]
        where = {future.key: i for i, future in enumerate(futures)}
        finished = as_completed(futures)
        for future in progress(finished) if progress is not None else finished:
            i = where[future.key]
            if future.status == "error":  # the task itself could not run (a worker died, ...)
                results[i] = {"error": _one_line(future.exception())}
            else:
                results[i] = future.result()
            future.release()
    return results


# -- results ---------------------------------------------------------------------------


def header(names):
    return ["point", *names, *STATISTICS, "error"]


def rows(points, results):
    """sweep.csv's rows: the point's number, its swept values, its statistics (full
    precision, empty where undefined or failed) and its error (empty when it ran)."""
    for number, ((swept, _), result) in enumerate(zip(points, results), 1):
        values = [PARAMETERS[name].text(value) for name, value in swept.items()]
        figures = ["" if result.get(name) is None else repr(float(result[name])) for name in STATISTICS]
        yield [number, *values, *figures, result.get("error", "")]


def write_results(out, names, points, results, heatmap):
    """Write sweep.csv and the heatmap into the folder ``out``, both or neither."""
    from korvane_bond_demo.files import staged

    with staged(out) as staging:
        path = staging.path("sweep.csv")
        with open(path, "w", newline="", encoding="utf-8") as f:
            writer = csv.writer(f, lineterminator="\n")
            writer.writerow(header(names))
            writer.writerows(rows(points, results))
        plot_heatmap(staging.path("sweep.png"), points, results, *heatmap)
        finals = staging.finals
    return finals


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
    width = max(6.0, 1.3 * len(xs) + 3.0)
    height = max(3.0, 0.8 * len(ys) + 2.2)
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
        for j, row in enumerate(matrix):
            for i, value in enumerate(row):
                text = "failed" if value is None else format_figure(stat, value)
                dark = value is not None and abs(value - middle) > 0.35 * (vmax - vmin)
                ax.text(i, j, text, ha="center", va="center", fontsize=10, color="white" if dark else "black")
        ax.set_xticks(range(len(xs)))
        ax.set_xticklabels([_label(x, v) for v in xs])
        ax.set_xlabel(x)
        ax.set_yticks(range(len(ys)))
        if y is None:
            ax.set_yticklabels([""])
        else:
            ax.set_yticklabels([_label(y, v) for v in ys])
            ax.set_ylabel(y)
        title = f"{stat.replace('_', ' ')} by {x}" + (f" and {y}" if y else "")
        if others:
            title += f"\n(mean over {', '.join(others)})"
        ax.set_title(title)
        fig.tight_layout()
        fig.savefig(path, format="png")
    finally:
        plt.close(fig)


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
