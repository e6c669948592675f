"""Fixed-income risk against QuantLib's own bond, a figure QuantLib cannot solve reported
missing for its bond and day, the carry strategy's financing, and the statistics and
report of a run of another strategy (a ladder with no repo, a lender)."""

import datetime
import json
import math
import shutil

import pandas as pd
import pytest
import QuantLib as ql
from korvane.const import POSITION_DIRECTION
from korvane.environment import Environment
from korvane.runner import Backtest, Strategy
from korvane_bond_demo import dataset, risk
from korvane_bond_demo.backtest import analyse
from korvane_bond_demo.dataset import bundled
from korvane_bond_demo.files import check_output_folder
from korvane_bond_demo.outputs import OUTPUTS
from pelvorn import bond

from korvane_mod_bond.mod import BondMod

D = datetime.date


def test_yield_duration_and_dv01_equal_quantlibs_own_bond():
    data = bundled()
    day = D(2024, 6, 14)
    quote = data.bond_quote("019547.XSHG", day)
    leg = risk.payment_leg(data.realized_cash_flow("019547.XSHG"))
    y, duration, dv01 = risk.bond_risk(leg, quote.full, day)
    # the data's yield column (rounded to 6 decimals) priced the bond that day
    assert y == pytest.approx(data.bond_yield("019547.XSHG", day), abs=2e-6)
    # QuantLib's fixed-rate bond: 2.7 % annual coupons from 2016-11-17 to 2026-11-17,
    # paid on the Shanghai exchange's next trading day
    calendar = ql.China(ql.China.SSE)
    schedule = ql.Schedule(ql.Date(17, 11, 2016), ql.Date(17, 11, 2026), ql.Period(ql.Annual), calendar,
                           ql.Unadjusted, ql.Unadjusted, ql.DateGeneration.Backward, False)  # fmt: skip
    own = ql.FixedRateBond(0, 100.0, schedule, [0.027], ql.ActualActual(ql.ActualActual.ISMA, schedule),
                           ql.Following, 100.0, ql.Date(17, 11, 2016), calendar)  # fmt: skip
    settle = ql.Date(day.day, day.month, day.year)
    rate = ql.InterestRate(y, ql.ActualActual(ql.ActualActual.ISDA), ql.Compounded, ql.Annual)
    assert duration == pytest.approx(
        ql.BondFunctions.duration(own, rate, ql.Duration.Modified, settle), rel=1e-12
    )
    assert dv01 == pytest.approx(-ql.BondFunctions.basisPointValue(own, rate, settle), rel=1e-12)
    # and DV01 is the price's change for one basis point, to first order
    assert dv01 == pytest.approx(duration * quote.full * 1e-4, rel=1e-3)


def test_the_default_run_reports_benchmark_and_risk(default_demo):
    done, out = default_demo
    stats = json.loads((out / "stats.json").read_text(encoding="utf-8"))
    # GC001 compounded over the run: +3.23 % against the strategy's +3.67 %
    assert round(stats["benchmark_total_return"], 4) == 0.0323
    assert stats["excess_total_return"] == pytest.approx(
        stats["total_return"] - stats["benchmark_total_return"]
    )
    assert stats["benchmark_final_equity"] == pytest.approx(done.benchmark[-1])
    ledger = pd.read_csv(out / "ledger.csv")
    # the book's DV01 is the sum over the bonds held of quantity x DV01 per bond
    first = done.dv01[0]
    assert first["dv01"] == pytest.approx(
        sum(
            quantity * risk.bond_risk(
                risk.payment_leg(bundled().realized_cash_flow(bond_id)),
                bundled().bond_quote(bond_id, first["date"]).full, first["date"],
            )[2]
            for (bond_id, _), quantity in done.result.days[0].positions_quantity.items()
            if quantity and not bond_id.startswith(("204", "131"))
        )
    )  # fmt: skip
    assert len(done.dv01) == len(ledger) and stats["dv01_max"] == max(d["dv01"] for d in done.dv01)
    assert set(stats["risk_by_bond"]) == {"019547.XSHG", "127001.XSHE", "200205.IB"}
    page = (out / "report.html").read_text(encoding="utf-8")
    for key in ('data-key="benchmark_total_return"', 'data-key="dv01_max"', 'id="risk"', 'id="shortfalls"'):
        assert key in page


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


class Ladder(Strategy):
    """Buys three bonds on the first day and holds them: no repo."""

    def handle_day(self, context):
        if context.date == context.trading_days[0]:
            for bond_id in ("019547.XSHG", "127001.XSHE", "200205.IB"):
                context.buy(bond_id, 5_000)


class Lender(Strategy):
    """Only lends its cash overnight."""

    def handle_day(self, context):
        if not context.is_last_day:
            amount = context.max_reverse_repo_amount("204001.XSHG")
            if amount >= 100_000:
                context.reverse_repo("204001.XSHG", math.floor(amount / 1_000) * 1_000)


