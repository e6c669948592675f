#!/usr/bin/env python3
"""Write the bundled market data of the pelvorn stand-in and the sample backtest.

Each bond is described by its terms (coupon, frequency, day count, issue and maturity
dates, amortisation, a discount bond's issue price), and its cash-flow tables and
accrued interest are written by the demo's own command, ``korvane-bond-demo tables``
(QuantLib's bonds, payments on the Shanghai exchange's trading days, QuantLib's
``China(China.SSE)``); daily quotes are priced off the same QuantLib bonds and follow
that calendar too, so each date falls on a day the backtest clock (the "XSHG" calendar)
visits. The files written are committed: running a backtest needs neither QuantLib nor
a network. Every file goes to ``demo/korvane_bond_demo/data/``, in the layout of
``korvane-bond-demo --data DIR`` (``korvane_bond_demo.dataset``); the reference data and
cash flows also to ``standins/pelvorn/data/``, the data client's own bundled data;
``--out DIR`` writes each file once into one folder instead.

- ``instruments.csv``: reference data of the bonds and the exchanges' repos.
- ``realized_cash_flow.csv``: per bond of 100 face value, what is paid on each
  payment date (coupon plus principal).
- ``implied_cash_flow.csv``: for the inter-bank bonds, the same money as a
  valuation accrues it: interest becomes receivable at each month's last
  trading day and on the trading day before a payment (accrued up to the end of
  the coupon period); principal becomes receivable on its payment date.
- ``bond_prices.csv``: a daily clean price, accrued interest and full price of
  one bond (100 of original face value, so an amortising bond's price falls
  with each instalment), priced off a yield path that follows the level of
  Chinese government yields over 2023-2025, plus a spread per issuer.
- ``repo_rates.csv``: a daily closing rate of each repo, following the
  central bank's 7-day policy rate, with the month-end, quarter-end and
  pre-holiday tightening that the exchange repo market shows.
- ``sessions.csv``: the Shanghai exchange's trading days over the prices and
  rates: the run's calendar.

Yield and repo paths are smooth deterministic functions of the date (no random
numbers), so the output is byte-for-byte reproducible.

Usage: python tools/make_sample_data.py [--out DIR]
"""

import argparse
import contextlib
import csv
import dataclasses
import datetime
import io
import math
import tempfile
from pathlib import Path

import pandas as pd
import QuantLib as ql
from korvane_bond_demo import bond_tables, cli, terms

ROOT = Path(__file__).resolve().parent.parent
CLIENT_DATA = ROOT / "standins" / "pelvorn" / "data"
DEMO_DATA = ROOT / "demo" / "korvane_bond_demo" / "data"
# The files the data client ships too (the demo's folder holds every file).
CLIENT_FILES = ("implied_cash_flow.csv", "instruments.csv", "realized_cash_flow.csv")

# Daily prices and repo rates cover these days (the demo's window lies inside).
MARKET_START = datetime.date(2023, 1, 1)
MARKET_END = datetime.date(2025, 12, 31)

# Amounts are rounded as the tables command rounds them (terms.AMOUNT_DIGITS).
AMOUNT_DIGITS = terms.AMOUNT_DIGITS
# Clean prices are quoted to 0.0001 yuan per 100 face; repo rates to 0.001 %.
PRICE_DIGITS = 4
RATE_DIGITS = 5


@dataclasses.dataclass(frozen=True)
class Bond:
    order_book_id: str
    symbol: str
    exchange: str
    issue_date: datetime.date
    listed_date: datetime.date
    maturity: datetime.date  # unadjusted end of the last coupon period
    coupon_rate: float  # 0 for a discount bill
    issue_price: float
    initial_issue_size: float
    # principal repaid per 100 face, by unadjusted coupon date: a bullet bond
    # repays 100 at maturity, a sinking-fund bond in instalments
    redemptions: tuple
    yield_spread: float  # over the government yield path, in decimal


@dataclasses.dataclass(frozen=True)
class Repo:
    order_book_id: str
    symbol: str
    exchange: str
    repo_period: int
    listed_date: datetime.date
    spread: float  # over the repo-market base rate of its period


