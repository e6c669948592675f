"""The summary and report.html as their renderers lay them out, against golden files: the
inputs are fixed here (a run's summary, statistics and notes, made up), the expected text
and page are committed in tests/demo/golden/.

After a deliberate change of the layout, write them again and review the difference:

    KMB_REGENERATE_GOLDEN=1 .venv-3.9/bin/python -m pytest -q tests/demo/test_demo_renderers.py
"""

import os
import types
from pathlib import Path

import pytest
from demo_helpers import D
from korvane.const import POSITION_DIRECTION
from korvane_bond_demo.html import render_report
from korvane_bond_demo.ledger import FLOWS
from korvane_bond_demo.summary import BondLine, RepoLine, Summary
from korvane_bond_demo.text import format_summary

GOLDEN = Path(__file__).parent / "golden"
REGENERATE = os.environ.get("KMB_REGENERATE_GOLDEN") == "1"
LONG, SHORT = POSITION_DIRECTION.LONG, POSITION_DIRECTION.SHORT
PNG = b"\x89PNG\r\n\x1a\n a chart's bytes"
CLOSABLE = "订单创建失败:  019547.XSHG 的仓位不足, 目标平仓 10000, 可平仓位为 0.0"
ROLLED = "正回购名义金额超过当前持仓票面价值, 实际成交 0.0 元"
DATA = {
    "folder": "/srv/market data",
    "name": "the market data in /srv/market data",
    "first_session": "2023-01-03",
    "last_session": "2025-12-31",
    "sha256": "0123456789abcdef" * 4,
}
DEFAULTS = {
    "start": "2024-01-01", "end": "2025-12-31", "cash": "3000000.0",
    "bonds": "019547.XSHG:10000+127001.XSHE:5000+200205.IB:10000",
    "pledges": "019547.XSHG:0.9+127001.XSHE:0.7",
    "repo_tenor_days": "7", "borrowed_share": "1.0", "lend_overnight": "true", "exit_days": "10",
    "ib_commission_rate": "1e-05", "ib_min_commission": "150.0", "exchange_commission_rate": "2e-05",
    "exchange_max_commission": "100.0", "strategy": "conservative", "target_leverage": "1.0",
    "cash_buffer": "0.02", "data": "", "roll_cash_flow_dates": "false", "max_table_mb": "256.0",
}  # fmt: skip


def _record(day, order_book_id, message):
    return types.SimpleNamespace(
        date=day, order=types.SimpleNamespace(order_book_id=order_book_id), message=message
    )


def _flows(**amounts):
    return {name: amounts.get(name, 0.0) for name in FLOWS}


def _statistics(**changes):
    stats = {
        "start": "2024-09-02", "end": "2024-10-31", "trading_days": 40, "initial_cash": 2_000_000.0,
        "final_equity": 2_003_456.789, "pnl": 3_456.789, "total_return": 0.0017283945,
        "annual_return": 0.0105, "annual_volatility": 0.0031, "sharpe_ratio": -0.4212, "calmar_ratio": None,
        "max_drawdown": -0.00042, "max_drawdown_peak": "2024-09-20", "max_drawdown_trough": "2024-09-30",
        "max_drawdown_recovery": None, "annualization_days": 242,
        "monthly_returns": {"2024-09": 0.00123, "2024-10": -0.0004},
        "yearly_returns": {"2024": 0.00083},
        "leverage_max": 0.4151, "leverage_mean": 0.39, "leverage_end": 0.0,
        "days_holding_pledgeable_bonds": 40, "days_financed": 38, "days_unfinanced_before_exit": 1,
        "attribution": {
            "019547.XSHG": {"price": -1234.5, "coupons": 27_000.0, "financing": -1_500.25,
                            "commissions": -20.0, "other": 0.0, "principal_repaid": 0.0, "total": 24_245.25},
            "lending": {"price": 0.0, "coupons": 0.0, "financing": 512.1, "commissions": -3.004, "other": 0.0,
                        "principal_repaid": 0.0, "total": 509.096},
        },
        "attribution_total": 24_754.346,
        "benchmark_total_return": 0.0021, "benchmark_annual_return": 0.0131, "excess_total_return": -0.0004,
        "excess_annual_return": -0.0026, "tracking_error": 0.0027,
        "dv01_max": 404.1234, "dv01_mean": 310.5, "dv01_end": 0.0,
        "risk_by_bond": {
            "019547.XSHG": {"date": "2024-10-31", "quantity": 10_000.0, "yield": 0.01876,
                            "modified_duration": 1.9876, "dv01_per_bond": 0.020345, "dv01": 203.45},
        },
        "collateral_shortfalls": [
            {"trade_date": "2024-03-04", "repo": "131801.XSHE", "bond": "127001.XSHE", "principal": 245_000.0,
             "face_value_at_open": 350_000.0, "lent_share": 0.7, "face_value_low": 200_000.0,
             "low_from": "2024-03-15", "shortfall": 105_000.0},
        ],
        "settings": {**DEFAULTS, "start": "2024-09-02", "end": "2024-10-31", "cash": "2000000.0",
                     "lend_overnight": "false", "data": "/srv/market data"},
        "data": DATA,
    }  # fmt: skip
    stats.update(changes)
    return stats


