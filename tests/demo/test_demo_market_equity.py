"""The ledger's equity is the account at market value, whichever valuation source the
framework uses: checked on every day against a replay of the same trades written here,
from the filled orders and the data files alone (bonds at the day's full price, each
payment to the holders of record at the start of its day, repos at principal plus the
interest accrued evenly over their calendar days)."""

import collections
import csv
import datetime
import math

import pytest
from korvane.const import SIDE
from korvane.environment import Environment
from korvane.runner import Backtest, Strategy
from korvane_bond_demo.backtest import analyse
from korvane_bond_demo.dataset import bundled_folder, data_of
from korvane_bond_demo.settings import Settings
from korvane_bond_demo.strategy import financing_repos, make_strategy
from pelvorn import bond

from korvane_mod_bond import clear_cash_flow_memos
from korvane_mod_bond.mod import BondMod

D = datetime.date
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


def _fresh():
    bond.reset()
    clear_cash_flow_memos()


def run(settings, source, strategy=None):
    """A run of ``strategy`` (default: the settings' own) with the framework's
    ``valuation_source`` set to ``source``, analysed as the demo analyses its own."""
    _fresh()
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
        _fresh()


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
