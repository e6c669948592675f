"""Trades: fills of orders."""

import itertools

from korvane.environment import Environment
from korvane.model import position_direction_of

_trade_ids = itertools.count(1)


class Trade:
    """One fill: ``last_quantity`` of ``order_book_id`` at ``last_price``.

    Trades are made by the class method ``__from_create__``, which builds an
    instance of whichever class it is called on without calling a constructor,
    so subclasses need none. Extra keywords given to it become attributes of
    the same name.
    """

    @classmethod
    def __from_create__(
        cls,
        order_id,
        price,
        amount,
        side,
        position_effect,
        order_book_id,
        commission=0.0,
        tax=0.0,
        trade_id=None,
        close_today_amount=0,
        frozen_price=0,
        calendar_dt=None,
        trading_dt=None,
        **kwargs,
    ):
        trade = cls.__new__(cls)
        if calendar_dt is None or trading_dt is None:
            # Stamp the trade with the clock of the running environment, if any.
            env = Environment._env
            if env is not None:
                calendar_dt = env.calendar_dt if calendar_dt is None else calendar_dt
                trading_dt = env.trading_dt if trading_dt is None else trading_dt
        trade.order_id = order_id
        trade.exec_id = trade_id if trade_id is not None else next(_trade_ids)
        trade.last_price = price
        trade.last_quantity = amount
        trade._side = side
        trade.position_effect = position_effect
        trade.order_book_id = order_book_id
        trade._commission = commission
        trade._tax = tax
        trade.close_today_amount = close_today_amount
        trade.frozen_price = frozen_price
        trade.calendar_dt = calendar_dt
        trade.trading_dt = trading_dt
        for name, value in kwargs.items():
            if name in trade.__dict__ or isinstance(getattr(cls, name, None), property):
                raise TypeError(f"keyword {name!r} would overwrite the trade's own field of that name")
            setattr(trade, name, value)
        return trade

    def __repr__(self):
        return (
            f"{type(self).__name__}(exec_id={self.exec_id!r}, order_book_id={self.order_book_id!r}, "
            f"side={self._side}, position_effect={self.position_effect}, "
            f"last_price={self.last_price!r}, last_quantity={self.last_quantity!r})"
        )

    @property
    def side(self):
        return self._side

    @property
    def commission(self):
        return self._commission

    @property
    def tax(self):
        return self._tax

    @property
    def transaction_cost(self):
        return self._commission + self._tax

    @property
    def position_direction(self):
        """LONG for a buy that opens or a sell that closes; SHORT otherwise."""
        return position_direction_of(self._side, self.position_effect)

    def set_commission(self, commission):
        self._commission = commission

    def set_tax(self, tax):
        self._tax = tax
