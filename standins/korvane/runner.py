"""A day-by-day backtest runner.

The clock walks the trading days of the data proxy's calendar between two
dates, both included. Each day:

1. day start: every position's ``before_trading(date)``;
2. the strategy's ``handle_day(context)``: orders go through the frontend
   validators installed for their instrument type and through the framework's
   own cash check (a refusal is logged and recorded, never raised); fills are
   priced by the cost decider of the type and booked on their position;
3. settlement: every position's ``settlement(date)``;
4. marks: positions are marked to the day's quotes and the day is recorded.

Every cash delta that a position returns, in any of these steps, and every
one that an installed hook returns, goes through one place
(:meth:`Backtest._book`), which adds it to the account's cash and appends a
:class:`Booking`. So the final cash is the initial cash plus the sum of the
bookings, taken in order.

Extension packages are installed by instrument type: a position class (and a
position proxy) for every type in its ``__instrument_types__``, validators and
a cost decider for the same types; they may add order functions to the
strategy's context (:meth:`Backtest.add_order_function`), which go through
:meth:`Backtest.validate_order`, then :meth:`Backtest.fill` or
:meth:`Backtest.refuse` and, for a trade that falls due later (a repo),
:meth:`Backtest.track_due_trade`.

Two hooks let a package follow its positions through the day, by instrument type:

- a fill hook (:meth:`Backtest.add_fill_hook`) is called after each fill of its
  types has been applied to its position and the trade's cash delta booked, as
  ``hook(position, trade, quantity_before, trading_date)``, ``quantity_before``
  being the position's quantity before the fill;
- a settlement hook (:meth:`Backtest.add_settlement_hook`) is called after each
  position of its types has settled and its cash delta has been booked, as
  ``hook(position, trading_date)``.

A hook may change its position's state and returns the cash deltas it books,
an iterable of ``(label, amount)`` pairs (None or empty for none): each
non-zero amount is booked as a :class:`Booking` of its own, in the phase of the
step ("trade" or "settlement"), its ``label`` naming it. The positions' own
deltas are booked with an empty label.
"""

import dataclasses
import datetime
import functools
import logging
import math
import numbers

from korvane.const import POSITION_DIRECTION, POSITION_EFFECT, SIDE
from korvane.data import DataProxy, get_trading_calendar
from korvane.environment import Environment
from korvane.interface import AbstractFrontendValidator
from korvane.model.order import Order
from korvane.model.trade import Trade
from korvane.portfolio import Portfolio
from korvane.utils.datetime_func import to_timestamp
from korvane.utils.logger import user_system_log

LONG, SHORT = POSITION_DIRECTION.LONG, POSITION_DIRECTION.SHORT

# Times of day at which the clock stands for each step.
DAY_START = datetime.time(9, 0)
TRADING = datetime.time(9, 30)
SETTLEMENT = datetime.time(15, 30)


@dataclasses.dataclass(frozen=True)
class BondQuote:
    """A bond's price for one day, per bond: ``clean`` without and ``full`` with accrued interest."""

    clean: float
    full: float


@dataclasses.dataclass(frozen=True)
class Booking:
    """One cash delta booked to the account."""

    date: datetime.date
    phase: str  # "before_trading", "trade" or "settlement"
    order_book_id: str
    direction: str
    amount: float  # the delta as the position returned it; positive is cash received
    transaction_cost: float  # of a trade: commission and tax, included in ``amount``
    cash_after: float
    trade: object = None  # the trade, for phase "trade"
    label: str = ""  # what a hook booked (see the module's docstring); "" for a position's own delta


@dataclasses.dataclass
class OrderRecord:
    date: datetime.date
    order: Order
    status: str  # "filled", "refused" or "unfilled"
    messages: list  # what the validators logged about it
    trade: object = None

    @property
    def message(self):
        return " | ".join(self.messages)


@dataclasses.dataclass(frozen=True)
class RepoMaturity:
    """A repo trade that fell due and was settled on ``date``."""

    date: datetime.date
    trade: object
    direction: str

    @property
    def interest(self):
        return self.trade.due_settlement_amount - self.trade.last_quantity


