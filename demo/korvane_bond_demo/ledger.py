"""The daily ledger of a run: cash flows by kind, balances, and equity at market value.

Every booked cash delta falls in one category of :data:`FLOWS`; a trade's
delta is split into its gross amount and its commission, a bond payment into
coupon and principal (in the proportion of the bond's cash-flow table on that
date). The ledger has one column per category, so each row's cash is its
opening cash plus its flows.

``equity`` is the account at market value, the same whichever valuation source
the framework uses: cash, plus each bond held at the end of the day times its
full price that day (its last full price when it has no quote that day), plus
the reverse repos less the repos, each at its principal plus the interest
accrued to the end of the day. A repo's interest, ``principal x rate x holding
days / 365``, accrues evenly over its calendar days, so on its due day the
repayment takes out of cash what the ledger already owed, and equity does not
step. The framework's own valuation (bonds as it marks them, with the
receivable of the bonds on implied cash flows; repos at principal) stays beside
it, in ``framework_bonds_value`` and ``framework_equity``.
"""

import bisect
import math

import pandas as pd
from korvane.const import INSTRUMENT_TYPE, POSITION_DIRECTION, SIDE
from pelvorn import bond

from korvane_mod_bond.mod import HOLDER_OF_RECORD

LONG, SHORT = POSITION_DIRECTION.LONG, POSITION_DIRECTION.SHORT

FLOWS = (
    "bond_purchases",
    "bond_sales",
    "coupons",
    "principal",
    "repo_borrowed",
    "repo_repaid",
    "reverse_repo_lent",
    "reverse_repo_returned",
    "commissions",
    "day_start",
    "other",
)
BALANCES = (
    "cash",
    "bonds_value",  # at the full price
    "reverse_repo_principal",
    "reverse_repo_interest_accrued",
    "repo_principal",
    "repo_interest_accrued",
    "framework_bonds_value",  # the framework's own marks, with the bonds' receivables
    "framework_equity",  # the framework's own: cash + its bond values + repos at principal
    "equity",  # at market value
    "leverage",
)
LEDGER_COLUMNS = ("date", "cash_open") + FLOWS + BALANCES


def _payment_table(result, order_book_id):
    """Per-bond payment and principal by date, from the table the bond's position reads
    (implied or realized cash flows); read once per result."""
    tables = result.__dict__.setdefault("_payment_tables", {})
    if order_book_id in tables:
        return tables[order_book_id]
    if _is_implied(result, order_book_id):
        frame = bond.get_implied_cash_flow(order_book_id, 20050102, 29991231)
        columns = ("total_payment", "principal_payment")
    else:
        frame = bond.realized_cash_flow(order_book_id)
        columns = ("cash_flow", "principal_payment")
    table = {}
    if frame is not None:
        dates = frame.index.get_level_values(-1)
        table = {
            day.date(): (total, principal)
            for day, total, principal in zip(dates, frame[columns[0]].tolist(), frame[columns[1]].tolist())
            if total != 0
        }
    tables[order_book_id] = table
    return table


def _is_implied(result, order_book_id):
    from korvane_mod_bond.position import BondPositionWithImpliedCashFlow

    position = result.portfolio.positions.get((order_book_id, LONG))
    return isinstance(position, BondPositionWithImpliedCashFlow)


def classify(result, booking):
    """The (category, amount) parts of one booking; they add up to its amount."""
    instrument = result.env.data_proxy.instruments(booking.order_book_id)
    kind = instrument.type
    if booking.phase == "before_trading":
        return [("day_start", booking.amount)]
    payment = booking.phase == "settlement" or booking.label == HOLDER_OF_RECORD
    if kind == INSTRUMENT_TYPE.BOND and payment:
        # a bond's payment, or its share handed to the holders of record of bonds traded that day
        table = _payment_table(result, booking.order_book_id)
        if booking.date in table:
            total, principal_per_bond = table[booking.date]
            principal = booking.amount * principal_per_bond / total
            return [("coupons", booking.amount - principal), ("principal", principal)]
        return [("other", booking.amount)]
    if booking.phase == "trade":
        cost = booking.transaction_cost
        gross = booking.amount + cost
        if kind == INSTRUMENT_TYPE.BOND:
            category = "bond_purchases" if booking.trade.side == SIDE.BUY else "bond_sales"
        elif kind == INSTRUMENT_TYPE.REPO:
            category = "repo_borrowed" if booking.direction == SHORT else "reverse_repo_lent"
        else:
            category = "other"
        return [(category, gross), ("commissions", -cost)]
    if booking.phase == "settlement":
        if kind == INSTRUMENT_TYPE.REPO:
            return [
                ("repo_repaid" if booking.direction == SHORT else "reverse_repo_returned", booking.amount)
            ]
    return [("other", booking.amount)]


