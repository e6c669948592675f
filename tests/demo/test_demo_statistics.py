"""The statistics of a run against an independent computation on the files it wrote (pandas
on ledger.csv, the bundled repo rates), against empyrical to the last bit, the P&L
attribution against the P&L, and a sweep's point against the whole run's."""

import datetime
import math
from importlib import resources

import numpy as np
import pandas as pd
import pytest
from korvane_bond_demo import formatting, performance, sweep
from korvane_bond_demo.backtest import run_statistics
from korvane_bond_demo.settings import Settings

YEAR = 242  # the Shanghai exchange's sessions a year


def independent(ledger, initial_cash):
    equity = ledger["equity"]
    returns = equity / equity.shift(1, fill_value=initial_cash) - 1.0
    with resources.files("korvane_bond_demo").joinpath("data/repo_rates.csv").open("rb") as f:
        rates = pd.read_csv(f, dtype={"order_book_id": str}, parse_dates=["date"])
    sessions = sorted(rates["date"].unique())
    gc001 = rates[rates["order_book_id"] == "204001.XSHG"].set_index("date")["rate"]
    risk_free = []
    for day in returns.index:
        before = max(s for s in sessions if s < day)
        risk_free.append(gc001[before] * (day - before).days / 365)
    excess = returns - risk_free
    n = len(returns)
    annual = (equity.iloc[-1] / initial_cash) ** (YEAR / n) - 1
    running = pd.concat([pd.Series([initial_cash]), equity.reset_index(drop=True)])
    drawdown = (running / running.cummax() - 1).min()
    months = (1 + returns).groupby([returns.index.year, returns.index.month]).prod() - 1
    return {
        "total_return": equity.iloc[-1] / initial_cash - 1,
        "annual_return": annual,
        "annual_volatility": returns.std(ddof=1) * math.sqrt(YEAR),
        "sharpe_ratio": excess.mean() / excess.std(ddof=1) * math.sqrt(YEAR),
        "max_drawdown": drawdown,
        "calmar_ratio": annual / abs(drawdown),
        "monthly_returns": {f"{y}-{m:02d}": v for (y, m), v in months.items()},
    }


def test_statistics_equal_an_independent_computation_on_the_ledger(default_figures):
    done, _, ledger, stats = default_figures
    expected = independent(ledger, done.result.initial_cash)
    for name in ("total_return", "annual_return", "annual_volatility", "sharpe_ratio", "max_drawdown",
                 "calmar_ratio"):  # fmt: skip
        assert stats[name] == pytest.approx(expected[name], rel=1e-9), name
    assert stats["monthly_returns"].keys() == expected["monthly_returns"].keys()
    for month, value in expected["monthly_returns"].items():
        assert stats["monthly_returns"][month] == pytest.approx(value, rel=1e-9, abs=1e-15), month
    # the figures of the default run, as the README quotes them
    assert (round(stats["annual_return"], 4), round(stats["max_drawdown"], 4)) == (0.0181, -0.0004)


def test_drawdown_dates_bracket_the_deepest_fall(default_figures):
    _, _, ledger, stats = default_figures
    equity = ledger["equity"]
    peak, trough = pd.Timestamp(stats["max_drawdown_peak"]), pd.Timestamp(stats["max_drawdown_trough"])
    assert peak < trough
    assert equity[trough] / equity[peak] - 1 == pytest.approx(stats["max_drawdown"], rel=1e-12)
    assert equity[peak] == equity[:trough].max()
    recovery = pd.Timestamp(stats["max_drawdown_recovery"])
    assert equity[recovery] >= equity[peak] > equity[trough:recovery].iloc[:-1].max()


def test_leverage_is_what_the_repos_owe_over_equity(default_figures):
    _, _, ledger, stats = default_figures
    leverage = (ledger["repo_principal"] + ledger["repo_interest_accrued"]) / ledger["equity"]
    assert ledger["leverage"].tolist() == pytest.approx(leverage.tolist(), rel=1e-12)
    assert stats["leverage_max"] == pytest.approx(leverage.max(), rel=1e-12)
    assert 0.3 < stats["leverage_max"] < 0.5


def test_attribution_adds_up_to_the_pnl(default_figures):
    done, _, ledger, stats = default_figures
    pnl = ledger["equity"].iloc[-1] - done.result.initial_cash
    lines = stats["attribution"]
    assert stats["attribution_total"] == pytest.approx(pnl, abs=1e-6)
    assert math.fsum(line["total"] for line in lines.values()) == pytest.approx(pnl, abs=1e-6)
    for key, line in lines.items():
        parts = ("price", "coupons", "financing", "commissions", "other")
        assert line["total"] == pytest.approx(math.fsum(line[p] for p in parts), abs=1e-9), key
    # each bond's coupons are what the summary books for it; financing is the interest of its repos
    by_bond = {line.order_book_id: line for line in done.summary.bonds}
    for bond_id, summary_line in by_bond.items():
        assert lines[bond_id]["coupons"] == pytest.approx(summary_line.coupons, abs=1e-6)
        assert lines[bond_id]["principal_repaid"] == pytest.approx(summary_line.principal, abs=1e-6)
    repos = pd.read_csv(done.paths[0].parent / "repos.csv")
    borrowed = repos[repos["direction"] == "borrowed"]
    for bond_id, interest in borrowed.groupby("pledged_bond")["interest"].sum().items():
        assert lines[bond_id]["financing"] == pytest.approx(-interest, abs=1e-6)
    lent = repos[repos["direction"] == "lent"]
    assert lines["lending"]["financing"] == pytest.approx(lent["interest"].sum(), abs=1e-6)
    commissions = -done.summary.commissions
    assert math.fsum(line["commissions"] for line in lines.values()) == pytest.approx(commissions, abs=1e-6)