D = datetime.date
BONDS = (
    # exchange-traded government bond, annual coupons, bullet redemption
    Bond("019547.XSHG", "16附息国债47", "XSHG", D(2016, 11, 17), D(2016, 11, 22), D(2026, 11, 17),
         0.027, 100.0, 28e9, ((D(2026, 11, 17), 100.0),), 0.0),
    # exchange-traded corporate bond repaying 30/30/40 % of its principal in its last three years
    Bond("127001.XSHE", "21南山01", "XSHE", D(2021, 3, 15), D(2021, 3, 22), D(2026, 3, 15),
         0.045, 100.0, 5e8, ((D(2024, 3, 15), 30.0), (D(2025, 3, 15), 30.0), (D(2026, 3, 15), 40.0)),
         0.009),
    # inter-bank policy-bank bond, annual coupons, bullet redemption
    Bond("200205.IB", "20开发05", "IB", D(2020, 4, 9), D(2020, 4, 13), D(2025, 4, 9),
         0.0296, 100.0, 30e9, ((D(2025, 4, 9), 100.0),), 0.001),
    # inter-bank one-year discount bill: issued at 98.5, repaid at 100
    Bond("240001.IB", "24贴现国债01", "IB", D(2024, 1, 15), D(2024, 1, 17), D(2025, 1, 15),
         0.0, 98.5, 10e9, ((D(2025, 1, 15), 100.0),), -0.002),
)  # fmt: skip

REPOS = (
    Repo("204001.XSHG", "GC001", "XSHG", 1, D(2006, 5, 8), 0.0),
    Repo("204007.XSHG", "GC007", "XSHG", 7, D(2006, 5, 8), 0.0),
    Repo("131810.XSHE", "R-001", "XSHE", 1, D(2006, 5, 8), -0.0002),
    Repo("131801.XSHE", "R-007", "XSHE", 7, D(2006, 5, 8), -0.0002),
)

# Level of 3-year Chinese government bond yields (approximate month-end marks).
GOVERNMENT_YIELD = (
    (D(2023, 1, 1), 0.0255),
    (D(2023, 6, 30), 0.0235),
    (D(2023, 12, 29), 0.0230),
    (D(2024, 3, 29), 0.0205),
    (D(2024, 6, 28), 0.0185),
    (D(2024, 9, 30), 0.0165),
    (D(2024, 12, 31), 0.0120),
    (D(2025, 3, 31), 0.0160),
    (D(2025, 6, 30), 0.0145),
    (D(2025, 9, 30), 0.0155),
    (D(2025, 12, 31), 0.0150),
)

# The central bank's 7-day reverse repo (policy) rate, from each change on.
POLICY_RATE = (
    (D(2023, 1, 1), 0.0200),
    (D(2023, 6, 13), 0.0190),
    (D(2023, 8, 15), 0.0180),
    (D(2024, 7, 22), 0.0170),
    (D(2024, 9, 27), 0.0150),
    (D(2025, 5, 8), 0.0140),
)


def bond_terms(bond):
    """The bond's terms, as a row of the tables command's terms file describes them."""
    bullet = len(bond.redemptions) == 1
    return terms.BondTerms(
        order_book_id=bond.order_book_id,
        issue_date=bond.issue_date,
        maturity_date=bond.maturity,
        coupon_rate=bond.coupon_rate,
        frequency=0 if bond.coupon_rate == 0 else 1,
        day_count="ACT/ACT",
        amortisation=() if bullet else bond.redemptions,
        issue_price=bond.issue_price,
    )


def terms_row(described):
    amortisation = " ".join(f"{day}:{amount!r}" for day, amount in described.amortisation)
    return [
        described.order_book_id, repr(described.coupon_rate), described.frequency, described.day_count,
        described.issue_date, described.maturity_date, amortisation,
        "" if described.issue_price == terms.FACE else repr(described.issue_price),
    ]  # fmt: skip


