"""Enumerations shared by the framework and its extension packages.

Every member is also a ``str`` equal to its own name, so members compare
equal to plain strings (``SIDE.BUY == "BUY"``) and survive a round trip
through saved state or a CSV file.
"""

from enum import Enum


class _NamedEnum(str, Enum):
    def __str__(self):
        return f"{type(self).__name__}.{self.name}"

    def __repr__(self):
        return f"<{type(self).__name__}.{self.name}>"


class SIDE(_NamedEnum):
    BUY = "BUY"
    SELL = "SELL"
    # a repo: borrow cash against pledged bonds
    FINANCING = "FINANCING"
    # a reverse repo: lend cash
    MARGIN = "MARGIN"


class POSITION_DIRECTION(_NamedEnum):
    LONG = "LONG"
    SHORT = "SHORT"


class POSITION_EFFECT(_NamedEnum):
    OPEN = "OPEN"
    CLOSE = "CLOSE"
    CLOSE_TODAY = "CLOSE_TODAY"
    EXERCISE = "EXERCISE"
    MATCH = "MATCH"


class INSTRUMENT_TYPE(_NamedEnum):
    CS = "CS"
    ETF = "ETF"
    INDX = "INDX"
    FUTURE = "FUTURE"
    OPTION = "OPTION"
    CONVERTIBLE = "CONVERTIBLE"
    BOND = "BOND"
    REPO = "REPO"


class TRADING_CALENDAR_TYPE(_NamedEnum):
    EXCHANGE = "EXCHANGE"
    INTER_BANK = "INTER_BANK"
