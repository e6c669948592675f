"""The checks of whole tables and across them, once each is read: no row given twice for
an id and date; each bond's payments in date order repay at most its face, its
remaining principal 100 less what it repaid (so it never rises), nothing paid after it
is repaid in full; each implied period's receivables add up to its payment, and the
implied payments within the sessions are the realized ones; every bond has realized
cash flows, every inter-bank bond implied ones."""

import numpy as np

from korvane_bond_demo.reader.layout import AMOUNT_TOLERANCE, BOND, FACE


def by_bond(table, date_column):
    """(row order by id, then date; the id code of each row)."""
    codes = {}
    code = np.fromiter(
        (codes.setdefault(obid, len(codes)) for obid in table.columns["order_book_id"]),
        dtype=np.int64,
        count=len(table),
    )
    return np.lexsort((table.dates(date_column), code)), code


def unique(table, date_column):
    """No two rows of ``table`` for one bond or repo and date, the first repeat named;
    (the rows' order by id and date, each row's id code)."""
    order, code = by_bond(table, date_column)
    key = (code << 32) | table.dates(date_column).astype(np.int64)
    ranked = key[order]
    repeats = np.flatnonzero(ranked[1:] == ranked[:-1])
    if not repeats.size:
        return order, code
    i = int(order[repeats + 1].min())  # the earliest row that repeats one before it
    first = int(order[np.searchsorted(ranked, key[i])])  # lexsort is stable: the first row
    obid = table.columns["order_book_id"][i]
    raise table.fault(
        i,
        date_column,
        f"{obid} {table.value(date_column, i)} again (first at {table.row_word} {table.places[first]})",
    )


def check_cash_flows(table):
    """Each bond's payments in date order: the principal repaid adds up to at most 100,
    and the remaining principal is 100 less it (so it never rises)."""
    order, code = unique(table, "payment_date")
    columns, places = table.columns, table.places
    bond, repaid, remaining, before = None, 0.0, FACE, None
    for i in order.tolist():
        if code[i] != bond:
            bond, repaid, remaining, before = code[i], 0.0, FACE, None
        if remaining <= AMOUNT_TOLERANCE and columns["cash_flow"][i] > 0:
            raise table.fault(
                i,
                "payment_date",
                f"a payment after the bond was repaid in full ({table.row_word} {places[before]})",
            )
        repaid += columns["principal_payment"][i]
        if repaid > FACE + AMOUNT_TOLERANCE:
            raise table.fault(
                i,
                "principal_payment",
                f"the principal repaid adds up to {repaid!r}, above the face of 100",
            )
        now = columns["remaining_principal"][i]
        if now > remaining + AMOUNT_TOLERANCE:
            raise table.fault(
                i,
                "remaining_principal",
                f"rises from {remaining!r} ({table.row_word} {places[before]}) to {now!r}",
            )
        if abs(now - (FACE - repaid)) > AMOUNT_TOLERANCE:
            raise table.fault(
                i,
                "remaining_principal",
                f"{now!r} is not 100 less the principal repaid up to this payment, {FACE - repaid!r}",
            )
        remaining, before = now, i


def check_implied(table, realized, first, last):
    """Each period's receivables add up to its payment; the payments from the session
    ``first`` to ``last`` (day ordinals) are those of the ``realized`` table."""
    order, code = unique(table, "date")
    columns, places = table.columns, table.places
    bond, accrued, start = None, 0.0, None
    for i in order.tolist():
        if code[i] != bond:
            bond, accrued, start = code[i], 0.0, None
        total, receivable = columns["total_payment"][i], columns["payment_receivable"][i]
        if total == 0:
            accrued += receivable
            start = i if start is None else start
            continue
        # a period with nothing receivable before its payment date books the payment that day
        if accrued > 0 and abs(accrued + receivable - total) > AMOUNT_TOLERANCE:
            raise table.fault(
                i,
                "payment_receivable",
                f"the period's receivables ({table.row_word} {places[start]} to here) add up to "
                f"{accrued + receivable!r}, not its payment of {total!r}",
            )
        accrued, start = 0.0, None
    _check_same_payments(table, realized, first, last)


def _payments(table, date_column, amount_column, first, last, bonds=None):
    """(bond, date ordinal) -> row, of the payments from ``first`` to ``last``."""
    found = {}
    columns = table.columns
    for i in range(len(table)):
        ordinal, obid = columns[date_column][i], columns["order_book_id"][i]
        if columns[amount_column][i] != 0 and first <= ordinal <= last:
            if bonds is None or obid in bonds:
                found[(obid, ordinal)] = i
    return found


def _check_same_payments(implied, realized, first, last):
    bonds = set(implied.columns["order_book_id"])
    paid = _payments(realized, "payment_date", "cash_flow", first, last, bonds)
    for key, i in _payments(implied, "date", "total_payment", first, last).items():
        j = paid.pop(key, None)
        day = implied.value("date", i)
        if j is None:
            raise implied.fault(i, "total_payment", f"{key[0]} pays nothing on {day} in {realized.path.name}")
        for mine, theirs in (("total_payment", "cash_flow"), ("principal_payment", "principal_payment")):
            a, b = implied.columns[mine][i], realized.columns[theirs][j]
            if abs(a - b) > AMOUNT_TOLERANCE:
                raise implied.fault(
                    i, mine, f"{a!r}, where {realized.where(j, theirs)} has {b!r} for the same day"
                )
    if paid:
        j = min(paid.values())
        raise realized.fault(
            j,
            "payment_date",
            f"{realized.columns['order_book_id'][j]} pays {realized.columns['cash_flow'][j]!r} here, "
            f"and {implied.path.name} has no payment on {realized.value('payment_date', j)}",
        )


def check_bonds_have_cash_flows(tables, instrument_rows, kinds):
    """Every bond of ``instrument_rows`` (id -> its row) has realized cash flows, and every
    inter-bank bond implied ones; ``kinds``: id -> BOND or REPO."""
    instruments = tables["instruments"]
    has_realized = set(tables["realized_cash_flow"].columns["order_book_id"])
    implied = tables.get("implied_cash_flow")
    has_implied = set(implied.columns["order_book_id"]) if implied is not None else set()
    for obid, i in instrument_rows.items():
        if kinds[obid] != BOND:
            continue
        if obid not in has_realized:
            raise instruments.fault(i, "order_book_id", f"bond {obid} has no row in realized_cash_flow")
        if instruments.columns["exchange"][i] == "IB" and obid not in has_implied:
            where = "implied_cash_flow" if implied is not None else "implied_cash_flow (no such file)"
            raise instruments.fault(i, "order_book_id", f"inter-bank bond {obid} has no row in {where}")
