"""Accrued interest and payments go with the trade: a backtest of the framework with one bond of
its own (three coupons, the last with the redemption), replayed independently here at the full
price, payments going to the holders at each payment date's start.

Both valuation sources: on realized cash flows a bond position is worth quantity x full price
after each day's settlement; on implied cash flows quantity x (clean price + the interest
accrued to the latest record of the implied table), which differs from the full price only by
the interest accrued since that record."""

import datetime

import pytest
from korvane.runner import LONG, Backtest, BondQuote, Strategy
from pelvorn import bond

from korvane_mod_bond.data import BondInstrument, RepoInstrument, instrument_from_record
from korvane_mod_bond.mod import BondMod

D = datetime.date
IB_BOND, EXCHANGE_BOND = "990001.IB", "990101.XSHG"
REPO_OF = {IB_BOND: "990007.IB", EXCHANGE_BOND: "204007.XSHG"}  # a 7-day repo of the bond's market
CASH, RATE, HAIRCUT = 5_000_000.0, 0.02, 0.9

# The bond: 1.37 a bond every payment date, the principal of 100 repaid with the last coupon.
P0, P1, P2 = D(2024, 1, 15), D(2024, 3, 15), D(2024, 5, 15)
PAYMENT_DATES = (P0, P1, P2)
COUPON, PRINCIPAL = 1.37, {P2: 100.0}
HOLIDAYS = {D(2024, 4, 4), D(2024, 4, 5), D(2024, 5, 1), D(2024, 5, 2), D(2024, 5, 3)}
SESSIONS = [
    P0 + datetime.timedelta(days=i)
    for i in range(140)
    if (P0 + datetime.timedelta(days=i)).weekday() < 5 and P0 + datetime.timedelta(days=i) not in HOLIDAYS
]


def period_of(day):
    """(start, end) of the coupon period that ``day`` lies in: start <= day < end."""
    for start, end in zip(PAYMENT_DATES, PAYMENT_DATES[1:]):
        if start <= day < end:
            return start, end
    raise ValueError(day)


def accrued(day):
    """Interest accrued per bond by ``day``, evenly per calendar day; 0 on a payment date."""
    start, end = period_of(day)
    return COUPON * (day - start).days / (end - start).days


def implied_records():
    """(record date, the date it accrues to) of each period: every month-end session after the
    period's start, the session before the payment accruing to the payment date."""
    records = []
    for start, end in zip(PAYMENT_DATES, PAYMENT_DATES[1:]):
        inside = [d for d in SESSIONS if start < d < end]
        month_ends = [d for d, after in zip(inside, inside[1:]) if d.month != after.month]
        records += [(d, d) for d in month_ends] + [(inside[-1], end)]
    return records


def accrued_to_record(day):
    """Interest accrued per bond to the latest record on or before ``day`` of its period."""
    start, end = period_of(day)
    dates = [to for record, to in implied_records() if start < record <= day]
    return COUPON * (dates[-1] - start).days / (end - start).days if dates else 0.0


def frames(order_book_id):
    payments = [(P0, COUPON)] + [(d, COUPON + PRINCIPAL.get(d, 0.0)) for d in PAYMENT_DATES[1:]]
    realized = [(d, paid, PRINCIPAL.get(d, 0.0)) for d, paid in payments]
    implied, last = [(P0, COUPON, 0.0, 0.0)], P0
    for record, to in implied_records():
        start, end = period_of(record)
        implied.append((record, 0.0, COUPON * (to - last).days / (end - start).days, 0.0))
        last = to
        if to == end:  # the payment itself: the principal becomes receivable that morning
            principal = PRINCIPAL.get(end, 0.0)
            implied.append((end, COUPON + principal, principal, principal))
    return (
        bond.make_realized_frame(order_book_id, realized),
        bond.make_implied_frame(order_book_id, implied),
    )


def clean(day):
    return 99.0 + 0.01 * SESSIONS.index(day)


def full(day):
    return clean(day) + accrued(day)


class Market:
    def bond_quote(self, order_book_id, day):
        if order_book_id in REPO_OF and day < P2:
            return BondQuote(clean=clean(day), full=full(day))
        return None

    def repo_rate(self, order_book_id, day):  # noqa: ARG002 (the framework's market interface)
        return RATE


class Plan(Strategy):
    """Does the plan's orders (("buy" | "sell" | "repo", bonds) by date) on ``bond_id``; keeps
    each order's record and the bonds free to pledge at every day's end of trading."""

    def __init__(self, bond_id, plan):
        self.bond_id, self.plan = bond_id, plan
        self.records, self.pledgeable = {}, {}

    def handle_day(self, context):
        for i, (kind, n) in enumerate(self.plan.get(context.date, ())):
            if kind == "repo":
                record = context.repo(REPO_OF[self.bond_id], self.bond_id, n, HAIRCUT)
            else:
                record = getattr(context, kind)(self.bond_id, n)
            assert record.status == "filled", record.messages
            self.records[context.date, i] = record
        self.pledgeable[context.date] = context.pledgeable_quantity(self.bond_id)


