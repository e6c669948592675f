"""Bond and repo positions, their proxies and the cash-flow tables of bonds.

The framework creates one position per order book id and direction, calls
``before_trading(date)`` at every day start, ``apply_trade(trade)`` for every
fill and ``settlement(date)`` at every day's end, and books each returned
number to the account as a *cash delta* in yuan: positive is cash received by
the account, negative cash paid out.

Quantities of a bond position are counted in bonds; the amounts of a
cash-flow table are per bond (per 100 face for the usual issue price of 100).
Quantities of a repo position are cash in yuan.
"""

import datetime
from collections import defaultdict
from collections.abc import MutableMapping
from typing import Any, Callable

import numpy as np
from korvane.const import INSTRUMENT_TYPE, POSITION_DIRECTION
from korvane.mod.korvane_mod_sys_accounts.position_model import StockPositionProxy
from korvane.portfolio.position import Position

from .trade import RepoTrade

CASH_FLOW_DTYPES: list[tuple[str, str]]
"""Record layout of a realized cash-flow table, as (field, NumPy type code) pairs.

``payment_date`` ("i4", the payment date as the integer YYYYMMDD), ``cash_flow``
("f8", paid on that date per bond, coupon and principal) and
``cum_principal_payment`` ("f8", principal repaid per bond up to and including
that record, summed in the order the data client delivered the rows).

Examples
--------
>>> from korvane_mod_bond.position import CASH_FLOW_DTYPES, _all_real_cash_flow
>>> CASH_FLOW_DTYPES
[('payment_date', 'i4'), ('cash_flow', 'f8'), ('cum_principal_payment', 'f8')]
>>> _all_real_cash_flow("127001.XSHE")[-3:].tolist()  # a bond repaid in three instalments
[(20240315, 34.5, 30.0), (20250317, 33.15, 60.0), (20260316, 41.8, 100.0)]
"""

IMPLIED_CASH_FLOW_DTYPES: list[tuple[str, str]]
"""Record layout of an implied cash-flow table, as (field, NumPy type code) pairs.

``date`` ("i4", YYYYMMDD),
``cash_flow`` ("f8", paid on that date per bond), ``cum_principal_payment``
("f8", principal repaid per bond up to and including that record) and
``payment_receivable`` ("f8", what becomes receivable on that date per bond:
the interest accrued since the previous record).

Examples
--------
>>> from korvane_mod_bond.position import IMPLIED_CASH_FLOW_DTYPES, _all_implied_cash_flow
>>> [field for field, _ in IMPLIED_CASH_FLOW_DTYPES]
['date', 'cash_flow', 'cum_principal_payment', 'payment_receivable']
>>> table = _all_implied_cash_flow("200205.IB")
>>> table["date"][-3:].tolist()  # a month end, the session before the redemption, the redemption
[20250331, 20250408, 20250409]
>>> table["payment_receivable"][-3:].round(4).tolist()  # the interest accrued, then the principal
[0.2514, 0.073, 100.0]
"""

class _Memoised:
    """A cash-flow table builder, memoised for the run.

    The memo holds 1,024 order book ids at most, the least recently used dropped first: the
    framework's ``lru_cache(1024)``. A backtest installed with
    ``BondMod(cash_flow_memo_size=N)`` binds memos of ``N`` around the same builders
    instead, until one installed without the setting binds these again.
    :func:`korvane_mod_bond.clear_cash_flow_memos` forgets the tables of both memos bound."""

    def __call__(self, order_book_ids: str) -> np.ndarray | None:
        """The table of one bond, or None when the data client has no cash flows for it.

        The table is a NumPy structured array sorted by date; it is only to be read."""
    def cache_info(self) -> Any:
        """Hits, misses and size of the memo."""
    def cache_clear(self) -> None:
        """Forget every table: the next request of each bond asks the data client again."""
    __wrapped__: Callable[[str], np.ndarray | None]
    """The builder itself, without the memo."""

_all_real_cash_flow: _Memoised
"""Realized cash-flow table of a bond (layout :data:`CASH_FLOW_DTYPES`), memoised.

Built from the data client's ``bond.realized_cash_flow(order_book_id)``."""

