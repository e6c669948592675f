import datetime

import pandas as pd
import pytest


@pytest.mark.parametrize(
    "day, expected",
    [
        # National Day 2024: 1-7 October closed, the Saturday make-up workday too
        (datetime.date(2024, 9, 30), datetime.date(2024, 10, 8)),
        (datetime.date(2024, 10, 3), datetime.date(2024, 10, 8)),
        # an ordinary weekend, from the Friday and from the Saturday
        (datetime.date(2024, 9, 20), datetime.date(2024, 9, 23)),
        (datetime.date(2024, 9, 21), datetime.date(2024, 9, 23)),
        # a plain weekday: the next day, never the day itself
        (datetime.date(2024, 9, 24), datetime.date(2024, 9, 25)),
    ],
)
def test_next_trading_date(env, day, expected):
    result = env.data_proxy.get_next_trading_date(day)
    assert isinstance(result, pd.Timestamp)
    assert result.date() == expected


@pytest.mark.parametrize(
    "dt",
    [datetime.datetime(2024, 9, 30, 15, 0), pd.Timestamp("2024-09-30 09:31"), "2024-09-30"],
)
def test_next_trading_date_accepts_datetimes(env, dt):
    assert env.data_proxy.get_next_trading_date(dt).date() == datetime.date(2024, 10, 8)


@pytest.mark.parametrize(
    "dt, expected",
    [
        (datetime.datetime(2024, 10, 1, 10, 0), False),  # National Day
        (datetime.datetime(2024, 9, 28), False),  # Saturday make-up workday: exchanges stay shut
        (datetime.datetime(2024, 10, 8, 23, 59), True),
        (datetime.date(2024, 9, 29), False),
        (datetime.date(2024, 9, 27), True),
    ],
)
def test_is_trading_date(env, dt, expected):
    assert env.data_proxy.is_trading_date(dt) is expected


def test_previous_trading_date_over_holiday(env):
    assert env.data_proxy.get_previous_trading_date(datetime.date(2024, 10, 8)).date() == datetime.date(
        2024, 9, 30
    )


@pytest.mark.parametrize("day", [datetime.date(2004, 12, 31), datetime.date(2999, 12, 31)])
def test_dates_outside_the_calendar_are_refused(env, day):
    with pytest.raises(ValueError, match="outside the trading calendar"):
        env.data_proxy.is_trading_date(day)
    with pytest.raises(ValueError, match="outside the trading calendar"):
        env.data_proxy.get_next_trading_date(day)


def test_plain_dates_get_the_answers_of_timestamps():
    # Plain dates and naive datetimes are answered from the calendar's own
    # lists, timestamps through pandas: both must agree on every day.
    from korvane.data import get_trading_calendar

    calendar = get_trading_calendar()
    start = datetime.date(2023, 12, 20)
    for offset in range(400):
        day = start + datetime.timedelta(days=offset)
        stamp = pd.Timestamp(day)
        at_noon = datetime.datetime(day.year, day.month, day.day, 12, 30)
        expected = calendar.is_trading_date(stamp)
        assert calendar.is_trading_date(day) is expected
        assert calendar.is_trading_date(at_noon) is expected
        for n in (1, 3):
            nxt = calendar.get_next_trading_date(stamp, n)
            prev = calendar.get_previous_trading_date(stamp, n)
            assert calendar.get_next_trading_date(day, n) == nxt
            assert calendar.get_next_trading_date(at_noon, n) == nxt
            assert isinstance(calendar.get_next_trading_date(day, n), pd.Timestamp)
            assert calendar.get_previous_trading_date(day, n) == prev
            assert calendar.get_previous_trading_date(at_noon, n) == prev


