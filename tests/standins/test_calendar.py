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