_all_implied_cash_flow: _Memoised
"""Implied cash-flow table of a bond (layout :data:`IMPLIED_CASH_FLOW_DTYPES`), memoised.

Built from the data client's ``bond.get_implied_cash_flow(order_book_id, 20050102, 29991231)``."""

class BondPosition(Position):
    """A holding of one bond, with its coupons, redemptions and the bonds pledged in repos.

    Calling ``BondPosition(order_book_id, direction)`` creates an instance of one
    of its two variants: :class:`BondPositionWithRealizedCashFlow` for an
    exchange bond (order book id ending ".XSHG" or ".XSHE"), and for every bond
    when the configuration key ``mod.bond.valuation_source`` is "exchange";
    :class:`BondPositionWithImpliedCashFlow` otherwise.

    A payment is booked in two steps: at the day start the amount that becomes
    receivable that day, times the quantity held, is added to the payment
    receivable (which counts in :attr:`equity`); at the settlement of the
    payment date the payment, times the quantity held, is paid to the account
    as cash and taken out of the receivable. On the day the principal is fully
    repaid the holding is zeroed.

    Examples
    --------
    The framework makes and drives the positions; here one is driven by hand over a
    coupon date of the bundled bond 019547.XSHG (2.7 yuan a bond on 18 November 2024):

    >>> import datetime
    >>> from korvane.const import POSITION_DIRECTION
    >>> from korvane.testing import make_env, make_trade
    >>> from korvane_mod_bond.data import BondInstrument
    >>> from korvane_mod_bond.position import BondPosition
    >>> env = make_env([BondInstrument("019547.XSHG")], trading_dt="2024-11-15 09:30")
    >>> holding = BondPosition("019547.XSHG", POSITION_DIRECTION.LONG)
    >>> type(holding).__name__  # an exchange bond: realized cash flows
    'BondPositionWithRealizedCashFlow'
    >>> holding.apply_trade(make_trade("019547.XSHG", 1_000, 101.5))  # a buy: the price paid
    -101500.0
    >>> holding.before_trading(datetime.date(2024, 11, 18))  # the coupon becomes receivable
    0
    >>> holding.equity  # 1,000 bonds at 101.5, and 1,000 coupons of 2.7 receivable
    104200.0
    >>> holding.settlement(datetime.date(2024, 11, 18))  # and is paid at the settlement
    2700.0
    >>> holding.equity
    101500.0
    """

    __instrument_types__: tuple[INSTRUMENT_TYPE, ...]
    """``(INSTRUMENT_TYPE.BOND,)``: the framework models bond positions with this class."""
    _instrument: Any
    """The bond's reference data (``issue_price``: the price of one bond at issue, in yuan)."""
    _payment_receivable: float
    """Coupon and principal receivable by the whole holding, in yuan.

    What became receivable at a day start and has not yet been paid by a settlement."""
    _due_settlement_dict: defaultdict[datetime.date, float]
    """The pledge book: due date of a repo → bonds pledged in the repos due that day."""
    def __new__(
        cls, order_book_id: str, direction: POSITION_DIRECTION, init_quantity: float = 0
    ) -> BondPositionWithRealizedCashFlow | BondPositionWithImpliedCashFlow:
        """A new instance of the cash-flow variant for ``order_book_id`` (see the class).

        The class called on takes no part in the choice."""
    def __init__(self, order_book_id: str, direction: POSITION_DIRECTION, init_quantity: float = 0) -> None:
        """A position of ``init_quantity`` bonds, with no receivable and nothing pledged."""
    def set_state(self, state: MutableMapping[str, Any]) -> None:
        """Restore a state saved by :meth:`get_state`.

        A state without "payment_receivable" restores a receivable of 0. The pledge
        book is not restored: it stays as it was."""
    def get_state(self) -> MutableMapping[str, Any]:
        """The framework's position state, with the key "payment_receivable" (yuan) added.

        The pledge book is not saved."""
    @property
    def equity(self) -> float:
        """The framework's equity of the holding plus the payment receivable, in yuan."""
    @property
    def pledged_quantity(self) -> float:
        """Bonds pledged in repos not yet due, summed over every due date."""
    @property
    def closable(self) -> float:
        """Bonds that can be sold or pledged, in bonds.

        The framework's closable quantity less :attr:`pledged_quantity` (not clamped at 0)."""
    def apply_trade(self, trade: Any) -> float | None:
        """Book a fill: a buy or a sell, or a repo that pledges this bond.

        A buy or sell is the framework's: its cash delta is returned unchanged
        (negative for a buy: the price and costs paid; positive for a sale). A
        financing repo trade in which this bond is pledged (side ``SIDE.FINANCING``,
        a :class:`~korvane_mod_bond.trade.RepoTrade`) files its ``pledged_quantity``
        under its ``due_settlement_date`` and returns None: it moves no cash here.

        :raises TypeError: "financing trade requires type of RepoTrade, current type: {}"
            for a financing trade of another class.
        """
    def before_trading(self, trading_date: datetime.date) -> float:
        """Day start: book what becomes receivable today; return the framework's cash delta.

        The day's receivable per bond times the quantity is added to the payment
        receivable; the cash delta returned is the framework's own day-start one."""
    def settlement(self, trading_date: datetime.date) -> float:
        """Day end: pay the day's coupon and principal; return that cash delta.

        The payment per bond times the quantity (positive: received; 0.0 on a day
        without a payment) is returned and taken out of the receivable. On the day
        the principal is fully repaid the holding's quantities become 0; the pledges
        due on or before ``trading_date`` are released."""
    def _get_cash_flow_receivable(self, date_: datetime.date) -> float:
        """Hook: what becomes receivable on ``date_`` per bond, in yuan (0.0 for none).

        Abstract here (raises ``NotImplementedError``)."""
    def _get_cash_flow(self, date_: datetime.date) -> tuple[float, bool]:
        """Hook: (paid on ``date_`` per bond in yuan, whether the principal is then repaid).

        The flag is True when the bond is fully redeemed by that payment. Abstract
        here (raises ``NotImplementedError``)."""