@dataclasses.dataclass(frozen=True)
class DayRecord:
    """The account at the end of one day, and what moved its cash that day."""

    date: datetime.date
    cash_open: float
    day_start: float
    trades: float
    settlement: float
    cash: float
    positions_equity: dict  # (order_book_id, direction) -> equity, for positions that have any
    equity: float
    positions_quantity: dict = dataclasses.field(default_factory=dict)  # the same keys -> quantity


def _initial_cash(cash):
    """The initial cash as a float, checked: a non-negative finite number."""
    if isinstance(cash, bool) or not isinstance(cash, numbers.Real):
        raise ValueError(f"initial cash must be a non-negative number, got {cash!r}")
    try:
        amount = float(cash)
    except OverflowError:
        raise ValueError("initial cash is too large for a float") from None
    if not 0 <= amount < math.inf:
        raise ValueError(f"initial cash must be a non-negative finite number, got {cash!r}")
    return amount


def _price(value):
    """A market price as a float, or None when it is not a finite number."""
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        return None
    try:
        price = float(value)
    except OverflowError:
        return None
    return price if math.isfinite(price) else None


class Strategy:
    """Override ``handle_day``; ``initialize`` runs before the first day, ``finalize`` after the last."""

    def initialize(self, context):
        pass

    def handle_day(self, context):
        raise NotImplementedError

    def finalize(self, context):
        pass


class _Capture(logging.Handler):
    """Collects the user log's messages while an order is being checked."""

    def __init__(self):
        super().__init__(logging.DEBUG)
        self.messages = []

    def emit(self, record):
        self.messages.append(record.getMessage())


class CashValidator(AbstractFrontendValidator):
    """The framework's own check: an order that pays cash out must be covered by available cash."""

    def __init__(self, backtest):
        self._backtest = backtest

    def can_submit_order(self, order, account=None):  # noqa: ARG002 (the framework's signature)
        backtest = self._backtest
        instrument = backtest.env.data_proxy.instruments(order.order_book_id)
        if order.side == SIDE.BUY:
            need = order.frozen_price * order.quantity
        elif order.side == SIDE.MARGIN:
            need = order.quantity
        else:
            return True
        decider = backtest.cost_deciders.get(instrument.type)
        if decider is not None:
            need += decider.get_order_transaction_cost(order)
        available = backtest.available_cash()
        if need > available:
            user_system_log.warning(
                "订单创建失败: {} 可用资金不足, 需要 {} 元, 可用 {} 元".format(
                    order.order_book_id, need, available
                )
            )
            return False
        return True

    def can_cancel_order(self, order, account=None):  # noqa: ARG002 (the framework's signature)
        return True


