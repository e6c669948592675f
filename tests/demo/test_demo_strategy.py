"""The sample strategies as a desk runs them: repos rolled on the due day so the book is
never unfinanced before the exit, the exit running into its own pledges, a run too short
to buy anything said so, and the carry variant buying bonds with the borrowed cash."""

import re

import pandas as pd
import pytest
from demo_helpers import D
from korvane.const import POSITION_DIRECTION, SIDE
from korvane_bond_demo.settings import Settings

LONG = POSITION_DIRECTION.LONG
FINANCED = ("019547.XSHG", "127001.XSHE")


CLOSABLE_REFUSAL = re.compile(r"^订单创建失败:  (\S+) 的仓位不足, 目标平仓 (\S+), 可平仓位为 (\S+)$")


def test_each_repo_is_rolled_on_the_due_day_of_the_one_before(default_tables):
    done, _, repos = default_tables
    exit_from = done.result.days[-done.settings.exit_days].date
    for bond_id in FINANCED:
        chain = repos[repos["pledged_bond"] == bond_id].sort_values("trade_date")
        assert len(chain) > 90
        assert (chain["repaid_on"] == chain["due_date"]).all()
        assert (chain["trade_date"].iloc[1:].values == chain["due_date"].iloc[:-1].values).all()
        assert chain["due_date"].iloc[-1].date() >= exit_from  # the last one runs into the exit


def test_the_book_is_financed_every_day_it_holds_the_exchange_bonds(default_tables):
    """Each financed bond held at the end of a day is pledged in a repo that runs past
    that day, up to the exit (when the strategy stops borrowing and sells)."""
    done, _, repos = default_tables
    exit_from = done.result.days[-done.settings.exit_days].date
    unfinanced = []
    for record in done.result.days:
        for bond_id in FINANCED:
            if record.positions_quantity.get((bond_id, LONG), 0) <= 0:
                continue
            day = pd.Timestamp(record.date)
            running = repos[
                (repos["pledged_bond"] == bond_id) & (repos["trade_date"] <= day) & (repos["repaid_on"] > day)
            ]
            if running.empty:
                unfinanced.append((record.date, bond_id))
    assert unfinanced and all(day >= exit_from for day, _ in unfinanced)
    assert done.stats["days_financed"] == done.stats["days_holding_pledgeable_bonds"] - 1 == 475


def test_pledged_bonds_cannot_be_sold_until_their_repo_is_repaid(default_run):
    result, _, _ = default_run
    refused = [r for r in result.orders if r.status == "refused"]
    assert refused, "the strategy's exit runs into its own pledges"
    for record in refused:
        match = CLOSABLE_REFUSAL.match(record.message)
        assert match, record.message
        bond_id = match.group(1)
        assert record.order.side == SIDE.SELL and record.order.order_book_id == bond_id
        assert float(match.group(3)) == 0
        # a pledge is released by the settlement of its repo's due date
        pledging = [
            t
            for t in result.repo_trades
            if t.bond_id == bond_id and t.trading_dt.date() <= record.date <= t.due_settlement_date
        ]
        assert pledging, f"{bond_id} refused on {record.date} with no repo outstanding"
    sold = {
        r.order.order_book_id: r.date
        for r in result.orders
        if r.status == "filled" and r.order.side == SIDE.SELL
    }
    for record in refused:
        last_due = max(
            t.due_settlement_date for t in result.repo_trades if t.bond_id == record.order.order_book_id
        )
        assert sold[record.order.order_book_id] > last_due


def test_a_run_inside_the_exit_says_why_nothing_is_bought():
    """A run no longer than the exit only ever sells: the summary says so instead of
    leaving an empty book unexplained."""
    from korvane_bond_demo.backtest import run

    done = run(Settings(start=D(2024, 1, 2), end=D(2024, 1, 5)))
    assert done.summary.reconciled
    bonds = {bond_id for bond_id, _ in done.settings.bonds}
    assert not [b for b in done.result.bookings if b.order_book_id in bonds]  # spare cash is still lent
    assert any("long, within the exit" in note and "nothing bought" in note for note in done.notes)
    assert done.stats["days_holding_pledgeable_bonds"] == done.stats["days_unfinanced_before_exit"] == 0


def test_the_carry_strategy_buys_bonds_with_the_borrowed_cash(tmp_path, demo):
    done = demo(D(2024, 1, 1), D(2024, 12, 31), tmp_path, strategy="carry", target_leverage=2.0, exit_days=15)
    ledger, stats = done.ledger, done.stats
    assert done.summary.reconciled
    # financed: what the bonds are worth exceeds equity, by about what the repos owe
    assert (ledger["bonds_value"] > 1.5 * ledger["equity"]).mean() > 0.9
    assert 1.8 < stats["leverage_mean"] < 2.1
    assert ledger["cash"].min() >= 0  # the repos are repaid from cash, never an overdraft
    assert ledger["repo_principal"].iloc[-1] == 0  # unwound in the exit
    assert stats["attribution_total"] == pytest.approx(stats["pnl"], abs=1e-6)
    # and its carry: more bonds on the same equity, more coupons than the conservative run
    conservative = demo(D(2024, 1, 1), D(2024, 12, 31))
    assert done.summary.flows["coupons"] > 1.5 * conservative.summary.flows["coupons"]