class BondPositionWithRealizedCashFlow(BondPosition):
    """A bond position booked on its realized cash flows (:data:`CASH_FLOW_DTYPES`).

    Each payment becomes receivable on its payment date and is paid at that day's
    settlement. Marked at the full price.

    Examples
    --------
    >>> import datetime
    >>> from korvane.const import POSITION_DIRECTION
    >>> from korvane.testing import make_env
    >>> from korvane_mod_bond.data import BondInstrument
    >>> from korvane_mod_bond.position import BondPosition
    >>> env = make_env([BondInstrument("019547.XSHG")])
    >>> holding = BondPosition("019547.XSHG", POSITION_DIRECTION.LONG)
    >>> holding._get_cash_flow(datetime.date(2024, 11, 18))  # a coupon
    (2.7, False)
    >>> holding._get_cash_flow(datetime.date(2024, 11, 19))  # no payment that day
    (0.0, False)
    >>> holding._get_cash_flow(datetime.date(2026, 11, 17))  # the last coupon and the principal
    (102.7, True)
    """

    def _get_cash_flow_receivable(self, date_: datetime.date) -> float:
        """The payment per bond on ``date_``: receivable and paid on the same day."""
    def _get_cash_flow(self, date_: datetime.date) -> tuple[float, bool]:
        """(payment per bond on ``date_``, whether the principal is then fully repaid).

        Fully repaid: the principal repaid up to that record reaches the issue price.
        (0.0, False) on a date without a payment, or for a bond without data."""

