"""The data proxy: instruments by order book id and the trading calendar."""

from korvane.data.trading_calendar import get_trading_calendar


class DataProxy:
    """Serves the instruments registered with it and answers calendar questions.

    An instrument is any object with an ``order_book_id`` and a ``type`` (an
    ``INSTRUMENT_TYPE``); the portfolio picks the position class by that type.
    """

    def __init__(self, instruments=(), calendar=None):
        self._instruments = {}
        self._calendar = calendar if calendar is not None else get_trading_calendar()
        self.register_instruments(instruments)

    def register_instrument(self, instrument):
        """Make ``instrument`` known under its ``order_book_id`` (replacing an earlier one)."""
        for attr in ("order_book_id", "type"):
            if not hasattr(instrument, attr):
                raise TypeError(f"an instrument needs an {attr!r} attribute, got {instrument!r}")
        self._instruments[instrument.order_book_id] = instrument
        return instrument

    def register_instruments(self, instruments):
        for instrument in instruments:
            self.register_instrument(instrument)

    def instruments(self, order_book_ids):
        """The instrument of one order book id, or None when it is unknown.

        Given a list of ids, returns the list of the known ones' instruments.
        """
        if isinstance(order_book_ids, str):
            return self._instruments.get(order_book_ids)
        return [self._instruments[i] for i in order_book_ids if i in self._instruments]

    def all_instruments(self, type=None):
        """Every registered instrument, optionally only those of one ``INSTRUMENT_TYPE``."""
        return [ins for ins in self._instruments.values() if type is None or ins.type == type]

    @property
    def trading_calendar(self):
        return self._calendar

    def is_trading_date(self, dt):
        """True when the calendar day of ``dt`` is a trading day."""
        return self._calendar.is_trading_date(dt)

    def get_next_trading_date(self, date, n=1):
        """The first (``n``-th) trading day strictly after ``date``, as a ``pandas.Timestamp``."""
        return self._calendar.get_next_trading_date(date, n)

    def get_previous_trading_date(self, date, n=1):
        """The last (``n``-th) trading day strictly before ``date``, as a ``pandas.Timestamp``."""
        return self._calendar.get_previous_trading_date(date, n)

    def get_trading_dates(self, start_date, end_date):
        return self._calendar.get_trading_dates(start_date, end_date)
