"""Fixed-income risk against QuantLib's own bond, a figure QuantLib cannot solve reported
missing for its bond and day, and collateral marked as a pledged bond repays principal."""

import json
import shutil

import pandas as pd
import pytest
import QuantLib as ql
from demo_helpers import D, run_command, write_dataset
from korvane.const import POSITION_DIRECTION
from korvane_bond_demo import dataset, risk
from korvane_bond_demo.dataset import bundled
from korvane_bond_demo.outputs import OUTPUTS


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


def test_a_repo_over_an_amortisation_date_is_flagged_short_of_collateral(tmp_path, capsys):
    data = write_dataset(tmp_path / "data")
    out = tmp_path / "out"
    code, printed, err = run_command(
        capsys, "--data", str(data), "--start", "2024-03-04", "--end", "2024-03-15",
        "--bonds", "100002.XSHE:1000+100003.IB:1000", "--pledges", "100002.XSHE:0.7",
        "--exit-days", "5", "--out", str(out),
    )  # fmt: skip
    assert (code, err) == (0, ""), err
    stats = json.loads((out / "stats.json").read_text(encoding="utf-8"))
    # a 7-day repo of 03-04 lends 70 % of 100,000 face; on 03-11 the face halves
    (flagged,) = stats["collateral_shortfalls"]
    assert flagged["trade_date"] == "2024-03-04" and flagged["bond"] == "100002.XSHE"
    assert (flagged["principal"], flagged["face_value_at_open"]) == (70_000.0, 100_000.0)
    assert (flagged["face_value_low"], flagged["low_from"]) == (50_000.0, "2024-03-11")
    assert flagged["shortfall"] == pytest.approx(70_000 - 50_000 * 0.7)
    assert "collateral short: 1 repo lent more than the lent share" in printed
    repos = pd.read_csv(out / "repos.csv")
    first = repos[repos["trade_date"] == "2024-03-04"].iloc[0]
    assert first["collateral_shortfall"] == pytest.approx(35_000.0)
    page = (out / "report.html").read_text(encoding="utf-8")
    assert 'id="shortfalls"' in page and "35,000.00" in page
    # the inter-bank bond, valued on implied cash flows, is bought after its coupon of 03-06
    orders = pd.read_csv(out / "orders.csv")
    assert orders[orders["order_book_id"] == "100003.IB"]["date"].iloc[0] == "2024-03-07"