class BondPositionWithImpliedCashFlow(BondPosition):
    """A bond position booked on its implied cash flows (:data:`IMPLIED_CASH_FLOW_DTYPES`).

    Interest becomes receivable as it accrues, record by record, and is paid on
    the payment dates. Marked at the clean price: the accrued interest is in the
    receivable.

    Examples
    --------
    >>> import datetime
    >>> from korvane.const import POSITION_DIRECTION
    >>> from korvane.testing import make_env
    >>> from korvane_mod_bond.data import BondInstrument
    >>> from korvane_mod_bond.position import BondPosition
    >>> env = make_env([BondInstrument("200205.IB")])
    >>> holding = BondPosition("200205.IB", POSITION_DIRECTION.LONG)
    >>> type(holding).__name__  # an inter-bank bond: implied cash flows
    'BondPositionWithImpliedCashFlow'
    >>> holding._get_day_cash_flow(datetime.date(2025, 3, 31))  # a month end: interest accrues
    (0.0, 0.2513972602739..., False)
    >>> holding._get_day_cash_flow(datetime.date(2025, 4, 9))  # the redemption: coupon and principal
    (102.96, 100.0, True)

    With ``mod.bond.valuation_source`` "exchange" the same bond follows its realized
    cash flows:

    >>> env = make_env([BondInstrument("200205.IB")], valuation_source="exchange")
    >>> type(BondPosition("200205.IB", POSITION_DIRECTION.LONG)).__name__
    'BondPositionWithRealizedCashFlow'
    """

    def _get_day_cash_flow(self, date_: datetime.date) -> tuple[float, float, bool]:
        """(paid per bond, becoming receivable per bond, principal fully repaid) on ``date_``.

        (0.0, 0.0, False) without a record for that date."""
    def _get_cash_flow_receivable(self, date_: datetime.date) -> float:
        """The day's receivable per bond, in yuan.

        On a payment day while the position carries no receivable yet (bought after
        the last accrual), the payment itself."""
    def _get_cash_flow(self, date_: datetime.date) -> tuple[float, bool]:
        """(payment per bond on ``date_``, principal fully repaid)."""

class RepoPosition(Position):
    """The repos of one repo instrument in one direction; quantities in yuan of principal.

    A short position holds financing repos (cash borrowed against pledged
    bonds), a long one reverse repos (cash lent). Each trade is booked under its
    due date; the settlement of that date repays the amount due, principal plus
    interest. A short position also hands each trade to the long position of the
    pledged bond, which files the pledge.

    Examples
    --------
    Borrow 90 % of the face of 10,000 bonds overnight on a Friday, through the
    framework's portfolio, which makes the positions:

    >>> import datetime
    >>> from korvane.const import POSITION_DIRECTION
    >>> from korvane.testing import make_env, make_trade
    >>> from korvane_mod_bond.data import BondInstrument, RepoInstrument
    >>> from korvane_mod_bond.position import BondPosition, RepoPosition
    >>> from korvane_mod_bond.trade import RepoTrade
    >>> env = make_env([BondInstrument("019547.XSHG"), RepoInstrument("204001.XSHG", repo_period=1)],
    ...                position_classes=[BondPosition, RepoPosition], trading_dt="2024-11-08 09:30")
    >>> bonds = env.portfolio.get_position("019547.XSHG", POSITION_DIRECTION.LONG)
    >>> bonds.apply_trade(make_trade("019547.XSHG", 10_000, 101.5))
    -1015000.0
    >>> trade = RepoTrade.create_repo_trade(0.02, 1_000_000, "204001.XSHG", 0, 0.9, "019547.XSHG", 10_000)
    >>> borrowed = env.portfolio.get_position("204001.XSHG", POSITION_DIRECTION.SHORT)
    >>> borrowed.apply_trade(trade)  # the principal comes in, less 9 yuan of commission
    899991.0
    >>> bonds.pledged_quantity, bonds.closable  # the bonds are pledged until the repo is repaid
    (10000, 0)
    >>> borrowed.equity  # owed
    -900000.0
    >>> borrowed.settlement(datetime.date(2024, 11, 11))  # Monday: the principal and 3 days' interest
    -900147.9452054794
    >>> bonds.settlement(datetime.date(2024, 11, 11)), bonds.closable  # the pledge is released
    (0, 10000)
    """

    __instrument_types__: tuple[INSTRUMENT_TYPE, ...]
    """``(INSTRUMENT_TYPE.REPO,)``: the framework models repo positions with this class."""
    _due_settlement_dict: dict[datetime.date, list[float]]
    """The due-settlement book: due date → [principal, amount due back] in yuan."""
    @property
    def trading_pnl(self) -> int:
        """Always 0: a repo's interest is booked as cash at its maturity."""
    @property
    def position_pnl(self) -> int:
        """Always 0 (the same property as :attr:`trading_pnl`)."""
    @property
    def margin(self) -> int:
        """Always 0."""
    @property
    def market_value(self) -> int:
        """Always 0 (the same property as :attr:`margin`)."""
    @property
    def equity(self) -> float:
        """The principal outstanding in yuan, signed: negative (owed) short, positive (lent) long."""
    def __init__(self, order_book_id: str, direction: POSITION_DIRECTION, init_quantity: float = 0) -> None:
        """A position of ``init_quantity`` yuan of principal, with nothing due."""
    def apply_trade(self, trade: RepoTrade) -> float:
        """Book a repo trade and return its cash delta.

        For a financing repo (short) the principal received less the commission,
        positive; for a reverse repo (long) the principal lent plus the commission,
        negative. The amount due back is booked under the due date.

        :raises TypeError: "unsupported trade type: {}" for a trade that is not a
            :class:`~korvane_mod_bond.trade.RepoTrade`; "unsupported bond position type: {}"
            when the pledged bond's long position is not a :class:`BondPosition`.
        """
    def settlement(self, trading_date: datetime.date) -> float:
        """Day end: settle every repo due on or before ``trading_date``; return the cash delta.

        The amounts due back, principal plus interest: negative (paid) for a short
        position, positive (received) for a long one; 0 when nothing is due."""

