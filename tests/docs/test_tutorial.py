"""The tutorial's strategy (docs/tutorial/strategy.py) runs as the page tells: it borrows
against its bond, rolls the repo on its due day, lends overnight, and prints what the page
shows (docs/tutorial/output.txt)."""

import importlib.util
import os
import subprocess
import sys
from pathlib import Path

import pytest
from korvane.const import POSITION_DIRECTION
from korvane.environment import Environment
from pelvorn import bond

from korvane_mod_bond import clear_cash_flow_memos

TUTORIAL = Path(__file__).resolve().parents[2] / "docs" / "tutorial"


@pytest.fixture(scope="module")
def tutorial():
    spec = importlib.util.spec_from_file_location("tutorial_strategy", TUTORIAL / "strategy.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.fixture(scope="module")
def result(tutorial):
    bond.reset()
    clear_cash_flow_memos()
    try:
        yield tutorial.run()
    finally:
        Environment.clear_instance()


def test_the_repo_is_booked_rolled_on_its_due_day_and_repaid_with_interest(tutorial, result):
    borrowed = [t for t in result.repo_trades if t.order_book_id == tutorial.BORROW]
    first, roll = borrowed
    assert first.position_direction == POSITION_DIRECTION.SHORT
    assert (first.last_quantity, first.bond_id, first.pledged_quantity) == (900_000.0, tutorial.BOND, 10_000)
    assert roll.trading_dt.date() == first.due_settlement_date  # rolled on the due day
    assert roll.pledged_quantity == first.pledged_quantity

    bookings = [(b.date, b.phase, b.amount) for b in result.bookings if b.order_book_id == tutorial.BORROW]
    assert bookings == [
        (first.trading_dt.date(), "trade", 900_000.0 - first.transaction_cost),
        (roll.trading_dt.date(), "trade", 900_000.0 - roll.transaction_cost),
        (first.due_settlement_date, "settlement", -first.due_settlement_amount),
        (roll.due_settlement_date, "settlement", -roll.due_settlement_amount),
    ]
    repaid = [m for m in result.repo_maturities if m.trade in borrowed]
    assert [m.trade for m in repaid] == borrowed
    for m in repaid:
        days = m.trade.actual_holding_days
        assert m.interest == pytest.approx(900_000.0 * 0.0185 / 365 * days) and days == 7
    assert result.open_repos == []


def test_spare_cash_is_lent_every_night_but_the_last(tutorial, result):
    lent = [t for t in result.repo_trades if t.order_book_id == tutorial.LEND]
    assert [t.trading_dt.date() for t in lent] == [d.date for d in result.days[:-1]]
    assert all(t.position_direction == POSITION_DIRECTION.LONG for t in lent)
    assert all(m.interest > 0 for m in result.repo_maturities if m.trade in lent)


def test_the_coupon_is_paid_and_the_cash_reconciles(tutorial, result):
    coupons = [b for b in result.bookings if b.order_book_id == tutorial.BOND and b.phase == "settlement"]
    assert [(b.date.isoformat(), b.amount) for b in coupons] == [("2024-11-18", pytest.approx(18_160 * 2.7))]
    assert result.final_cash == pytest.approx(result.initial_cash + sum(b.amount for b in result.bookings))
    assert result.final_cash > 0 and result.refused_orders() == []
    # the validator's warning on the roll day: the maturing bonds still count as pledged
    assert [(d.isoformat(), m) for d, m in result.user_log] == [
        ("2024-11-18", "正回购名义金额超过当前持仓票面价值, 实际成交 816000.0 元")
    ]


def test_the_script_prints_what_the_page_shows(tmp_path):
    done = subprocess.run(
        [sys.executable, str(TUTORIAL / "strategy.py")],
        cwd=tmp_path,
        env={**os.environ, "PYTHONIOENCODING": "utf-8"},
        capture_output=True,
        encoding="utf-8",
        timeout=300,
    )
    assert done.returncode == 0, done.stderr
    assert done.stdout == (TUTORIAL / "output.txt").read_text(encoding="utf-8")
