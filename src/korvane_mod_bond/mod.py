"""Start-up code: installs the package into a backtest, and the repo order functions.

::

    from korvane.runner import Backtest
    from korvane_mod_bond.mod import BondMod

    Backtest(strategy, start, end, cash=..., instruments=..., market=..., mods=[BondMod()])

:class:`BondMod` registers the package's position classes and proxies, its
order validators and cost deciders, the marks of bond positions, the hooks that
move a bond's accrued interest and the day's payment with the bonds a fill
moves, and the order functions below, which a strategy then calls on its
context:

- ``context.repo(repo_id, bond_id, quantity, haircut)``: borrow cash, pledging bonds;
- ``context.reverse_repo(repo_id, amount)``: lend cash;
- ``context.max_reverse_repo_amount(repo_id, cash=None)``: how much can be lent;
- ``context.pledgeable_quantity(bond_id)``: the bonds free to pledge today.

An argument that cannot make an order raises one ``TypeError`` or
``ValueError`` that names it; an order that the account cannot carry is
refused, its reason logged through the user log, as the validators do. Every
number an order function books is a Python float, whatever type it was given.
"""

from __future__ import annotations

import decimal
import math
import numbers
import operator
import sys
from typing import TYPE_CHECKING, Any

import numpy as np
from korvane.const import INSTRUMENT_TYPE, POSITION_DIRECTION, POSITION_EFFECT, SIDE
from korvane.model.order import Order
from korvane.utils.datetime_func import convert_date_to_date_int
from korvane.utils.functools import lru_cache

from . import _CASH_FLOW_MEMOS, position, transaction, validator
from .trade import RepoTrade
from .utils import calc_repo_commission

if TYPE_CHECKING:
    from collections.abc import Iterable
    from datetime import date

    from korvane.runner import Backtest, BondQuote, Context, OrderRecord

LONG, SHORT = POSITION_DIRECTION.LONG, POSITION_DIRECTION.SHORT

# The smallest face value, in yuan, that an exchange repo pledges, by the repo's exchange: the
# repo validator refuses an order below it, :func:`repo` a fill that its cap brings below it.
MINIMUM_PLEDGE = {"XSHE": 1000, "XSHG": 100000}

# The label of the cash delta that hands the day's payment of a bond to the holders of record
# when bonds change hands on a payment date (see :func:`fill_hook`).
HOLDER_OF_RECORD = "holder_of_record"

__all__ = [
    "HOLDER_OF_RECORD",
    "MINIMUM_PLEDGE",
    "BondMod",
    "face_value",
    "fill_hook",
    "max_reverse_repo_amount",
    "pledgeable_quantity",
    "repo",
    "reverse_repo",
    "settlement_hook",
]


