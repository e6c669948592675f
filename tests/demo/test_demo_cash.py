"""Every yuan a run books, checked against sources that do not go through the run: QuantLib's
cash flows of each bond, the repo formula over the exchange calendar, the account's own
bookings replayed from the files the run wrote, and a hand-made data folder worked out by hand."""

import collections
import datetime
import json
import warnings

import exchange_calendars
import pandas as pd
import pytest
from demo_helpers import D, read_csv, run_command, write_dataset
from korvane.const import POSITION_DIRECTION, SIDE
from korvane_bond_demo.ledger import FLOWS

LONG, SHORT = POSITION_DIRECTION.LONG, POSITION_DIRECTION.SHORT
# Terms of the bundled bonds as their issuers publish them.
BOND_TERMS = {
    "019547.XSHG": dict(issue=D(2016, 11, 17), maturity=D(2026, 11, 17), rate=0.027, notionals=None),
    "127001.XSHE": dict(
        issue=D(2021, 3, 15), maturity=D(2026, 3, 15), rate=0.045, notionals=[100.0, 100.0, 100.0, 70.0, 40.0]
    ),
    "200205.IB": dict(issue=D(2020, 4, 9), maturity=D(2025, 4, 9), rate=0.0296, notionals=None),
}


REPO_PERIOD = {"204001.XSHG": 1, "204007.XSHG": 7, "131810.XSHE": 1, "131801.XSHE": 7}


def quantlib_flows(order_book_id):
    """Payment date -> amount per bond, from QuantLib's own bond of the published terms."""
    ql = pytest.importorskip("QuantLib")
    terms = BOND_TERMS[order_book_id]

    def qd(day):
        return ql.Date(day.day, day.month, day.year)

    calendar = ql.China(ql.China.SSE)
    schedule = ql.Schedule(
        qd(terms["issue"]), qd(terms["maturity"]), ql.Period(ql.Annual), calendar,
        ql.Unadjusted, ql.Unadjusted, ql.DateGeneration.Backward, False,
    )  # fmt: skip
    day_count = ql.ActualActual(ql.ActualActual.ISMA, schedule)
    if terms["notionals"]:
        bond = ql.AmortizingFixedRateBond(
            0, terms["notionals"], schedule, [terms["rate"]], day_count, ql.Following, qd(terms["issue"])
        )
    else:
        bond = ql.FixedRateBond(
            0, 100.0, schedule, [terms["rate"]], day_count, ql.Following, 100.0, qd(terms["issue"])
        )
    flows = collections.defaultdict(float)
    for cf in bond.cashflows():
        flows[D(cf.date().year(), cf.date().month(), cf.date().dayOfMonth())] += cf.amount()
    return dict(flows)


def sse_sessions_ql():
    """Trading days of the Shanghai exchange 2023-2026 by QuantLib's calendar."""
    ql = pytest.importorskip("QuantLib")
    calendar = ql.China(ql.China.SSE)
    day, days = D(2023, 1, 1), []
    while day <= D(2026, 3, 31):
        if day.weekday() < 5 and calendar.isBusinessDay(ql.Date(day.day, day.month, day.year)):
            days.append(day)
        day += datetime.timedelta(days=1)
    return days


def xshg_sessions_2024():
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        sessions = exchange_calendars.get_calendar("XSHG", start="2024-01-01", end="2024-12-31").sessions
    return [ts.date() for ts in sessions]


def due_date(sessions, opened, period):
    """The first trading day on or after ``period`` calendar days after ``opened``."""
    candidate = opened + datetime.timedelta(days=period)
    return min(day for day in sessions if day >= candidate)


def holding_periods(result):
    """Bond -> (quantity, day bought, day sold or None), from the filled orders."""
    periods = {}
    for record in result.orders:
        trade = record.trade
        if record.status != "filled" or trade.order_book_id not in BOND_TERMS:
            continue
        if trade.side == SIDE.BUY:
            assert trade.order_book_id not in periods, "the sample strategy buys each bond once"
            periods[trade.order_book_id] = [trade.last_quantity, record.date, None]
        else:
            assert periods[trade.order_book_id][0] == trade.last_quantity, "and sells it whole"
            periods[trade.order_book_id][2] = record.date
    return periods


