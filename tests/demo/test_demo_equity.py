"""The ledger's equity is the account at market value, whichever valuation source the
framework uses: checked on every day against a replay of the same trades written here,
from the filled orders and the data files alone (bonds at the day's full price, or their
last one, each payment to the holders of record at the start of its day, repos at
principal plus the interest accrued evenly over their calendar days), so that it never
steps on a repayment day."""

import collections
import csv
import datetime
import math

import pandas as pd
import pytest
from demo_helpers import D, fresh_data, run_command, write_dataset
from korvane.const import SIDE
from korvane.environment import Environment
from korvane.runner import Backtest, Strategy
from korvane_bond_demo.analysis import analyse
from korvane_bond_demo.backtest import make_strategy
from korvane_bond_demo.dataset import bundled_folder, data_of
from korvane_bond_demo.settings import Settings
from korvane_bond_demo.strategy import financing_repos

from korvane_mod_bond.mod import BondMod

SOURCES = ("implied", "exchange")


def _read(name):
    with open(bundled_folder() / f"{name}.csv", newline="", encoding="utf-8") as f:
        return list(csv.DictReader(f))


@pytest.fixture(scope="module")
def market():
    """The bundled data as plain dicts: full prices, payments, repo periods, sessions."""
    full = collections.defaultdict(dict)
    for row in _read("bond_prices"):
        full[row["order_book_id"]][D.fromisoformat(row["date"])] = float(row["full_price"])
    paid = collections.defaultdict(dict)
    for row in _read("realized_cash_flow"):
        day = D.fromisoformat(row["payment_date"])
        paid[row["order_book_id"]][day] = (float(row["cash_flow"]), float(row["remaining_principal"]))
    periods = {r["order_book_id"]: int(r["repo_period"]) for r in _read("instruments") if r["type"] == "REPO"}
    sessions = [D.fromisoformat(row["date"]) for row in _read("sessions")]
    return full, paid, periods, sessions


def replay(result, market):
    """Equity at the end of each day of ``result``, rebuilt from its filled orders, and
    the bonds' payments to their holders of record."""
    full, paid, periods, sessions = market
    fills = collections.defaultdict(list)
    for record in result.orders:
        if record.status == "filled":
            fills[record.date].append(record.trade)
    cash, held, last_full, repos = float(result.initial_cash), collections.Counter(), {}, []
    equity, payments = [], 0.0
    for day in (record.date for record in result.days):
        redeemed = []
        for bond_id, quantity in list(held.items()):  # the holders of record at the day's start
            if day in paid[bond_id]:
                amount, remaining = paid[bond_id][day]
                cash += quantity * amount
                payments += quantity * amount
                if remaining == 0:
                    redeemed.append(bond_id)
        for trade in fills[day]:
            cost = trade.transaction_cost
            if trade.side in (SIDE.BUY, SIDE.SELL):
                sign = 1 if trade.side == SIDE.BUY else -1
                held[trade.order_book_id] += sign * trade.last_quantity
                cash -= sign * trade.last_price * trade.last_quantity + cost
            else:  # a repo borrows (FINANCING), a reverse repo lends (MARGIN)
                sign = 1 if trade.side == SIDE.FINANCING else -1
                principal = trade.last_quantity
                due = min(
                    s for s in sessions if s >= day + datetime.timedelta(days=periods[trade.order_book_id])
                )
                interest = principal * trade.last_price * (due - day).days / 365
                cash += sign * principal - cost
                repos.append((sign, principal, interest, day, due))
        for sign, principal, interest, *_ in [r for r in repos if r[4] == day]:
            cash -= sign * (principal + interest)
        repos = [r for r in repos if r[4] != day]
        for bond_id in redeemed:
            held.pop(bond_id)
        value = cash
        for bond_id, quantity in held.items():
            if day in full[bond_id]:
                last_full[bond_id] = full[bond_id][day]
            value += quantity * last_full[bond_id]
        for sign, principal, interest, opened, due in repos:
            accrued = interest * (day - opened).days / (due - opened).days
            value -= sign * (principal + accrued)
        equity.append(value)
    return equity, payments


def run(settings, source, strategy=None):
    """A run of ``strategy`` (default: the settings' own) with the framework's
    ``valuation_source`` set to ``source``, analysed as the demo analyses its own."""
    fresh_data()
    data = data_of(settings)
    instruments = data.instruments()
    data.install()
    if strategy is None:
        strategy = make_strategy(settings, financing_repos(settings, instruments), data)
    backtest = Backtest(
        strategy, settings.start, settings.end, cash=settings.cash, instruments=instruments, market=data,
        mods=[BondMod(*settings.commission)], sessions=data.sessions,
        config={"mod": {"bond": {"valuation_source": source}}},
    )  # fmt: skip
    try:
        return analyse(backtest.run(), data)
    finally:
        Environment.clear_instance()
        fresh_data()


def check(done, market):
    expected, payments = replay(done.result, market)
    assert done.ledger["equity"].tolist() == pytest.approx(expected, abs=1e-6)
    assert done.stats["final_equity"] == pytest.approx(expected[-1], abs=1e-6)
    # the payments handed to the holders of record of bonds traded on a payment date are
    # coupons and principal, not purchases or sales
    assert not done.ledger["other"].any()
    paid = math.fsum(done.ledger["coupons"]) + math.fsum(done.ledger["principal"])
    assert paid == pytest.approx(payments, abs=1e-6)


