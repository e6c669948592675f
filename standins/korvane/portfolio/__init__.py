"""The portfolio: cash and positions, created on demand by instrument type."""

from korvane.const import POSITION_DIRECTION
from korvane.environment import Environment
from korvane.portfolio.position import Position

__all__ = ["Portfolio", "Position"]


class Portfolio:
    """Cash plus one position per (order book id, direction).

    The portfolio is also its own single account: ``portfolio.account`` is the
    portfolio, and ``get_position`` serves both roles.

    The position class of an instrument is looked up by the instrument's
    ``type`` among the classes registered with :meth:`register_position_class`
    (each registered for every type in its ``__instrument_types__``); types
    without a registered class get a plain :class:`Position`.

    ``apply_trade``, ``before_trading`` and ``settlement`` drive every position
    the way the event loop would and book the cash deltas they return.
    """

    def __init__(self, cash=0.0, position_classes=()):
        self.cash = cash
        self._positions = {}
        self._position_classes = {}
        for cls in position_classes:
            self.register_position_class(cls)

    def register_position_class(self, cls):
        """Use ``cls`` for the instruments of every type in ``cls.__instrument_types__``."""
        types = getattr(cls, "__instrument_types__", ())
        if not types:
            raise ValueError(f"{cls.__name__} names no instrument type in __instrument_types__")
        for instrument_type in types:
            self._position_classes[instrument_type] = cls
        return cls

    def position_class(self, instrument_type):
        return self._position_classes.get(instrument_type, Position)

    @property
    def account(self):
        return self

    def get_position(self, order_book_id, direction=POSITION_DIRECTION.LONG):
        """The position of ``order_book_id`` in ``direction``, created empty on first request."""
        key = (order_book_id, direction)
        position = self._positions.get(key)
        if position is None:
            instrument = Environment.get_instance().data_proxy.instruments(order_book_id)
            if instrument is None:
                raise ValueError(
                    f"unknown instrument {order_book_id!r}: register it with the data proxy first"
                )
            position = self.position_class(instrument.type)(order_book_id, direction)
            self._positions[key] = position
        return position

    def get_positions(self):
        """Positions that currently hold a non-zero quantity."""
        return [p for p in self._positions.values() if p.quantity != 0]

    @property
    def positions(self):
        """Every position created so far, keyed by (order book id, direction)."""
        return dict(self._positions)

    @property
    def total_value(self):
        return self.cash + sum(p.equity for p in self._positions.values())

    def apply_trade(self, trade):
        """Book ``trade`` on its position and return the cash delta."""
        delta = self.get_position(trade.order_book_id, trade.position_direction).apply_trade(trade)
        self.cash += delta
        return delta

    def before_trading(self, trading_date):
        return self._book_all("before_trading", trading_date)

    def settlement(self, trading_date):
        return self._book_all("settlement", trading_date)

    def _book_all(self, method, trading_date):
        total = 0
        # A position may create another (a repo reaching its pledged bond), so
        # iterate over a snapshot.
        for position in list(self._positions.values()):
            total += getattr(position, method)(trading_date)
        self.cash += total
        return total