def tables_from_terms(bonds):
    """(realized, implied, accrued) frames of ``bonds``, written by ``korvane-bond-demo tables``
    from a terms file of one row a bond."""
    with tempfile.TemporaryDirectory() as folder:
        path = Path(folder) / "terms.csv"
        with open(path, "w", newline="", encoding="utf-8") as f:
            writer = csv.writer(f, lineterminator="\n")
            writer.writerow(["order_book_id", "coupon_rate", "frequency", "day_count", "issue_date",
                             "maturity_date", "amortisation", "issue_price"])  # fmt: skip
            writer.writerows(terms_row(bond_terms(bond)) for bond in bonds)
        out = Path(folder) / "tables"
        with contextlib.redirect_stdout(io.StringIO()):  # the command lists the files it wrote
            code = cli.main(["tables", str(path), "--out", str(out)])
        if code != 0:
            raise SystemExit(f"korvane-bond-demo tables ended with status {code}")
        read = {}
        for name, date_column in (("realized_cash_flow", "payment_date"), ("implied_cash_flow", "date"),
                                  ("accrued_interest", "date")):  # fmt: skip
            # read as text, the amounts by float(): exactly as the command wrote them (pandas 2's
            # own parser rounds the last digit of some)
            frame = pd.read_csv(out / f"{name}.csv", dtype=str)
            for column in frame.columns[2:]:
                frame[column] = frame[column].map(float)
            frame[date_column] = [datetime.date.fromisoformat(d) for d in frame[date_column]]
            read[name] = frame
    return read["realized_cash_flow"], read["implied_cash_flow"], read["accrued_interest"]


def interpolate(points, day):
    if day <= points[0][0]:
        return points[0][1]
    for (d0, v0), (d1, v1) in zip(points, points[1:]):
        if day <= d1:
            return v0 + (v1 - v0) * (day - d0).days / (d1 - d0).days
    return points[-1][1]


def step(points, day):
    value = points[0][1]
    for start, rate in points:
        if day >= start:
            value = rate
    return value


def wiggle(day, phase):
    """A few basis points of day-to-day movement, the same on every run."""
    t = day.toordinal()
    slow = 0.0003 * math.sin(2 * math.pi * t / 23.0 + phase)
    slow += 0.0002 * math.sin(2 * math.pi * t / 61.0 + 2 * phase)
    # a fast term of period under two days: reads as day-to-day noise
    fast = 0.0001 * math.sin(t * 2.39996 + phase)
    return slow + fast


def price_rows(bond, accrued, sessions):
    """Daily quotes of ``bond`` on ``sessions``: the full price is the value of its QuantLib
    bond's payments at the day's yield; the accrued interest is the tables command's."""
    leg = bond_tables.Bond(bond_terms(bond)).leg
    last_payment = max(terms.py_date(cf.date()) for cf in leg)
    accrued = dict(zip(accrued["date"], accrued["accrued_interest"]))
    rows = []
    for day in (d for d in sessions if MARKET_START <= d <= MARKET_END):
        if day < bond.listed_date or day >= last_payment:
            continue
        y = interpolate(GOVERNMENT_YIELD, day) + bond.yield_spread + wiggle(day, float(len(bond.symbol)))
        rate = ql.InterestRate(y, ql.ActualActual(ql.ActualActual.ISDA), ql.Compounded, ql.Annual)
        settle = terms.ql_date(day)
        full = ql.CashFlows.npv(leg, rate, False, settle, settle)
        interest = accrued[day]
        clean = round(full - interest, PRICE_DIGITS)
        rows.append(
            {
                "order_book_id": bond.order_book_id,
                "date": day,
                "clean_price": clean,
                "accrued_interest": interest,
                "full_price": round(clean + interest, AMOUNT_DIGITS),
                "yield": round(y, 6),
            }
        )
    return rows


