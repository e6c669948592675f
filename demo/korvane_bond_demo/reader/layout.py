"""The tables of a market-data folder, what a run can represent, and the tolerances.

Every date of a table lies within :data:`FIRST_DATE` to :data:`LAST_DATE`; every number
is at most :data:`MAX_AMOUNT` in size, a lot or a count at most :data:`MAX_WHOLE`, a
repo's period at most :data:`MAX_REPO_PERIOD` days. A full price is its clean price plus
its accrued interest within :data:`PRICE_TOLERANCE`; sums of amounts agree within
:data:`AMOUNT_TOLERANCE`. A table larger than its limit (``max_table_mb``, default
:data:`DEFAULT_MAX_TABLE_MB` million bytes; a Parquet file's uncompressed size counts) is
refused before it is read.
"""

import datetime

BOND, REPO = "BOND", "REPO"
BOND_EXCHANGES = ("XSHG", "XSHE", "IB")
REPO_EXCHANGES = ("XSHG", "XSHE")

# table -> its columns, each (name, kind); a kind ending in "?" may be empty
LAYOUT = {
    "instruments": (
        ("order_book_id", "id"),
        ("type", "text"),
        ("symbol", "text"),
        ("exchange", "text"),
        ("round_lot", "whole"),
        ("issue_price", "number?"),
        ("initial_issue_size", "number?"),
        ("repo_period", "whole?"),
        ("listed_date", "date?"),
        ("maturity_date", "date?"),
        ("coupon_rate", "number?"),
    ),
    "realized_cash_flow": (
        ("order_book_id", "id"),
        ("payment_date", "date"),
        ("cash_flow", "amount"),
        ("principal_payment", "amount"),
        ("interest_payment", "amount"),
        ("remaining_principal", "amount"),
    ),
    "implied_cash_flow": (
        ("order_book_id", "id"),
        ("date", "date"),
        ("total_payment", "amount"),
        ("payment_receivable", "amount"),
        ("principal_payment", "amount"),
        ("interest_payment", "amount"),
    ),
    "bond_prices": (
        ("order_book_id", "id"),
        ("date", "date"),
        ("clean_price", "price"),
        ("accrued_interest", "amount"),
        ("full_price", "price"),
        ("yield", "number"),
    ),
    "repo_rates": (("order_book_id", "id"), ("date", "date"), ("rate", "amount")),
    "sessions": (("date", "date"),),
}
OPTIONAL_TABLES = frozenset({"implied_cash_flow"})
MAX_RATE = 1.0  # a yearly repo rate above 100 % is a unit slip (percent for a decimal)
DEFAULT_MAX_TABLE_MB = 256  # million bytes a table; reading one takes about 1.3 times as much memory
# What the run can represent: dates pandas' timestamps hold with room for a repo's term,
# amounts no larger than the largest cash a run takes, whole numbers a float holds exactly.
FIRST_DATE, LAST_DATE = datetime.date(1900, 1, 1), datetime.date(2199, 12, 31)
MAX_AMOUNT = 1e15
MAX_WHOLE = 2**53
MAX_REPO_PERIOD = 365  # calendar days: no exchange repo runs longer than a year
FACE = 100.0  # amounts are per bond of 100 face value
# A full price may differ from clean + accrued by the rounding of its three figures.
PRICE_TOLERANCE = 0.0005
# Sums of amounts per 100 face (principal repaid, a period's receivables) and the
# payments of the two cash-flow tables agree within this.
AMOUNT_TOLERANCE = 1e-6


def columns(name):
    """The column names of the table ``name``, in the layout's order."""
    return [column for column, _ in LAYOUT[name]]


class DataError(ValueError):
    """A data file that cannot be used: one line naming the file, row and column."""