@pytest.mark.parametrize("strategy", [Ladder(), Lender()], ids=["ladder", "lender"])
def test_statistics_and_report_take_a_run_of_another_strategy(tmp_path, strategy):
    data = bundled()
    data.install()
    backtest = Backtest(strategy, D(2024, 1, 2), D(2024, 6, 28), cash=2e6, instruments=data.instruments(),
                        market=data, mods=[BondMod()], sessions=data.sessions)  # fmt: skip
    try:
        result = backtest.run()
        done = analyse(result, data, check_output_folder(tmp_path, OUTPUTS), title="Ladder")
    finally:
        Environment.clear_instance()
        bond.reset()
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(OUTPUTS)
    stats = json.loads((tmp_path / "stats.json").read_text(encoding="utf-8"))
    assert done.summary.reconciled
    assert stats["attribution_total"] == pytest.approx(stats["pnl"], abs=1e-6)
    assert stats["days_financed"] == stats["days_holding_pledgeable_bonds"] == 0
    assert stats["collateral_shortfalls"] == []
    page = (tmp_path / "report.html").read_text(encoding="utf-8")
    assert "<title>Ladder, 2024-01-02 to 2024-06-28</title>" in page
    if isinstance(strategy, Ladder):
        assert stats["dv01_max"] > 0 and set(stats["risk_by_bond"]) == {
            "019547.XSHG",
            "127001.XSHE",
            "200205.IB",
        }
        assert list(stats["attribution"]) == ["019547.XSHG", "127001.XSHE", "200205.IB"]
    else:
        assert stats["dv01_max"] == 0 and list(stats["attribution"]) == ["lending"]


LONG = POSITION_DIRECTION.LONG


def _slipped_decimal(folder):
    """The bundled data with 019547.XSHG's clean price of 2024-09-10 and -11 ten times too
    high, and the full price with it (so the data still agree with themselves)."""
    shutil.copytree(dataset.bundled_folder(), folder, ignore=shutil.ignore_patterns("__*"))
    prices = folder / "bond_prices.csv"
    text = prices.read_text(encoding="utf-8")
    for clean, accrued, full in (
        ("102.2426", "2.1983606557", "104.4409606557"),
        ("102.2082", "2.2057377049", "104.4139377049"),
    ):
        slipped = float(clean) * 10
        text = text.replace(
            f",{clean},{accrued},{full},", f",{slipped!r},{accrued},{slipped + float(accrued)!r},"
        )
    prices.write_text(text, encoding="utf-8")


@pytest.mark.parametrize("fault", ["quote", "schedule"])
def test_a_risk_figure_quantlib_cannot_solve_is_missing_for_its_bond_and_day(
    tmp_path, demo, monkeypatch, fault
):
    start, end = D(2024, 9, 2), D(2024, 10, 31)
    clean = demo(start, end)
    leg = risk.payment_leg
    if fault == "quote":
        _slipped_decimal(tmp_path / "market")
        settings = {"data": str(tmp_path / "market")}
        days, reason = ["2024-09-10", "2024-09-11"], "unable to bracket root"
    else:

        def beyond_quantlib(schedule):
            if schedule["cash_flow"].iloc[0] == 2.7:  # 019547.XSHG's coupon: a date past 2199
                raise RuntimeError("year 2300 out of bound. It must be in [1901,2199]")
            return leg(schedule)

        monkeypatch.setattr(risk, "payment_leg", beyond_quantlib)
        settings = {}
        held = [r.date for r in clean.result.days if r.positions_quantity.get(("019547.XSHG", LONG))]
        days, reason = [day.isoformat() for day in held], "year 2300 out of bound"
    done = demo(start, end, tmp_path / "out", **settings)
    stats = json.loads((tmp_path / "out" / "stats.json").read_text(encoding="utf-8"))
    assert sorted(p.name for p in (tmp_path / "out").iterdir()) == sorted(OUTPUTS)  # every output
    missing = stats["risk_missing"]
    assert [(m["order_book_id"], m["date"]) for m in missing] == [("019547.XSHG", day) for day in days]
    assert all(m["reason"].startswith(reason) for m in missing)
    note = f"no yield, duration or DV01 for 019547.XSHG on {len(days)} days held ({days[0]} to {days[-1]};"
    assert note in (tmp_path / "out" / "summary.txt").read_text(encoding="utf-8")
    quantity = clean.result.days[0].positions_quantity[("019547.XSHG", LONG)]
    for before, after in zip(clean.dv01, done.dv01):
        if after["date"].isoformat() not in days:
            assert after["dv01"] == before["dv01"]
            continue
        quote = bundled().bond_quote("019547.XSHG", after["date"])
        payments = leg(bundled().realized_cash_flow("019547.XSHG"))
        own = quantity * risk.bond_risk(payments, quote.full, after["date"])[2]
        assert after["dv01"] == pytest.approx(before["dv01"] - own, rel=1e-12)  # the others' alone
    if fault == "quote":
        assert stats["risk_by_bond"]["019547.XSHG"] == clean.stats["risk_by_bond"]["019547.XSHG"]
    else:
        assert "019547.XSHG" not in stats["risk_by_bond"]
