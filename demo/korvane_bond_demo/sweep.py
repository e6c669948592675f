"""Parameter sweeps: every point of a grid one whole backtest, in worker processes.

The package's objects live in one interpreter each, so a point is the unit of work:
:func:`run_point` runs one backtest in a worker and returns the statistics the sweep
keeps, or the error it raised as one line (the other points go on). :func:`run_grid`
runs the points on this machine's worker processes (:mod:`korvane_bond_demo.pool`:
persistent workers fed chunks of points) or on a Dask cluster
(:mod:`korvane_bond_demo.cluster`). Every worker checks, before its first point, that
its market data are those the sweep was checked against (:func:`data_fingerprint`).

:class:`ResultsFile` writes each finished point to ``sweep.csv`` as it completes and,
for ``--resume``, reads back only a table it can trust; :func:`lock_folder` keeps a
second sweep out of the folder; :func:`write_heatmap` draws the heatmap, whose
failure leaves the table as it is.
"""

import contextlib
import csv
import hashlib
import io
import json
import math
import os
import re
import signal
import threading

from korvane_bond_demo import interrupt
from korvane_bond_demo.config import PARAMETERS

# The statistics of a point, in the columns of sweep.csv (the keys of stats.json;
# korvane_bond_demo.backtest.POINT_STATISTICS).
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
LOG_FILE = "sweep-dask.log"  # Dask's own logging, on a sweep given --scheduler
OUTPUTS = ("sweep.csv", "sweep.png", GRID_FILE, LOG_FILE)
# A grid with more points needs --max-points: a typo in a grid (a million points) must
# not start an hours-long run without a word.
MAX_POINTS = 1_000
# Beyond this many values along an axis the heatmap's cells carry no figures and its
# ticks are thinned; its size stays within MAX_FIGURE inches.
ANNOTATED_CELLS = 24
MAX_FIGURE = (16.0, 10.0)
MAX_ERROR_CHARS = 2_000  # a point's error, in its one line of sweep.csv


def one_line(error):
    """An error as a point's one line of sweep.csv: its type and message, at most
    :data:`MAX_ERROR_CHARS` characters."""
    text = " ".join(str(error).split())
    line = f"{type(error).__name__}: {text}" if text else type(error).__name__
    return line if len(line) <= MAX_ERROR_CHARS else line[: MAX_ERROR_CHARS - 1] + "\u2026"


# -- one point -------------------------------------------------------------------------

_ONE_RUN_AT_A_TIME = threading.Lock()
_FOUND = {}  # data folder (None: the bundled data) -> its fingerprint, as this process read it


class DataChanged(ValueError):
    """A worker's market data are not those the sweep was checked against."""


def run_point(settings, fingerprint=None):
    """One backtest with ``settings``, in the calling process: {statistic: value}, or
    {"error": the error in one line} when it failed. With ``fingerprint``, the data are
    first checked to be those of that :func:`data_fingerprint` (once per process)."""
    try:
        if fingerprint is not None:
            found = _FOUND.get(settings.data)
            if found is None:
                found = _FOUND[settings.data] = data_fingerprint(settings.data)
            if found != fingerprint:
                raise DataChanged(
                    f"{_data_name(settings.data)} on this worker differ from those the sweep was checked "
                    f"against (content {found[:12]}, expected {fingerprint[:12]})"
                )
        from korvane_bond_demo.backtest import point_statistics

        # A run holds the framework's environment, one per interpreter: on a worker
        # with several threads, its points run one after the other.
        with _ONE_RUN_AT_A_TIME:
            return point_statistics(settings)
    except Exception as error:  # a failing point is a result of the sweep, not its end
        return {"error": one_line(error)}


def _run_payload(payload):
    return run_point(*payload)


def _data_name(folder):
    return "the bundled market data" if folder is None else f"the market data in {folder}"


def data_fingerprint(folder=None):
    """The SHA-256 of the market data in ``folder`` (None: the bundled data): every table
    file of the layout, by name and content. OSError when one cannot be read."""
    from korvane_bond_demo.dataset import LAYOUT, bundled_folder

    root = bundled_folder() if folder is None else os.fspath(folder)
    digest = hashlib.sha256()
    for name in sorted(LAYOUT):
        for suffix in (".csv", ".parquet"):
            path = os.path.join(root, name + suffix)
            if not os.path.isfile(path):
                continue
            digest.update(f"{name}{suffix}\0{os.path.getsize(path)}\0".encode())
            with open(path, "rb") as f:
                for block in iter(lambda f=f: f.read(1 << 20), b""):
                    digest.update(block)
    return digest.hexdigest()


