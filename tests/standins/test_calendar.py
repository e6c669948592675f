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