def replay(plan, records):
    """Day by day at the day's end: (cash, bonds held, repo principal owed), computed at the full
    price with the payments to the holders at each payment date's start."""
    cash, held, repos, rows = CASH, 0, [], {}
    for day in SESSIONS:
        if day in PAYMENT_DATES:
            cash += held * (COUPON + PRINCIPAL.get(day, 0.0))
        for i, (kind, n) in enumerate(plan.get(day, ())):
            cost = records[day, i].trade.transaction_cost
            if kind == "buy":
                cash, held = cash - n * full(day) - cost, held + n
            elif kind == "sell":
                cash, held = cash + n * full(day) - cost, held - n
            else:
                principal = n * 100.0 * HAIRCUT
                due = min(d for d in SESSIONS if d >= day + datetime.timedelta(days=7))
                repos.append((principal, due, principal * (1 + RATE / 365 * (due - day).days)))
                cash += principal - cost
        cash -= sum(amount for _, due, amount in repos if due == day)
        if day == P2:
            held = 0
        rows[day] = cash, held, sum(principal for principal, due, _ in repos if due > day)
    return rows


PLANS = {
    "buy mid-period, buy more, partial sale, full sale, buy again twice, redemption": {
        D(2024, 1, 22): [("buy", 10_000)],
        D(2024, 2, 5): [("buy", 5_000)],
        D(2024, 2, 20): [("sell", 3_000)],
        D(2024, 2, 29): [("buy", 1_000)],  # on a month-end record
        D(2024, 4, 10): [("sell", 13_000)],
        D(2024, 4, 15): [("buy", 3_330)],
        D(2024, 5, 6): [("buy", 1_110)],  # the redemption's payment leaves float dust on these
    },
    "buy on a payment date into nothing, the day before, and on the next into a holding": {
        P0: [("buy", 10_000)],
        D(2024, 3, 14): [("buy", 1_000)],  # on the record that accrues to the payment date
        P1: [("buy", 2_000)],
    },
    "partial sale on a payment date, and a buy the same day": {
        D(2024, 1, 22): [("buy", 10_000)],
        P1: [("sell", 4_000), ("buy", 1_000)],
    },
    "full sale on a payment date": {
        D(2024, 1, 22): [("buy", 10_000)],
        P1: [("sell", 10_000)],
    },
    "redemption while pledged": {
        D(2024, 4, 15): [("buy", 10_000)],
        D(2024, 5, 10): [("repo", 10_000)],
    },
}


@pytest.mark.parametrize(
    "bond_id, valuation_source",
    [(IB_BOND, "implied"), (IB_BOND, "exchange"), (EXCHANGE_BOND, "implied")],
)
@pytest.mark.parametrize("plan", PLANS.values(), ids=PLANS.keys())
def test_every_day_ends_as_a_full_price_replay_of_the_same_trades(bond_id, valuation_source, plan):
    realized, implied = frames(bond_id)
    bond.set_frames(realized={bond_id: realized}, implied={bond_id: implied})
    instruments = [instrument_from_record(bond.instrument_info(i)) for i in bond.all_instruments().index]
    instruments += [
        BondInstrument(bond_id, issue_price=100.0, initial_issue_size=1e10),
        RepoInstrument(REPO_OF[IB_BOND], repo_period=7),
    ]
    strategy = Plan(bond_id, plan)
    result = Backtest(
        strategy, SESSIONS[0], SESSIONS[-1], cash=CASH, instruments=instruments, market=Market(),
        mods=[BondMod()], sessions=SESSIONS, config={"mod.bond.valuation_source": valuation_source},
    ).run()  # fmt: skip
    on_implied = bond_id == IB_BOND and valuation_source != "exchange"
    assert [day.date for day in result.days] == SESSIONS
    expected = replay(plan, strategy.records)
    for day in result.days:
        cash, held, owed = expected[day.date]
        assert day.cash == pytest.approx(cash, abs=1e-6), day.date
        assert day.positions_quantity.get((bond_id, LONG), 0) == held, day.date
        if held == 0:  # no receivable either: the position's equity is exactly 0
            assert (bond_id, LONG) not in day.positions_equity, day.date
            bond_value = 0.0
        elif on_implied:
            bond_value = held * (clean(day.date) + accrued_to_record(day.date))
        else:
            bond_value = held * full(day.date)
        assert day.positions_equity.get((bond_id, LONG), 0.0) == pytest.approx(bond_value, abs=1e-6), day.date
        assert day.equity == pytest.approx(cash + bond_value - owed, abs=1e-6), day.date
    assert min(strategy.pledgeable.values()) >= 0
    assert all(type(b.amount) is float for b in result.bookings)


def test_the_holders_at_a_payment_dates_start_are_paid_in_labelled_bookings():
    realized, implied = frames(IB_BOND)
    bond.set_frames(realized={IB_BOND: realized}, implied={IB_BOND: implied})
    instruments = [BondInstrument(IB_BOND, issue_price=100.0, initial_issue_size=1e10)]
    plan = {D(2024, 1, 22): [("buy", 10_000)], P1: [("sell", 4_000), ("buy", 1_000)]}
    result = Backtest(
        Plan(IB_BOND, plan), P0, P1, cash=CASH, instruments=instruments, market=Market(), mods=[BondMod()],
        sessions=SESSIONS,
    ).run()  # fmt: skip
    paid = [(b.phase, b.label, b.amount, b.transaction_cost) for b in result.bookings if b.date == P1]
    sale, purchase = (p for p in paid if p[1] == "" and p[0] == "trade")
    assert paid == [
        sale,
        ("trade", "holder_of_record", 4_000 * COUPON, 0.0),  # the seller keeps the sold bonds' coupon
        purchase,
        ("trade", "holder_of_record", -1_000 * COUPON, 0.0),  # the buyer hands its coupon back
        ("settlement", "", 7_000 * COUPON, 0.0),  # the settlement pays the bonds held at its end
    ]
    assert sum(b.amount for b in result.bookings if b.label or b.phase == "settlement") == pytest.approx(
        10_000 * COUPON
    )
