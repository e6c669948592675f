"""Every test of the four modules starts with fresh cash-flow memos and a fresh data
client, and leaves no environment behind; `log` records what the validators log. What
the tests share otherwise is in the plain module compiled_helpers.py."""

import pytest
from compiled_helpers import RecordingLog
from korvane.environment import Environment
from pelvorn import bond

from korvane_mod_bond import clear_cash_flow_memos, validator


def _forget_market_data():
    bond.reset()
    clear_cash_flow_memos()


@pytest.fixture(autouse=True)
def fresh_market_data():
    """Fresh memos and client before, no environment after."""
    _forget_market_data()
    yield
    _forget_market_data()
    Environment.clear_instance()


@pytest.fixture
def log(monkeypatch):
    """The validators' user log, recording (operation, message) of every line."""
    log = RecordingLog()
    monkeypatch.setattr(validator, "user_system_log", log)
    return log