class BondPositionProxy(StockPositionProxy):
    """How a strategy sees a bond position (``context.position(bond_id)``).

    The framework's stock proxy, whose ``closable`` leaves out pledged bonds and
    whose ``equity`` includes the payment receivable.

    Examples
    --------
    >>> from korvane.const import POSITION_DIRECTION
    >>> from korvane.testing import make_env, make_trade
    >>> from korvane_mod_bond.data import BondInstrument
    >>> from korvane_mod_bond.position import BondPosition, BondPositionProxy
    >>> env = make_env([BondInstrument("019547.XSHG")])
    >>> holding = BondPosition("019547.XSHG", POSITION_DIRECTION.LONG)
    >>> holding.apply_trade(make_trade("019547.XSHG", 1_000, 101.5))
    -101500.0
    >>> view = BondPositionProxy(holding)
    >>> view.type, view.quantity, view.closable, view.equity
    (<INSTRUMENT_TYPE.BOND>, 1000, 1000, 101500.0)
    """

    __instrument_types__: tuple[INSTRUMENT_TYPE, ...]
    """``(INSTRUMENT_TYPE.BOND,)``."""
    @property
    def type(self) -> INSTRUMENT_TYPE:
        """``INSTRUMENT_TYPE.BOND``."""

class RepoPositionProxy(StockPositionProxy):
    """How a strategy sees a repo position: quantity and equity in yuan of principal.

    Examples
    --------
    >>> from korvane.const import POSITION_DIRECTION
    >>> from korvane.testing import make_env
    >>> from korvane_mod_bond.data import RepoInstrument
    >>> from korvane_mod_bond.position import RepoPosition, RepoPositionProxy
    >>> from korvane_mod_bond.trade import RepoTrade
    >>> env = make_env([RepoInstrument("131810.XSHE", repo_period=1)], trading_dt="2024-11-08 09:30")
    >>> lent = RepoPosition("131810.XSHE", POSITION_DIRECTION.LONG)
    >>> lent.apply_trade(RepoTrade.create_exchange_reverse_repo_trade(None, 0.016, 100_000, "131810.XSHE"))
    -100001.0
    >>> view = RepoPositionProxy(lent)
    >>> view.type, view.quantity, view.equity
    (<INSTRUMENT_TYPE.REPO>, 100000, 100000)
    """

    __instrument_types__: tuple[INSTRUMENT_TYPE, ...]
    """``(INSTRUMENT_TYPE.REPO,)``."""
    @property
    def type(self) -> INSTRUMENT_TYPE:
        """``INSTRUMENT_TYPE.REPO``."""
