"""The trade record of a repo, with its terms fixed when it is made."""

import datetime
from typing import Any, TypeVar

from korvane.const import POSITION_DIRECTION
from korvane.model.trade import Trade

_T = TypeVar("_T", bound="RepoTrade")

class RepoTrade(Trade):
    """A repo or reverse repo trade: a framework trade that also carries the repo's terms.

    Side ``SIDE.FINANCING`` is a repo, cash borrowed against pledged bonds;
    ``SIDE.MARGIN`` a reverse repo, cash lent. The terms are fixed from the clock
    when the trade is made: the due date is the trading date plus the repo period,
    moved to the next trading day when it falls on a holiday; the holding days run
    from the calendar date to the due date. ``last_price`` is the repo rate, a
    yearly rate as a fraction (0.02 is 2 %); ``last_quantity`` the principal in
    yuan, the amount times the haircut.
    Interest is simple, on a 365-day year:
    ``due_settlement_amount = last_quantity * (1 + last_price / 365 * actual_holding_days)``.

    Examples
    --------
    Borrow against 10,000 bonds for one day on Friday 15 November 2024, 90 % of a
    face value of 1,000,000 yuan at 2 % a year; the repo is repaid on Monday:

    >>> from korvane.testing import make_env
    >>> from korvane_mod_bond.data import BondInstrument, RepoInstrument
    >>> from korvane_mod_bond.trade import RepoTrade
    >>> env = make_env([BondInstrument("019547.XSHG"), RepoInstrument("204001.XSHG", repo_period=1)],
    ...                trading_dt="2024-11-15 09:30")
    >>> trade = RepoTrade.create_repo_trade(0.02, 1_000_000, "204001.XSHG", 0, 0.9, "019547.XSHG", 10_000)
    >>> trade.position_direction, trade.last_quantity, trade.commission
    (<POSITION_DIRECTION.SHORT>, 900000.0, 9.0)
    >>> trade.due_settlement_date, trade.actual_holding_days
    (datetime.date(2024, 11, 18), 3)
    >>> trade.due_settlement_amount  # 900,000 × (1 + 0.02 / 365 × 3)
    900147.9452054794
    """

    @property
    def commission(self) -> float:
        """Commission in yuan: the exchanges' repo fee on the principal, by repo period."""
    repo_period: int
    """Length of the repo in calendar days (the instrument's unless a factory overrode it)."""
    haircut: float
    """Share of the amount that is lent: principal = amount × haircut (1 for a reverse repo)."""
    coupon_value: float
    """Issue price of the pledged bond, in yuan per bond (0 for a reverse repo)."""
    bond_id: str | None
    """Order book id of the pledged bond (None for a reverse repo)."""
    actual_holding_days: int
    """Days from the calendar date of the trade to :attr:`due_settlement_date`.

    The interest is counted over these."""
    due_settlement_amount: float
    """Cash due back at maturity, principal plus interest, in yuan (unrounded)."""
    due_settlement_date: datetime.date
    """The trading day on which the repo is repaid (at that day's settlement)."""
    pledged_quantity: float
    """Bonds of :attr:`bond_id` pledged (0 for a reverse repo)."""
    @classmethod
    def calc_max_amount(cls, order_book_id: str, available_cash: float) -> float:
        """The largest amount, in yuan, that ``available_cash`` covers with its commission.

        ``available_cash / (1 + rate)``, unrounded, with ``rate`` the commission rate
        of the repo ``order_book_id``; not rounded to the repo's lots.

        Examples
        --------
        >>> from korvane.testing import make_env
        >>> from korvane_mod_bond.data import RepoInstrument
        >>> from korvane_mod_bond.trade import RepoTrade
        >>> env = make_env([RepoInstrument("204001.XSHG", repo_period=1)])
        >>> RepoTrade.calc_max_amount("204001.XSHG", 100_001.0)  # an overnight repo's fee: 0.001 %
        100000.0
        """
    @classmethod
    def __from_create__(
        cls: type[_T],
        order_id: Any,
        price: float,
        amount: float,
        side: Any,
        order_book_id: str,
        **kwargs: Any,
    ) -> _T:
        """Make a repo trade of side ``side``; every factory ends here.

        The repo ``order_book_id`` at the yearly rate ``price`` for ``amount`` yuan
        before the haircut. Reads the keywords
        ``repo_period`` (days; a falsy one falls back to the instrument's), ``haircut``
        (default 1), ``bond_id`` and ``pledged_quantity`` (default 0); ignores others.
        The trade carries no order id."""
    @classmethod
    def create_repo_trade(
        cls: type[_T],
        price: float,
        amount: float,
        order_book_id: str,
        repo_period: int | None,
        haircut: float,
        bond_id: str,
        pledged_quantity: float,
    ) -> _T:
        """A financing repo: borrow cash, pledging bonds.

        Borrows ``amount * haircut`` yuan at the yearly rate ``price`` for
        ``repo_period`` days (falsy: the instrument's period), pledging
        ``pledged_quantity`` bonds of ``bond_id``."""
    @classmethod
    def create_reverse_repo_trade(
        cls: type[_T], price: float, amount: float, order_book_id: str, repo_period: int | None
    ) -> _T:
        """A reverse repo: lend cash.

        Lends ``amount`` yuan at the yearly rate ``price`` for ``repo_period`` days
        (falsy: the instrument's period)."""
    @classmethod
    def create_exchange_repo_trade(
        cls: type[_T],
        order_id: Any,
        price: float,
        amount: float,
        order_book_id: str,
        hairbut: float,
        bond_id: str,
        pledged_quantity: float,
    ) -> _T:
        """A financing repo on the exchange, for the order ``order_id``.

        Borrows ``amount * hairbut`` yuan at the yearly rate ``price`` for the instrument's
        period, pledging ``pledged_quantity`` bonds of ``bond_id``. The haircut's
        keyword is ``hairbut``.

        Examples
        --------
        >>> from korvane.testing import make_env
        >>> from korvane_mod_bond.data import BondInstrument, RepoInstrument
        >>> from korvane_mod_bond.trade import RepoTrade
        >>> env = make_env([BondInstrument("019547.XSHG"), RepoInstrument("204007.XSHG", repo_period=7)],
        ...                trading_dt="2024-11-11 09:30")
        >>> trade = RepoTrade.create_exchange_repo_trade(
        ...     17, 0.0185, 1_000_000, "204007.XSHG", hairbut=0.9, bond_id="019547.XSHG",
        ...     pledged_quantity=10_000)
        >>> trade.haircut, trade.last_quantity, trade.due_settlement_date, trade.pledged_quantity
        (0.9, 900000.0, datetime.date(2024, 11, 18), 10000)
        """
    @classmethod
    def create_exchange_reverse_repo_trade(
        cls: type[_T], order_id: Any, price: float, amount: float, order_book_id: str
    ) -> _T:
        """A reverse repo on the exchange, for the order ``order_id``.

        Lends ``amount`` yuan at the yearly rate ``price`` for the instrument's period."""
    @property
    def position_direction(self) -> POSITION_DIRECTION:
        """``SHORT`` for a financing repo (cash owed), ``LONG`` for a reverse repo (cash lent)."""
