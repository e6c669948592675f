"""The sample backtest's settings: one frozen value per run, today's figures as defaults.

A run is a function of its :class:`Settings` alone (:func:`korvane_bond_demo.backtest.run`),
so runs with other settings can be made side by side, in other processes too:
the settings are plain values and pickle.
"""

import dataclasses
import datetime
import math
import numbers

STRATEGIES = ("conservative", "carry")
# Amounts above this are no portfolio's: they only make totals overflow to infinity.
MAX_CASH = 1e15
# A data table above a million million bytes is no table this process can hold.
MAX_TABLE_MB = 1_000_000
# The inter-bank market trades bonds in at least this many.
INTER_BANK_MINIMUM = 1_000

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
    - ``strategy``: "conservative" pays for its bonds with its own cash and lends what it
      borrows overnight; "carry" buys more of the pledged bonds with the borrowed cash,
      up to ``target_leverage`` (what the repos owe over equity), keeping ``cash_buffer``
      (a share of equity) in cash;
    - ``data``: a folder of market data (:mod:`korvane_bond_demo.reader`), or None for
      the bundled data; ``roll_cash_flow_dates``: a cash-flow date of the data that is no
      session moves to the next session (otherwise it is refused); ``max_table_mb``: the
      largest table of the data read, in million bytes;
    - the four commission figures of the bond cost decider.

    Each value is checked here on its own; :func:`check_against` checks the settings
    against the market data before a run.
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
    strategy: str = "conservative"
    target_leverage: float = 1.0
    cash_buffer: float = 0.02
    data: "str | None" = None
    roll_cash_flow_dates: bool = False
    max_table_mb: float = 256.0

    def __post_init__(self):
        for name in ("start", "end"):
            if not isinstance(getattr(self, name), datetime.date):
                raise ValueError(f"{name} must be a date, got {getattr(self, name)!r}")
        if self.start > self.end:
            raise ValueError(f"the start {self.start} is after the end {self.end}")
        _amount("initial cash", self.cash, positive=True)
        if self.cash > MAX_CASH:
            raise ValueError(f"the initial cash must be at most {MAX_CASH:g} yuan, got {self.cash!r}")
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
        if self.strategy not in STRATEGIES:
            raise ValueError(f"the strategy is one of {', '.join(STRATEGIES)}, got {self.strategy!r}")
        if not 0 < _amount("target leverage", self.target_leverage) <= 20:
            raise ValueError(
                f"the target leverage must be above 0 and at most 20, got {self.target_leverage!r}"
            )
        if not 0 <= _amount("cash buffer", self.cash_buffer) < 1:
            raise ValueError(f"the cash buffer must be at least 0 and below 1, got {self.cash_buffer!r}")
        if self.data is not None and (not isinstance(self.data, str) or not self.data.strip()):
            raise ValueError(f"the data folder must be a path, got {self.data!r}")
        if not isinstance(self.roll_cash_flow_dates, bool):
            raise ValueError(f"roll cash flow dates must be true or false, got {self.roll_cash_flow_dates!r}")
        if not 0 < _amount("table size limit", self.max_table_mb) <= MAX_TABLE_MB:
            raise ValueError(
                f"the table size limit must be above 0 and at most {MAX_TABLE_MB:,} million bytes, "
                f"got {self.max_table_mb!r}"
            )

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
        raise ValueError(
            f"the {what} must be {'a positive amount' if positive else 'at least 0'}, got {value!r}"
        )
    return value


def check_against(settings, data):
    """Refuse, with one ValueError line, what would only fail or do nothing during a run
    on ``data`` (a :class:`korvane_bond_demo.dataset.Dataset`): dates outside the data or
    without a session, bonds the data do not hold, quantities that are not whole lots, a
    pledge of a bond not bought or not on an exchange, and an exit too short for the last
    repo to fall due inside the data."""
    where = data.describe()
    if settings.start < data.first_date or settings.end > data.last_date:
        raise ValueError(
            f"{where} covers {data.first_date} to {data.last_date}; "
            f"choose dates inside it (asked for {settings.start} to {settings.end})"
        )
    days = [day for day in data.sessions if settings.start <= day <= settings.end]
    if not days:
        raise ValueError(f"no trading day between {settings.start} and {settings.end}")
    for order_book_id, quantity in settings.bonds:
        record = data.record(order_book_id)
        if record is None or record["type"] != "BOND":
            raise ValueError(f"no bond {order_book_id} in {where}")
        lot = record["round_lot"]
        if quantity % lot:
            raise ValueError(f"bonds: {order_book_id}: {quantity:,} is not a whole number of lots of {lot:,}")
        if record["exchange"] == "IB" and quantity < INTER_BANK_MINIMUM:
            raise ValueError(
                f"bonds: {order_book_id}: the inter-bank market trades at least "
                f"{INTER_BANK_MINIMUM:,} bonds, "
                f"got {quantity:,}"
            )
    bought = dict(settings.bonds)
    for order_book_id, _ in settings.pledges:
        record = data.record(order_book_id)
        if record is None or record["type"] != "BOND":
            raise ValueError(f"no bond {order_book_id} in {where}")
        if order_book_id not in bought:
            raise ValueError(f"pledges: {order_book_id} is not among the bonds bought ({', '.join(bought)})")
        if record["exchange"] == "IB":
            raise ValueError(
                f"pledges: {order_book_id} is an inter-bank bond; only exchange bonds are pledged here"
            )
        repos = [
            r for r in data.records
            if r["type"] == "REPO" and r["exchange"] == record["exchange"]
            and r.get("repo_period") == settings.repo_tenor_days
        ]  # fmt: skip
        if not repos:
            raise ValueError(
                f"pledges: {order_book_id}: no {settings.repo_tenor_days}-day repo on "
                f"{record['exchange']} in {where}"
            )
    if settings.pledges and len(days) > settings.exit_days:
        # the last repo opens on the day before the exit and falls due tenor calendar days on
        last_financing = days[len(days) - settings.exit_days - 1]
        tenor = datetime.timedelta(days=settings.repo_tenor_days)
        due = last_financing + tenor
        if due > data.last_date:
            needed = next(
                n for n in range(settings.exit_days, len(days) + 1)
                if n == len(days)
                or days[len(days) - n - 1] + tenor <= data.last_date
            )  # fmt: skip
            raise ValueError(
                f"exit days {settings.exit_days}: a {settings.repo_tenor_days}-day repo opened on "
                f"{last_financing} falls due after {where} ends ({data.last_date}); "
                f"give at least {needed} exit days or an earlier end"
            )