def fingerprints(points):
    """{data folder: fingerprint} of every data folder of ``points`` ((swept, Settings))."""
    found = {}
    for _, settings in points:
        if settings.data not in found:
            try:
                found[settings.data] = data_fingerprint(settings.data)
            except OSError as error:
                why = error.strerror or error
                raise ValueError(f"cannot read {_data_name(settings.data)}: {why}") from None
    return found


def default_workers():
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # not on Linux
        return os.cpu_count() or 1


def require_dask():
    """Raise ValueError with the install hint when Dask's distributed scheduler is missing
    (a sweep on a Dask cluster, ``--scheduler``, needs it)."""
    from korvane_bond_demo.cluster import require_dask

    require_dask()


# -- the grid ----------------------------------------------------------------------------


@contextlib.contextmanager
def _interrupt_flag():
    """An event set by Ctrl-C while the block runs (the main thread's handler, in place
    of the KeyboardInterrupt that library code waiting on a future could swallow)."""
    flag = threading.Event()
    if threading.current_thread() is not threading.main_thread():
        yield flag
        return
    previous = signal.signal(signal.SIGINT, lambda _signum, _frame: flag.set())
    try:
        yield flag
    finally:
        signal.signal(signal.SIGINT, previous)


def run_grid(points, found=None, scheduler=None, workers=None, progress=None, started=None,
             finished=None, log_path=None, close_fds=()):  # fmt: skip
    """Run every Settings of ``points`` (a list of (number, Settings)) and call
    ``finished(number, result)`` as each one completes (see :func:`run_point`); ``found``
    maps each data folder to its :func:`fingerprint <data_fingerprint>`, which the workers
    check. On this machine's worker processes (``workers`` of them, default one per core;
    ``close_fds``: descriptors they must not keep), or on the Dask cluster of
    ``scheduler`` (its logging into ``log_path``). ``progress`` wraps the iterable of
    finished points; ``started`` is called with where the points run, once they do.

    Ctrl-C raises KeyboardInterrupt within a fraction of a second, at any moment, the
    workers ended. Raises :class:`korvane_bond_demo.pool.WorkersGone` or
    :class:`korvane_bond_demo.cluster.ClusterLost` when the workers or the cluster are
    gone, ConnectionError when the scheduler cannot be reached, and whatever
    ``finished`` raises; every point handed to ``finished`` before stays handed."""
    if not points:
        return
    found = found or {}
    payloads = [(number, (settings, found.get(settings.data))) for number, settings in points]
    with _interrupt_flag() as interrupted:
        if scheduler is None:
            # what a point needs, loaded here once: forked workers start with it
            import korvane_bond_demo.backtest  # noqa: F401
            from korvane_bond_demo.pool import Pool

            count = min(workers or default_workers(), len(points))
            with Pool(count, _run_payload, close_fds) as local:
                if interrupted.is_set():
                    raise KeyboardInterrupt
                if started is not None:
                    started(f"{count} worker process{'es' if count != 1 else ''}")
                _deliver(local.run(payloads, interrupted), progress, finished, interrupted)
        else:
            from korvane_bond_demo import cluster

            results = cluster.run(payloads, run_point, scheduler, interrupted, log_path, started)
            _deliver(results, progress, finished, interrupted)


def _deliver(results, progress, finished, interrupted):
    for number, result in progress(results) if progress is not None else results:
        if finished is not None:
            finished(number, result)
        if interrupted.is_set():
            raise KeyboardInterrupt


# -- the folder and its table ------------------------------------------------------------


