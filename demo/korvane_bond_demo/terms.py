"""A bond's cash-flow tables and accrued interest, made from its terms with QuantLib.

A fixed-coupon bond is described by a few terms (:class:`BondTerms`): its yearly coupon
rate, the coupons a year, the day count, the issue and maturity dates and, for a bond
that repays its principal in instalments, the amortisation schedule; a discount bond
(coupon rate 0) by its issue price. :class:`Bond` builds the QuantLib bond of those
terms (``FixedRateBond``, ``AmortizingFixedRateBond`` or ``ZeroCouponBond``) with the
coupon dates unadjusted and every payment moved to the next session of the exchange's
calendar (QuantLib's ``China(China.SSE)``, the trading days of the Shanghai and Shenzhen
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

Amounts are rounded to :data:`AMOUNT_DIGITS` decimals, which strips QuantLib's binary
noise (a 2.96 % coupon comes out as 2.9600000000000071) and changes none by a fen.
Floating coupons are not covered.
"""

import bisect
import dataclasses
import datetime

import QuantLib as ql

AMOUNT_DIGITS = 10
FACE = 100.0  # amounts are per bond of 100 face value
# Every coupon a year QuantLib schedules, by the number of coupons.
FREQUENCIES = {1: ql.Annual, 2: ql.Semiannual, 4: ql.Quarterly, 12: ql.Monthly}
DAY_COUNTS = ("ACT/ACT", "ACT/365", "ACT/360", "30/360")
DEFAULT_DAY_COUNT = "ACT/ACT"  # the convention of Chinese fixed-coupon bonds


class TermsError(ValueError):
    """Terms that describe no bond; ``column`` names the term at fault."""

    def __init__(self, column, message):
        super().__init__(message)
        self.column = column


@dataclasses.dataclass(frozen=True)
class BondTerms:
    """What a fixed-coupon or discount bond pays, per 100 face value.

    - ``issue_date``: interest accrues from it (the start of the first coupon period);
    - ``maturity_date``: the end of the last coupon period, unadjusted;
    - ``coupon_rate``: yearly, as a decimal (0.027 is 2.7 %); 0 for a discount bond;
    - ``frequency``: coupons a year, 1, 2, 4 or 12 (0 for a discount bond);
    - ``day_count``: one of :data:`DAY_COUNTS` ("ACT/ACT": each regular period pays the
      rate over the frequency, as QuantLib's ISMA actual/actual);
    - ``amortisation``: ((date, principal repaid), ...) on unadjusted coupon dates,
      adding up to 100, the last on the maturity date; empty: 100 at maturity;
    - ``issue_price``: a discount bond's price at issue; its discount to 100 is the
      interest it accrues. A coupon bond's is 100.

    :class:`TermsError` names the term that makes no bond.
    """

    order_book_id: str
    issue_date: datetime.date
    maturity_date: datetime.date
    coupon_rate: float
    frequency: int = 1
    day_count: str = DEFAULT_DAY_COUNT
    amortisation: tuple = ()
    issue_price: float = FACE

    def __post_init__(self):
        if not self.issue_date < self.maturity_date:
            raise TermsError(
                "maturity_date", f"{self.maturity_date} is not after the issue, {self.issue_date}"
            )
        if not 0 <= self.coupon_rate < 1:
            raise TermsError("coupon_rate", f"not a yearly rate from 0 to below 1: {self.coupon_rate!r}")
        if self.day_count not in DAY_COUNTS:
            raise TermsError("day_count", f"one of {', '.join(DAY_COUNTS)}, got {self.day_count!r}")
        if self.discount:
            if self.frequency:
                raise TermsError(
                    "frequency", f"a discount bond (coupon rate 0) pays no coupon: {self.frequency!r}"
                )
            if self.amortisation:
                raise TermsError(
                    "amortisation", "a discount bond repays its face at maturity, in one payment"
                )
            if not 0 < self.issue_price < FACE:
                raise TermsError(
                    "issue_price", f"a discount bond is issued below 100, above 0: {self.issue_price!r}"
                )
            return
        if self.frequency not in FREQUENCIES:
            raise TermsError("frequency", f"coupons a year are 1, 2, 4 or 12, got {self.frequency!r}")
        if self.issue_price != FACE:
            raise TermsError(
                "issue_price", f"a coupon bond is issued at 100 here (issue_price is a discount bond's): "
                f"{self.issue_price!r}"
            )  # fmt: skip
        if self.amortisation:
            days = [day for day, _ in self.amortisation]
            if days != sorted(set(days)):
                raise TermsError("amortisation", "the instalments' dates are not in order, each once")
            if days[-1] != self.maturity_date:
                raise TermsError("amortisation", f"the last instalment is on {days[-1]}, not at maturity")
            if any(not 0 < amount <= FACE for _, amount in self.amortisation):
                raise TermsError("amortisation", "an instalment repays above 0 and at most 100")
            total = sum(amount for _, amount in self.amortisation)
            if abs(total - FACE) > 1e-9:
                raise TermsError("amortisation", f"the instalments add up to {total!r}, not 100")

    @property
    def discount(self):
        return self.coupon_rate == 0


@dataclasses.dataclass(frozen=True)
class Payment:
    """One payment date's money, per 100 face."""

    date: datetime.date  # the payment date: a session
    cash: float  # paid on that date, coupon and principal
    interest: float  # what accrues over the period: the coupon, or a discount bond's discount
    principal: float  # the principal repaid
    accrual_start: datetime.date
    accrual_end: datetime.date


def exchange_calendar():
    """The Shanghai and Shenzhen exchanges' trading days (QuantLib's ``China(China.SSE)``)."""
    return ql.China(ql.China.SSE)


def ql_date(day):
    return ql.Date(day.day, day.month, day.year)


def py_date(date):
    return datetime.date(date.year(), date.month(), date.dayOfMonth())


def sessions_between(first, last, calendar=None):
    """The sessions of ``calendar`` (default: the exchange's) from ``first`` to ``last``, both
    included. The exchanges never trade on a weekend, make-up working days included."""
    calendar = exchange_calendar() if calendar is None else calendar
    days, day = [], first
    while day <= last:
        if day.weekday() < 5 and calendar.isBusinessDay(ql_date(day)):
            days.append(day)
        day += datetime.timedelta(days=1)
    return days


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
