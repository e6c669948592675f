"""Fixtures of the demo's tests: runs of the sample backtest shared by a session, and the
framework and data client left clean after every test (the helpers are in demo_helpers)."""

import datetime
import json

import pandas as pd
import pytest
from demo_helpers import run_demo
from korvane.environment import Environment
from pelvorn import bond

from korvane_mod_bond import clear_cash_flow_memos


@pytest.fixture(autouse=True)
def _nothing_left():
    """No framework environment and no data source of a test's run outlives the test."""
    yield
    Environment.clear_instance()
    bond.reset()
    clear_cash_flow_memos()


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
    """:func:`demo_helpers.run_demo`, for tests that make runs of their own."""
    return run_demo


@pytest.fixture(scope="session")
def default_tables(default_demo):
    """The default run and its ledger and repos as read back from the files it wrote."""
    done, out = default_demo
    ledger = pd.read_csv(out / "ledger.csv", parse_dates=["date"])
    repos = pd.read_csv(out / "repos.csv", parse_dates=["trade_date", "due_date", "repaid_on"])
    return done, ledger, repos


@pytest.fixture(scope="session")
def default_figures(default_demo):
    """The default run, its folder, its ledger by date and its stats.json as read back."""
    done, out = default_demo
    ledger = pd.read_csv(out / "ledger.csv", parse_dates=["date"]).set_index("date")
    stats = json.loads((out / "stats.json").read_text(encoding="utf-8"))
    return done, out, ledger, stats