def lock_folder(out):
    """Take the output folder ``out`` for this sweep: an exclusive lock, held until the
    descriptor returned is closed (or the process ends); None where the system has no
    such locks. ValueError, one line, when another sweep holds it."""
    try:
        import fcntl
    except ImportError:  # not on a POSIX system
        return None
    handle = os.open(out, os.O_RDONLY | getattr(os, "O_DIRECTORY", 0) | getattr(os, "O_CLOEXEC", 0))
    try:
        fcntl.flock(handle, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        os.close(handle)
        raise ValueError(
            f"the output folder {out} is in use by another sweep; let it finish, or give another --out"
        ) from None
    except OSError as error:
        os.close(handle)
        raise ValueError(f"cannot lock the output folder {out}: {error.strerror or error}") from None
    return handle


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


def _csv_text(cells_list):
    buffer = io.StringIO()
    writer = csv.writer(buffer, lineterminator="\n")
    writer.writerows(cells_list)
    return buffer.getvalue()


_POINT_NUMBER = re.compile(r"[1-9][0-9]{0,8}")


class ResultsFile:
    """``sweep.csv`` written as the points finish: the header first, then one row per
    finished point, appended, flushed and synced to disk as it completes, so a crash or
    an interrupt loses no finished point. :meth:`close` rewrites it in point order
    (atomically). ``sweep-grid.json`` beside it records the grid, for ``--resume``,
    which takes an earlier table only when every row is one this grid could have
    written (:meth:`_read_back`)."""

    def __init__(self, out, names, points, resume=False):
        self.path = out / "sweep.csv"
        self.grid_path = out / GRID_FILE
        self.names = names
        self.points = points
        self.results = {}  # point number -> result
        if resume:
            self.results, kept = self._read_back()
            _write_atomically(self.path, kept)  # the trusted rows; a row a crash cut short goes
            self._file = open(self.path, "a", newline="", encoding="utf-8")
        else:
            _write_atomically(self.grid_path, json.dumps(_grid_record(names, points), indent=1) + "\n")
            _write_atomically(self.path, _csv_text([header(names)]))
            self._file = open(self.path, "a", newline="", encoding="utf-8")

    def _write(self, cells):
        self._file.write(_csv_text([cells]))
        self._file.flush()
        os.fsync(self._file.fileno())

    def add(self, number, result):
        """Write the row of a finished point; OSError when it cannot be (a full disk): the
        point then counts as not run."""
        self._write(row(number, self.points[number - 1][0], result))
        self.results[number] = result

    @property
    def remaining(self):
        """(number, Settings) of the points with no row yet."""
        return [(n, settings) for n, (_, settings) in enumerate(self.points, 1) if n not in self.results]

    def close(self, final=True):
        """Close the file; when ``final``, rewrite it with every row in point order.
        OSError when the file cannot be closed or rewritten (the rows written stay)."""
        try:
            self._file.close()
        except OSError:
            if final:
                raise
        if final:
            ordered = [header(self.names)] + [
                row(n, self.points[n - 1][0], self.results[n]) for n in sorted(self.results)
            ]
            _write_atomically(self.path, _csv_text(ordered))

    def ordered_results(self):
        return [self.results.get(n, {"error": "not run"}) for n in range(1, len(self.points) + 1)]

    def _refuse(self, line, why):
        raise ValueError(
            f"--resume: {self.path}, line {line}: {why}; it is not this sweep's table: "
            "run it without --resume to start again"
        )

    def _read_back(self):
        """The finished points of an earlier run of the same grid and the text of their
        rows: ({number: result}, text). ValueError, one line naming the row, for a table
        this grid could not have written."""
        if not self.path.is_file() or not self.grid_path.is_file():
            raise ValueError(f"--resume: no earlier sweep in {self.path.parent} (sweep.csv and {GRID_FILE})")
        expected = _grid_record(self.names, self.points)
        expected_text = json.dumps(expected, indent=1) + "\n"
        recorded = _read_bounded(self.grid_path, 2 * len(expected_text) + 4096)
        try:
            same = recorded is not None and json.loads(recorded.decode("utf-8")) == expected
        except (ValueError, RecursionError):  # not JSON, not UTF-8, nested beyond reason
            raise ValueError(f"--resume: {self.grid_path} cannot be read") from None
        if not same:
            raise ValueError(
                f"--resume: {self.path} holds another grid or other settings; run it without --resume "
                "to start again"
            )
        width = len(header(self.names))
        limit = (len(self.points) + 1) * (width * 64 + MAX_ERROR_CHARS + 256) + sum(
            len(json.dumps(point)) for point in expected["points"]
        )
        data = _read_bounded(self.path, limit)
        if data is None:
            raise ValueError(
                f"--resume: {self.path} is larger than a table of this grid can be; "
                "run it without --resume to start again"
            )
        try:
            text = data.decode("utf-8")
        except UnicodeDecodeError as error:
            self._refuse(data[: error.start].count(b"\n") + 1, "not UTF-8 text")
        if "\0" in text:
            self._refuse(text[: text.index("\0")].count("\n") + 1, "a NUL character")
        torn = text != "" and not text.endswith("\n")  # the last row, cut short by a crash
        reader = csv.reader(io.StringIO(text, newline=""))
        records = []
        try:
            for cells in reader:
                records.append((reader.line_num, cells))
        except csv.Error as error:  # a field over the csv module's limit, a stray quote
            self._refuse(reader.line_num, " ".join(str(error).split()))
        if torn and records:
            records.pop()
        if not records or records[0][1] != header(self.names):
            raise ValueError(f"--resume: {self.path} does not start with the header of this grid")
        results, kept = {}, [records[0][1]]
        for line, cells in records[1:]:
            results_of = self._check_row(line, cells, width, results)
            results[int(cells[0])] = results_of
            kept.append(cells)
        return results, _csv_text(kept)

    def _check_row(self, line, cells, width, seen):
        """The result a row records, once it is checked against its point and the grid."""
        if len(cells) != width:
            self._refuse(line, f"{len(cells)} cells where this grid's rows have {width}")
        if not _POINT_NUMBER.fullmatch(cells[0]) or not 1 <= int(cells[0]) <= len(self.points):
            self._refuse(line, f"no point {cells[0][:40]!r} in this grid of {len(self.points):,}")
        number = int(cells[0])
        if number in seen:
            self._refuse(line, f"point {number} is given twice")
        swept = self.points[number - 1][0]
        for name, cell in zip(self.names, cells[1:]):
            value = PARAMETERS[name].text(swept[name])
            if cell != value:
                self._refuse(line, f"point {number} has {name} {cell[:80]!r} where the grid has {value!r}")
        count = len(self.names)
        figures = cells[1 + count : 1 + count + len(STATISTICS)]
        error = cells[-1]
        if error:
            if any(figures):
                self._refuse(line, f"point {number} has both figures and an error")
            if len(error) > MAX_ERROR_CHARS:
                self._refuse(line, f"point {number}'s error is over {MAX_ERROR_CHARS:,} characters")
            return {"error": error}
        result = {}
        for name, cell in zip(STATISTICS, figures):
            try:
                value = float(cell) if cell else None
            except ValueError:
                value = math.nan
            if value is not None and not math.isfinite(value):
                self._refuse(line, f"point {number}'s {name} is no finite number: {cell[:40]!r}")
            result[name] = value
        return result


def _read_bounded(path, limit):
    """The bytes of the file ``path``, or None when it holds more than ``limit``."""
    with open(path, "rb") as f:
        data = f.read(limit + 1)
    return None if len(data) > limit else data


def _write_atomically(path, text):
    """``text`` into ``path``: written beside it under a temporary name, synced, renamed
    over it; nothing is left of the temporary file when that fails."""
    partial = path.with_name(f".{path.name}.partial")

    def remove():
        with contextlib.suppress(OSError):
            partial.unlink()

    with interrupt.cleaning(remove):
        try:
            with open(partial, "w", newline="", encoding="utf-8") as f:
                f.write(text)
                f.flush()
                os.fsync(f.fileno())
            os.replace(partial, path)
        finally:
            remove()


def write_heatmap(out, points, results, heatmap):
    """Write sweep.png (under a temporary name, then renamed); its path."""
    path = out / "sweep.png"
    partial = out / ".sweep.png.partial"

    def remove():
        with contextlib.suppress(OSError):
            partial.unlink()

    with interrupt.cleaning(remove):
        try:
            plot_heatmap(partial, points, results, *heatmap)
            os.replace(partial, path)
        finally:
            remove()
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
    import numpy as np
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure
    from matplotlib.ticker import PercentFormatter

    xs, ys, matrix = _cells(points, results, stat, x, y)
    data = np.array([[np.nan if v is None else v for v in row] for row in matrix], dtype=float)
    others = [name for name in points[0][0] if name not in (x, y)]
    width = min(MAX_FIGURE[0], max(6.0, 1.3 * len(xs) + 3.0))
    height = min(MAX_FIGURE[1], max(3.0, 0.8 * len(ys) + 2.2))
    annotate = len(xs) <= ANNOTATED_CELLS and len(ys) <= ANNOTATED_CELLS
    fig = Figure(figsize=(width, height), dpi=110)
    FigureCanvasAgg(fig)
    ax = fig.subplots()
    cmap = matplotlib.colormaps["RdYlGn_r" if stat in LOWER_IS_BETTER else "RdYlGn"].with_extremes(
        bad="#d9d9d9"
    )
    finite = data[np.isfinite(data)]
    vmin, vmax = (finite.min(), finite.max()) if finite.size else (0.0, 1.0)
    if vmin == vmax:
        vmin, vmax = vmin - 1e-12, vmax + 1e-12
    image = ax.imshow(np.ma.masked_invalid(data), cmap=cmap, vmin=vmin, vmax=vmax, aspect="auto")
    bar = fig.colorbar(image, ax=ax)
    bar.set_label(stat.replace("_", " "))
    if stat in PERCENT:
        bar.ax.yaxis.set_major_formatter(PercentFormatter(1.0, decimals=2))
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