class Backtest:
    """One run: an environment, the installed packages, a strategy and the clock.

    - ``instruments``: instrument objects for the data proxy;
    - ``market``: an object with ``bond_quote(order_book_id, date)`` (a
      :class:`BondQuote` or None) and ``repo_rate(order_book_id, date)`` (a
      yearly rate or None);
    - ``mods``: installers, each with ``install(backtest)``;
    - ``calendar``: the trading calendar of the data proxy (default: the
      shared XSHG calendar);
    - ``sessions``: the exchange's trading days over a span, which replace the
      calendar's own there (:meth:`TradingCalendar.with_sessions`): one calendar
      for the whole run, also where the installed calendar is out of date;
    - ``progress``: wraps the iterable of days (a progress bar), or None.
    """

    def __init__(
        self,
        strategy,
        start_date,
        end_date,
        *,
        cash,
        instruments,
        market,
        mods=(),
        config=None,
        calendar=None,
        sessions=None,
        progress=None,
    ):
        cash = _initial_cash(cash)
        if sessions is not None:
            calendar = (calendar if calendar is not None else get_trading_calendar()).with_sessions(sessions)
        data_proxy = DataProxy(instruments, calendar=calendar)
        start, end = to_timestamp(start_date), to_timestamp(end_date)
        if start > end:
            raise ValueError(f"start date {start.date()} is after end date {end.date()}")
        days = data_proxy.get_trading_dates(start, end)  # ValueError outside the calendar
        if len(days) == 0:
            raise ValueError(f"no trading day between {start.date()} and {end.date()}")
        self.trading_days = [day.date() for day in days]
        self.strategy = strategy
        self.market = market
        self.initial_cash = cash
        self.progress = progress
        self.env = Environment(
            config=config,
            data_proxy=data_proxy,
            portfolio=Portfolio(cash=cash),
            trading_dt=datetime.datetime.combine(self.trading_days[0], DAY_START),
        )
        self.validators = {}  # instrument type -> [frontend validator]
        self.cost_deciders = {}  # instrument type -> cost decider
        self.proxies = {}  # instrument type -> position proxy class
        self.markers = {}  # instrument type -> mark(position, quote) -> price
        self.fill_hooks = {}  # instrument type -> [hook(position, trade, quantity_before, date)]
        self.settlement_hooks = {}  # instrument type -> [hook(position, date)]
        self.order_functions = {}  # name -> function(context, ...) offered on the context
        self.general_validators = [CashValidator(self)]
        self.bookings = []
        self.orders = []
        self.days = []
        self.repo_trades = []
        self.repo_maturities = []
        self.user_log = []  # (date, message) of everything the user log said
        self._open_repos = []
        self._date = None
        self._capture = None
        for mod in mods:
            mod.install(self)

    # installation ---------------------------------------------------------

    @staticmethod
    def _types(cls_or_types):
        types = getattr(cls_or_types, "__instrument_types__", cls_or_types)
        if isinstance(types, str):
            types = (types,)
        types = tuple(types)
        if not types:
            raise ValueError(f"{cls_or_types!r} names no instrument type")
        return types

    def register_position_class(self, cls):
        """Model the positions of every type in ``cls.__instrument_types__`` with ``cls``."""
        self.env.portfolio.register_position_class(cls)

    def register_proxy(self, cls):
        """Show positions of every type in ``cls.__instrument_types__`` to strategies through ``cls``."""
        for instrument_type in self._types(cls):
            self.proxies[instrument_type] = cls

    def add_validator(self, validator, instrument_types):
        """Ask ``validator`` about every order of the given types (a tuple or a class naming them)."""
        for instrument_type in self._types(instrument_types):
            self.validators.setdefault(instrument_type, []).append(validator)

    def set_cost_decider(self, decider, instrument_types):
        for instrument_type in self._types(instrument_types):
            self.cost_deciders[instrument_type] = decider

    def set_marker(self, mark, instrument_types):
        """``mark(position, quote)`` gives the price at which a position of these types is valued."""
        for instrument_type in self._types(instrument_types):
            self.markers[instrument_type] = mark

    def add_fill_hook(self, hook, instrument_types):
        """Call ``hook(position, trade, quantity_before, trading_date)`` after every fill of
        these types; it returns the ``(label, amount)`` cash deltas to book (see the module)."""
        for instrument_type in self._types(instrument_types):
            self.fill_hooks.setdefault(instrument_type, []).append(hook)

    def add_settlement_hook(self, hook, instrument_types):
        """Call ``hook(position, trading_date)`` after the settlement of every position of these
        types; it returns the ``(label, amount)`` cash deltas to book (see the module)."""
        for instrument_type in self._types(instrument_types):
            self.settlement_hooks.setdefault(instrument_type, []).append(hook)

    def add_order_function(self, name, function):
        """Offer ``function(context, *args, **kwargs)`` to strategies as ``context.<name>(...)``."""
        if hasattr(Context, name) or name in self.order_functions:
            raise ValueError(f"the context already has {name!r}")
        self.order_functions[name] = function

    # running --------------------------------------------------------------

    @property
    def portfolio(self):
        return self.env.portfolio

    def run(self):
        """Run every day and return the :class:`BacktestResult`."""
        if self.days:
            raise RuntimeError("this backtest has already run; build a new one")
        logger = user_system_log.logger
        self._capture = _Capture()
        logger.addHandler(self._capture)
        try:
            context = Context(self)
            self._set_clock(self.trading_days[0], DAY_START)
            self.strategy.initialize(context)
            days = self.progress(self.trading_days) if self.progress else self.trading_days
            for day in days:
                self._run_day(day, context)
            self.strategy.finalize(context)
            self._flush_log()
        finally:
            logger.removeHandler(self._capture)
            self._capture = None
        return BacktestResult(self)

    def _set_clock(self, day, time):
        self._date = day
        self.env.update_time(datetime.datetime.combine(day, time))

    def _run_day(self, day, context):
        cash_open = self.portfolio.cash
        self._set_clock(day, DAY_START)
        day_start = self._drive("before_trading", day)
        self._set_clock(day, TRADING)
        booked_before = len(self.bookings)
        self.strategy.handle_day(context)
        self._flush_log()
        trades = sum(b.amount for b in self.bookings[booked_before:])
        self._set_clock(day, SETTLEMENT)
        settlement = self._drive("settlement", day)
        self._settle_repo_records(day)
        self._mark(day)
        held = [
            (key, position)
            for key, position in self.portfolio.positions.items()
            if position.quantity != 0 or position.equity != 0
        ]
        positions = {key: position.equity for key, position in held}
        self.days.append(
            DayRecord(
                date=day,
                cash_open=cash_open,
                day_start=day_start,
                trades=trades,
                settlement=settlement,
                cash=self.portfolio.cash,
                positions_equity=positions,
                equity=self.portfolio.total_value,
                positions_quantity={key: position.quantity for key, position in held},
            )
        )

    def _drive(self, method, day):
        """Call ``method(day)`` on every position and book each delta; return their sum."""
        total = 0
        # a position may create another (a repo reaching its pledged bond): iterate over a snapshot
        hooks = self.settlement_hooks if method == "settlement" else {}
        for (order_book_id, direction), position in list(self.portfolio.positions.items()):
            delta = getattr(position, method)(day)
            self._check_delta(delta, position, method)
            if delta != 0:
                self._book(method, order_book_id, direction, delta)
            total += delta
            if hooks:
                for hook in hooks.get(self.instrument(order_book_id).type, ()):
                    total += self._book_hook(method, hook(position, day), position, hook)
        return total

    def _book_hook(self, phase, deltas, position, hook, trade=None):
        """Book the ``(label, amount)`` deltas a hook returned; return their sum."""
        total = 0
        name = getattr(hook, "__qualname__", repr(hook))
        for label, amount in deltas or ():
            if not isinstance(label, str) or not label:
                raise TypeError(f"hook {name} returned the label {label!r}: a hook names each delta it books")
            if isinstance(amount, bool) or not isinstance(amount, numbers.Real):
                raise TypeError(
                    f"hook {name} returned {amount!r} as {label!r} of {position.order_book_id!r}, "
                    "not a cash delta"
                )
            if amount != 0:
                self._book(phase, position.order_book_id, position.direction, amount, trade, label)
            total += amount
        return total

    @staticmethod
    def _check_delta(delta, position, method):
        if isinstance(delta, bool) or not isinstance(delta, numbers.Real):
            raise TypeError(
                f"{type(position).__name__}.{method} of {position.order_book_id!r} returned {delta!r}, "
                "not a cash delta"
            )

    def _book(self, phase, order_book_id, direction, amount, trade=None, label=""):
        self.portfolio.cash += amount
        self.bookings.append(
            Booking(
                date=self._date,
                phase=phase,
                order_book_id=order_book_id,
                direction=direction,
                amount=amount,
                # the trade's costs are in its own delta, not in what a hook books beside it
                transaction_cost=trade.transaction_cost if trade is not None and not label else 0.0,
                cash_after=self.portfolio.cash,
                trade=trade,
                label=label,
            )
        )

    def _settle_repo_records(self, day):
        still_open = []
        for trade in self._open_repos:
            if trade.due_settlement_date <= day:
                self.repo_maturities.append(RepoMaturity(day, trade, trade.position_direction))
            else:
                still_open.append(trade)
        self._open_repos = still_open

    def _mark(self, day):
        for (order_book_id, _), position in self.portfolio.positions.items():
            instrument = self.env.data_proxy.instruments(order_book_id)
            mark = self.markers.get(instrument.type)
            if mark is None or position.quantity == 0:
                continue
            quote = self.market.bond_quote(order_book_id, day)
            price = _price(mark(position, quote)) if quote is not None else None
            if price is not None:  # no quote, or not a finite number: the last price stays
                position.update_last_price(price)

    def _flush_log(self):
        if self._capture is not None and self._capture.messages:
            self.user_log.extend((self._date, message) for message in self._capture.messages)
            self._capture.messages.clear()

    # cash -----------------------------------------------------------------

    def available_cash(self):
        """Cash plus what repos falling due today will bring in (less what they take out)
        at today's settlement: money that matures today can be traded today."""
        due_today = 0.0
        for trade in self._open_repos:
            if trade.due_settlement_date <= self._date:
                sign = 1 if trade.position_direction == LONG else -1
                due_today += sign * trade.due_settlement_amount
        return self.portfolio.cash + due_today

    # orders ---------------------------------------------------------------

    def track_due_trade(self, trade):
        """Keep a trade that falls due later (a repo: ``due_settlement_date``,
        ``due_settlement_amount``, ``position_direction``) until its due date has settled."""
        self.repo_trades.append(trade)
        self._open_repos.append(trade)

    def instrument(self, order_book_id):
        instrument = self.env.data_proxy.instruments(order_book_id)
        if instrument is None:
            raise ValueError(f"unknown instrument {order_book_id!r}")
        return instrument

    def validate_order(self, order):
        """Ask the validators of the order's type, then the framework's; return the record."""
        instrument = self.instrument(order.order_book_id)
        self._flush_log()
        record = OrderRecord(self._date, order, "refused", [])
        self.orders.append(record)
        account = self.env.get_account(order.order_book_id)
        accepted = True
        for validator in self.validators.get(instrument.type, []) + self.general_validators:
            if not validator.can_submit_order(order, account):
                accepted = False
                break
        record.messages = list(self._capture.messages) if self._capture else []
        self._flush_log()
        if accepted:
            record.status = "unfilled"
        return record

    def refuse(self, record, message):
        """Refuse the order of ``record``, which its validators accepted, for a reason that
        an order function found: ``message`` is logged as a validator logs its refusal."""
        user_system_log.warning(message)
        self._flush_log()
        record.messages.append(message)
        record.status = "refused"
        return record

    def fill(self, record, trade):
        """Price ``trade`` with the cost decider of its type, book it on its position, call
        the fill hooks of its type and mark the order ``record`` filled."""
        instrument = self.instrument(trade.order_book_id)
        decider = self.cost_deciders.get(instrument.type)
        if decider is not None:
            trade.set_commission(decider.get_trade_commission(trade))
            trade.set_tax(decider.get_trade_tax(trade))
        position = self.portfolio.get_position(trade.order_book_id, trade.position_direction)
        quantity_before = position.quantity
        delta = position.apply_trade(trade)
        self._check_delta(delta, position, "apply_trade")
        self._book("trade", trade.order_book_id, trade.position_direction, delta, trade)
        for hook in self.fill_hooks.get(instrument.type, ()):
            deltas = hook(position, trade, quantity_before, self._date)
            self._book_hook("trade", deltas, position, hook, trade)
        record.status = "filled"
        record.trade = trade
        return record

    def order_bond(self, order_book_id, quantity, side):
        """Buy (open) or sell (close) ``quantity`` bonds at today's full price (as a float; a
        quote whose full price is not a finite number is no quote)."""
        if side not in (SIDE.BUY, SIDE.SELL):
            raise ValueError(f"a bond order buys or sells, got side {side!r}")
        quote = self.market.bond_quote(order_book_id, self._date)
        effect = POSITION_EFFECT.OPEN if side == SIDE.BUY else POSITION_EFFECT.CLOSE
        price = _price(quote.full) if quote is not None else None
        order = Order(order_book_id, quantity, side, position_effect=effect, price=price)
        if price is None:
            return self.no_quote(order)
        record = self.validate_order(order)
        if record.status == "refused":
            return record
        trade = Trade.__from_create__(
            order.order_id, price, quantity, side, effect, order_book_id, frozen_price=price
        )
        return self.fill(record, trade)

    def no_quote(self, order):
        message = f"{order.order_book_id} 在 {self._date} 没有行情, 订单未成交"
        user_system_log.warning(message)
        self._flush_log()
        record = OrderRecord(self._date, order, "unfilled", [message])
        self.orders.append(record)
        return record