class BondMod:
    """The package's installer: ``mods=[BondMod()]`` makes a backtest trade bonds and repos.

    The framework calls :meth:`install` when the backtest is built. The four
    figures price bond trades
    (:class:`~korvane_mod_bond.transaction.BondTransactionDecider`): inter-bank
    bonds pay ``ib_commission_rate`` of the trade value (a fraction), at least
    ``ib_min_commission`` yuan a trade; exchange bonds pay
    ``exchange_commission_rate``, at most ``exchange_max_commission`` yuan a
    trade. The defaults, 0.001 % with at least 150 yuan inter-bank and 0.002 %
    with at most 100 yuan on exchange, are about what a trade's settlement
    costs there. Repo commissions follow the exchanges' fee schedule
    (:data:`korvane_mod_bond.utils.REPO_COMMISSION_RATES`). The figures are
    checked here: each a finite number, the rates in [0, 1), the minimum and
    the cap 0 or more; anything else raises one ``TypeError`` or ``ValueError``
    that names the figure.

    How bonds are valued is the framework's configuration key
    ``mod.bond.valuation_source``, which the positions read: "exchange" values
    every bond on its realized cash flows; otherwise inter-bank bonds follow
    their implied cash flows. After each day's settlement a position on
    realized cash flows is worth exactly its quantity times the full price. A
    position on implied cash flows is worth its quantity times the clean price
    plus the interest accrued to the latest record of its implied table (the
    month-end sessions, the session before a payment accruing to the payment
    date): it differs from quantity times the full price only by the interest
    accrued since that record.

    Bonds bought or sold carry their accrued interest and the day's payment
    with them (:func:`fill_hook`): the buyer's receivable gains what a holder
    since the last payment carries, the seller's gives up the sold bonds'
    share, and on a payment date the holders at the day's start are paid.

    ``cash_flow_memo_size`` (keyword only) sizes the memos of the cash-flow
    tables: each kind of table (realized, implied) keeps the tables of that many
    bonds, the least recently used dropped first. None, the default, keeps the
    framework's own memos of 1,024 bonds a kind. A book holding more bonds of
    one kind than its memo keeps rebuilds every table every day (the framework
    visits the positions in a cycle): give a size of at least the bonds a kind
    held, such as ``BondMod(cash_flow_memo_size=4096)``. The size is a whole
    number of bonds, 1 or more: an ``int`` or an integer of NumPy's; a float,
    even a whole one, or a bool raises a ``TypeError``, a size below 1 a
    ``ValueError``, each naming ``cash_flow_memo_size``.

    :meth:`install` binds the memos in the position module, around the same
    builders, and they serve the process from then on: a backtest built with
    another ``BondMod`` binds its own, one without the setting the framework's
    memos again. Memos bound anew start empty, so no table memoised for one
    backtest serves another with another setting; a backtest with the same
    setting as the one before keeps its tables, as the framework's memos do.
    :func:`korvane_mod_bond.clear_cash_flow_memos` clears whichever memos are
    bound. A memo name that code of one's own has rebound to a function that
    is not a memo is left as it is.

    Examples
    --------
    >>> from korvane.runner import Backtest, Strategy
    >>> from korvane_mod_bond.mod import BondMod
    >>> BondMod().commission  # the defaults: inter-bank rate and floor, exchange rate and cap
    (1e-05, 150.0, 2e-05, 100.0)
    >>> BondMod(exchange_max_commission=-1)
    Traceback (most recent call last):
        ...
    ValueError: BondMod: exchange_max_commission must be 0 or more yuan, got -1
    >>> BondMod(cash_flow_memo_size=4096).cash_flow_memo_size  # a book of up to 4,096 bonds a kind
    4096
    >>> BondMod(cash_flow_memo_size=4096.0)
    Traceback (most recent call last):
        ...
    TypeError: BondMod: cash_flow_memo_size must be a whole number of bonds (an int), or None, got 4096.0

    Given to a backtest among its ``mods``, it offers the order functions on the
    strategy's context:

    >>> backtest = Backtest(Strategy(), "2024-11-15", "2024-11-15", cash=1_000_000.0, instruments=[],
    ...                     market=None, mods=[BondMod(exchange_max_commission=50.0)])
    >>> sorted(backtest.order_functions)
    ['max_reverse_repo_amount', 'pledgeable_quantity', 'repo', 'reverse_repo']
    """

    def __init__(
        self,
        ib_commission_rate: float = 0.00001,
        ib_min_commission: float = 150.0,
        exchange_commission_rate: float = 0.00002,
        exchange_max_commission: float = 100.0,
        *,
        cash_flow_memo_size: int | None = None,
    ) -> None:
        self.commission = _commission_figures(
            ib_commission_rate,
            ib_min_commission,
            exchange_commission_rate,
            exchange_max_commission,
        )
        """The four figures, as floats, in the order of ``BondTransactionDecider``'s parameters."""
        self.cash_flow_memo_size = _memo_size(cash_flow_memo_size)
        """The bonds each cash-flow memo keeps, an ``int``; None for the framework's memos."""

    def install(self, backtest: Backtest) -> None:
        """Register the package's parts with ``backtest``, through its installer interface.

        The position classes and proxies by their ``__instrument_types__``, the two
        validators, the two cost deciders, the marks of bond positions
        (``mark``: the clean price or the full price), the fill and settlement hooks
        of bond positions (:func:`fill_hook`, :func:`settlement_hook`) and the order
        functions. Then the cash-flow memos of :attr:`cash_flow_memo_size` are
        bound in the position module (see the class).

        :raises ValueError: when the package is installed in ``backtest`` already.
        """
        if any(function.__name__ in backtest.order_functions for function in ORDER_FUNCTIONS):
            raise ValueError(
                "BondMod: the package is installed in this backtest already; give mods one BondMod"
            )
        _bind_cash_flow_memos(self.cash_flow_memo_size)
        env = backtest.env
        for cls in (position.BondPosition, position.RepoPosition):
            backtest.register_position_class(cls)
        for cls in (position.BondPositionProxy, position.RepoPositionProxy):
            backtest.register_proxy(cls)
        backtest.add_validator(validator.BondValidator(env), position.BondPosition)
        backtest.add_validator(validator.RepoValidator(env), position.RepoPosition)
        backtest.set_cost_decider(transaction.BondTransactionDecider(*self.commission), position.BondPosition)
        backtest.set_cost_decider(transaction.RepoTransactionDecider(), position.RepoPosition)
        backtest.set_marker(mark, position.BondPosition)
        backtest.add_fill_hook(fill_hook, position.BondPosition)
        backtest.add_settlement_hook(settlement_hook, position.BondPosition)
        for function in ORDER_FUNCTIONS:
            backtest.add_order_function(function.__name__, function)