def repo_interest(trade):
    """The interest of a repo trade over its whole period (what falls due less the principal)."""
    return trade.due_settlement_amount - trade.last_quantity


def accrued_interest(trade, day):
    """The interest of ``trade`` accrued by the end of ``day``: evenly per calendar day
    from its trade date, all of it on its due date."""
    opened = trade.trading_dt.date()
    if day <= opened:
        return 0.0
    held = trade.actual_holding_days
    if not held or (day - opened).days >= held:
        return repo_interest(trade)
    return repo_interest(trade) * (day - opened).days / held


def settled_on(result):
    """id(trade) -> the day its repo was repaid."""
    return {id(m.trade): m.date for m in result.repo_maturities}


def open_repo_balances(result, days):
    """Per day (index into ``days``): principal and accrued interest of the repos and
    reverse repos not yet repaid at the end of the day, by direction."""
    balances = {
        direction: ([0.0] * len(days), [0.0] * len(days)) for direction in (LONG, SHORT)
    }  # direction -> (principal, accrued)
    settled = settled_on(result)
    for trade in result.repo_trades:
        principal, accrued = balances[trade.position_direction]
        first = bisect.bisect_left(days, trade.trading_dt.date())
        end_day = settled.get(id(trade))
        stop = bisect.bisect_left(days, end_day) if end_day is not None else len(days)
        for i in range(first, stop):
            principal[i] += trade.last_quantity
            accrued[i] += accrued_interest(trade, days[i])
    return balances


def market_values(result, market=None):
    """Per day of ``result``: {bond: the quantity held at the end of the day times its full
    price that day}. A bond without a quote that day is valued at its last full price
    (the market's ``last_quote``, or the last one seen in the run); one never quoted up
    to that day, as the framework values it. ``market`` gives the quotes (default: the
    run's own)."""
    market = result.backtest.market if market is None else market
    data_proxy = result.env.data_proxy
    last_full = {}
    found = []
    for record in result.days:
        values = {}
        for (order_book_id, direction), quantity in record.positions_quantity.items():
            if direction != LONG or not quantity:
                continue
            if data_proxy.instruments(order_book_id).type != INSTRUMENT_TYPE.BOND:
                continue
            quote = market.bond_quote(order_book_id, record.date)
            if quote is None and order_book_id not in last_full and hasattr(market, "last_quote"):
                quote = market.last_quote(order_book_id, record.date)
            if quote is not None:
                last_full[order_book_id] = quote.full
            if order_book_id in last_full:
                values[order_book_id] = quantity * last_full[order_book_id]
            else:
                values[order_book_id] = record.positions_equity.get((order_book_id, direction), 0.0)
        found.append(values)
    return found


def build_ledger(result, parts, values):
    """The daily ledger as a frame, one row per trading day, columns :data:`LEDGER_COLUMNS`.

    ``parts`` are the (category, amount) parts of each booking of ``result``
    (:func:`classify`), ``values`` each day's bonds at the full price (:func:`market_values`).
    ``equity`` is cash + bonds at the full price + reverse repos (principal and accrued
    interest) - repos (principal and accrued interest); ``leverage`` is what the repos owe
    (principal and accrued interest) over equity.
    """
    by_day = {}
    for booking, booked in zip(result.bookings, parts):
        day = by_day.setdefault(booking.date, dict.fromkeys(FLOWS, 0.0))
        for category, amount in booked:
            day[category] += amount
    data_proxy = result.env.data_proxy
    days = [record.date for record in result.days]
    repos = open_repo_balances(result, days)
    rows = []
    for i, record in enumerate(result.days):
        flows = by_day.get(record.date, dict.fromkeys(FLOWS, 0.0))
        booked = 0.0
        for (order_book_id, _), value in record.positions_equity.items():
            if data_proxy.instruments(order_book_id).type != INSTRUMENT_TYPE.REPO:
                booked += value
        bonds = math.fsum(values[i].values())
        lent, lent_accrued = repos[LONG][0][i], repos[LONG][1][i]
        owed, owed_accrued = repos[SHORT][0][i], repos[SHORT][1][i]
        equity = record.cash + bonds + lent + lent_accrued - owed - owed_accrued
        rows.append(
            [record.date, record.cash_open]
            + [flows[c] for c in FLOWS]
            + [record.cash, bonds, lent, lent_accrued, owed, owed_accrued, booked, record.equity, equity]
            + [(owed + owed_accrued) / equity if equity > 0 else float("nan")]
        )
    return pd.DataFrame(rows, columns=list(LEDGER_COLUMNS))
