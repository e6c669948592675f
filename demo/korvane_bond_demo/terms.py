"""A fixed-coupon or discount bond described by its terms, and the exchange's calendar.

A fixed-coupon bond is described by a few terms (:class:`BondTerms`): its yearly coupon
rate, the coupons a year, the day count, the issue and maturity dates and, for a bond
that repays its principal in instalments, the amortisation schedule; a discount bond
(coupon rate 0) by its issue price. :class:`TermsError` names the term that makes no
bond. :class:`korvane_bond_demo.bond_tables.Bond` makes the bond's cash-flow tables from
them with QuantLib, on the exchange's calendar (:func:`exchange_calendar`).
Floating coupons are not covered.
"""

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
