"""The sweep's worker processes on this machine: started once, fed points in chunks.

A worker is a child process that lives for the whole sweep: forked where the system
forks (Linux), so it starts with the modules and the market data its parent loaded, or
spawned elsewhere, loading them once. It takes a chunk of points at a time from its
pipe, runs them one after the other and sends each one's result back as soon as it
is known, so a point that finished is never lost with the chunk it came in. The parent
sends a worker its next chunk when the last one is done; chunks shrink towards the
end of the grid, so that no worker idles while another one has several points to go.

A worker ignores Ctrl-C (the terminal sends it to every process of the command):
the parent decides, and ends them. A worker that dies (killed, out of memory) is
noticed at once: the point it was running goes back to the others, and is recorded
as failed if it takes :data:`MAX_DEATHS` workers down with it; when no worker is left,
:class:`WorkersGone` says so.
"""

import collections
import contextlib
import multiprocessing
import multiprocessing.connection
import os
import signal
import sys
import threading
import warnings

CHUNK = 8  # the most points a worker is sent at once
MAX_DEATHS = 2  # workers a point may take down before it is recorded as failed
POLL_SECONDS = 0.2  # how often an interrupt is looked at while the workers run
CLOSE_SECONDS = 5.0  # how long idle workers are given to leave before they are ended


class WorkersGone(RuntimeError):
    """Every worker process died."""


def _forks():
    return sys.platform.startswith("linux") and "fork" in multiprocessing.get_all_start_methods()