def mark(bond_position: position.BondPosition, quote: BondQuote) -> float:
    """The price, in yuan a bond, at which a bond position is valued.

    A bond that follows implied cash flows carries its accrued interest as a
    receivable, so it is marked at the clean price; every other bond at the full
    price."""
    return quote.clean if isinstance(bond_position, position.BondPositionWithImpliedCashFlow) else quote.full


def fill_hook(
    bond_position: position.BondPosition,
    trade: object,  # noqa: ARG001 (the framework's signature: the fill is read off the position)
    quantity_before: float,
    trading_date: date,
) -> Iterable[tuple[str, float]]:
    """After a fill of ``Δq`` bonds (positive bought, negative sold) on ``trading_date``,
    move the receivable and the day's payment with the bonds.

    With ``c`` the position's own payment per bond that day (0 off payment dates,
    where prices are ex-payment):

    - the buyer's receivable gains ``b·Δq``: ``b`` is ``c`` on a payment date,
      otherwise what a holder since the bond's last payment carries after the day's
      start: on implied cash flows, what the implied table made receivable after
      the last payment up to and including that day; on realized cash flows 0 (the
      position is marked at the full price, which carries the accrued interest);
    - the seller's receivable gives up the sold bonds' share (``R·|Δq|/q_before``),
      so a position emptied by a sale carries exactly 0;
    - on a payment date, ``-c·Δq`` is booked under the label ``"holder_of_record"``:
      the day's settlement pays the bonds held at its end, so a buyer gives back what
      it will receive on the bonds it bought and a seller receives the payment on the
      bonds it sold. The holders at the day's start are the ones paid.
    """
    quantity = bond_position.quantity
    change = quantity - quantity_before
    if change == 0:
        return ()
    payment = bond_position._get_cash_flow(trading_date)[0]
    receivable = bond_position._payment_receivable
    if change > 0:
        per_bond = payment if payment else _receivable_per_bond(bond_position, trading_date)
        bond_position._payment_receivable = receivable + per_bond * change
    else:
        bond_position._payment_receivable = receivable * quantity / quantity_before if quantity else 0.0
    return ((HOLDER_OF_RECORD, -payment * change),) if payment else ()


def settlement_hook(
    bond_position: position.BondPosition,
    trading_date: date,  # noqa: ARG001 (the framework's signature)
) -> Iterable[tuple[str, float]]:
    """After a bond position's settlement: one that holds no bonds carries no receivable.

    A redemption pays the receivable built up record by record out of the whole
    payment, which leaves float dust behind; it is cleared here. Books nothing."""
    if bond_position.quantity == 0 and bond_position._payment_receivable != 0:
        bond_position._payment_receivable = 0.0
    return ()


