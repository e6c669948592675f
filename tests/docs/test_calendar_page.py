"""docs/backtest.rst names, for each release of exchange_calendars that constraints.txt pins,
where the framework's calendar ends and the sessions it keeps on which the exchanges were
closed: the row of the installed release must hold, against the exchanges' holiday schedules
written here and, where it is installed, QuantLib's calendar of the Shanghai exchange."""

import datetime
import importlib.util
import re
from pathlib import Path

import exchange_calendars
import pytest
from korvane.data import get_trading_calendar

PAGE = Path(__file__).resolve().parents[2] / "docs" / "backtest.rst"
# A row of the page's table: release, Python, the calendar's last day, the days it wrongly trades.
ROW = re.compile(r"^   \* - (\d+\.\d+\.\d+)\n     - .+\n     - ``([\d-]+)``\n     - (.+)$", re.M)

# The weekdays on which the Shanghai and Shenzhen exchanges were closed, from their notices.
CLOSED = {
    2025: "01-01 01-28 01-29 01-30 01-31 02-03 02-04 04-04 05-01 05-02 05-05 06-02 "
    "10-01 10-02 10-03 10-06 10-07 10-08",
    2026: "01-01 01-02 02-16 02-17 02-18 02-19 02-20 02-23 04-06 05-01 05-04 05-05 06-19 09-25 "
    "10-01 10-02 10-05 10-06 10-07",
}


def page_row():
    rows = {m.group(1): m for m in ROW.finditer(PAGE.read_text(encoding="utf-8"))}
    assert rows, "the page's table of releases was not found"
    row = rows.get(exchange_calendars.__version__)
    if row is None:
        pytest.skip(f"the page names no row for exchange_calendars {exchange_calendars.__version__}")
    days = {datetime.date.fromisoformat(d) for d in re.findall(r"``([\d-]+)``", row.group(3))}
    return datetime.date.fromisoformat(row.group(2)), days


def test_the_calendar_ends_where_the_page_says():
    end, _ = page_row()
    assert get_trading_calendar().last_session.date() == end


def test_the_calendar_trades_on_the_closed_days_the_page_names_and_no_other():
    end, named = page_row()
    calendar = get_trading_calendar()
    closed = {
        datetime.date.fromisoformat(f"{year}-{day}")
        for year, days in CLOSED.items()
        if year <= end.year
        for day in days.split()
    }
    assert {day for day in closed if calendar.is_trading_date(day)} == named


@pytest.mark.skipif(importlib.util.find_spec("QuantLib") is None, reason="needs QuantLib (the demo's)")
def test_quantlib_closes_the_named_days_and_no_other_session_since_2008():
    import QuantLib as ql

    end, named = page_row()
    shanghai = ql.China(ql.China.SSE)
    sessions = get_trading_calendar().get_trading_dates("2008-01-01", end)
    wrong = {s.date() for s in sessions if not shanghai.isBusinessDay(ql.Date(s.day, s.month, s.year))}
    assert wrong == named
