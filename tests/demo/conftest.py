"""Runs of the sample backtest shared by the tests of this folder.

Each run starts from fresh market-data memos and leaves no environment behind.
"""

import datetime

import pytest
from korvane.environment import Environment
from korvane_bond_demo.backtest import run
from korvane_bond_demo.files import check_output_folder
from korvane_bond_demo.outputs import OUTPUTS
from korvane_bond_demo.settings import Settings
from pelvorn import bond

from korvane_mod_bond import clear_cash_flow_memos


def _fresh_data():
    bond.reset()
    clear_cash_flow_memos()


def run_demo(start, end, out=None, cash=3_000_000.0, **settings):
    """A run of the sample backtest (a ``korvane_bond_demo.backtest.Run``), its outputs
    written into ``out`` when given."""
    _fresh_data()
    try:
        folder = check_output_folder(out, OUTPUTS) if out is not None else None
        return run(Settings(start=start, end=end, cash=cash, **settings), folder)
    finally:
        Environment.clear_instance()
        _fresh_data()


@pytest.fixture(scope="session")
def default_demo(tmp_path_factory):
    """The README's run: 2024-01-01 to 2025-12-31 with 3,000,000 yuan; (run, out folder)."""
    out = tmp_path_factory.mktemp("demo-out")
    return run_demo(datetime.date(2024, 1, 1), datetime.date(2025, 12, 31), out), out


@pytest.fixture(scope="session")
def default_run(default_demo):
    done, out = default_demo
    return done.result, done.summary, out


@pytest.fixture(scope="session")
def national_day_run(tmp_path_factory):
    """Two months around the 2024 National Day closure (1-7 October)."""
    out = tmp_path_factory.mktemp("demo-national-day")
    done = run_demo(datetime.date(2024, 9, 2), datetime.date(2024, 10, 31), out)
    return done.result, done.summary, out


@pytest.fixture(scope="session")
def demo():
    """:func:`run_demo`, for tests that make runs of their own."""
    return run_demo
