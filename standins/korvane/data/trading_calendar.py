"""The trading calendar of the Chinese exchanges.

Shanghai and Shenzhen keep the same trading days, so both use the "XSHG"
calendar of the ``exchange_calendars`` package. The sessions are computed once
per process.
"""

import bisect
import datetime
import functools
import warnings

import exchange_calendars
import pandas as pd

from korvane.utils.datetime_func import to_timestamp

# Cash-flow tables start in 2005; the calendar covers them.
CALENDAR_START = "2005-01-04"


class TradingCalendar:
    """Trading days between ``first_session`` and ``last_session``.

    Asking about a day outside that range raises ``ValueError`` rather than
    guessing whether the exchange opened.
    """

    def __init__(self, sessions):
        self._sessions = sessions
        # The same days as plain dates, and the sessions as a list: a question
        # about a plain date or a naive datetime (what the event loop and the
        # repo code ask every day) is answered by a set lookup or a bisection,
        # without a trip through pandas. Anything else takes the pandas path.
        self._session_list = list(sessions)
        self._days = [session.date() for session in self._session_list]
        self._day_set = frozenset(self._days)

    @property
    def sessions(self):
        """The trading days, as a ``pandas.DatetimeIndex`` at midnight."""
        return self._sessions

    @property
    def first_session(self):
        return self._sessions[0]

    @property
    def last_session(self):
        return self._sessions[-1]

    def _plain_day(self, dt):
        """The calendar day of a ``datetime.date`` or a naive ``datetime.datetime``
        inside the calendar; None for anything else (pandas then decides)."""
        kind = type(dt)
        if kind is datetime.datetime:
            if dt.tzinfo is not None:
                return None
            dt = dt.date()
        elif kind is not datetime.date:
            return None
        return dt if self._days[0] <= dt <= self._days[-1] else None

    def _day(self, dt):
        day = to_timestamp(dt).normalize()
        if not self.first_session <= day <= self.last_session:
            raise ValueError(
                f"{day.date()} is outside the trading calendar, which covers "
                f"{self.first_session.date()} to {self.last_session.date()}"
            )
        return day

    def is_trading_date(self, dt):
        """True when the calendar day of ``dt`` is a trading day."""
        plain = self._plain_day(dt)
        if plain is not None:
            return plain in self._day_set
        day = self._day(dt)
        pos = self._sessions.searchsorted(day)
        return bool(self._sessions[pos] == day)

    def get_next_trading_date(self, date, n=1):
        """The ``n``-th trading day strictly after ``date`` (a ``pandas.Timestamp``)."""
        if n < 1:
            raise ValueError(f"n must be at least 1, got {n}")
        plain = self._plain_day(date) if type(n) is int else None
        if plain is not None:
            pos = bisect.bisect_right(self._days, plain) + n - 1
            if pos < len(self._days):
                return self._session_list[pos]
        pos = self._sessions.searchsorted(self._day(date), side="right") + n - 1
        if pos >= len(self._sessions):
            raise ValueError(
                f"no trading day {n} after {to_timestamp(date).date()} within the calendar "
                f"(last: {self.last_session.date()})"
            )
        return self._sessions[pos]

    def get_previous_trading_date(self, date, n=1):
        """The ``n``-th trading day strictly before ``date`` (a ``pandas.Timestamp``)."""
        if n < 1:
            raise ValueError(f"n must be at least 1, got {n}")
        plain = self._plain_day(date) if type(n) is int else None
        if plain is not None:
            pos = bisect.bisect_left(self._days, plain) - n
            if pos >= 0:
                return self._session_list[pos]
        pos = self._sessions.searchsorted(self._day(date), side="left") - n
        if pos < 0:
            raise ValueError(
                f"no trading day {n} before {to_timestamp(date).date()} within the calendar "
                f"(first: {self.first_session.date()})"
            )
        return self._sessions[pos]

    def with_sessions(self, sessions):
        """This calendar with ``sessions`` (every trading day of a span, as dates or
        timestamps) in place of its own from the first of them to the last: the
        exchange's published session list where an installed calendar release is
        out of date."""
        inside = pd.DatetimeIndex(sorted({to_timestamp(day).normalize() for day in sessions}))
        if len(inside) == 0:
            raise ValueError("a session list needs at least one session")
        own = self._sessions
        outside = own[(own < inside[0]) | (own > inside[-1])]
        return TradingCalendar(outside.append(inside).sort_values())

    def get_trading_dates(self, start_date, end_date):
        """Trading days from ``start_date`` to ``end_date``, both included."""
        start, end = self._day(start_date), self._day(end_date)
        return self._sessions[(self._sessions >= start) & (self._sessions <= end)]


@functools.cache
def get_trading_calendar():
    """The shared calendar of the Shanghai and Shenzhen exchanges, built on first use."""
    with warnings.catch_warnings():
        # exchange_calendars trips pandas deprecation warnings on newer pandas;
        # they concern its internals, not the sessions it returns.
        warnings.simplefilter("ignore")
        # The end defaults to the last day whose holidays the package knows.
        sessions = exchange_calendars.get_calendar("XSHG", start=CALENDAR_START).sessions
    if sessions.tz is not None:
        sessions = sessions.tz_localize(None)
    return TradingCalendar(sessions.normalize())
