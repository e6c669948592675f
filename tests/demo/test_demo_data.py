"""The bundled market data: reproducible from its generator, and on the exchange's trading days."""

import datetime
import filecmp
import importlib.util
from pathlib import Path

import pandas as pd
import pytest
from korvane_bond_demo.market import BundledMarket, trading_calendar

ROOT = Path(__file__).resolve().parents[2]
CLIENT_DATA = ROOT / "standins" / "pelvorn" / "data"
DEMO_DATA = ROOT / "demo" / "korvane_bond_demo" / "data"
FILES = {
    "instruments.csv": CLIENT_DATA,
    "realized_cash_flow.csv": CLIENT_DATA,
    "implied_cash_flow.csv": CLIENT_DATA,
    "bond_prices.csv": DEMO_DATA,
    "repo_rates.csv": DEMO_DATA,
}


def test_generator_reproduces_the_committed_files(tmp_path):
    pytest.importorskip("QuantLib")
    spec = importlib.util.spec_from_file_location("make_sample_data", ROOT / "tools" / "make_sample_data.py")
    generator = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(generator)
    assert [path.name for path in generator.build(tmp_path)] == sorted(FILES)
    different = [
        name for name, home in FILES.items() if not filecmp.cmp(tmp_path / name, home / name, shallow=False)
    ]
    assert different == []


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
    market = BundledMarket()
    calendar, _ = trading_calendar(market)
    dates = pd.to_datetime(pd.read_csv(FILES[name] / name)[column])
    covered = dates[(dates >= pd.Timestamp(market.first_date)) & (dates <= pd.Timestamp(market.last_date))]
    assert len(covered) > 0
    off = [day.date() for day in covered if not calendar.is_trading_date(day)]
    assert off == []


def test_run_calendar_is_the_exchange_calendar_over_the_data():
    market = BundledMarket()
    calendar, disagree = trading_calendar(market)
    days = calendar.get_trading_dates("2024-09-25", "2024-10-10")
    assert [d.date().isoformat() for d in days] == [
        "2024-09-25", "2024-09-26", "2024-09-27", "2024-09-30", "2024-10-08", "2024-10-09", "2024-10-10",
    ]  # fmt: skip
    # wherever an installed release is behind, it is only in listing closed days as open
    assert all(not calendar.is_trading_date(day) for day in disagree)
    assert all(day.year == 2025 for day in disagree)
    assert calendar.is_trading_date(datetime.date(2025, 12, 31))