def _receivable_per_bond(bond_position, trading_date):
    """The receivable a bond of ``bond_position`` carries after the day start of
    ``trading_date`` when held since the bond's last payment: on implied cash flows,
    the receivables of the implied table's records after the last payment up to and
    including that day; 0.0 on realized cash flows."""
    if not isinstance(bond_position, position.BondPositionWithImpliedCashFlow):
        return 0.0
    table = position._all_implied_cash_flow(bond_position._order_book_id)
    if table is None:
        return 0.0
    end = int(np.searchsorted(table["date"], convert_date_to_date_int(trading_date), side="right"))
    paid = np.flatnonzero(table["cash_flow"][:end])
    start = int(paid[-1]) + 1 if len(paid) else 0
    return float(table["payment_receivable"][start:end].sum())


def face_value(bond_ins: Any, day: date) -> float:
    """The face value of one bond on ``day``, in yuan: the issue price of ``bond_ins`` (the
    bond's instrument) less the principal repaid by then, never below 0. The principal is
    the realized cash flows' up to and including ``day``: prices on a payment date are
    ex-payment.

    Examples
    --------
    The bundled 127001.XSHE repays 30 of its 100 on 15 March 2024:

    >>> import datetime
    >>> from pelvorn import bond
    >>> from korvane_mod_bond.data import instrument_from_record
    >>> from korvane_mod_bond.mod import face_value
    >>> bond_ins = instrument_from_record(bond.instrument_info("127001.XSHE"))
    >>> face_value(bond_ins, datetime.date(2024, 3, 14)), face_value(bond_ins, datetime.date(2024, 3, 15))
    (100.0, 70.0)
    """
    table = position._all_real_cash_flow(bond_ins.order_book_id)
    repaid = 0.0
    if table is not None:
        end = int(np.searchsorted(table["payment_date"], convert_date_to_date_int(day), side="right"))
        if end:
            repaid = float(table["cum_principal_payment"][end - 1])
    return max(0.0, float(bond_ins.issue_price) - repaid)


