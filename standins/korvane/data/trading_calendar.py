"""The trading calendar of the Chinese exchanges.

Shanghai and Shenzhen keep the same trading days, so both use the "XSHG"
calendar of the ``exchange_calendars`` package. It is imported and its sessions
computed once per process, when a question first needs them: a run given the
exchange's session list (:meth:`TradingCalendar.with_sessions`) whose questions
all fall within that list never loads it.
"""

import bisect
import datetime
import functools
import warnings

import pandas as pd

from korvane.utils.datetime_func import to_timestamp

# Cash-flow tables start in 2005; the calendar covers them.
CALENDAR_START = "2005-01-04"


class _Sessions:
    """Trading days as a ``pandas.DatetimeIndex`` at midnight, and the same days as
    plain dates and as a list, for the questions a run asks every day."""

    def __init__(self, index):
        self.index = index
        self.stamps = list(index)
        self.days = [stamp.date() for stamp in self.stamps]
        self.day_set = frozenset(self.days)


class TradingCalendar:
    """Trading days between ``first_session`` and ``last_session``.

    ``sessions`` is a ``pandas.DatetimeIndex`` at midnight, or a function that makes
    one, called the first time a question needs it. ``known`` (a ``DatetimeIndex``)
    is a span of those sessions known already: a question whose answer lies within
    it is answered without making the rest.

    Asking about a day outside the calendar raises ``ValueError`` rather than
    guessing whether the exchange opened.
    """

    def __init__(self, sessions, known=None):
        self._make = sessions if callable(sessions) else None
        self._all = None if callable(sessions) else _Sessions(sessions)
        self._known = None if known is None or len(known) == 0 else _Sessions(known)

    def _full(self):
        if self._all is None:
            self._all = _Sessions(self._make())  # assigned whole: a reader never sees it half made
        return self._all

    @property
    def sessions(self):
        """The trading days, as a ``pandas.DatetimeIndex`` at midnight."""
        return self._full().index

    @property
    def first_session(self):
        return self.sessions[0]

    @property
    def last_session(self):
        return self.sessions[-1]

    @staticmethod
    def _plain_day(dt):
        """The calendar day of a ``datetime.date`` or a naive ``datetime.datetime``; None
        for anything else (pandas then decides)."""
        kind = type(dt)
        if kind is datetime.datetime:
            return None if dt.tzinfo is not None else dt.date()
        return dt if kind is datetime.date else None

    def _within(self, sessions, dt):
        """The calendar day of ``dt`` when it lies within ``sessions``; else None."""
        day = self._plain_day(dt)
        if day is None:
            try:
                day = to_timestamp(dt).normalize().date()
            except (TypeError, ValueError):
                return None  # the full calendar's path names what is wrong
        return day if sessions.days[0] <= day <= sessions.days[-1] else None

    def _inside(self, dt):
        """(the sessions that answer a question about ``dt`` from their lists, its day), or
        (None, None): the known span first, then, for a plain date or a naive datetime (the
        questions of every day), all of them."""
        if self._known is not None:
            day = self._within(self._known, dt)
            if day is not None:
                return self._known, day
        if type(dt) in (datetime.date, datetime.datetime):
            full = self._full()
            day = self._within(full, dt)
            if day is not None:
                return full, day
        return None, None

    def _day(self, dt):
        full = self._full()
        day = to_timestamp(dt).normalize()
        if not full.index[0] <= day <= full.index[-1]:
            raise ValueError(
                f"{day.date()} is outside the trading calendar, which covers "
                f"{full.index[0].date()} to {full.index[-1].date()}"
            )
        return day

    def is_trading_date(self, dt):
        """True when the calendar day of ``dt`` is a trading day."""
        sessions, day = self._inside(dt)
        if sessions is not None:
            return day in sessions.day_set
        index = self._full().index
        day = self._day(dt)
        return bool(index[index.searchsorted(day)] == day)

    def get_next_trading_date(self, date, n=1):
        """The ``n``-th trading day strictly after ``date`` (a ``pandas.Timestamp``)."""
        if n < 1:
            raise ValueError(f"n must be at least 1, got {n}")
        sessions, day = self._inside(date) if type(n) is int else (None, None)
        if sessions is not None:
            pos = bisect.bisect_right(sessions.days, day) + n - 1
            if pos < len(sessions.days):
                return sessions.stamps[pos]
        index = self._full().index
        pos = index.searchsorted(self._day(date), side="right") + n - 1
        if pos >= len(index):
            raise ValueError(
                f"no trading day {n} after {to_timestamp(date).date()} within the calendar "
                f"(last: {index[-1].date()})"
            )
        return index[pos]

    def get_previous_trading_date(self, date, n=1):
        """The ``n``-th trading day strictly before ``date`` (a ``pandas.Timestamp``)."""
        if n < 1:
            raise ValueError(f"n must be at least 1, got {n}")
        sessions, day = self._inside(date) if type(n) is int else (None, None)
        if sessions is not None:
            pos = bisect.bisect_left(sessions.days, day) - n
            if pos >= 0:
                return sessions.stamps[pos]
        index = self._full().index
        pos = index.searchsorted(self._day(date), side="left") - n
        if pos < 0:
            raise ValueError(
                f"no trading day {n} before {to_timestamp(date).date()} within the calendar "
                f"(first: {index[0].date()})"
            )
        return index[pos]

    def with_sessions(self, sessions):
        """This calendar with ``sessions`` (every trading day of a span, as dates or
        timestamps) in place of its own from the first of them to the last: the
        exchange's published session list where an installed calendar release is
        out of date. Its own sessions are made only when a question falls outside
        the span."""
        inside = pd.DatetimeIndex(sorted({to_timestamp(day).normalize() for day in sessions}))
        if len(inside) == 0:
            raise ValueError("a session list needs at least one session")

        def merged():
            own = self.sessions
            outside = own[(own < inside[0]) | (own > inside[-1])]
            return outside.append(inside).sort_values()

        return TradingCalendar(merged, known=inside)

    def get_trading_dates(self, start_date, end_date):
        """Trading days from ``start_date`` to ``end_date``, both included."""
        if self._known is not None:
            first, last = self._within(self._known, start_date), self._within(self._known, end_date)
            if first is not None and last is not None:
                days = self._known.days
                return self._known.index[bisect.bisect_left(days, first) : bisect.bisect_right(days, last)]
        index = self._full().index
        start, end = self._day(start_date), self._day(end_date)
        return index[(index >= start) & (index <= end)]


def _exchange_sessions():
    import exchange_calendars  # 0.1 s to import, 0.2 s to compute: only when a question needs it

    with warnings.catch_warnings():
        # exchange_calendars trips pandas deprecation warnings on newer pandas;
        # they concern its internals, not the sessions it returns.
        warnings.simplefilter("ignore")
        # The end defaults to the last day whose holidays the package knows.
        sessions = exchange_calendars.get_calendar("XSHG", start=CALENDAR_START).sessions
    if sessions.tz is not None:
        sessions = sessions.tz_localize(None)
    return sessions.normalize()


@functools.cache
def get_trading_calendar():
    """The shared calendar of the Shanghai and Shenzhen exchanges; its sessions are made
    the first time a question needs them."""
    return TradingCalendar(_exchange_sessions)
