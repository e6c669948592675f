"""Reference data of bonds and repos as the data proxy serves it."""

from korvane.const import INSTRUMENT_TYPE


class BondInstrument:
    """A bond.

    ``initial_issue_size`` is the total issue size as money, ``issue_price`` the
    price of one bond at issue (its face value for most bonds; the discounted
    price for a discount bill); ``initial_issue_size / issue_price`` is the
    number of bonds issued. Quantities are counted in bonds.

    Examples
    --------
    >>> from korvane_mod_bond.data import BondInstrument
    >>> ins = BondInstrument("250001.IB", symbol="25国债01", initial_issue_size=5e9)
    >>> ins  # the market is read off the id: "IB" is inter-bank
    BondInstrument('250001.IB', symbol='25国债01', exchange='IB')
    >>> ins.round_lot, ins.issue_price, ins.initial_issue_size / ins.issue_price  # bonds issued
    (10, 100.0, 50000000.0)
    """

    type = INSTRUMENT_TYPE.BOND

    def __init__(
        self,
        order_book_id,
        symbol=None,
        exchange=None,
        round_lot=10,
        issue_price=100.0,
        initial_issue_size=None,
        listed_date=None,
        maturity_date=None,
        coupon_rate=None,
    ):
        self.order_book_id = order_book_id
        self.symbol = symbol if symbol is not None else order_book_id
        self.exchange = exchange if exchange is not None else _exchange_of(order_book_id)
        self.round_lot = round_lot
        self.issue_price = issue_price
        self.initial_issue_size = initial_issue_size
        self.listed_date = listed_date
        self.maturity_date = maturity_date
        self.coupon_rate = coupon_rate

    def __repr__(self):
        return f"BondInstrument({self.order_book_id!r}, symbol={self.symbol!r}, exchange={self.exchange!r})"


class RepoInstrument:
    """A bond repo: ``repo_period`` is its length in calendar days; quantities are
    cash amounts in yuan.

    Examples
    --------
    >>> from korvane_mod_bond.data import RepoInstrument
    >>> gc001 = RepoInstrument("204001.XSHG", repo_period=1, symbol="GC001")
    >>> gc001, gc001.round_lot
    (RepoInstrument('204001.XSHG', repo_period=1, exchange='XSHG'), 1000)
    """

    type = INSTRUMENT_TYPE.REPO

    def __init__(
        self, order_book_id, repo_period, symbol=None, exchange=None, round_lot=1000, listed_date=None
    ):
        self.order_book_id = order_book_id
        self.repo_period = repo_period
        self.symbol = symbol if symbol is not None else order_book_id
        self.exchange = exchange if exchange is not None else _exchange_of(order_book_id)
        self.round_lot = round_lot
        self.listed_date = listed_date

    def __repr__(self):
        return (
            f"RepoInstrument({self.order_book_id!r}, repo_period={self.repo_period!r}, "
            f"exchange={self.exchange!r})"
        )


def _exchange_of(order_book_id):
    """The market code after the dot: "XSHG", "XSHE" or "IB" (inter-bank)."""
    _, dot, suffix = order_book_id.rpartition(".")
    return suffix if dot else None


def instrument_from_record(record):
    """A :class:`BondInstrument` or :class:`RepoInstrument` from a mapping whose
    ``type`` is "BOND" or "REPO" and whose other keys are the constructor's arguments
    (the shape of ``pelvorn.bond.instrument_info``).

    Examples
    --------
    >>> from pelvorn import bond
    >>> from korvane_mod_bond.data import instrument_from_record
    >>> instrument_from_record(bond.instrument_info("019547.XSHG"))
    BondInstrument('019547.XSHG', symbol='16附息国债47', exchange='XSHG')
    >>> instrument_from_record({"type": "REPO", "order_book_id": "204007.XSHG", "repo_period": 7})
    RepoInstrument('204007.XSHG', repo_period=7, exchange='XSHG')
    """
    fields = dict(record)
    kind = fields.pop("type", None)
    if kind == INSTRUMENT_TYPE.BOND:
        return BondInstrument(**fields)
    if kind == INSTRUMENT_TYPE.REPO:
        return RepoInstrument(**fields)
    raise ValueError("unsupported instrument type {!r} for {!r}".format(kind, fields.get("order_book_id")))