def _serve(connection, task, close_fds):
    """A worker's life: run each chunk's points with ``task`` and send back every result."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    if hasattr(signal, "pthread_sigmask"):
        signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGINT})
    # A forked worker closes what it inherited of its parent's: the parent's ends of the
    # pipes (so that each worker sees its pipe end when the parent is gone) and the lock
    # on the output folder (the parent's alone).
    for fd in close_fds:
        with contextlib.suppress(OSError):
            os.close(fd)
    while True:
        try:
            chunk = connection.recv()
            if chunk is None:
                return
            for number, payload in chunk:
                connection.send((number, task(payload)))
        except (EOFError, OSError):  # the parent is gone
            return


class _Worker:
    def __init__(self, process, connection):
        self.process = process
        self.connection = connection
        self.chunk = collections.deque()  # numbers sent and not answered yet, in order


def death_text(exitcode):
    """How a worker process ended, in words."""
    if exitcode is not None and exitcode < 0:
        try:
            return f"killed by {signal.Signals(-exitcode).name}"
        except ValueError:
            return f"killed by signal {-exitcode}"
    return f"exited with status {exitcode}"


class Pool:
    """``workers`` worker processes that run ``task(payload)`` for each point: use it as a
    context manager; :meth:`run` yields (number, result) as the points finish."""

    def __init__(self, workers, task, close_fds=()):
        self._workers = []
        self._last_death = ""
        forks = _forks()
        context = multiprocessing.get_context("fork" if forks else "spawn")
        # What the parent has printed is printed once: a forked child must not flush
        # a copy of the parent's buffers.
        for stream in (sys.stdout, sys.stderr):
            stream.flush()
        with sigint_held(), warnings.catch_warnings():
            # Python 3.12 warns of a fork while other threads run: here they are the
            # numerical library's idle pool, which its own fork handlers make safe.
            warnings.filterwarnings(
                "ignore", r"This process \(pid=\d+\) is multi-threaded", DeprecationWarning
            )
            try:
                for _ in range(workers):
                    ours, theirs = context.Pipe()
                    inherited = [*close_fds, *(w.connection.fileno() for w in self._workers), ours.fileno()]
                    process = context.Process(
                        target=_serve, args=(theirs, task, inherited if forks else ()), daemon=True
                    )
                    process.start()
                    theirs.close()
                    self._workers.append(_Worker(process, ours))
            except BaseException:
                self.close(wait=False)
                raise

    def __enter__(self):
        return self

    def __exit__(self, kind, _value, _traceback):
        self.close(wait=kind is None)

    def run(self, points, interrupted=None):
        """Run every (number, payload) of ``points``; yield (number, result) as each
        finishes. A point whose worker died :data:`MAX_DEATHS` times is yielded as
        failed; raises :class:`WorkersGone` when no worker is left with points to go,
        KeyboardInterrupt within :data:`POLL_SECONDS` once ``interrupted`` is set."""
        pending = collections.deque(points)
        payloads = dict(points)
        deaths = collections.Counter()
        idle = list(self._workers)
        while True:
            while idle and pending:
                self._send(idle.pop(), pending)
            if pending and not self._workers:
                raise WorkersGone(f"every worker process is gone ({self._last_death})")
            if not pending and not any(w.chunk for w in self._workers):
                return
            if interrupted is not None and interrupted.is_set():
                raise KeyboardInterrupt
            # the pipes of the busy workers, and every worker's end (a death is seen at once)
            waits = {w.connection: w for w in self._workers if w.chunk}
            waits.update({w.process.sentinel: w for w in self._workers})
            for ready in multiprocessing.connection.wait(list(waits), timeout=POLL_SECONDS):
                worker = waits[ready]
                if worker not in self._workers:
                    continue  # found dead through its other handle already
                if ready is worker.connection:
                    try:
                        number, result = worker.connection.recv()
                    except Exception:  # its end, or a message its death cut short
                        number = None
                    if number is not None:
                        worker.chunk.remove(number)
                        if not worker.chunk:
                            idle.append(worker)
                        yield number, result
                        continue
                yield from self._bury(worker, pending, payloads, deaths, idle)

    def _send(self, worker, pending):
        """Send ``worker`` its next chunk of ``pending``; one that cannot take it (it just
        died: its end is seen next) leaves the chunk where it was."""
        size = max(1, min(CHUNK, len(pending) // (2 * max(1, len(self._workers)))))
        chunk = [pending.popleft() for _ in range(min(size, len(pending)))]
        try:
            worker.connection.send(chunk)
        except OSError:
            pending.extendleft(reversed(chunk))
            return
        worker.chunk.extend(number for number, _ in chunk)

    def _bury(self, worker, pending, payloads, deaths, idle):
        """A dead worker: the results it sent are taken, the point it was running goes
        back (or is failed), the rest of its chunk goes back."""
        while worker.chunk:
            try:
                if not worker.connection.poll():
                    break
                number, result = worker.connection.recv()
            except Exception:  # its end, or a message its death cut short
                break
            worker.chunk.remove(number)
            yield number, result
        worker.process.join(1.0)
        if worker.process.exitcode is None:  # its pipe closed, the process not yet gone
            worker.process.kill()
            worker.process.join(1.0)
        how = death_text(worker.process.exitcode)
        self._last_death = f"the last one {how}"
        self._workers.remove(worker)
        if worker in idle:
            idle.remove(worker)
        worker.connection.close()
        if worker.chunk:
            running = worker.chunk.popleft()
            deaths[running] += 1
            back = [(n, payloads[n]) for n in worker.chunk]
            if deaths[running] >= MAX_DEATHS:
                yield running, {"error": f"WorkerDied: a worker process running this point died "
                                         f"{deaths[running]} times (the last one {how})"}  # fmt: skip
            else:
                back.insert(0, (running, payloads[running]))
            pending.extendleft(reversed(back))

    def close(self, wait=True):
        """End the workers: asked to leave when ``wait`` (given :data:`CLOSE_SECONDS`),
        else, and after that, terminated and killed. Never raises."""
        workers, self._workers = self._workers, []
        if wait:
            for worker in workers:
                try:
                    worker.connection.send(None)
                except (OSError, ValueError):
                    pass
            multiprocessing.connection.wait([w.process.sentinel for w in workers], timeout=CLOSE_SECONDS)
        for worker in workers:
            if worker.process.exitcode is None:
                worker.process.terminate()
        for worker in workers:
            worker.process.join(1.0)
            if worker.process.exitcode is None:
                worker.process.kill()
                worker.process.join(1.0)
            worker.connection.close()


@contextlib.contextmanager
def sigint_held():
    """SIGINT ignored by the processes started in the block, and held back in this one
    until the block ends: blocked in every thread (those started in the block inherit
    that), so the kernel keeps a Ctrl-C pending instead of discarding it, and it is
    delivered to the handler in place once the block ends."""
    if threading.current_thread() is not threading.main_thread() or not hasattr(signal, "pthread_sigmask"):
        yield
        return
    signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})
    handler = signal.signal(signal.SIGINT, signal.SIG_IGN)
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, handler)
        signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGINT})