class Orders(Strategy):
    """Buys (a positive quantity) and sells (a negative one) on the days listed."""

    def __init__(self, orders):
        self.orders = orders
        self.records = []

    def handle_day(self, context):
        for bond_id, quantity in self.orders.get(context.date, ()):
            buy = quantity > 0
            self.records.append(context.buy(bond_id, quantity) if buy else context.sell(bond_id, -quantity))


def run_orders(settings, source, orders):
    strategy = Orders(orders)
    done = run(settings, source, strategy)
    assert [r.status for r in strategy.records] == ["filled"] * sum(map(len, orders.values()))
    return done


# An inter-bank bond (implied cash flows unless the source is "exchange") and an exchange bond,
# bought between two payments, then half sold, then the rest.
BETWEEN_PAYMENTS = {
    D(2024, 5, 15): [("200205.IB", 10_000), ("019547.XSHG", 10_000)],
    D(2024, 7, 15): [("200205.IB", -5_000), ("019547.XSHG", -5_000)],
    D(2024, 9, 20): [("200205.IB", -5_000), ("019547.XSHG", -5_000)],
}


# Bought on a payment date (127001.XSHE's instalment and coupon of 2024-03-15, 200205.IB's
# coupon of 2024-04-09 with the default source), sold on one (200205.IB on 2024-04-09 with
# "exchange", 019547.XSHG's coupon of 2024-11-18).
ON_PAYMENT_DATES = {
    D(2024, 3, 1): [("019547.XSHG", 10_000)],
    D(2024, 3, 15): [("127001.XSHE", 10_000)],
    D(2024, 4, 9): [("200205.IB", 10_000)],
    D(2024, 6, 3): [("127001.XSHE", -10_000)],
    D(2024, 11, 18): [("019547.XSHG", -10_000)],
}


ON_A_PAYMENT_DATE_SOLD = {
    D(2024, 3, 1): [("200205.IB", 10_000)],
    D(2024, 4, 9): [("200205.IB", -10_000)],
}


@pytest.mark.parametrize("source", SOURCES)
def test_the_bundled_run(market, source):
    check(run(Settings(), source), market)


@pytest.mark.parametrize("source", SOURCES)
def test_the_carry_variant(market, source):
    check(run(Settings(strategy="carry", exit_days=15), source), market)


@pytest.mark.parametrize("source", SOURCES)
def test_bonds_bought_between_payments_then_sold_in_halves(market, source):
    settings = Settings(start=D(2024, 5, 1), end=D(2024, 10, 31), cash=5e6)
    done = run_orders(settings, source, BETWEEN_PAYMENTS)
    check(done, market)
    sold = done.ledger[done.ledger["date"] >= D(2024, 9, 20)]
    assert len(sold) > 10 and not sold["bonds_value"].any()  # nothing held once all is sold


@pytest.mark.parametrize(
    "orders", [ON_PAYMENT_DATES, ON_A_PAYMENT_DATE_SOLD], ids=["mixed", "inter-bank sold"]
)
@pytest.mark.parametrize("source", SOURCES)
def test_bonds_bought_and_sold_on_payment_dates(market, source, orders):
    settings = Settings(start=D(2024, 2, 26), end=D(2024, 12, 31), cash=5e6)
    check(run_orders(settings, source, orders), market)


def test_the_market_equity_is_the_same_under_both_sources():
    """The same trades give the same equity, day by day, whichever table the framework's
    inter-bank positions follow; the framework's own valuation differs between them."""
    settings = Settings(start=D(2024, 5, 1), end=D(2024, 10, 31), cash=5e6)
    implied, exchange = (run_orders(settings, source, BETWEEN_PAYMENTS) for source in SOURCES)
    assert implied.ledger["equity"].tolist() == pytest.approx(exchange.ledger["equity"].tolist(), abs=1e-6)
    assert implied.ledger["framework_equity"].tolist() != exchange.ledger["framework_equity"].tolist()


def test_ledger_carries_repos_with_accrued_interest(default_tables):
    done, ledger, _ = default_tables
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


def test_equity_does_not_step_on_repayment_days(default_tables):
    """The day's financing P&L in the ledger (change in repo balances plus the repo cash
    flows) equals the interest the repos and reverse repos accrue over the calendar days
    since the previous session, computed here from repos.csv alone."""
    _, ledger, repos = default_tables
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


def test_a_bond_without_a_quote_is_valued_at_its_last_full_price(tmp_path, capsys):
    data = write_dataset(tmp_path / "data")
    path = data / "bond_prices.csv"
    lines = path.read_text(encoding="utf-8").splitlines(keepends=True)
    path.write_text("".join(line for line in lines if not line.startswith("100001.XSHG,2024-03-12")))
    code, _, err = run_command(capsys, "--data", str(data), "--start", "2024-03-04", "--end", "2024-03-14",
                        "--bonds", "100001.XSHG:1000", "--pledges", "100001.XSHG:0.9", "--exit-days", "0",
                        "--repo-tenor-days", "1", "--out", str(tmp_path / "out"))  # fmt: skip
    assert (code, err) == (0, "")
    ledger = pd.read_csv(tmp_path / "out" / "ledger.csv").set_index("date")
    # clean 100.50 less 0.01 a session, no accrued interest after the coupon of 03-07
    assert ledger["bonds_value"]["2024-03-11"] == pytest.approx(1000 * 100.45, abs=1e-9)
    assert ledger["bonds_value"]["2024-03-12"] == ledger["bonds_value"]["2024-03-11"]
    assert ledger["bonds_value"]["2024-03-13"] == pytest.approx(1000 * 100.43, abs=1e-9)
