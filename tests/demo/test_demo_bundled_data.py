"""The bundled market data: reproducible from its generator, one instance of the layout of
--data DIR, on the exchange's trading days, and the run's calendar over them."""

import datetime
import filecmp
import importlib.util
import math
from pathlib import Path

import pandas as pd
import pytest
from demo_helpers import D
from korvane.data import get_trading_calendar
from korvane_bond_demo import dataset
from korvane_bond_demo.dataset import bundled

ROOT = Path(__file__).resolve().parents[2]
CLIENT_DATA = ROOT / "standins" / "pelvorn" / "data"


DEMO_DATA = ROOT / "demo" / "korvane_bond_demo" / "data"
# Every file is the demo's (the layout of --data DIR); the data client ships its own copy
# of the reference data and cash flows.
FILES = {
    "instruments.csv": (DEMO_DATA, CLIENT_DATA),
    "realized_cash_flow.csv": (DEMO_DATA, CLIENT_DATA),
    "implied_cash_flow.csv": (DEMO_DATA, CLIENT_DATA),
    "bond_prices.csv": (DEMO_DATA,),
    "repo_rates.csv": (DEMO_DATA,),
    "sessions.csv": (DEMO_DATA,),
}


def test_generator_reproduces_the_committed_files(tmp_path):
    pytest.importorskip("QuantLib")
    spec = importlib.util.spec_from_file_location("make_sample_data", ROOT / "tools" / "make_sample_data.py")
    generator = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(generator)
    assert [path.name for path in generator.build(tmp_path)] == sorted(FILES)
    different = [
        home / name
        for name, homes in FILES.items()
        for home in homes
        if not filecmp.cmp(tmp_path / name, home / name, shallow=False)
    ]
    assert different == []


def test_the_bundled_data_are_one_instance_of_the_layout():
    bundled = dataset.bundled()
    assert bundled.folder == dataset.bundled_folder()
    assert sorted(p.name for p in bundled.folder.glob("*.csv")) == sorted(
        f"{name}.csv" for name in dataset.LAYOUT
    )
    assert (bundled.first_date, bundled.last_date) == (D(2023, 1, 3), D(2025, 12, 31))
    assert math.isclose(
        bundled.bond_quote("019547.XSHG", D(2024, 1, 2)).full, 101.5477442623, rel_tol=0, abs_tol=1e-9
    )


@pytest.mark.parametrize(
    "name, column",
    [
        ("realized_cash_flow.csv", "payment_date"),
        ("implied_cash_flow.csv", "date"),
        ("bond_prices.csv", "date"),
    ],
)
def test_every_dated_row_falls_on_a_trading_day_of_the_run(name, column):
    """A payment or an accrual on a day the clock never visits would be lost."""
    market = bundled()
    calendar = get_trading_calendar().with_sessions(market.sessions)
    dates = pd.to_datetime(pd.read_csv(DEMO_DATA / name)[column])
    covered = dates[(dates >= pd.Timestamp(market.first_date)) & (dates <= pd.Timestamp(market.last_date))]
    assert len(covered) > 0
    off = [day.date() for day in covered if not calendar.is_trading_date(day)]
    assert off == []


# The exchange's 2025 closures that older exchange_calendars releases (4.5.6, the last
# for Python 3.9, among them) list as sessions.
CLOSED_2025 = ["2025-01-28", "2025-02-04", "2025-05-02", "2025-05-05", "2025-06-02", "2025-10-06",
               "2025-10-07", "2025-10-08"]  # fmt: skip


def test_run_calendar_is_the_bundled_session_list_over_the_data():
    """One calendar for the whole run, whatever exchange_calendars release is installed:
    the bundled sessions over the data, the installed calendar outside it."""
    market = bundled()
    base = get_trading_calendar()
    calendar = base.with_sessions(market.sessions)
    first, last = pd.Timestamp(market.first_date), pd.Timestamp(market.last_date)
    covered = calendar.get_trading_dates(first, last)
    assert [day.date() for day in covered] == market.sessions
    days = calendar.get_trading_dates("2024-09-25", "2024-10-10")
    assert [d.date().isoformat() for d in days] == [
        "2024-09-25", "2024-09-26", "2024-09-27", "2024-09-30", "2024-10-08", "2024-10-09", "2024-10-10",
    ]  # fmt: skip
    assert not any(calendar.is_trading_date(datetime.date.fromisoformat(day)) for day in CLOSED_2025)
    assert calendar.is_trading_date(datetime.date(2025, 12, 31))
    before = base.sessions[base.sessions < first]
    assert list(calendar.sessions[calendar.sessions < first]) == list(before)


def test_a_session_list_needs_a_session():
    with pytest.raises(ValueError, match="at least one session"):
        get_trading_calendar().with_sessions([])
