"""Market and reference data seen by the framework."""

from korvane.data.data_proxy import DataProxy
from korvane.data.trading_calendar import TradingCalendar, get_trading_calendar

__all__ = ["DataProxy", "TradingCalendar", "get_trading_calendar"]
