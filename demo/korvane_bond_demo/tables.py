"""The CSV tables of a run, at full precision: every amount is written as the shortest
text that reads back as the same float, so the files reconcile exactly."""

import csv
import math

from korvane.const import SIDE

from korvane_bond_demo.ledger import repo_interest, settled_on
from korvane_bond_demo.summary import explain, order_kind


def cell_text(value):
    if isinstance(value, float) or hasattr(value, "dtype"):
        value = float(value)
        return "" if math.isnan(value) else repr(value)  # full precision
    if value is None:
        return ""
    return str(value)


def write_csv(path, header, rows):
    with open(path, "w", newline="", encoding="utf-8") as f:
        writer = csv.writer(f, lineterminator="\n")
        writer.writerow(header)
        for row in rows:
            writer.writerow([cell_text(value) for value in row])


BOOKINGS_HEADER = ("date", "phase", "order_book_id", "direction", "category", "amount", "transaction_cost",
                   "cash_after")  # fmt: skip
ORDERS_HEADER = ("date", "order_id", "order_book_id", "kind", "quantity", "price", "amount", "repo_rate",
                 "pledged_bond", "status", "message", "meaning")  # fmt: skip
REPOS_HEADER = ("trade_date", "order_book_id", "direction", "pledged_bond", "pledged_quantity",
                "pledged_face_value", "share_of_face_value_lent", "rate", "principal", "due_date",
                "holding_days", "amount_due", "interest", "commission", "repaid_on",
                "collateral_face_value_at_open", "collateral_face_value_low",
                "collateral_shortfall")  # fmt: skip


def order_rows(result):
    """One row per order. Bond orders: quantity in bonds, price the full price per bond,
    amount their product; a repo: amount the pledged face value; a reverse repo: the loan."""
    for r in result.orders:
        order = r.order
        is_bond = order.side in (SIDE.BUY, SIDE.SELL)
        quantity = order.quantity if is_bond else None
        price = order.price if is_bond else None
        amount = order.quantity * order.price if is_bond and order.price is not None else order.quantity
        kind, _ = explain(r.message)
        yield [r.date, order.order_id, order.order_book_id, order_kind(order), quantity, price, amount,
               None if is_bond else order.price, getattr(order, "bond_order_book_id", None), r.status,
               r.message, kind]  # fmt: skip


def repo_rows(result, pledges):
    """One row per repo trade; ``pledges`` are the borrowing trades' collateral
    (:func:`korvane_bond_demo.collateral.pledges`), in trade order."""
    settled = settled_on(result)
    collateral = iter(pledges)
    for t in result.repo_trades:
        financing = t.side == SIDE.FINANCING
        face = t.pledged_quantity * t.coupon_value if financing else None
        pledge = next(collateral) if financing else None
        marked = [pledge.face_at_open, pledge.face_low, pledge.shortfall] if pledge else [None, None, None]
        yield [t.trading_dt.date(), t.order_book_id, "borrowed" if financing else "lent",
               t.bond_id, t.pledged_quantity if financing else None, face,
               t.haircut if financing else None, t.last_price, t.last_quantity, t.due_settlement_date,
               t.actual_holding_days, t.due_settlement_amount, repo_interest(t), t.transaction_cost,
               settled.get(id(t)), *marked]  # fmt: skip


def booking_rows(result, parts):
    """One row per booking; ``parts`` are each booking's (category, amount) parts."""
    for b, booked in zip(result.bookings, parts):
        category = "+".join(c for c, _ in booked)
        yield [b.date, b.phase, b.order_book_id, b.direction.name, category, b.amount, b.transaction_cost,
               b.cash_after]  # fmt: skip
