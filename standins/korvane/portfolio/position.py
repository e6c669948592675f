"""The position model: the holding of one instrument in one direction."""

from korvane.const import POSITION_DIRECTION, POSITION_EFFECT
from korvane.environment import Environment


class Position:
    """Quantity, average cost and last price of one instrument in one direction.

    Quantity is kept in two parts: ``_old_quantity``, carried from earlier days,
    and ``_today_quantity``, opened today; settlement rolls today's into old.
    Closing takes from old quantity first (``CLOSE_TODAY`` from today's first).
    Everything held can be closed at once (``closable`` is the whole quantity):
    trading is T+0 here and nothing is frozen for pending orders.

    Subclasses name the instrument types they model in ``__instrument_types__``;
    the portfolio picks the class by the instrument's type.
    """

    __instrument_types__ = ()

    def __init__(self, order_book_id, direction, init_quantity=0):
        if direction not in (POSITION_DIRECTION.LONG, POSITION_DIRECTION.SHORT):
            raise ValueError(f"unknown position direction {direction!r}")
        self._env = Environment.get_instance()
        self._order_book_id = order_book_id
        self._direction = direction
        self._direction_factor = 1 if direction == POSITION_DIRECTION.LONG else -1
        self._old_quantity = init_quantity
        self._today_quantity = 0
        self._avg_price = 0.0
        self._last_price = None
        self._transaction_cost = 0.0

    def __repr__(self):
        return f"{type(self).__name__}({self._order_book_id!r}, {self._direction}, quantity={self.quantity})"

    @property
    def order_book_id(self):
        return self._order_book_id

    @property
    def direction(self):
        return self._direction

    @property
    def quantity(self):
        return self._old_quantity + self._today_quantity

    @property
    def old_quantity(self):
        return self._old_quantity

    @property
    def today_quantity(self):
        return self._today_quantity

    @property
    def closable(self):
        """Quantity that can be closed now: the whole holding."""
        return self._old_quantity + self._today_quantity

    @property
    def avg_price(self):
        return self._avg_price

    @property
    def last_price(self):
        """The latest price seen (a fill or :meth:`update_last_price`), None before any."""
        return self._last_price

    @property
    def transaction_cost(self):
        """Commission and tax of every trade booked so far."""
        return self._transaction_cost

    @property
    def market_value(self):
        return 0 if self._last_price is None else self._last_price * self.quantity

    @property
    def equity(self):
        """Last price times quantity, signed by direction; 0 before any price is known."""
        return 0 if self._last_price is None else self._last_price * self.quantity * self._direction_factor

    def update_last_price(self, price):
        self._last_price = price

    def apply_trade(self, trade):
        """Book a fill and return its cash delta (positive when cash comes in).

        Opening a long or closing a short pays ``price * quantity``; opening a
        short or closing a long receives it. The trade's transaction cost is
        always paid.
        """
        if trade.order_book_id != self._order_book_id:
            raise ValueError(
                f"trade of {trade.order_book_id!r} applied to the position of {self._order_book_id!r}"
            )
        if trade.position_direction != self._direction:
            raise ValueError(
                f"{trade.position_direction} trade applied to the {self._direction} position "
                f"of {self._order_book_id!r}"
            )
        price, quantity = trade.last_price, trade.last_quantity
        effect = trade.position_effect
        if effect == POSITION_EFFECT.OPEN:
            total_cost = self._avg_price * self.quantity + price * quantity
            self._today_quantity += quantity
            self._avg_price = total_cost / self.quantity if self.quantity else 0.0
            cash = -price * quantity * self._direction_factor
        elif effect in (POSITION_EFFECT.CLOSE, POSITION_EFFECT.CLOSE_TODAY):
            if quantity > self.quantity:
                raise ValueError(
                    f"cannot close {quantity} of {self._order_book_id!r} ({self._direction}): "
                    f"only {self.quantity} held"
                )
            self._take(quantity, today_first=effect == POSITION_EFFECT.CLOSE_TODAY)
            if self.quantity == 0:
                self._avg_price = 0.0
            cash = price * quantity * self._direction_factor
        else:
            raise ValueError(f"position effect {effect} cannot be booked on a position")
        self._last_price = price
        self._transaction_cost += trade.transaction_cost
        return cash - trade.transaction_cost

    def _take(self, quantity, today_first):
        first, second = (
            ("_today_quantity", "_old_quantity") if today_first else ("_old_quantity", "_today_quantity")
        )
        from_first = min(quantity, getattr(self, first))
        setattr(self, first, getattr(self, first) - from_first)
        setattr(self, second, getattr(self, second) - (quantity - from_first))

    def before_trading(self, trading_date):  # noqa: ARG002 (the framework's signature)
        """Day start; a plain position has nothing to book."""
        return 0

    def settlement(self, trading_date):  # noqa: ARG002 (the framework's signature)
        """Day end: today's quantity becomes old quantity; no cash moves."""
        self._old_quantity += self._today_quantity
        self._today_quantity = 0
        return 0

    def get_state(self):
        """A new dict holding everything :meth:`set_state` needs."""
        return {
            "old_quantity": self._old_quantity,
            "today_quantity": self._today_quantity,
            "avg_price": self._avg_price,
            "last_price": self._last_price,
            "transaction_cost": self._transaction_cost,
        }

    def set_state(self, state):
        """Restore what :meth:`get_state` saved.

        A missing key restores the value of a new, empty position; keys this
        class does not know (a subclass's own) are left to the subclass.
        """
        self._old_quantity = state.get("old_quantity", 0)
        self._today_quantity = state.get("today_quantity", 0)
        self._avg_price = state.get("avg_price", 0.0)
        self._last_price = state.get("last_price")
        self._transaction_cost = state.get("transaction_cost", 0.0)