class Context:
    """What a strategy sees and does on a trading day."""

    def __init__(self, backtest):
        self._backtest = backtest

    @property
    def backtest(self):
        """The run itself, for order functions that packages add (see ``Backtest.add_order_function``)."""
        return self._backtest

    @property
    def date(self):
        return self._backtest._date

    @property
    def env(self):
        return self._backtest.env

    @property
    def trading_days(self):
        return self._backtest.trading_days

    @property
    def is_last_day(self):
        return self.date == self._backtest.trading_days[-1]

    @property
    def cash(self):
        return self._backtest.portfolio.cash

    @property
    def available_cash(self):
        return self._backtest.available_cash()

    @property
    def open_repos(self):
        """Repo trades not yet settled, in the order they were made."""
        return list(self._backtest._open_repos)

    def instrument(self, order_book_id):
        return self._backtest.instrument(order_book_id)

    def position(self, order_book_id, direction=LONG):
        """The position through the proxy of its instrument type (the position itself without one)."""
        position = self._backtest.portfolio.get_position(order_book_id, direction)
        proxy = self._backtest.proxies.get(self.instrument(order_book_id).type)
        return proxy(position) if proxy is not None else position

    def bond_quote(self, order_book_id):
        return self._backtest.market.bond_quote(order_book_id, self.date)

    def repo_rate(self, order_book_id):
        return self._backtest.market.repo_rate(order_book_id, self.date)

    def buy(self, order_book_id, quantity):
        return self._backtest.order_bond(order_book_id, quantity, SIDE.BUY)

    def sell(self, order_book_id, quantity):
        return self._backtest.order_bond(order_book_id, quantity, SIDE.SELL)

    def __getattr__(self, name):
        function = self._backtest.order_functions.get(name)
        if function is None:
            raise AttributeError(f"{type(self).__name__!r} object has no attribute {name!r}")
        return functools.partial(function, self)


class BacktestResult:
    """What a run leaves behind: bookings, orders, repo trades, daily records."""

    def __init__(self, backtest):
        self.backtest = backtest
        self.initial_cash = backtest.initial_cash
        self.final_cash = backtest.portfolio.cash
        self.final_equity = backtest.days[-1].equity
        self.bookings = list(backtest.bookings)
        self.orders = list(backtest.orders)
        self.days = list(backtest.days)
        self.repo_trades = list(backtest.repo_trades)
        self.repo_maturities = list(backtest.repo_maturities)
        self.open_repos = list(backtest._open_repos)
        self.user_log = list(backtest.user_log)
        self.portfolio = backtest.portfolio
        self.env = backtest.env

    @property
    def start_date(self):
        return self.days[0].date

    @property
    def end_date(self):
        return self.days[-1].date

    def refused_orders(self):
        return [record for record in self.orders if record.status == "refused"]


__all__ = [
    "Backtest",
    "BacktestResult",
    "BondQuote",
    "Booking",
    "CashValidator",
    "Context",
    "DayRecord",
    "OrderRecord",
    "RepoMaturity",
    "Strategy",
]
