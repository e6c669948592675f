"""A bond's cash-flow tables and accrued interest, made from its terms with QuantLib.

:class:`Bond` builds the QuantLib bond of a bond's :class:`~korvane_bond_demo.terms.BondTerms`
(``FixedRateBond``, ``AmortizingFixedRateBond`` or ``ZeroCouponBond``) with the coupon dates
unadjusted and every payment moved to the next session of the exchange's calendar
(QuantLib's ``China(China.SSE)``, the trading days of the Shanghai and Shenzhen
exchanges), and writes from it, per bond of 100 face value:

- the realized cash flows (:meth:`Bond.realized_rows`): each payment on its payment
  date, coupon and principal, and the principal still outstanding after it;
- the implied cash flows (:meth:`Bond.implied_rows`), the same money as a valuation
  accrues it: a record on each month's last session and on the session before each
  payment, each carrying the interest accrued since the record before it (the one
  before the payment takes what is left of the period's interest, accrued to the end
  of the period); then a record on the payment date carrying the payment and, as
  receivable, what the accruals have not (the principal repaid);
- the accrued interest on each session (:meth:`Bond.accrued_rows`): QuantLib's accrued
  amount of the coupon running, nothing on a payment date (prices there are
  ex-payment); a discount bond accrues its discount evenly over the calendar days from
  issue to maturity.

Amounts are rounded to :data:`~korvane_bond_demo.terms.AMOUNT_DIGITS` decimals, which
strips QuantLib's binary noise (a 2.96 % coupon comes out as 2.9600000000000071) and
changes none by a fen.
"""

import bisect

import QuantLib as ql

from korvane_bond_demo.terms import (
    AMOUNT_DIGITS,
    FACE,
    FREQUENCIES,
    Payment,
    TermsError,
    exchange_calendar,
    py_date,
    ql_date,
    sessions_between,
)


def _day_counter(name, schedule):
    if name == "ACT/ACT":
        return ql.ActualActual(ql.ActualActual.ISMA, schedule)
    if name == "ACT/365":
        return ql.Actual365Fixed()
    if name == "ACT/360":
        return ql.Actual360()
    return ql.Thirty360(ql.Thirty360.BondBasis)


def _amount(value):
    return round(value, AMOUNT_DIGITS) + 0.0  # never -0.0