def repo(context: Context, repo_id: str, bond_id: str, quantity: float, haircut: float) -> OrderRecord:
    """Borrow cash for the repo's period, pledging ``quantity`` bonds of ``bond_id``.

    Called on the context, ``context.repo(repo_id, bond_id, quantity, haircut)``.
    The bond trades on the repo's own market. The order's amount is the pledge's
    face value: ``quantity`` times the bond's current face (its issue price less
    the principal already repaid, :func:`face_value`); the cash borrowed is that
    amount times ``haircut``, the share of the pledged face value lent (the
    exchange's conversion ratio). A fill is capped at the bonds free to pledge
    (:func:`pledgeable_quantity`), in whole lots; the order is refused when none
    are free, or when the capped pledge's face falls below the exchange's
    minimum (:data:`MINIMUM_PLEDGE`). The trade's ``pledged_quantity`` is a whole
    number of bonds, which can be pledged again (a roll). The principal borrowed
    comes in at once, less the commission; the amount due back, principal plus
    interest, goes out at the settlement of the due day. A rate that is not a
    finite number is no quote: the order stays unfilled. Returns the framework's
    order record.

    :raises TypeError: for an id that is not a string or a number that is not one.
    :raises ValueError: for an unknown instrument or one of the wrong type, a bond
        of another market than the repo's, a quantity that is not a positive whole
        number of the bond's lots, a haircut outside (0, 1], a number too large for
        a float.

    Examples
    --------
    Buy 10,000 bonds and borrow 90 % of their face value overnight, on a Friday:

    >>> from types import SimpleNamespace
    >>> from korvane.runner import Backtest, BondQuote, Strategy
    >>> from pelvorn import bond
    >>> from korvane_mod_bond.data import instrument_from_record
    >>> from korvane_mod_bond.mod import BondMod
    >>> instruments = [instrument_from_record(bond.instrument_info(i)) for i in bond.all_instruments().index]
    >>> market = SimpleNamespace(bond_quote=lambda order_book_id, day: BondQuote(clean=101.0, full=101.5),
    ...                          repo_rate=lambda order_book_id, day: 0.018)
    >>> class Borrow(Strategy):
    ...     def handle_day(self, context):
    ...         context.buy("019547.XSHG", 10_000)
    ...         self.order = context.repo("204001.XSHG", "019547.XSHG", 10_000, 0.9)
    >>> strategy = Borrow()
    >>> result = Backtest(strategy, "2024-11-15", "2024-11-15", cash=1_100_000.0, instruments=instruments,
    ...                   market=market, mods=[BondMod()]).run()
    >>> trade = strategy.order.trade
    >>> strategy.order.status, trade.last_quantity, trade.pledged_quantity
    ('filled', 900000.0, 10000.0)
    >>> trade.due_settlement_date, trade.due_settlement_amount  # Monday: 3 days' interest at 1.8 %
    (datetime.date(2024, 11, 18), 900133.1506849315)
    >>> [(b.order_book_id, b.amount) for b in result.bookings]  # the bonds paid, the principal less 9 yuan
    [('019547.XSHG', -1015020.3), ('204001.XSHG', 899991.0)]
    """
    repo_ins = _instrument(context, "repo", "repo_id", repo_id, INSTRUMENT_TYPE.REPO)
    bond_ins = _instrument(context, "repo", "bond_id", bond_id, INSTRUMENT_TYPE.BOND)
    if bond_ins.exchange != repo_ins.exchange:
        raise ValueError(
            f"repo: bond_id {bond_id!r} trades on {bond_ins.exchange}, "
            f"repo_id {repo_id!r} on {repo_ins.exchange}: a repo pledges bonds of its own market"
        )
    quantity = _lots("repo", "quantity", quantity, bond_ins)
    share = _number("repo", "haircut", haircut)
    if not 0 < share <= 1:
        raise ValueError(
            f"repo: haircut must be a share of the pledged face value in (0, 1], got {_shown(haircut)}"
        )
    backtest = context.backtest
    face = face_value(bond_ins, context.date)
    rate = _rate(context.repo_rate(repo_id))
    order = Order(
        repo_id,
        quantity * face,
        SIDE.FINANCING,
        position_effect=POSITION_EFFECT.OPEN,
        position_direction=SHORT,
        price=rate,
        bond_order_book_id=bond_id,
        haircut=share,
    )
    if rate is None:
        return backtest.no_quote(order)
    record = backtest.validate_order(order)
    if record.status == "refused":
        return record
    lot = bond_ins.round_lot
    pledged = float(min(quantity, math.floor(pledgeable_quantity(context, bond_id) / lot) * lot))
    if not pledged > 0:
        return backtest.refuse(record, "正回购失败，{} 没有可质押的持仓".format(bond_id))
    amount = pledged * face
    minimum = MINIMUM_PLEDGE.get(repo_ins.exchange, 0)
    if amount < minimum:
        return backtest.refuse(
            record,
            "正回购失败，{} 可质押持仓的票面价值 {} 元低于场内最低抵押名义价值 {} 元".format(
                bond_id, amount, minimum
            ),
        )
    trade = RepoTrade.create_exchange_repo_trade(
        order.order_id, rate, amount, repo_id, hairbut=share, bond_id=bond_id, pledged_quantity=pledged
    )
    backtest.track_due_trade(trade)
    return backtest.fill(record, trade)


