"""What the demo's two commands share: the parser, the error line, the exit codes, the
progress bar and the handling of Ctrl-C.

Both ``korvane-bond-demo`` (:mod:`korvane_bond_demo.cli`) and ``korvane-bond-demo sweep``
(:mod:`korvane_bond_demo.sweep_cli`) import this module, never each other.
"""

import argparse
import signal
import sys

from korvane_bond_demo import interrupt

PROG = "korvane-bond-demo"
DEFAULT_OUT = "out"

# Exit codes.
OK = 0
FAILED = 1  # the run ended but did not come out right (failed points, not reconciled, a plot)
USAGE = 2  # refused before the run: a bad option, setting, data file or output folder
# Started but could not be finished: a run whose outputs could not be made or written (a
# full disk, totals that overflowed), a sweep that lost its cluster or its disk. What was
# finished is kept: the previous outputs, or every finished point of a sweep (--resume).
INCOMPLETE = 3
INTERRUPTED = interrupt.STATUS  # Ctrl-C, as a shell reports death by SIGINT


class Parser(argparse.ArgumentParser):
    """An argument parser whose refusals are one line and status :data:`USAGE`."""

    def error(self, message):
        """One line and status 2 (argparse's own adds the usage above it)."""
        self.exit(USAGE, f"{self.prog}: error: {message} (--help lists the options)\n")


def error(message, prog=PROG, status=USAGE):
    """Print ``prog: error: message`` to stderr as one line; return ``status``."""
    text = " ".join(str(message).split())
    print(f"{prog}: error: {text}", file=sys.stderr, flush=True)
    return status


def say(message, prog=PROG):
    """One line to stderr that is no refusal (a failed plot, failed points)."""
    print(f"{prog}: {message}", file=sys.stderr, flush=True)


def whole_number(text):
    """argparse type: a whole number of at least 1."""
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"at least 1, got {text!r}")
    return value


def progress_bar(enabled, desc, unit, total=None):
    """A function wrapping an iterable in a tqdm bar, or None when ``enabled`` is false or
    stderr is not a terminal (where tqdm would draw nothing: it is not even imported)."""
    try:
        terminal = sys.stderr.isatty()
    except (AttributeError, ValueError):  # no stderr, or a closed one
        terminal = False
    if not enabled or not terminal:
        return None
    from tqdm import tqdm

    def bar(items):
        return tqdm(items, total=total, desc=desc, unit=unit, leave=False, disable=None)

    return bar


def run_command(body, argv):
    """Run ``body(argv)`` as a command and return its exit status; a Ctrl-C ends it with
    "interrupted" and :data:`INTERRUPTED`."""
    try:
        code = body(argv)
    except KeyboardInterrupt:
        if interrupt.installed():
            # The command itself: leave at once, the staged outputs removed already. An
            # interrupt that landed inside code the interpreter ran through its own
            # run-a-string entry (some extension modules do, while they are imported)
            # would otherwise make the interpreter end by killing itself with SIGINT.
            interrupt.leave()
        print(f"{PROG}: interrupted", file=sys.stderr)
        return INTERRUPTED
    if interrupt.installed():
        # The work is done and reported: a Ctrl-C while the interpreter shuts down is
        # ignored (the status stays the work's).
        signal.signal(signal.SIGINT, signal.SIG_IGN)
    return code
