"""Generic instruments."""


class Instrument:
    """Reference data of one instrument: an order book id, an ``INSTRUMENT_TYPE``
    and any further fields given as keywords (``exchange``, ``round_lot`` …)."""

    def __init__(self, order_book_id, type, symbol=None, exchange=None, round_lot=1, **fields):
        self.order_book_id = order_book_id
        self.type = type
        self.symbol = symbol if symbol is not None else order_book_id
        self.exchange = exchange
        self.round_lot = round_lot
        for name, value in fields.items():
            setattr(self, name, value)

    def __repr__(self):
        return f"Instrument({self.order_book_id!r}, {self.type})"