def test_final_cash_is_initial_cash_plus_every_booked_delta(default_run):
    result, summary, out = default_run
    bookings = read_csv(out / "bookings.csv")
    assert len(bookings) == len(result.bookings) > 1000
    cash = result.initial_cash
    phases = collections.Counter()
    for row in bookings:
        cash += float(row["amount"])
        phases[row["phase"]] += 1
        assert float(row["cash_after"]) == cash
    assert cash == result.final_cash == result.portfolio.cash
    assert summary.reconciled
    assert set(phases) == {"trade", "settlement"}  # the package's day starts book nothing


def test_daily_ledger_chains_and_adds_up(default_run):
    result, _, out = default_run
    rows = read_csv(out / "ledger.csv")
    assert float(rows[0]["cash_open"]) == result.initial_cash
    assert float(rows[-1]["cash"]) == result.final_cash
    flow_columns = list(FLOWS)
    assert set(flow_columns) < set(rows[0])
    for before, row in zip([None] + rows, rows):
        if before is not None:
            assert row["cash_open"] == before["cash"]
        flows = sum(float(row[name]) for name in flow_columns)
        assert float(row["cash_open"]) + flows == pytest.approx(float(row["cash"]), abs=1e-6)
        assert float(row["cash"]) >= 0, f"overdrawn at the end of {row['date']}"


def test_final_cash_rebuilt_from_fills_quantlib_flows_and_repo_terms(default_run):
    """Prices times quantities, commissions, QuantLib's coupons and principal over each
    holding period, and repo interest over the exchange's trading days: nothing else
    moves cash, so they must rebuild the final cash."""
    result, _, _ = default_run
    sessions = sse_sessions_ql()
    assert not result.open_repos
    assert all(p.quantity == 0 for p in result.portfolio.positions.values())
    cash = result.initial_cash
    for record in result.orders:
        trade = record.trade
        if record.status != "filled":
            continue
        if trade.order_book_id in BOND_TERMS:
            sign = -1 if trade.side == SIDE.BUY else 1
            cash += sign * trade.last_price * trade.last_quantity
        else:
            opened = record.date
            days = (due_date(sessions, opened, REPO_PERIOD[trade.order_book_id]) - opened).days
            interest = trade.last_quantity * trade.last_price * days / 365
            cash += interest if trade.side == SIDE.MARGIN else -interest
        cash -= trade.transaction_cost
    for order_book_id, (quantity, bought, sold) in holding_periods(result).items():
        for day, amount in quantlib_flows(order_book_id).items():
            if bought <= day and (sold is None or day < sold) and day <= result.end_date:
                cash += amount * quantity
    assert cash == pytest.approx(result.final_cash, abs=1e-5)


@pytest.mark.parametrize("order_book_id", sorted(BOND_TERMS))
def test_bond_payments_booked_equal_quantlib_cash_flows(default_run, order_book_id):
    result, _, _ = default_run
    quantity, bought, sold = holding_periods(result)[order_book_id]
    expected = {
        day: amount * quantity
        for day, amount in quantlib_flows(order_book_id).items()
        if bought <= day and (sold is None or day < sold) and day <= result.end_date
    }
    booked = {
        b.date: b.amount
        for b in result.bookings
        if b.order_book_id == order_book_id and b.phase == "settlement"
    }
    assert expected, "every bond lives through at least one payment"
    assert sorted(booked) == sorted(expected)
    for day, amount in expected.items():
        assert booked[day] == pytest.approx(amount, rel=1e-12), day


def test_redeemed_bond_leaves_nothing_behind(default_run):
    """Held from purchase to redemption, the inter-bank bond's receivable accrued month by
    month is paid off exactly: nothing is left in the position once it is redeemed."""
    result, summary, _ = default_run
    quantity, bought, sold = holding_periods(result)["200205.IB"]
    assert (bought, sold) == (D(2024, 4, 10), None)
    position = result.portfolio.positions[("200205.IB", LONG)]
    assert position.quantity == 0
    assert position.equity == pytest.approx(0.0, abs=1e-6)
    (line,) = [line for line in summary.bonds if line.order_book_id == "200205.IB"]
    assert (line.coupons, line.principal) == (
        pytest.approx(2.96 * quantity, rel=1e-12),
        pytest.approx(100.0 * quantity, rel=1e-12),
    )


