"""The summary model of a run: per bond, per repo, the cash flows, the orders with a message.

:func:`summarize` takes any backtest result that uses the package (it reads the
bookings, orders and repo trades, nothing of the strategy), and the daily ledger.
"""

import bisect
import dataclasses
import datetime
import math
import re

from korvane.const import INSTRUMENT_TYPE, POSITION_DIRECTION, SIDE

from korvane_bond_demo.ledger import FLOWS, settled_on

LONG, SHORT = POSITION_DIRECTION.LONG, POSITION_DIRECTION.SHORT

# What the system's messages about an order mean, in plain words: (pattern, kind, explanation).
MESSAGE_KINDS = (
    (
        re.compile(r"的仓位不足"),
        "sale of pledged bonds",
        "the strategy tries to sell its bonds every day of its exit; while they are pledged in a "
        "repo nothing is closable, so the sale is refused until the repo is repaid (deliberate)",
    ),
    (
        re.compile(r"正回购名义金额超过当前持仓票面价值"),
        "repo rolled on its due day",
        "a repo rolled on the due day of the one before pledges the same bonds; their pledge is "
        "released only at the day's settlement, so the validator sees no free holding and warns; "
        "the order is accepted and filled in full",
    ),
    (re.compile(r"可用资金不足"), "not enough cash", "the order would pay out more cash than is available"),
    (
        re.compile(r"数量 \S+ 不合法"),
        "quantity not allowed",
        "not a whole number of lots, or below the inter-bank minimum of 1,000 bonds",
    ),
    (
        re.compile(r"抵押名义价值应在"),
        "pledge below the exchange minimum",
        "an exchange repo must pledge at least 1,000 yuan of face value on Shenzhen, 100,000 on Shanghai",
    ),
    (re.compile(r"没有行情"), "no quote", "the instrument has no price or rate on that day"),
)


def explain(message):
    """(kind, plain explanation) of a system message about an order; ("", "") when unknown."""
    for pattern, kind, text in MESSAGE_KINDS:
        if pattern.search(message):
            return kind, text
    return "", ""


def order_kind(order):
    if order.side == SIDE.BUY:
        return "buy"
    if order.side == SIDE.SELL:
        return "sell"
    if order.side == SIDE.FINANCING:
        return "borrow (repo)"
    if order.side == SIDE.MARGIN:
        return "lend (reverse repo)"
    return order.side.name.lower()


@dataclasses.dataclass
class BondLine:
    order_book_id: str
    symbol: str
    coupons: float = 0.0
    principal: float = 0.0
    bought: float = 0.0
    sold: float = 0.0
    commission: float = 0.0


@dataclasses.dataclass
class RepoLine:
    order_book_id: str
    symbol: str
    direction: str
    trades: int = 0
    principal: float = 0.0  # the sum over every trade: turnover, not an exposure
    interest: float = 0.0  # of the repos repaid within the run
    commission: float = 0.0
    outstanding: float = 0.0  # principal of repos not yet due at the end
    average_outstanding: float = 0.0  # principal outstanding at the end of a day, averaged over the run
    peak_outstanding: float = 0.0


@dataclasses.dataclass
class Summary:
    start: datetime.date
    end: datetime.date
    days: int
    initial_cash: float
    final_cash: float
    final_equity: float  # at market value: bonds at the full price, repos with accrued interest
    replayed_cash: float  # the initial cash plus every booked delta, added in booking order
    bookings: int
    flows: dict
    bonds: list
    repos: list
    filled: int
    refused: list  # OrderRecords
    unfilled: int
    warned: list = dataclasses.field(default_factory=list)  # filled OrderRecords with a message
    framework_equity: float = math.nan  # the framework's own valuation at the end

    @property
    def reconciled(self):
        """The final cash is the initial cash plus every booked delta, to the last bit, and
        every total is a finite number (an overflow to infinity reconciles nothing)."""
        totals = (self.initial_cash, self.final_cash, self.final_equity, self.replayed_cash)
        return all(math.isfinite(x) for x in totals) and self.replayed_cash == self.final_cash

    @property
    def repo_interest_paid(self):
        return sum(line.interest for line in self.repos if line.direction == SHORT)

    @property
    def repo_interest_earned(self):
        return sum(line.interest for line in self.repos if line.direction == LONG)

    @property
    def commissions(self):
        return -self.flows["commissions"]


