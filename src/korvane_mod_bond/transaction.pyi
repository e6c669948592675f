"""Commission and tax of bond and repo trades and orders, in yuan."""

from typing import Any

from korvane.interface import AbstractTransactionCostDecider as AbstractTransactionCostDecider
from korvane.model.order import Order as Order
from korvane.model.trade import Trade as Trade

from .utils import calc_repo_commission as calc_repo_commission
from .utils import is_exchange_bond as is_exchange_bond

class BondTransactionDecider(AbstractTransactionCostDecider):
    """Commission and tax of bond trades and orders.

    A commission on the trade value (price × quantity), capped on an exchange and
    floored inter-bank; no tax.

    Examples
    --------
    >>> from korvane.testing import make_trade
    >>> from korvane_mod_bond.transaction import BondTransactionDecider
    >>> decider = BondTransactionDecider(0.00001, 150.0, 0.00002, 100.0)
    >>> decider.get_trade_commission(make_trade("019547.XSHG", 10_000, 101.5))  # exchange: 0.002 %
    20.3
    >>> decider.get_trade_commission(make_trade("019547.XSHG", 100_000, 101.5))  # at most 100 yuan
    100.0
    >>> decider.get_trade_commission(make_trade("200205.IB", 10_000, 101.5))  # inter-bank: at least 150
    150.0
    >>> decider.get_trade_tax(make_trade("200205.IB", 10_000, 101.5))
    0
    """

    _ib_commission_rate: float
    """Inter-bank commission rate, a fraction of the trade value."""
    _ib_min_commission: float
    """Least commission of one inter-bank trade, in yuan."""
    _exchange_commission_rate: float
    """Exchange commission rate, a fraction of the trade value."""
    _exchange_max_commission: float
    """Greatest commission of one exchange trade, in yuan."""
    def __init__(
        self,
        ib_commission_rate: float,
        ib_min_commission: float,
        exchange_commission_rate: float,
        exchange_max_commission: float,
    ) -> None:
        """A decider with the four figures (rates as fractions, amounts in yuan)."""
    def _get_commission(self, price: float, quantity: float, order_book_id: str) -> float:
        """Commission of ``quantity`` bonds at ``price`` yuan a bond.

        On an exchange the smaller of value × rate and the cap, inter-bank the larger
        of value × rate and the floor."""
    def get_trade_tax(self, trade: Any) -> int:
        """Always 0."""
    def get_trade_commission(self, trade: Any) -> float:
        """Commission of a fill, on ``last_price`` × ``last_quantity``."""
    def get_order_transaction_cost(self, order: Any) -> float:
        """Expected cost of an order: the commission on ``frozen_price`` × ``quantity``."""

class RepoTransactionDecider(AbstractTransactionCostDecider):
    """Commission and tax of repo trades and orders.

    The exchanges' repo commission on the principal (the amount after the haircut),
    by repo period; no tax.

    Examples
    --------
    >>> from korvane.const import POSITION_EFFECT, SIDE
    >>> from korvane.model.order import Order
    >>> from korvane.testing import make_env
    >>> from korvane_mod_bond.data import RepoInstrument
    >>> from korvane_mod_bond.transaction import RepoTransactionDecider
    >>> env = make_env([RepoInstrument("204007.XSHG", repo_period=7)])
    >>> order = Order("204007.XSHG", 1_000_000, SIDE.FINANCING, POSITION_EFFECT.OPEN, haircut=0.9)
    >>> RepoTransactionDecider().get_order_transaction_cost(order)  # 0.005 % of the 900,000 borrowed
    45.0
    """

    def get_trade_tax(self, trade: Any) -> int:
        """Always 0."""
    def get_trade_commission(self, trade: Any) -> float:
        """Commission of a repo trade, on its principal ``last_quantity``."""
    def get_order_transaction_cost(self, order: Any) -> float:
        """Expected cost of a repo order: the commission on ``quantity`` × ``haircut``."""