def reverse_repo(context: Context, repo_id: str, amount: float) -> OrderRecord:
    """Lend ``amount`` yuan of cash for the repo's period.

    Called on the context, ``context.reverse_repo(repo_id, amount)``. The amount is
    a whole number of the repo's lots (1,000 yuan); it goes out at once with the
    commission, and comes back with the interest at the settlement of the due day.
    A rate that is not a finite number is no quote: the order stays unfilled.
    Returns the framework's order record.

    :raises TypeError: for an id that is not a string or an amount that is not a number.
    :raises ValueError: for an unknown instrument or one that is not a repo, an
        amount that is not a positive whole number of lots or too large for a float.

    Examples
    --------
    Lend 100,000 yuan overnight on a Friday; it comes back on Monday:

    >>> from types import SimpleNamespace
    >>> from korvane.runner import Backtest, BondQuote, Strategy
    >>> from pelvorn import bond
    >>> from korvane_mod_bond.data import instrument_from_record
    >>> from korvane_mod_bond.mod import BondMod
    >>> instruments = [instrument_from_record(bond.instrument_info(i)) for i in bond.all_instruments().index]
    >>> market = SimpleNamespace(bond_quote=lambda order_book_id, day: BondQuote(clean=101.0, full=101.5),
    ...                          repo_rate=lambda order_book_id, day: 0.018)
    >>> class Lend(Strategy):
    ...     def handle_day(self, context):
    ...         if context.date == context.trading_days[0]:
    ...             context.reverse_repo("131810.XSHE", 100_000)
    >>> result = Backtest(Lend(), "2024-11-15", "2024-11-18", cash=1_000_000.0, instruments=instruments,
    ...                   market=market, mods=[BondMod()]).run()
    >>> [(b.date.isoformat(), b.phase, b.amount) for b in result.bookings]  # lent with 1 yuan of commission
    [('2024-11-15', 'trade', -100001.0), ('2024-11-18', 'settlement', 100014.79452054796)]
    """
    repo_ins = _instrument(context, "reverse_repo", "repo_id", repo_id, INSTRUMENT_TYPE.REPO)
    amount = _lots("reverse_repo", "amount", amount, repo_ins)
    backtest = context.backtest
    rate = _rate(context.repo_rate(repo_id))
    order = Order(
        repo_id,
        amount,
        SIDE.MARGIN,
        position_effect=POSITION_EFFECT.OPEN,
        position_direction=LONG,
        price=rate,
        haircut=1,
    )
    if rate is None:
        return backtest.no_quote(order)
    record = backtest.validate_order(order)
    if record.status == "refused":
        return record
    trade = RepoTrade.create_exchange_reverse_repo_trade(order.order_id, rate, amount, repo_id)
    backtest.track_due_trade(trade)
    return backtest.fill(record, trade)


def max_reverse_repo_amount(context: Context, repo_id: str, cash: float | None = None) -> float:
    """The largest amount, in whole lots of the repo, that can be lent out of ``cash``.

    Called on the context, ``context.max_reverse_repo_amount(repo_id)``. The
    amount and its commission are covered by ``cash`` (default: the available
    cash, which counts what repos falling due today bring in or take out); 0.0
    when not one lot is covered.

    Examples
    --------
    >>> from types import SimpleNamespace
    >>> from korvane.runner import Backtest, BondQuote, Strategy
    >>> from pelvorn import bond
    >>> from korvane_mod_bond.data import instrument_from_record
    >>> from korvane_mod_bond.mod import BondMod
    >>> instruments = [instrument_from_record(bond.instrument_info(i)) for i in bond.all_instruments().index]
    >>> market = SimpleNamespace(bond_quote=lambda order_book_id, day: BondQuote(clean=101.0, full=101.5),
    ...                          repo_rate=lambda order_book_id, day: 0.018)
    >>> class Lend(Strategy):
    ...     def handle_day(self, context):
    ...         self.amounts = (context.max_reverse_repo_amount("204001.XSHG"),
    ...                         context.max_reverse_repo_amount("204001.XSHG", cash=50_500.0))
    >>> strategy = Lend()
    >>> result = Backtest(strategy, "2024-11-15", "2024-11-15", cash=1_000_000.0, instruments=instruments,
    ...                   market=market, mods=[BondMod()]).run()
    >>> strategy.amounts  # whole lots of 1,000 yuan, each with its commission
    (999000.0, 50000.0)
    """
    repo_ins = _instrument(context, "max_reverse_repo_amount", "repo_id", repo_id, INSTRUMENT_TYPE.REPO)
    if cash is None:
        cash = float(context.available_cash)
    else:
        cash = _number("max_reverse_repo_amount", "cash", cash)
    lot = repo_ins.round_lot
    lots = max(math.floor(RepoTrade.calc_max_amount(repo_id, cash) / lot), 0)
    # cash / (1 + rate) can fall a hair short of a whole number of lots that the cash does
    # cover (100,005 yuan lends 100,000 on GC007 at 0.005 %): the next lot is taken when it
    # and its commission, reckoned as the order's cost is, are covered
    if (lots + 1) * lot + calc_repo_commission(repo_id, (lots + 1) * lot) <= cash:
        lots += 1
    return float(lots * lot)


