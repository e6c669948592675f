"""Building a complete environment for tests in one call.

Typical pytest use::

    import pytest
    from korvane.environment import Environment
    from korvane.testing import make_env

    @pytest.fixture
    def env():
        env = make_env(
            [bond_instrument, repo_instrument],          # anything with .order_book_id and .type
            position_classes=[BondPosition, RepoPosition],
            trading_dt="2024-09-27 15:00",
            valuation_source="implied",
        )
        yield env
        Environment.clear_instance()

Later additions go through the parts themselves:
``env.data_proxy.register_instrument(ins)``,
``env.portfolio.register_position_class(cls)``,
``env.update_time(calendar_dt, trading_dt)`` and, for market data,
``pelvorn.bond.set_frames(...)`` / ``pelvorn.bond.reset()``.
"""

import datetime

from korvane.const import POSITION_EFFECT, SIDE
from korvane.data import DataProxy
from korvane.environment import Environment
from korvane.model.trade import Trade
from korvane.portfolio import Portfolio
from korvane.utils.datetime_func import to_timestamp

__all__ = ["make_env", "make_trade", "to_datetime"]


def to_datetime(value):
    """A ``datetime.datetime`` from a datetime, date (at midnight), Timestamp or string."""
    if isinstance(value, datetime.datetime):
        return value.to_pydatetime() if hasattr(value, "to_pydatetime") else value
    return to_timestamp(value).to_pydatetime()


def make_env(
    instruments=(),
    *,
    position_classes=(),
    trading_dt=datetime.datetime(2024, 9, 27, 15, 0),
    calendar_dt=None,
    valuation_source=None,
    config=None,
    cash=0.0,
):
    """Create a fresh :class:`~korvane.environment.Environment` and make it the current one.

    - ``instruments``: instrument objects registered with a new data proxy
      (each needs ``order_book_id`` and ``type``; bonds and repos also carry
      ``round_lot``, ``issue_price``, ``initial_issue_size``, ``repo_period``,
      ``exchange`` … as their callers need).
    - ``position_classes``: position classes registered with a new portfolio by
      their ``__instrument_types__``; other types get the plain ``Position``.
    - ``trading_dt`` / ``calendar_dt``: the clock, as datetimes, dates or
      strings such as ``"2024-09-27 15:00"``; the calendar date defaults to the
      trading date. The default is Friday 27 September 2024, 15:00, the last
      trading day before the National Day holiday.
    - ``valuation_source``: shortcut for ``config["mod.bond.valuation_source"]``
      (the default configuration says "implied").
    - ``config``: overrides of the default configuration, nested or dotted keys.
    - ``cash``: the portfolio's starting cash.

    Returns the environment; its ``data_proxy``, ``portfolio`` and ``config``
    are ready to use, and ``Environment.get_instance()`` returns it.
    """
    overrides = dict(config or {})
    if valuation_source is not None:
        overrides["mod.bond.valuation_source"] = valuation_source
    trading_dt = to_datetime(trading_dt)
    calendar_dt = to_datetime(calendar_dt) if calendar_dt is not None else trading_dt
    return Environment(
        config=overrides,
        data_proxy=DataProxy(instruments),
        portfolio=Portfolio(cash=cash, position_classes=position_classes),
        trading_dt=trading_dt,
        calendar_dt=calendar_dt,
    )


def make_trade(
    order_book_id,
    quantity,
    price,
    side=SIDE.BUY,
    position_effect=POSITION_EFFECT.OPEN,
    commission=0.0,
    tax=0.0,
    **kwargs,
):
    """A plain :class:`~korvane.model.trade.Trade` made by ``Trade.__from_create__``:
    a buy that opens unless told otherwise; extra keywords become attributes."""
    return Trade.__from_create__(
        None, price, quantity, side, position_effect, order_book_id, commission=commission, tax=tax, **kwargs
    )
