"""Helpers for the validator and cost-decider tests: a user log that records
which operation logged what, accounts or portfolios that record their position
lookups, and a fresh-interpreter import with a host name taken away."""

import os
import subprocess
import sys
from types import SimpleNamespace


class RecordingLog:
    def __init__(self):
        self.lines = []

    def warn(self, msg):
        self.lines.append(("warn", msg))

    def warning(self, msg):
        self.lines.append(("warning", msg))


def holding(quantity=0, closable=None):
    return SimpleNamespace(quantity=quantity, closable=quantity if closable is None else closable)


class Holder:
    """An account or a portfolio handing out the given positions (empty ones otherwise)."""

    def __init__(self, positions=None):
        self.positions = positions or {}
        self.lookups = []

    def get_position(self, order_book_id, direction):
        self.lookups.append((order_book_id, direction))
        return self.positions.get((order_book_id, direction), holding())


def import_error(module, host_module, name):
    """Last stderr line of importing `module` in a fresh interpreter whose `host_module` lacks `name`."""
    code = "import {0} as h; del h.{1}; import {2}".format(host_module, name, module)
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=dict(os.environ))
    assert done.returncode != 0
    return done.stderr.strip().splitlines()[-1]