def test_repo_interest_counts_holding_days_over_xshg_holidays(national_day_run):
    result, _, _ = national_day_run
    sessions = xshg_sessions_2024()
    expected_maturities = collections.defaultdict(float)
    for trade in result.repo_trades:
        opened = trade.trading_dt.date()
        due = due_date(sessions, opened, REPO_PERIOD[trade.order_book_id])
        days = (due - opened).days
        assert (trade.due_settlement_date, trade.actual_holding_days) == (due, days)
        interest = trade.due_settlement_amount - trade.last_quantity
        assert interest == pytest.approx(trade.last_quantity * trade.last_price * days / 365, abs=1e-8)
        sign = 1 if trade.side == SIDE.MARGIN else -1
        expected_maturities[(trade.order_book_id, due)] += sign * trade.due_settlement_amount
    booked = {
        (b.order_book_id, b.date): b.amount
        for b in result.bookings
        if b.phase == "settlement" and b.order_book_id in REPO_PERIOD
    }
    assert booked.keys() == {key for key in expected_maturities if key[1] <= result.end_date}
    for key, amount in booked.items():
        assert amount == pytest.approx(expected_maturities[key], abs=1e-6), key


@pytest.mark.parametrize(
    "repo, opened, due, days",
    [
        ("204001.XSHG", D(2024, 9, 27), D(2024, 9, 30), 3),  # over a weekend
        ("204001.XSHG", D(2024, 9, 30), D(2024, 10, 8), 8),  # over the National Day closure
    ],
)
def test_overnight_loans_around_national_day(national_day_run, repo, opened, due, days):
    result, _, _ = national_day_run
    (trade,) = [t for t in result.repo_trades if t.order_book_id == repo and t.trading_dt.date() == opened]
    assert (trade.due_settlement_date, trade.actual_holding_days) == (due, days)
    (maturity,) = [m for m in result.repo_maturities if m.trade is trade]
    assert maturity.date == due
    assert maturity.interest == pytest.approx(trade.last_quantity * trade.last_price * days / 365, abs=1e-8)


def test_a_hand_made_folder_runs_and_its_figures_are_checked_by_hand(tmp_path, capsys):
    data = write_dataset(tmp_path / "data")
    out = tmp_path / "out"
    code, printed, err = run_command(
        capsys, "--data", str(data), "--start", "2024-03-04", "--end", "2024-03-14", "--cash", "1000000",
        "--bonds", "100001.XSHG:1000+100002.XSHE:1000", "--pledges", "100001.XSHG:0.9",
        "--no-lend-overnight", "--exit-days", "0", "--repo-tenor-days", "1", "--out", str(out),
    )  # fmt: skip
    assert (code, err) == (0, ""), err
    assert "reconciled" in printed
    ledger = pd.read_csv(out / "ledger.csv", parse_dates=["date"]).set_index("date")
    # By hand: both bonds bought on 03-04 at their full price (100.80 and 100.00), 0.002 %
    # commission each; the bullet bond's coupon, 3.00 a bond, on 03-07; the amortising
    # one's 4.00 and 50.00 of principal on 03-11; every session the bullet bond pledged
    # overnight for 90 % of its face, 90,000 yuan at 1.8 %: repaid eight times over ten
    # calendar days (three over the weekend), the ninth still open at the end.
    bought = 1000 * 100.8 + 1000 * 100.0
    assert ledger["bond_purchases"].sum() == pytest.approx(-bought, abs=1e-9)
    assert ledger["coupons"].sum() == pytest.approx(1000 * 3.0 + 1000 * 4.0, abs=1e-9)
    assert ledger["principal"].sum() == pytest.approx(1000 * 50.0, abs=1e-9)
    repos = pd.read_csv(out / "repos.csv")
    assert set(repos["principal"]) == {90_000.0} and len(repos) == 9
    repaid = repos[repos["repaid_on"].notna()]
    assert repaid["holding_days"].sum() == 10
    interest = 90_000 * 0.018 * 10 / 365
    assert repaid["interest"].sum() == pytest.approx(interest, abs=1e-9)
    final_bonds = 1000 * (100.5 - 0.08) + 1000 * 50.0
    assert ledger["bonds_value"].iloc[-1] == pytest.approx(final_bonds, abs=1e-6)
    commissions = 1000 * 100.8 * 0.00002 + 1000 * 100.0 * 0.00002 + repos["commission"].sum()
    assert -ledger["commissions"].sum() == pytest.approx(commissions, abs=1e-9)
    stats = json.loads((out / "stats.json").read_text(encoding="utf-8"))
    expected = 1_000_000 - bought + 7_000 + 50_000 + final_bonds - interest - commissions
    assert stats["final_equity"] == pytest.approx(expected, abs=1e-6)
    assert stats["collateral_shortfalls"] == []  # the pledged bond is a bullet