def pledgeable_quantity(context: Context, bond_id: str) -> float:
    """The bonds of ``bond_id`` free to pledge today.

    Called on the context, ``context.pledgeable_quantity(bond_id)``: the closable
    holding and the collateral of the repos falling due today. The pledge of a maturing repo is
    released only by the day's settlement, but the exchange frees its collateral for
    a new repo on the same day, as it frees the cash repaid for trading: a repo is
    rolled on its due day on the same bonds. Never below 0, not even for bonds
    redeemed while pledged.

    Examples
    --------
    Pledge 6,000 of 10,000 bonds overnight on a Friday; on Monday, the repo's due day,
    all 10,000 are free to pledge again:

    >>> from types import SimpleNamespace
    >>> from korvane.runner import Backtest, BondQuote, Strategy
    >>> from pelvorn import bond
    >>> from korvane_mod_bond.data import instrument_from_record
    >>> from korvane_mod_bond.mod import BondMod
    >>> instruments = [instrument_from_record(bond.instrument_info(i)) for i in bond.all_instruments().index]
    >>> market = SimpleNamespace(bond_quote=lambda order_book_id, day: BondQuote(clean=101.0, full=101.5),
    ...                          repo_rate=lambda order_book_id, day: 0.018)
    >>> class Pledge(Strategy):
    ...     def initialize(self, context):
    ...         self.free = []
    ...     def handle_day(self, context):
    ...         if context.date == context.trading_days[0]:
    ...             context.buy("019547.XSHG", 10_000)
    ...             context.repo("204001.XSHG", "019547.XSHG", 6_000, 0.9)
    ...         self.free.append(context.pledgeable_quantity("019547.XSHG"))
    >>> strategy = Pledge()
    >>> result = Backtest(strategy, "2024-11-15", "2024-11-18", cash=1_100_000.0, instruments=instruments,
    ...                   market=market, mods=[BondMod()]).run()
    >>> strategy.free
    [4000.0, 10000.0]
    """
    _instrument(context, "pledgeable_quantity", "bond_id", bond_id, INSTRUMENT_TYPE.BOND)
    closable = context.backtest.portfolio.get_position(bond_id, LONG).closable
    maturing = sum(
        t.pledged_quantity
        for t in context.open_repos
        if t.position_direction == SHORT and t.bond_id == bond_id and t.due_settlement_date <= context.date
    )
    # a bond redeemed while pledged holds 0 bonds and still files its pledges until the repo is due
    return float(max(0.0, closable + maturing))


ORDER_FUNCTIONS = (repo, reverse_repo, max_reverse_repo_amount, pledgeable_quantity)


# Argument checks: one line that names the function and the argument ------------


def _instrument(context, function, name, order_book_id, kind):
    """The instrument of ``order_book_id``, checked to be of type ``kind``."""
    if not isinstance(order_book_id, str):
        raise TypeError(f"{function}: {name} must be an order book id (a str), got {order_book_id!r}")
    instrument = context.env.data_proxy.instruments(order_book_id)
    if instrument is None:
        raise ValueError(f"{function}: {name} {order_book_id!r} is not a known instrument")
    if instrument.type != kind:
        raise ValueError(
            f"{function}: {name} {order_book_id!r} is an instrument of type {instrument.type}, not {kind}"
        )
    return instrument


def _number(function, name, value):
    """``value`` as a float, checked to be a finite real number (Decimal included).

    Converted first and compared after: a float subclass cannot pass with comparisons of its own."""
    if isinstance(value, bool) or not isinstance(value, (numbers.Real, decimal.Decimal)):
        raise TypeError(f"{function}: {name} must be a number, got {_shown(value)}")
    try:
        number = float(value)
    except OverflowError:
        raise ValueError(f"{function}: {name} is too large for a float, got {_shown(value)}") from None
    except ValueError:  # a signalling NaN
        number = math.nan
    except TypeError:  # a number whose own conversion fails
        raise TypeError(f"{function}: {name} must be a number, got {_shown(value)}") from None
    if not math.isfinite(number):
        raise ValueError(f"{function}: {name} must be finite, got {_shown(value)}")
    return number


