"""The sweep on a Dask cluster (``--scheduler ADDRESS``): each point one task.

Dask is imported here only, and only for a sweep given a scheduler. Dask's own logging
(its client's, and that of the libraries it runs on) goes into a log file of the output
folder, not to the terminal: a scheduler or worker lost mid-sweep is reported in one
line, which names the file. :func:`run` raises :class:`ClusterLost` when the scheduler
is gone or no worker is left for :data:`WORKERS_GONE_SECONDS`, after every finished
point was handed over.
"""

import asyncio
import contextlib
import logging
import time

from korvane_bond_demo.sweep import one_line

CONNECT_SECONDS = 10  # to reach the scheduler
WORKER_WAIT_SECONDS = 60  # for the first worker to join
WORKERS_GONE_SECONDS = 30  # without any worker before the sweep gives up
CLOSE_SECONDS = 10  # for the client to close
POLL_SECONDS = 0.2
LOGGERS = ("distributed", "dask", "tornado", "asyncio", "bokeh")
INSTALL_HINT = 'a sweep on a Dask cluster needs Dask: pip install "korvane-bond-demo[sweep]"'


class ClusterLost(RuntimeError):
    """The cluster went away mid-sweep."""


def require_dask():
    """Raise ValueError with the install hint when dask's distributed scheduler is missing."""
    try:
        import dask  # noqa: F401
        import distributed  # noqa: F401
    except ImportError:
        raise ValueError(INSTALL_HINT) from None


@contextlib.contextmanager
def logged_to(path):
    """Dask's logging and warnings into the file ``path`` while the block runs (Dask's
    own handlers, which it gives its loggers when it is imported, set aside)."""
    import distributed  # noqa: F401  (its logging is set up on import)

    handler = logging.FileHandler(path, encoding="utf-8")
    handler.setFormatter(logging.Formatter("%(asctime)s %(name)s %(levelname)s %(message)s"))
    names = [
        name for name in list(logging.root.manager.loggerDict)
        if name.split(".")[0] in LOGGERS
    ]  # fmt: skip
    saved = []
    for name in {*LOGGERS, *names, "py.warnings"}:
        logger = logging.getLogger(name)
        saved.append((logger, logger.handlers[:], logger.propagate))
        logger.handlers[:] = [handler] if name in (*LOGGERS, "py.warnings") else []
        logger.propagate = name not in (*LOGGERS, "py.warnings")
    logging.captureWarnings(True)
    try:
        yield
    finally:
        logging.captureWarnings(False)
        for logger, handlers, propagate in saved:
            logger.handlers[:] = handlers
            logger.propagate = propagate
        handler.close()


def run(points, task, scheduler, interrupted, log_path, started=None):
    """Run ``task(*payload)`` for every (number, payload) of ``points`` as one task each on
    the cluster of ``scheduler``; yield (number, result) as they finish. ConnectionError
    when the scheduler cannot be reached or no worker joins; :class:`ClusterLost` when it
    goes away; KeyboardInterrupt once ``interrupted`` is set."""
    with logged_to(log_path):
        from distributed import Client

        where = f"the Dask scheduler at {scheduler}"
        try:
            client = Client(scheduler, timeout=f"{CONNECT_SECONDS}s")
        except (OSError, TimeoutError, ValueError) as error:
            raise ConnectionError(f"cannot reach {where}: {one_line(error)}") from None
        try:
            if interrupted.is_set():
                raise KeyboardInterrupt
            try:
                client.wait_for_workers(1, timeout=WORKER_WAIT_SECONDS)
            except (TimeoutError, OSError):
                raise ConnectionError(f"no worker joined {where} in {WORKER_WAIT_SECONDS} s") from None
            if started is not None:
                count = len(client.scheduler_info().get("workers", {}))
                started(f"the Dask cluster at {scheduler} ({count} worker{'s' if count != 1 else ''})")
            futures = {client.submit(task, *payload, pure=False): number for number, payload in points}
            for future in _completed(client, list(futures), interrupted, where):
                if future.status == "error":  # the task itself could not run
                    result = {"error": one_line(future.exception())}
                else:
                    result = _result(client, future, interrupted, where)
                future.release()
                yield futures[future], result
        finally:
            try:
                client.close(timeout=CLOSE_SECONDS)
            except Exception as error:  # a slow or lost scheduler must not cost the results
                logging.getLogger("distributed").warning("closing the client: %s", one_line(error))


def _check(client, pending, interrupted, where, alone_since):
    """Raise KeyboardInterrupt or :class:`ClusterLost` when the sweep cannot go on; the
    moment since which the cluster has had no worker (None while it has one)."""
    if interrupted.is_set():
        raise KeyboardInterrupt
    if client.status not in ("running", "connecting") or any(f.cancelled() for f in pending):
        raise ClusterLost(f"lost {where}")
    if client.scheduler_info().get("workers"):
        return None
    now = time.monotonic()
    if alone_since is not None and now - alone_since > WORKERS_GONE_SECONDS:
        raise ClusterLost(f"no worker left on {where} for {WORKERS_GONE_SECONDS} s")
    return now if alone_since is None else alone_since


def _completed(client, pending, interrupted, where):
    """The futures as they complete (finished or failed); ClusterLost when the scheduler
    or every worker goes."""
    alone_since = None
    while pending:
        ready = [f for f in pending if f.status in ("finished", "error")]
        if ready:
            done = {id(f) for f in ready}
            pending = [f for f in pending if id(f) not in done]
            yield from ready
            continue
        alone_since = _check(client, pending, interrupted, where, alone_since)
        interrupted.wait(POLL_SECONDS)


def _result(client, future, interrupted, where):
    """The result of a finished ``future``, fetched in short waits (a worker that held it
    may be gone, and the cluster with it)."""
    alone_since = None
    while True:
        try:
            return future.result(timeout=1)
        except (TimeoutError, asyncio.TimeoutError):
            alone_since = _check(client, [future], interrupted, where, alone_since)
        except Exception as error:  # the result cannot be had: the cluster went away
            if future.cancelled() or client.status not in ("running", "connecting"):
                raise ClusterLost(f"lost {where}") from None
            return {"error": one_line(error)}
