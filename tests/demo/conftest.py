"""Runs of the sample backtest shared by the tests of this folder.

Each run starts from fresh market-data memos and leaves no environment behind.
"""

import datetime

import pytest
from korvane.environment import Environment
from pelvorn import bond

from korvane_mod_bond import position


def _fresh_data():
    bond.reset()
    position._all_real_cash_flow.cache_clear()
    position._all_implied_cash_flow.cache_clear()


def run_demo(start, end, out, cash=3_000_000.0):
    from korvane_bond_demo.cli import run

    _fresh_data()
    try:
        return run(start, end, cash, out, progress=False)
    finally:
        Environment.clear_instance()
        _fresh_data()


@pytest.fixture(scope="session")
def default_run(tmp_path_factory):
    """The README's run: 2024-01-01 to 2025-12-31 with 3,000,000 yuan."""
    out = tmp_path_factory.mktemp("demo-out")
    result, summary, paths = run_demo(datetime.date(2024, 1, 1), datetime.date(2025, 12, 31), out)
    return result, summary, out


@pytest.fixture(scope="session")
def national_day_run(tmp_path_factory):
    """Two months around the 2024 National Day closure (1-7 October)."""
    out = tmp_path_factory.mktemp("demo-national-day")
    result, summary, paths = run_demo(datetime.date(2024, 9, 2), datetime.date(2024, 10, 31), out)
    return result, summary, out
