"""Fixed-income risk of the bonds held: yield to maturity, modified duration and DV01.

Each bond's future payments (its realized cash flows, per bond of 100 face value) are a
QuantLib leg of simple cash flows; on a day, the yield is the rate at which the leg's
value equals the day's full price (QuantLib's ``CashFlows.yieldRate``), compounded
annually on an actual/actual (ISDA) day count, as the exchanges quote bond yields; the
modified duration and the value of a basis point come from QuantLib at that yield
(``CashFlows.duration``, ``CashFlows.basisPointValue``). DV01 is the change in value, in
yuan, for a yield one basis point lower: per bond, and for the book the sum over the
bonds held, quantity times DV01 per bond.

A figure QuantLib cannot solve (a quote no yield can price, such as a slipped decimal;
a payment date beyond QuantLib's calendar) is missing for that bond and day: the day's
book figures leave the bond out, and :func:`book_risk` lists what is missing and why.
"""

import QuantLib as ql

DAY_COUNT = ql.ActualActual(ql.ActualActual.ISDA)
COMPOUNDING, FREQUENCY = ql.Compounded, ql.Annual


def _ql_date(day):
    return ql.Date(day.day, day.month, day.year)


def payment_leg(schedule):
    """A QuantLib leg of the payments of ``schedule`` (a frame indexed by date with a
    ``cash_flow`` column, per bond of 100 face), in date order."""
    leg = ql.Leg()
    for day, amount in sorted(zip(schedule.index, schedule["cash_flow"].tolist())):
        if amount:
            leg.append(ql.SimpleCashFlow(float(amount), _ql_date(day)))
    return leg


def bond_risk(leg, full_price, day):
    """(yield, modified duration, DV01 per bond) of a bond whose remaining payments are
    ``leg`` and whose full price per bond is ``full_price`` on ``day``; None when no
    payment is left after ``day``."""
    settle = _ql_date(day)
    if not any(cf.date() > settle for cf in leg):
        return None
    y = ql.CashFlows.yieldRate(
        leg, full_price, DAY_COUNT, COMPOUNDING, FREQUENCY, False, settle, settle, 1.0e-12, 200, 0.02
    )
    rate = ql.InterestRate(y, DAY_COUNT, COMPOUNDING, FREQUENCY)
    duration = ql.CashFlows.duration(leg, rate, ql.Duration.Modified, False, settle)
    # basisPointValue: the value's change for a yield one basis point higher, per 100 of
    # the leg's amounts; DV01 is the gain for one lower, a positive figure
    dv01 = -ql.CashFlows.basisPointValue(leg, rate, False, settle)
    return y, duration, dv01


def book_risk(result, data):
    """Per day of ``result``: the book's DV01 (yuan) and, per bond held, its yield,
    modified duration and DV01 per bond on the day's full price.

    Returns (daily, last, missing) where ``daily`` is a list of {"date", "dv01",
    "modified_duration"} (the book's duration: DV01 / bonds' value / 0.0001, over the
    bonds whose figures could be solved that day); ``last`` maps each bond held to
    {"date", "quantity", "full_price", "yield", "modified_duration", "dv01_per_bond",
    "dv01"} on the last day it was held and its figures solved; ``missing`` lists
    {"order_book_id", "date", "full_price", "reason"} for each bond and day held whose
    figures QuantLib could not solve (the reason: its error in one line).
    """
    from korvane.const import INSTRUMENT_TYPE, POSITION_DIRECTION

    data_proxy = result.env.data_proxy
    legs = {}  # bond -> its leg, or the one-line reason none could be made
    daily, last, missing = [], {}, []
    for record in result.days:
        book_dv01 = 0.0
        value = 0.0
        for (order_book_id, direction), quantity in record.positions_quantity.items():
            if direction != POSITION_DIRECTION.LONG or not quantity:
                continue
            if data_proxy.instruments(order_book_id).type != INSTRUMENT_TYPE.BOND:
                continue
            quote = data.bond_quote(order_book_id, record.date)
            if quote is None:
                continue
            if order_book_id not in legs:
                try:
                    legs[order_book_id] = payment_leg(data.realized_cash_flow(order_book_id))
                except RuntimeError as error:  # QuantLib's: a date it cannot represent
                    legs[order_book_id] = _reason(error)
            leg = legs[order_book_id]
            try:
                risk = None if isinstance(leg, str) else bond_risk(leg, quote.full, record.date)
            except RuntimeError as error:  # QuantLib's: no yield prices the quote
                risk = _reason(error)
            if isinstance(leg, str) or isinstance(risk, str):
                missing.append(
                    {
                        "order_book_id": order_book_id,
                        "date": record.date.isoformat(),
                        "full_price": quote.full,
                        "reason": leg if isinstance(leg, str) else risk,
                    }
                )
                continue
            if risk is None:
                continue
            y, duration, dv01 = risk
            book_dv01 += quantity * dv01
            value += quantity * quote.full
            last[order_book_id] = {
                "date": record.date.isoformat(),
                "quantity": float(quantity),
                "full_price": quote.full,
                "yield": y,
                "modified_duration": duration,
                "dv01_per_bond": dv01,
                "dv01": quantity * dv01,
            }
        duration = book_dv01 / value / 1e-4 if value > 0 else None
        daily.append({"date": record.date, "dv01": book_dv01, "modified_duration": duration})
    return daily, dict(sorted(last.items())), missing


def _reason(error):
    return " ".join(str(error).split()) or type(error).__name__


def missing_notes(missing):
    """One line per bond with missing figures (see :func:`book_risk`): how many days,
    from when to when, and QuantLib's reason on the first."""
    by_bond = {}
    for entry in missing:
        by_bond.setdefault(entry["order_book_id"], []).append(entry)
    notes = []
    for order_book_id, entries in sorted(by_bond.items()):
        first, final = entries[0], entries[-1]
        span = first["date"] if len(entries) == 1 else f"{first['date']} to {final['date']}"
        days = f"{len(entries):,} day" + ("" if len(entries) == 1 else "s")
        notes.append(
            f"no yield, duration or DV01 for {order_book_id} on {days} held ({span}; "
            f"full price {first['full_price']!r} on {first['date']}): QuantLib: {first['reason']}; "
            "the book's DV01 and duration leave it out on those days (risk_missing in stats.json)"
        )
    return notes