def summarize(result, parts, ledger):
    """The :class:`Summary` of ``result``; ``parts`` are the (category, amount) parts of each
    of its bookings (:func:`korvane_bond_demo.ledger.classify`), ``ledger`` its daily ledger."""
    flows = dict.fromkeys(FLOWS, 0.0)
    bonds, repos = {}, {}
    data_proxy = result.env.data_proxy

    def bond_line(order_book_id):
        if order_book_id not in bonds:
            bonds[order_book_id] = BondLine(order_book_id, data_proxy.instruments(order_book_id).symbol)
        return bonds[order_book_id]

    def repo_line(order_book_id, direction):
        key = (order_book_id, direction)
        if key not in repos:
            repos[key] = RepoLine(order_book_id, data_proxy.instruments(order_book_id).symbol, direction)
        return repos[key]

    replayed = result.initial_cash
    for booking, booked in zip(result.bookings, parts):
        replayed += booking.amount
        booked = dict(booked)
        for category, amount in booked.items():
            flows[category] += amount
        if data_proxy.instruments(booking.order_book_id).type == INSTRUMENT_TYPE.BOND:
            line = bond_line(booking.order_book_id)
            line.coupons += booked.get("coupons", 0.0)
            line.principal += booked.get("principal", 0.0)
            line.bought -= booked.get("bond_purchases", 0.0)
            line.sold += booked.get("bond_sales", 0.0)
            line.commission += booking.transaction_cost
    days = [record.date for record in result.days]
    daily = {}  # (repo, direction) -> principal outstanding at the end of each day
    settled = settled_on(result)
    for trade in result.repo_trades:
        key = (trade.order_book_id, trade.position_direction)
        line = repo_line(*key)
        line.trades += 1
        line.principal += trade.last_quantity
        line.commission += trade.transaction_cost
        balance = daily.setdefault(key, [0.0] * len(days))
        end = settled.get(id(trade))
        # outstanding from the day it opened to the day before it was repaid
        first = bisect.bisect_left(days, trade.trading_dt.date())
        for i in range(first, len(days) if end is None else bisect.bisect_left(days, end)):
            balance[i] += trade.last_quantity
    for key, balance in daily.items():
        repos[key].average_outstanding = sum(balance) / len(days)
        repos[key].peak_outstanding = max(balance)
    for maturity in result.repo_maturities:
        repo_line(maturity.trade.order_book_id, maturity.direction).interest += maturity.interest
    for trade in result.open_repos:
        repo_line(trade.order_book_id, trade.position_direction).outstanding += trade.last_quantity
    return Summary(
        start=result.start_date,
        end=result.end_date,
        days=len(result.days),
        initial_cash=result.initial_cash,
        final_cash=result.final_cash,
        final_equity=float(ledger["equity"].iloc[-1]),
        replayed_cash=replayed,
        bookings=len(result.bookings),
        flows=flows,
        bonds=list(bonds.values()),
        repos=sorted(repos.values(), key=lambda line: (line.direction != SHORT, line.order_book_id)),
        filled=sum(1 for record in result.orders if record.status == "filled"),
        refused=result.refused_orders(),
        unfilled=sum(1 for record in result.orders if record.status == "unfilled"),
        warned=[r for r in result.orders if r.status == "filled" and r.messages],
        framework_equity=float(ledger["framework_equity"].iloc[-1]),
    )


def grouped_messages(records):
    """[(kind, explanation, count, first record)] of orders grouped by what their message means."""
    groups = {}
    for record in records:
        kind, text = explain(record.message)
        key = kind or record.message
        if key not in groups:
            groups[key] = [kind or "other", text, 0, record]
        groups[key][2] += 1
    return [tuple(group) for group in groups.values()]
