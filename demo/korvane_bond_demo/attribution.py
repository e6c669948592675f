"""Where a run's profit and loss came from, per bond and for the lending of spare cash, and
how many of its days the pledged bonds were financed."""

import math

from korvane.const import INSTRUMENT_TYPE, POSITION_DIRECTION, SIDE

from korvane_bond_demo.ledger import accrued_interest, repo_interest, settled_on

PARTS = ("price", "coupons", "financing", "commissions", "other")


def attribution(result, parts, values_at_end):
    """Where the P&L came from, per bond and for the lending of spare cash.

    ``parts`` are the (category, amount) parts of each booking of ``result``
    (:func:`korvane_bond_demo.ledger.classify`); ``values_at_end`` each bond held at the
    end at its full price (the last day of :func:`korvane_bond_demo.ledger.market_values`).
    A bond's line: ``price`` (its value at the end + sales + principal repaid - purchases,
    all before commission: the capital gain or loss), ``coupons``, ``financing`` (minus the
    interest, accrued to the end, of the repos that pledge it) and ``commissions`` (its
    trades' and its repos', negative). The lending line: the reverse repos' interest,
    accrued to the end, and their commissions. The lines add up to final equity minus
    initial cash.
    """
    data_proxy = result.env.data_proxy
    last_day = result.days[-1]
    lines = {}

    def line(key):
        if key not in lines:
            lines[key] = dict.fromkeys(PARTS, 0.0)
            lines[key]["principal_repaid"] = 0.0
        return lines[key]

    for booking, booked in zip(result.bookings, parts):
        kind = data_proxy.instruments(booking.order_book_id).type
        if kind == INSTRUMENT_TYPE.REPO:
            continue  # from the repo trades below, with the interest accrued to the end
        booked = dict(booked)
        entry = line(booking.order_book_id)
        entry["price"] += booked.get("bond_purchases", 0.0) + booked.get("bond_sales", 0.0)
        entry["price"] += booked.get("principal", 0.0)
        entry["principal_repaid"] += booked.get("principal", 0.0)
        entry["coupons"] += booked.get("coupons", 0.0)
        entry["commissions"] += booked.get("commissions", 0.0)
        entry["other"] += booked.get("day_start", 0.0) + booked.get("other", 0.0)
    for order_book_id, value in values_at_end.items():
        line(order_book_id)["price"] += value
    settled = settled_on(result)
    for trade in result.repo_trades:
        interest = repo_interest(trade) if id(trade) in settled else accrued_interest(trade, last_day.date)
        if trade.side == SIDE.FINANCING:
            entry = line(trade.bond_id)
            entry["financing"] -= interest
        else:
            entry = line("lending")
            entry["financing"] += interest
        entry["commissions"] -= trade.transaction_cost
    for entry in lines.values():
        entry["total"] = math.fsum(entry[k] for k in PARTS)
    order = sorted(key for key in lines if key != "lending") + (["lending"] if "lending" in lines else [])
    return {key: lines[key] for key in order}


def financed_days(result, exit_from=None):
    """(days ending with a financed bond held, days on which each one held is also
    pledged in a repo that runs past the day, days of the first kind but not the
    second before ``exit_from``, the first day of the strategy's exit, when it stops
    borrowing). A financed bond is one that some repo of the run pledged."""
    pledges = {}  # bond -> [(first day, repaid on)] of its repos
    settled = settled_on(result)
    for trade in result.repo_trades:
        if trade.side == SIDE.FINANCING:
            pledges.setdefault(trade.bond_id, []).append((trade.trading_dt.date(), settled.get(id(trade))))
    bonds = set(pledges)
    held = financed = unfinanced_before_exit = 0
    for record in result.days:
        holding = [b for b in bonds if record.positions_quantity.get((b, POSITION_DIRECTION.LONG), 0) > 0]
        if not holding:
            continue
        held += 1
        day = record.date
        covered = all(
            any(first <= day and (end is None or day < end) for first, end in pledges.get(b, ()))
            for b in holding
        )
        financed += covered
        unfinanced_before_exit += not covered and (exit_from is None or day < exit_from)
    return held, financed, unfinanced_before_exit
