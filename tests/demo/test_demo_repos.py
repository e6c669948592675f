"""Repos as a desk runs them: rolled on the due day so the book is never unfinanced, and
carried with the interest accrued to the day so equity does not step on repayment days.
And the settings of a run: one frozen value, a run callable as a function."""

import concurrent.futures
import dataclasses
import datetime
import multiprocessing
import pickle

import pandas as pd
import pytest
from korvane.const import POSITION_DIRECTION
from korvane_bond_demo.backtest import run_statistics
from korvane_bond_demo.settings import Settings

LONG = POSITION_DIRECTION.LONG
D = datetime.date
FINANCED = ("019547.XSHG", "127001.XSHE")


@pytest.fixture(scope="module")
def files(default_demo):
    done, out = default_demo
    ledger = pd.read_csv(out / "ledger.csv", parse_dates=["date"])
    repos = pd.read_csv(out / "repos.csv", parse_dates=["trade_date", "due_date", "repaid_on"])
    return done, ledger, repos


def test_each_repo_is_rolled_on_the_due_day_of_the_one_before(files):
    done, _, repos = files
    exit_from = done.result.days[-done.settings.exit_days].date
    for bond_id in FINANCED:
        chain = repos[repos["pledged_bond"] == bond_id].sort_values("trade_date")
        assert len(chain) > 90
        assert (chain["repaid_on"] == chain["due_date"]).all()
        assert (chain["trade_date"].iloc[1:].values == chain["due_date"].iloc[:-1].values).all()
        assert chain["due_date"].iloc[-1].date() >= exit_from  # the last one runs into the exit


def test_the_book_is_financed_every_day_it_holds_the_exchange_bonds(files):
    """Each financed bond held at the end of a day is pledged in a repo that runs past
    that day, up to the exit (when the strategy stops borrowing and sells)."""
    done, _, repos = files
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


def test_ledger_carries_repos_with_accrued_interest(files):
    done, ledger, _ = files
    assets = ledger["cash"] + ledger["bonds_value"] + ledger["reverse_repo_principal"]
    assets += ledger["reverse_repo_interest_accrued"]
    owed = ledger["repo_principal"] + ledger["repo_interest_accrued"]
    assert (assets - owed).tolist() == pytest.approx(ledger["equity"].tolist(), abs=1e-6)
    # the framework's own valuation stays beside it: repos at principal, bonds as it marks them
    framework = [record.equity for record in done.result.days]
    assert ledger["framework_equity"].tolist() == pytest.approx(framework, abs=1e-6)
    repos_at_principal = ledger["reverse_repo_principal"] - ledger["repo_principal"]
    booked = ledger["cash"] + ledger["framework_bonds_value"] + repos_at_principal
    assert booked.tolist() == pytest.approx(framework, abs=1e-6)


def test_equity_does_not_step_on_repayment_days(files):
    """The day's financing P&L in the ledger (change in repo balances plus the repo cash
    flows) equals the interest the repos and reverse repos accrue over the calendar days
    since the previous session, computed here from repos.csv alone."""
    _, ledger, repos = files
    balance = (
        ledger["reverse_repo_principal"] + ledger["reverse_repo_interest_accrued"]
        - ledger["repo_principal"] - ledger["repo_interest_accrued"]
    )  # fmt: skip
    flows = ledger["repo_borrowed"] + ledger["repo_repaid"] + ledger["reverse_repo_lent"]
    flows += ledger["reverse_repo_returned"]
    booked = balance.diff().fillna(balance.iloc[0]) + flows
    days = list(ledger["date"])
    expected = []
    for i, day in enumerate(days):
        previous = days[i - 1] if i else day
        total = 0.0
        for trade in repos.itertuples():
            start, end = max(trade.trade_date, previous), min(trade.due_date, day)
            if end > start:
                share = (end - start).days / trade.holding_days
                total += share * trade.interest * (1 if trade.direction == "lent" else -1)
        expected.append(total)
    assert booked.tolist() == pytest.approx(expected, abs=1e-6)
    assert (ledger["repo_repaid"] < 0).sum() > 90  # the check covers many repayment days


def test_settings_are_one_frozen_value_with_todays_figures():
    settings = Settings()
    assert (settings.start, settings.end, settings.cash) == (D(2024, 1, 1), D(2025, 12, 31), 3_000_000.0)
    assert dict(settings.bonds) == {"019547.XSHG": 10_000, "127001.XSHE": 5_000, "200205.IB": 10_000}
    assert dict(settings.pledges) == {"019547.XSHG": 0.9, "127001.XSHE": 0.7}
    assert (settings.repo_tenor_days, settings.borrowed_share, settings.lend_overnight) == (7, 1.0, True)
    assert settings.commission == (0.00001, 150.0, 0.00002, 100.0)
    with pytest.raises(dataclasses.FrozenInstanceError):
        settings.cash = 1.0
    assert pickle.loads(pickle.dumps(settings)) == settings


@pytest.mark.parametrize(
    "changes, message",
    [
        (dict(cash=float("inf")), "must be a finite amount"),
        (dict(cash=0.0), "must be a positive amount"),
        (dict(start=D(2025, 1, 2), end=D(2025, 1, 1)), "is after the end"),
        (dict(borrowed_share=1.5), "borrowed share must be above 0 and at most 1"),
        (dict(pledges=(("019547.XSHG", 0.0),)), "lent share must be above 0"),
        (dict(repo_tenor_days=3), "the repo tenor must be 1 or 7 days"),
        (dict(bonds=(("019547.XSHG", 10.5),)), "a quantity must be a positive whole number"),
        (dict(exit_days=-1), "exit days must be a whole number"),
        (dict(ib_min_commission=float("nan")), "must be a finite amount"),
    ],
)
def test_bad_settings_are_refused(changes, message):
    with pytest.raises(ValueError, match=message):
        Settings(**changes)


def test_a_run_is_a_function_of_its_settings_in_a_worker_process(default_demo):
    """What a sweep does: runs with other settings in worker processes, their statistics back."""
    done, _ = default_demo
    short = Settings(start=D(2024, 9, 2), end=D(2024, 10, 31), repo_tenor_days=1, lend_overnight=False)
    context = multiprocessing.get_context("spawn")
    with concurrent.futures.ProcessPoolExecutor(max_workers=1, mp_context=context) as pool:
        stats = pool.submit(run_statistics, short).result(timeout=300)
        again = pool.submit(run_statistics, short).result(timeout=300)
    assert stats == again
    assert (stats["start"], stats["end"]) == ("2024-09-02", "2024-10-31")
    assert "lending" not in stats["attribution"]  # no overnight lending
    assert stats["days_financed"] > 0
    assert stats["total_return"] != done.stats["total_return"]


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
