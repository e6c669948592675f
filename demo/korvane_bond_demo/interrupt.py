"""Ctrl-C for the commands, heard from their first line.

The entry (:mod:`korvane_bond_demo.__main__`) calls :func:`install` before it imports
anything else, so an interrupt at any moment of a command ends it with one line,
"interrupted", and status 130, never a traceback: the process leaves at once, after
the clean-ups of the :func:`cleaning` blocks it is in (the files they stage, which
nothing must find half-written). No ``KeyboardInterrupt`` is raised into library code,
which could swallow it or print a traceback from a finaliser it lands in. Code that
must finish a step first (renaming the outputs into place, a sweep waiting on its
workers) puts a handler of its own in place for the step.

This module imports only what the interpreter has loaded before it runs a line of ours
(``os``, ``sys``) and the signal module's builtin core (``signal`` itself would load
``enum`` first, ``contextlib`` a dozen modules): the handler is in place a few
microseconds into the command.
"""

import os
import sys
from _signal import SIGINT
from _signal import signal as _handle

MESSAGE = "korvane-bond-demo: interrupted\n"
STATUS = 130  # as a shell reports death by SIGINT

_installed = False
_heard = False
_cleanups = []  # what to undo before leaving, innermost last


def install():
    """Make Ctrl-C end the command (from the main thread, once)."""
    global _installed
    _handle(SIGINT, _on_interrupt)
    _installed = True


def installed():
    return _installed


def _on_interrupt(_signum, _frame):
    global _heard
    if _heard:  # one is enough; a second must not cut the first one's clean-up short
        return
    _heard = True
    leave()


class cleaning:  # a context manager, named as the function it stands for
    """A block whose half-done work ``cleanup()`` removes, should Ctrl-C end the command
    inside it (a clean-up never raises; it runs in the signal handler, between two
    steps of the interrupted code)."""

    def __init__(self, cleanup):
        self.cleanup = cleanup

    def __enter__(self):
        _cleanups.append(self.cleanup)

    def __exit__(self, *_exc):
        _cleanups.remove(self.cleanup)


def leave():
    """Say "interrupted" and end the process with :data:`STATUS` at once: the clean-ups
    of the :func:`cleaning` blocks run and what was printed is flushed first, nothing
    else runs (no exit handler, no finaliser)."""
    for cleanup in reversed(_cleanups):
        try:
            cleanup()
        except Exception:  # one that fails must not keep the others from running
            pass
    for stream in (sys.stdout, sys.stderr):
        try:
            stream.flush()
        except Exception:  # a stream closed, or in the middle of a write the interrupt cut short
            pass
    message = MESSAGE
    try:
        if os.isatty(2):
            message = "\r\x1b[K" + message  # over a progress bar's line
    except OSError:
        pass
    try:
        os.write(2, message.encode())
    except OSError:
        pass
    os._exit(STATUS)