def test_plain_dates_at_the_calendar_edges():
    from korvane.data import get_trading_calendar

    calendar = get_trading_calendar()
    first, last = calendar.first_session.date(), calendar.last_session.date()
    assert calendar.is_trading_date(first) and calendar.is_trading_date(last)
    with pytest.raises(ValueError, match="no trading day 1 after"):
        calendar.get_next_trading_date(last)
    with pytest.raises(ValueError, match="no trading day 1 before"):
        calendar.get_previous_trading_date(first)
    after = last + datetime.timedelta(days=1)
    with pytest.raises(ValueError, match="outside the trading calendar"):
        calendar.is_trading_date(datetime.datetime(after.year, after.month, after.day, 9))
    # an aware datetime is left to pandas, which keeps its wall-clock day
    aware = datetime.datetime(2024, 9, 30, 23, 0, tzinfo=datetime.timezone(datetime.timedelta(hours=8)))
    assert calendar.is_trading_date(aware) is True


# A span of the exchange's sessions handed to the calendar, with the National Day closure
# and the ends of a year inside, and days on either side of it.
SPAN = ("2024-09-02", "2025-01-10")


def _span_calendars():
    from korvane.data import get_trading_calendar
    from korvane.data.trading_calendar import TradingCalendar

    base = get_trading_calendar()
    inside = [day for day in base.sessions if pd.Timestamp(SPAN[0]) <= day <= pd.Timestamp(SPAN[1])]
    inside.remove(pd.Timestamp("2024-12-31"))  # a session the list leaves out: the list decides
    lazy = base.with_sessions(inside)
    own = base.sessions
    eager = TradingCalendar(
        own[(own < inside[0]) | (own > inside[-1])].append(pd.DatetimeIndex(inside)).sort_values()
    )
    return lazy, eager


@pytest.mark.parametrize("kind", ["date", "datetime", "timestamp", "string"])
def test_a_session_list_answers_as_the_calendar_merged_with_it(kind):
    """Questions inside the list, across its ends and outside it: the answers of a calendar
    built whole from the merged sessions."""
    lazy, eager = _span_calendars()
    start = datetime.date(2024, 8, 20)
    for offset in range(0, 160):
        day = start + datetime.timedelta(days=offset)
        asked = {
            "date": day,
            "datetime": datetime.datetime(day.year, day.month, day.day, 14, 30),
            "timestamp": pd.Timestamp(day),
            "string": day.isoformat(),
        }[kind]
        assert lazy.is_trading_date(asked) is eager.is_trading_date(asked), day
        for n in (1, 2, 10):
            assert lazy.get_next_trading_date(asked, n) == eager.get_next_trading_date(asked, n), (day, n)
            assert lazy.get_previous_trading_date(asked, n) == eager.get_previous_trading_date(asked, n)
        end = asked if kind == "string" else day + datetime.timedelta(days=9)
        assert list(lazy.get_trading_dates(asked, end)) == list(eager.get_trading_dates(asked, end))
    assert list(lazy.sessions) == list(eager.sessions)


RUN_INSIDE_THE_LIST = """
import datetime, sys
from korvane.data import get_trading_calendar
from korvane.data.data_proxy import DataProxy
from korvane.data.trading_calendar import TradingCalendar
import pandas as pd

days = [d.date() for d in pd.bdate_range("2024-09-02", "2024-09-30")]
calendar = get_trading_calendar().with_sessions(days)
proxy = DataProxy([], calendar=calendar)
assert [d.date() for d in proxy.get_trading_dates("2024-09-03", "2024-09-27")] == days[1:-1]
assert proxy.get_next_trading_date(datetime.date(2024, 9, 6)).date() == datetime.date(2024, 9, 9)
assert proxy.is_trading_date(datetime.datetime(2024, 9, 16, 10))  # a holiday, but the list decides
print("exchange_calendars" in sys.modules, end=" ")
proxy.get_next_trading_date(datetime.date(2024, 9, 30))  # beyond the list: the exchange's calendar
print("exchange_calendars" in sys.modules)
"""


def test_questions_inside_a_session_list_never_load_the_exchange_calendar():
    import subprocess
    import sys

    done = subprocess.run([sys.executable, "-c", RUN_INSIDE_THE_LIST], capture_output=True, text=True,
                          timeout=120)  # fmt: skip
    assert done.returncode == 0, done.stderr
    assert done.stdout == "False True\n"