def _book():
    """A run with bonds, repos both ways, a refusal, a warning and notes."""
    summary = Summary(
        start=D(2024, 9, 2), end=D(2024, 10, 31), days=40, initial_cash=2_000_000.0, final_cash=1_103_456.789,
        final_equity=2_003_456.789, replayed_cash=1_103_456.789, bookings=123,
        flows=_flows(bond_purchases=-1_015_477.44, coupons=27_000.0, repo_borrowed=900_000.0,
                     repo_repaid=-900_345.67, commissions=-23.004),
        bonds=[BondLine("019547.XSHG", "24附息国债09", coupons=27_000.0, bought=1_015_477.44,
                        commission=20.0)],
        repos=[
            RepoLine("204007.XSHG", "GC007", SHORT, trades=6, principal=5_400_000.0, interest=1_500.25,
                     commission=18.0, outstanding=900_000.0, average_outstanding=877_500.0,
                     peak_outstanding=900_000.0),
            RepoLine("204001.XSHG", "GC001", LONG, trades=30, principal=3_000_000.0, interest=512.1,
                     commission=3.004, average_outstanding=75_000.0, peak_outstanding=120_000.0),
        ],
        filled=37, refused=[_record(D(2024, 10, 21), "019547.XSHG", CLOSABLE)], unfilled=1,
        warned=[_record(D(2024, 9, day), "204007.XSHG", ROLLED) for day in (9, 16)],
        framework_equity=2_003_401.5,
    )  # fmt: skip
    notes = ["200205.IB: no coupon date with a later payment inside the run, not bought"]
    return types.SimpleNamespace(
        title="Bond-and-repo backtest", summary=summary, stats=_statistics(), notes=notes
    )


def _empty():
    """A strategy of one's own that traded nothing, on the bundled data: no bond, no repo,
    statistics undefined, no settings."""
    summary = Summary(
        start=D(2024, 9, 2), end=D(2024, 9, 2), days=1, initial_cash=1_000_000.0, final_cash=1_000_000.0,
        final_equity=1_000_000.0, replayed_cash=1_000_000.0, bookings=0, flows=_flows(), bonds=[], repos=[],
        filled=0, refused=[], unfilled=0, framework_equity=1_000_000.0,
    )  # fmt: skip
    stats = _statistics(
        start="2024-09-02", end="2024-09-02", trading_days=1, initial_cash=1_000_000.0,
        final_equity=1_000_000.0, pnl=0.0, total_return=0.0, annual_return=0.0, annual_volatility=None,
        sharpe_ratio=None, max_drawdown=0.0, max_drawdown_peak=None, max_drawdown_trough=None,
        max_drawdown_recovery=None, monthly_returns={"2024-09": 0.0}, yearly_returns={"2024": 0.0},
        leverage_max=0.0, leverage_mean=0.0, days_holding_pledgeable_bonds=0, days_financed=0,
        days_unfinanced_before_exit=0, attribution={}, attribution_total=0.0, dv01_max=0.0, dv01_mean=0.0,
        risk_by_bond={}, collateral_shortfalls=[], settings=None,
        data={**DATA, "folder": None, "name": "the bundled market data"},
    )  # fmt: skip
    return types.SimpleNamespace(title="Ladder", summary=summary, stats=stats, notes=[])


RUNS = {"book": _book, "empty": _empty}
OUTPUTS = [Path("out") / name for name in ("summary.txt", "stats.json", "run.json")]


def _against_golden(name, made):
    path = GOLDEN / name
    if REGENERATE:
        GOLDEN.mkdir(exist_ok=True)
        path.write_bytes(made.encode("utf-8"))
    assert made == path.read_bytes().decode("utf-8"), f"{name} differs (KMB_REGENERATE_GOLDEN=1 writes it)"


@pytest.mark.parametrize("name", RUNS)
def test_the_summary_is_laid_out_as_its_golden_file(name):
    _against_golden(f"{name}.summary.txt", format_summary(RUNS[name](), OUTPUTS) + "\n")


@pytest.mark.parametrize("name", RUNS)
def test_the_report_is_laid_out_as_its_golden_file(name):
    run = RUNS[name]()
    _against_golden(f"{name}.report.html", render_report(run, PNG, format_summary(run, OUTPUTS)))
