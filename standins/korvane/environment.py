"""The running environment: configuration, clock, data proxy and portfolio."""

from korvane.config import AttrDict, make_config


class Environment:
    """The one environment of a run.

    Constructing an ``Environment`` makes it the current one: framework and
    extension code reach it through ``Environment.get_instance()``.

    Attributes: ``config`` (an :class:`~korvane.config.AttrDict`), ``data_proxy``,
    ``portfolio``, ``trading_dt`` and ``calendar_dt`` (``datetime.datetime``; the
    trading date can run ahead of the calendar date, e.g. for night sessions).
    """

    _env = None

    def __init__(self, config=None, data_proxy=None, portfolio=None, trading_dt=None, calendar_dt=None):
        if not isinstance(config, AttrDict):
            config = make_config(config)
        self.config = config
        self.data_proxy = data_proxy
        self.portfolio = portfolio
        self.trading_dt = trading_dt
        self.calendar_dt = calendar_dt if calendar_dt is not None else trading_dt
        Environment._env = self

    @classmethod
    def get_instance(cls):
        """Return the current environment; ``RuntimeError`` if none was created."""
        env = Environment._env
        if env is None:
            raise RuntimeError(
                "no korvane Environment exists yet: create one first "
                "(korvane.testing.make_env() builds a complete one)"
            )
        return env

    @classmethod
    def clear_instance(cls):
        """Forget the current environment (used between tests)."""
        Environment._env = None

    def get_account(self, order_book_id):  # noqa: ARG002 (the framework's signature)
        """Return the account that trades ``order_book_id`` (the portfolio is a single account)."""
        if self.portfolio is None:
            raise RuntimeError("the environment has no portfolio")
        return self.portfolio.account

    def update_time(self, calendar_dt, trading_dt=None):
        """Move the clock; the trading date defaults to the calendar date."""
        self.calendar_dt = calendar_dt
        self.trading_dt = trading_dt if trading_dt is not None else calendar_dt