def test_the_point_keeps_the_statistics_of_a_whole_run_to_the_last_digit():
    """What a sweep's point computes is what the run's stats.json says (carry included)."""
    for settings in (
        Settings(start=datetime.date(2024, 9, 2), end=datetime.date(2024, 12, 31), repo_tenor_days=1),
        Settings(
            start=datetime.date(2024, 1, 2),
            end=datetime.date(2024, 6, 28),
            strategy="carry",
            target_leverage=2.0,
            exit_days=15,
        ),  # fmt: skip
    ):
        whole = run_statistics(settings)
        assert sweep.point_statistics(settings) == {name: whole[name] for name in sweep.STATISTICS}


def _series(seed, days, missing=False):
    """Daily returns and GC001's over ``days`` sessions, made up from ``seed``."""
    rng = np.random.default_rng(seed)
    index = pd.bdate_range("2023-01-02", periods=days)
    returns = pd.Series(rng.normal(0.0002, 0.003 * rng.random(), days), index=index)
    if missing and days:
        returns.iloc[rng.integers(0, days, 3)] = np.nan
    return returns, pd.Series(rng.uniform(0, 0.0002, days), index=index)


def _same(mine, theirs):
    return np.array_equal(np.asarray(mine, dtype=float), np.asarray(theirs, dtype=float), equal_nan=True)


@pytest.mark.parametrize("missing", [False, True], ids=["complete", "with-missing-days"])
@pytest.mark.parametrize("seed", range(40))
def test_each_ratio_is_empyricals_to_the_last_bit(seed, missing):
    """The field's library is the reference: the same figure, bit for bit, for series of 0 to
    500 days."""
    empyrical = pytest.importorskip("empyrical")
    returns, risk_free = _series(seed, int(np.random.default_rng(seed).integers(0, 500)), missing)
    year = performance.TRADING_DAYS_PER_YEAR
    assert _same(performance.annual_return(returns), empyrical.annual_return(returns, annualization=year))
    assert _same(
        performance.annual_volatility(returns), empyrical.annual_volatility(returns, annualization=year)
    )
    assert _same(
        performance.sharpe_ratio(returns, risk_free),
        empyrical.sharpe_ratio(returns, risk_free=risk_free, annualization=year),
    )
    assert _same(performance.calmar_ratio(returns), empyrical.calmar_ratio(returns, annualization=year))
    if len(returns):
        for key, period in ((lambda day: (day.year, day.month), "monthly"), (lambda day: day.year, "yearly")):
            theirs = empyrical.aggregate_returns(returns, period)
            mine = performance.compounded(returns, key)
            assert list(mine) == [tuple(k) if isinstance(k, tuple) else k for k in theirs.index]
            assert _same(list(mine.values()), theirs.to_numpy())


def test_the_default_runs_ratios_are_empyricals(default_figures):
    empyrical = pytest.importorskip("empyrical")
    done, _, _, stats = default_figures
    p, year = done.performance, performance.TRADING_DAYS_PER_YEAR
    assert stats["annual_return"] == empyrical.annual_return(p.returns, annualization=year)
    assert stats["annual_volatility"] == empyrical.annual_volatility(p.returns, annualization=year)
    assert stats["sharpe_ratio"] == empyrical.sharpe_ratio(
        p.returns, risk_free=p.risk_free, annualization=year
    )
    assert stats["calmar_ratio"] == empyrical.calmar_ratio(p.returns, annualization=year)
    assert stats["tracking_error"] == empyrical.annual_volatility(p.returns - p.risk_free, annualization=year)


def test_excess_returns_that_never_vary_have_no_sharpe_ratio():
    """Their deviation is nothing, exactly: the ratio is infinite (n/a in the outputs), not a
    mean over the residue of rounding the mean (about 1e15), as empyrical 0.5 had it."""
    days = pd.bdate_range("2024-01-02", periods=60)
    steady, nothing = pd.Series(0.0001, index=days), pd.Series(0.0, index=days)
    assert performance.sharpe_ratio(steady, nothing) == math.inf
    assert math.isnan(performance.sharpe_ratio(steady, steady))
    assert formatting.ratio(performance.number(performance.sharpe_ratio(steady, nothing))) == "n/a"