class Bond:
    """The QuantLib bond of ``terms`` and the tables made from it; ``calendar`` moves
    payments to its next business day (default: the exchange's)."""

    def __init__(self, terms, calendar=None):
        self.terms = terms
        self.calendar = exchange_calendar() if calendar is None else calendar
        issue, maturity = ql_date(terms.issue_date), ql_date(terms.maturity_date)
        if terms.discount:
            self.schedule = None
            self.instrument = ql.ZeroCouponBond(0, self.calendar, FACE, maturity, ql.Following, FACE, issue)
        else:
            self.schedule = ql.Schedule(
                issue, maturity, ql.Period(FREQUENCIES[terms.frequency]), self.calendar,
                ql.Unadjusted, ql.Unadjusted, ql.DateGeneration.Backward, False,
            )  # fmt: skip
            day_count = _day_counter(terms.day_count, self.schedule)
            if terms.amortisation:
                self.instrument = ql.AmortizingFixedRateBond(
                    0, self._notionals(), self.schedule, [terms.coupon_rate], day_count, ql.Following, issue
                )
            else:
                self.instrument = ql.FixedRateBond(
                    0, FACE, self.schedule, [terms.coupon_rate], day_count, ql.Following, FACE, issue,
                    self.calendar,
                )  # fmt: skip
        self.leg = self.instrument.cashflows()
        self.payments = self._payments()

    def _notionals(self):
        """The face outstanding over each coupon period; ``TermsError`` for an instalment
        that is not on a coupon date."""
        coupon_dates = [py_date(d) for d in self.schedule.dates()]
        repaid = dict(self.terms.amortisation)
        for day in repaid:
            if day not in coupon_dates[1:]:
                raise TermsError("amortisation", f"an instalment on {day}, which is not a coupon date")
        notionals, outstanding = [], FACE
        for end in coupon_dates[1:]:
            notionals.append(outstanding)
            outstanding -= repaid.get(end, 0.0)
        return notionals

    def _payments(self):
        by_date = {}
        for cf in self.leg:
            entry = by_date.setdefault(
                py_date(cf.date()), {"interest": 0.0, "principal": 0.0, "period": None}
            )
            coupon = ql.as_coupon(cf)
            if coupon is None:
                entry["principal"] += cf.amount()
            else:
                entry["interest"] += cf.amount()
                entry["period"] = (py_date(coupon.accrualStartDate()), py_date(coupon.accrualEndDate()))
        found = []
        for day in sorted(by_date):
            entry = by_date[day]
            principal, interest = _amount(entry["principal"]), _amount(entry["interest"])
            cash = _amount(principal + interest)
            if self.terms.discount:
                interest = _amount(principal - self.terms.issue_price)
                start, end = self.terms.issue_date, self.terms.maturity_date
            else:
                start, end = entry["period"]
            found.append(Payment(day, cash, interest, principal, start, end))
        return found

    def accrued(self, day):
        """The interest accrued on ``day`` per 100 face, unrounded: nothing on or after a
        payment date up to the next period's start."""
        terms = self.terms
        if terms.discount:
            if not terms.issue_date <= day < self.payments[-1].date:
                return 0.0
            elapsed = min(day, terms.maturity_date) - terms.issue_date
            return (FACE - terms.issue_price) * elapsed.days / (terms.maturity_date - terms.issue_date).days
        return ql.CashFlows.accruedAmount(self.leg, False, ql_date(day))

    def sessions(self):
        """The calendar's sessions over the bond's life, from its issue to its last payment."""
        return sessions_between(self.terms.issue_date, self.payments[-1].date, self.calendar)

    def realized_rows(self):
        """The realized table's rows, in the layout of ``realized_cash_flow``."""
        remaining, rows = FACE, []
        for pay in self.payments:
            remaining = _amount(remaining - pay.principal)
            rows.append(
                {
                    "order_book_id": self.terms.order_book_id,
                    "payment_date": pay.date,
                    "cash_flow": pay.cash,
                    "principal_payment": pay.principal,
                    # a discount bond's payment is all principal
                    "interest_payment": _amount(pay.cash - pay.principal),
                    "remaining_principal": remaining,
                }
            )
        return rows

    def implied_rows(self, sessions=None):
        """The implied table's rows, in the layout of ``implied_cash_flow``, on ``sessions``
        (default: the calendar's, :meth:`sessions`)."""
        sessions = self.sessions() if sessions is None else sessions
        month_ends = {}
        for day in sessions:
            month_ends[(day.year, day.month)] = day  # the month's last session wins
        month_ends = sorted(month_ends.values())
        rows, previous_payment = [], None
        for pay in self.payments:
            before = bisect.bisect_left(sessions, pay.date)
            dates = []
            if before and sessions[before - 1] > pay.accrual_start:
                last = sessions[before - 1]
                dates = [
                    day
                    for day in month_ends
                    if pay.accrual_start < day < last and (previous_payment is None or day > previous_payment)
                ]
                dates.append(last)
            booked = 0.0
            for i, day in enumerate(dates):
                # the session before the payment takes the rest: interest to the period's end
                amount = pay.interest - booked if i == len(dates) - 1 else self.accrued(day) - booked
                booked += amount
                rows.append(self._implied_row(day, 0.0, amount, 0.0, 0.0))
            rows.append(
                self._implied_row(pay.date, pay.cash, _amount(pay.cash - booked), pay.principal, pay.interest)
            )
            previous_payment = pay.date
        return rows

    def _implied_row(self, day, total, receivable, principal, interest):
        return {
            "order_book_id": self.terms.order_book_id,
            "date": day,
            "total_payment": total,
            "payment_receivable": receivable,
            "principal_payment": principal,
            "interest_payment": interest,
        }

    def accrued_rows(self, sessions=None):
        """The accrued interest per 100 face on each of ``sessions`` (default: the
        calendar's over the bond's life) from the issue to the day before the last payment."""
        sessions = self.sessions() if sessions is None else sessions
        last = self.payments[-1].date
        return [
            {
                "order_book_id": self.terms.order_book_id,
                "date": day,
                "accrued_interest": _amount(self.accrued(day)),
            }
            for day in sessions
            if self.terms.issue_date <= day < last
        ]
