"""Read-only views of positions handed to strategies."""

from korvane.const import INSTRUMENT_TYPE


class StockPositionProxy:
    """A read-only view of one position.

    Every property reads the wrapped position at the moment it is read, so a
    subclass of the position (say, one that nets pledges out of ``closable``)
    shows through unchanged.
    """

    __instrument_types__ = (INSTRUMENT_TYPE.CS,)

    def __init__(self, position):
        self._position = position

    def __repr__(self):
        return f"{type(self).__name__}({self.order_book_id!r}, {self.direction}, quantity={self.quantity})"

    @property
    def type(self):
        """The instrument type of the position's instrument."""
        instrument = self._position._env.data_proxy.instruments(self._position._order_book_id)
        if instrument is None:
            raise ValueError(f"unknown instrument {self._position._order_book_id!r}")
        return instrument.type

    @property
    def order_book_id(self):
        return self._position._order_book_id

    @property
    def direction(self):
        return self._position._direction

    @property
    def quantity(self):
        return self._position.quantity

    @property
    def closable(self):
        return self._position.closable

    @property
    def equity(self):
        return self._position.equity

    @property
    def avg_price(self):
        return self._position.avg_price

    @property
    def last_price(self):
        return self._position.last_price

    @property
    def market_value(self):
        return self._position.market_value
