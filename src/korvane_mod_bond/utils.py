"""Helpers shared by the bond and repo modules: market of a bond, repo commission."""

from korvane.environment import Environment

EXCHANGE_SUFFIXES = (".XSHG", ".XSHE")

# Commission of a general-collateral (pledged) bond repo as a fraction of the
# cash amount, by repo period in days, from the fee schedule that the Shanghai
# and Shenzhen stock exchanges publish for bond repos (both charge the same):
# 1 day 0.001%, 2 days 0.002%, 3 days 0.003%, 4 days 0.004%, 7 days 0.005%,
# 14 days 0.010%, 28 days 0.020%, longer periods 0.030%. A period between two
# listed ones pays the rate of the next longer listed period.
REPO_COMMISSION_RATES = (
    (1, 0.00001),
    (2, 0.00002),
    (3, 0.00003),
    (4, 0.00004),
    (7, 0.00005),
    (14, 0.0001),
    (28, 0.0002),
)
LONG_REPO_COMMISSION_RATE = 0.0003


def is_exchange_bond(order_book_id):
    """True for a bond listed in Shanghai or Shenzhen, False for an inter-bank bond."""
    if not isinstance(order_book_id, str):
        raise TypeError(f"order_book_id must be a string, got {order_book_id!r}")
    return order_book_id.endswith(EXCHANGE_SUFFIXES)


def get_commission_rate(order_book_id):
    """Commission rate of the repo ``order_book_id``, a fraction of the cash amount."""
    instrument = Environment.get_instance().data_proxy.instruments(order_book_id)
    if instrument is None:
        raise ValueError(f"unknown repo instrument {order_book_id!r}")
    period = getattr(instrument, "repo_period", None)
    if period is None:
        raise ValueError(f"{order_book_id!r} is not a repo: its instrument has no repo_period")
    if isinstance(period, bool) or not period >= 1:
        raise ValueError(f"repo {order_book_id!r} has an invalid repo_period {period!r}")
    for days, rate in REPO_COMMISSION_RATES:
        if period <= days:
            return rate
    return LONG_REPO_COMMISSION_RATE


def calc_repo_commission(order_book_id, amount):
    """Commission of a repo of ``order_book_id`` on the cash ``amount`` (after the haircut)."""
    return amount * get_commission_rate(order_book_id)
