from typing import Any

from korvane.interface import AbstractTransactionCostDecider as AbstractTransactionCostDecider
from korvane.model.order import Order as Order
from korvane.model.trade import Trade as Trade

from .utils import calc_repo_commission as calc_repo_commission
from .utils import is_exchange_bond as is_exchange_bond

class BondTransactionDecider(AbstractTransactionCostDecider):
    _ib_commission_rate: float
    _ib_min_commission: float
    _exchange_commission_rate: float
    _exchange_max_commission: float
    def __init__(
        self,
        ib_commission_rate: float,
        ib_min_commission: float,
        exchange_commission_rate: float,
        exchange_max_commission: float,
    ) -> None: ...
    def _get_commission(self, price: float, quantity: float, order_book_id: str) -> float: ...
    def get_trade_tax(self, trade: Any) -> int: ...
    def get_trade_commission(self, trade: Any) -> float: ...
    def get_order_transaction_cost(self, order: Any) -> float: ...

class RepoTransactionDecider(AbstractTransactionCostDecider):
    def get_trade_tax(self, trade: Any) -> int: ...
    def get_trade_commission(self, trade: Any) -> float: ...
    def get_order_transaction_cost(self, order: Any) -> float: ...
