"""Parameter sweeps: every point of a grid one whole backtest, in worker processes.

The package's objects live in one interpreter each, so a point is the unit of work:
:func:`run_point` runs one backtest in a worker and returns the statistics the sweep
keeps, or the error it raised as one line (the other points go on). :func:`run_grid`
runs the points on this machine's worker processes (:mod:`korvane_bond_demo.pool`:
persistent workers fed chunks of points) or on a Dask cluster
(:mod:`korvane_bond_demo.cluster`). Every worker checks, before its first point, that
its market data are those the sweep was checked against (their
:func:`~korvane_bond_demo.dataset.fingerprint`).

The table a sweep writes is :mod:`korvane_bond_demo.sweep_table`'s; its heatmap and
printed summary :mod:`korvane_bond_demo.sweep_report`'s. This module and those load no
heavy library: a worker imports the run when it runs its first point.
"""

import contextlib
import os
import signal
import threading

# The statistics a point keeps: the columns of sweep.csv, keys of stats.json, each an
# attribute of korvane_bond_demo.performance.Performance.
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
GRID_FILE = "sweep-grid.json"
LOG_FILE = "sweep-dask.log"  # Dask's own logging, on a sweep given --scheduler
OUTPUTS = ("sweep.csv", "sweep.png", GRID_FILE, LOG_FILE)
# A grid with more points needs --max-points: a typo in a grid (a million points) must
# not start an hours-long run without a word.
MAX_POINTS = 1_000
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
    first checked to be those of that fingerprint (once per process)."""
    try:
        if fingerprint is not None:
            found = _FOUND.get(settings.data)
            if found is None:
                found = _FOUND[settings.data] = _fingerprint(settings.data)
            if found != fingerprint:
                raise DataChanged(
                    f"{_data_name(settings.data)} on this worker differ from those the sweep was checked "
                    f"against (content {found[:12]}, expected {fingerprint[:12]})"
                )
        # A run holds the framework's environment, one per interpreter: on a worker
        # with several threads, its points run one after the other.
        with _ONE_RUN_AT_A_TIME:
            return point_statistics(settings)
    except Exception as error:  # a failing point is a result of the sweep, not its end
        return {"error": one_line(error)}


def point_statistics(settings):
    """The :data:`STATISTICS` of one run with ``settings``, those of its ``stats.json`` to
    the last digit, made of what they need alone: the run, its ledger and its returns."""
    from korvane_bond_demo.backtest import prepare

    return prepare(settings).figures(STATISTICS)


def _run_payload(payload):
    return run_point(*payload)


def _data_name(folder):
    return "the bundled market data" if folder is None else f"the market data in {folder}"


def _fingerprint(folder):
    from korvane_bond_demo.dataset import fingerprint

    return fingerprint(folder)


def fingerprints(points):
    """{data folder: fingerprint} of every data folder of ``points`` ((swept, Settings))."""
    found = {}
    for _, settings in points:
        if settings.data not in found:
            try:
                found[settings.data] = _fingerprint(settings.data)
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
    maps each data folder to its fingerprint, which the workers
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