def _lots(function, name, value, instrument):
    """``value`` as a float, checked to be a positive whole number of ``instrument``'s lots."""
    number = _number(function, name, value)
    if not number > 0:
        raise ValueError(f"{function}: {name} must be positive, got {_shown(value)}")
    lot = instrument.round_lot
    if number % lot != 0:
        raise ValueError(
            f"{function}: {name} {_shown(value)} is not a whole number of lots of {instrument.order_book_id} "
            f"({lot:,} a lot)"
        )
    return number


def _rate(value):
    """The market's repo rate as a float, or None (no quote) for anything but a finite number."""
    if isinstance(value, bool) or not isinstance(value, (numbers.Real, decimal.Decimal)):
        return None
    try:
        rate = float(value)
    except (OverflowError, ValueError):
        return None
    return rate if math.isfinite(rate) else None


def _shown(value):
    """``repr(value)`` for an error message, shortened to a readable length."""
    try:
        text = repr(value)
    except ValueError:  # an integer too long to print
        return f"an integer of {value.bit_length():,} bits"
    return text if len(text) <= 60 else f"{text[:28]}...{text[-28:]} ({len(text):,} characters)"


def _memo_size(value):
    """BondMod's ``cash_flow_memo_size``, checked: None, or a whole number of bonds from 1."""
    if value is None:
        return None
    if isinstance(value, (bool, np.bool_)) or not hasattr(type(value), "__index__"):
        raise TypeError(
            "BondMod: cash_flow_memo_size must be a whole number of bonds (an int), or None, "
            f"got {_shown(value)}"
        )
    size = operator.index(value)
    if size < 1:
        raise ValueError(f"BondMod: cash_flow_memo_size must be 1 or more bonds, got {_shown(value)}")
    if size > sys.maxsize:
        raise ValueError(
            f"BondMod: cash_flow_memo_size must be at most {sys.maxsize} bonds, got {_shown(value)}"
        )
    return size


# The memos that BondMod bound in the position module for a cash_flow_memo_size, by
# name: (the memo bound, what it replaced there). A name rebound since by other code
# is no longer BondMod's.
_sized_memos: dict[str, tuple[Any, Any]] = {}


def _bind_cash_flow_memos(size):
    """Bind, in the position module, memos keeping ``size`` bonds around each kind's
    builder, or for None what the position module held before BondMod bound any (the
    framework's memos). Memos bound anew start empty: the ones made here are, the ones
    given back are cleared (``clear_cash_flow_memos`` cleared only those bound)."""
    for name in _CASH_FLOW_MEMOS:
        bound = getattr(position, name)
        ours, replaced = _sized_memos.get(name, (None, bound))
        if ours is not bound:
            ours, replaced = None, bound
            _sized_memos.pop(name, None)
        if size is None:
            if ours is not None:
                setattr(position, name, replaced)
                del _sized_memos[name]
                replaced.cache_clear()
            continue
        if ours is not None and ours.cache_info().maxsize == size:
            continue
        builder = getattr(replaced, "__wrapped__", None)
        if builder is None or not callable(getattr(replaced, "cache_clear", None)):
            continue  # rebound to a function of one's own: left as it is
        memo = lru_cache(size)(builder)
        setattr(position, name, memo)
        _sized_memos[name] = (memo, replaced)


# BondMod's four figures, in the order of BondTransactionDecider's parameters: a rate is a
# fraction of the trade value, an amount is yuan.
_COMMISSION_FIGURES = (
    ("ib_commission_rate", "rate"),
    ("ib_min_commission", "amount"),
    ("exchange_commission_rate", "rate"),
    ("exchange_max_commission", "amount"),
)


def _commission_figures(*values):
    """BondMod's four figures as floats, each checked."""
    figures = []
    for (name, kind), value in zip(_COMMISSION_FIGURES, values):
        figure = _number("BondMod", name, value)
        if kind == "rate" and not 0 <= figure < 1:
            raise ValueError(
                f"BondMod: {name} must be a share of the trade value in [0, 1), got {_shown(value)}"
            )
        if kind == "amount" and not figure >= 0:
            raise ValueError(f"BondMod: {name} must be 0 or more yuan, got {_shown(value)}")
        figures.append(figure)
    return tuple(figures)
