"""The sample backtest's settings: one frozen value per run, today's figures as defaults.

A run is a function of its :class:`Settings` alone (:func:`korvane_bond_demo.backtest.run`),
so runs with other settings can be made side by side, in other processes too:
the settings are plain values and pickle.
"""

import dataclasses
import datetime
import math
import numbers

# Bonds and quantities held.
DEFAULT_BONDS = (
    ("019547.XSHG", 10_000),  # government bond, annual coupon
    ("127001.XSHE", 5_000),  # corporate bond repaying 30/30/40 % of its principal
    ("200205.IB", 10_000),  # inter-bank policy-bank bond, redeemed on 2025-04-09
)
# Exchange bonds financed with repos, and each one's conversion ratio: the share of
# the pledged face value that a repo lends (the repo trade's ``haircut``).
DEFAULT_PLEDGES = (
    ("019547.XSHG", 0.9),
    ("127001.XSHE", 0.7),
)


@dataclasses.dataclass(frozen=True)
class Settings:
    """What one run of the sample backtest is given.

    - ``start``, ``end``: the first and last day (both included);
    - ``cash``: initial cash in yuan;
    - ``bonds``: (order book id, quantity) of each bond bought;
    - ``pledges``: (order book id, share of the pledged face value lent) of each
      exchange bond financed with repos;
    - ``repo_tenor_days``: the repo used to finance them, by its period (1 or 7
      calendar days), on each bond's own exchange;
    - ``borrowed_share``: the share of the pledgeable holding pledged (1: all of it);
    - ``lend_overnight``: lend spare cash in the Shanghai one-day reverse repo;
    - ``exit_days``: for the last so many trading days, no new financing and bonds sold;
    - the four commission figures of the bond cost decider.
    """

    start: datetime.date = datetime.date(2024, 1, 1)
    end: datetime.date = datetime.date(2025, 12, 31)
    cash: float = 3_000_000.0
    bonds: tuple = DEFAULT_BONDS
    pledges: tuple = DEFAULT_PLEDGES
    repo_tenor_days: int = 7
    borrowed_share: float = 1.0
    lend_overnight: bool = True
    exit_days: int = 10
    # inter-bank 0.001 % of the trade value, at least 150 yuan (about what a trade's
    # settlement costs there); on exchange 0.002 %, at most 100 yuan a trade
    ib_commission_rate: float = 0.00001
    ib_min_commission: float = 150.0
    exchange_commission_rate: float = 0.00002
    exchange_max_commission: float = 100.0

    def __post_init__(self):
        for name in ("start", "end"):
            if not isinstance(getattr(self, name), datetime.date):
                raise ValueError(f"{name} must be a date, got {getattr(self, name)!r}")
        if self.start > self.end:
            raise ValueError(f"the start {self.start} is after the end {self.end}")
        _amount("initial cash", self.cash, positive=True)
        if not 0 < _amount("borrowed share", self.borrowed_share) <= 1:
            raise ValueError(f"the borrowed share must be above 0 and at most 1, got {self.borrowed_share!r}")
        for order_book_id, quantity in self.bonds:
            if isinstance(quantity, bool) or not isinstance(quantity, int) or quantity <= 0:
                raise ValueError(
                    f"{order_book_id}: a quantity must be a positive whole number, got {quantity!r}"
                )
        for order_book_id, share in self.pledges:
            if not 0 < _amount(f"{order_book_id}'s lent share", share) <= 1:
                raise ValueError(
                    f"{order_book_id}: the lent share must be above 0 and at most 1, got {share!r}"
                )
        if self.repo_tenor_days not in (1, 7):
            # the bundled data hold one- and seven-day repos on each exchange, no 14-day one
            held = " (the bundled data hold no 14-day repo)" if self.repo_tenor_days == 14 else ""
            raise ValueError(f"the repo tenor must be 1 or 7 days, got {self.repo_tenor_days!r}{held}")
        if isinstance(self.exit_days, bool) or not isinstance(self.exit_days, int) or self.exit_days < 0:
            raise ValueError(f"exit days must be a whole number of at least 0, got {self.exit_days!r}")
        for name in ("ib_commission_rate", "ib_min_commission", "exchange_commission_rate",
                     "exchange_max_commission"):  # fmt: skip
            _amount(name.replace("_", " "), getattr(self, name))

    @property
    def commission(self):
        """The bond cost decider's four figures, in its order."""
        return (
            self.ib_commission_rate,
            self.ib_min_commission,
            self.exchange_commission_rate,
            self.exchange_max_commission,
        )


def _amount(what, value, positive=False):
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise ValueError(f"the {what} must be a number, got {value!r}")
    if not math.isfinite(value):
        raise ValueError(f"the {what} must be a finite amount, got {value!r}")
    if value < 0 or (positive and value == 0):
        raise ValueError(f"the {what} must be {'positive' if positive else 'at least 0'}, got {value!r}")
    return value