def repo_rate_rows(sessions):
    days = [d for d in sessions if MARKET_START <= d <= MARKET_END]
    last_of_month = {}
    for day in days:
        last_of_month[(day.year, day.month)] = day
    rows = []
    for i, day in enumerate(days):
        policy = step(POLICY_RATE, day)
        month_end = last_of_month[(day.year, day.month)] == day
        quarter_end = month_end and day.month % 3 == 0
        next_day = days[i + 1] if i + 1 < len(days) else day + datetime.timedelta(days=1)
        before_holiday = (next_day - day).days >= 4  # a break longer than a weekend
        last_week_of_quarter = day.month % 3 == 0 and (last_of_month[(day.year, day.month)] - day).days < 7
        overnight = policy - 0.0015 + 0.0008 * math.sin(2 * math.pi * day.toordinal() / 13.0)
        overnight += 0.012 if quarter_end else 0.004 if month_end else 0.0
        overnight += 0.008 if before_holiday else 0.0
        seven_day = policy + 0.0010 + 0.0005 * math.sin(2 * math.pi * day.toordinal() / 17.0 + 0.7)
        seven_day += 0.005 if last_week_of_quarter else 0.0
        for repo in REPOS:
            base = overnight if repo.repo_period == 1 else seven_day
            rows.append(
                {
                    "order_book_id": repo.order_book_id,
                    "date": day,
                    "rate": round(max(base + repo.spread, 0.005), RATE_DIGITS),
                }
            )
    return rows


def instrument_rows(last_payment):
    rows = []
    for bond in BONDS:
        rows.append(
            {
                "order_book_id": bond.order_book_id,
                "type": "BOND",
                "symbol": bond.symbol,
                "exchange": bond.exchange,
                "round_lot": 10,
                "issue_price": bond.issue_price,
                "initial_issue_size": bond.initial_issue_size,
                "repo_period": None,
                "listed_date": bond.listed_date,
                "maturity_date": last_payment[bond.order_book_id],
                "coupon_rate": bond.coupon_rate or None,
            }
        )
    for repo in REPOS:
        rows.append(
            {
                "order_book_id": repo.order_book_id,
                "type": "REPO",
                "symbol": repo.symbol,
                "exchange": repo.exchange,
                "round_lot": 1000,
                "issue_price": None,
                "initial_issue_size": None,
                "repo_period": repo.repo_period,
                "listed_date": repo.listed_date,
                "maturity_date": None,
                "coupon_rate": None,
            }
        )
    frame = pd.DataFrame(rows)
    frame["repo_period"] = frame["repo_period"].astype("Int64")
    return frame


def build(out=None):
    """Write every file; into ``out`` when given, else each into its home folder.
    Returns the paths written, sorted by file name."""
    # The Shanghai exchange's trading days (weekends closed, make-up Saturdays
    # included); for 2020-2025 they are exactly the "XSHG" sessions of current
    # exchange_calendars releases.
    sessions = terms.sessions_between(D(2016, 1, 1), D(2027, 12, 31))
    realized, implied, accrued = tables_from_terms(BONDS)
    inter_bank = [bond.order_book_id for bond in BONDS if bond.exchange == "IB"]
    implied = implied[implied["order_book_id"].isin(inter_bank)].reset_index(drop=True)
    prices = []
    for bond in BONDS:
        prices += price_rows(bond, accrued[accrued["order_book_id"] == bond.order_book_id], sessions)
    last_payment = realized.groupby("order_book_id")["payment_date"].max().to_dict()
    frames = {
        "instruments.csv": instrument_rows(last_payment),
        "realized_cash_flow.csv": realized,
        "implied_cash_flow.csv": implied,
        "bond_prices.csv": pd.DataFrame(prices),
        "repo_rates.csv": pd.DataFrame(repo_rate_rows(sessions)),
        "sessions.csv": pd.DataFrame({"date": [d for d in sessions if MARKET_START <= d <= MARKET_END]}),
    }
    paths = []
    for name, frame in sorted(frames.items()):
        if out is not None:
            folders = [Path(out)]
        else:
            folders = [DEMO_DATA, CLIENT_DATA] if name in CLIENT_FILES else [DEMO_DATA]
        for folder in folders:
            folder.mkdir(parents=True, exist_ok=True)
            frame.to_csv(folder / name, index=False, lineterminator="\n")
            paths.append(folder / name)
    return paths


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument(
        "--out",
        type=Path,
        default=None,
        help=f"one folder for every file (default: {DEMO_DATA}, and {CLIENT_DATA} for the client's)",
    )
    args = parser.parse_args(argv)
    for path in build(args.out):
        print(path)


if __name__ == "__main__":
    main()
