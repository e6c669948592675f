import datetime
from typing import Any, TypeVar

from korvane.const import POSITION_DIRECTION
from korvane.model.trade import Trade

_T = TypeVar("_T", bound="RepoTrade")

class RepoTrade(Trade):
    @property
    def commission(self) -> float: ...
    repo_period: int
    haircut: float
    coupon_value: float
    bond_id: str | None
    actual_holding_days: int
    due_settlement_amount: float
    due_settlement_date: datetime.date
    pledged_quantity: float
    @classmethod
    def calc_max_amount(cls, order_book_id: str, available_cash: float) -> float: ...
    @classmethod
    def __from_create__(
        cls: type[_T],
        order_id: Any,
        price: float,
        amount: float,
        side: Any,
        order_book_id: str,
        **kwargs: Any,
    ) -> _T: ...
    @classmethod
    def create_repo_trade(
        cls: type[_T],
        price: float,
        amount: float,
        order_book_id: str,
        repo_period: int | None,
        haircut: float,
        bond_id: str,
        pledged_quantity: float,
    ) -> _T: ...
    @classmethod
    def create_reverse_repo_trade(
        cls: type[_T], price: float, amount: float, order_book_id: str, repo_period: int | None
    ) -> _T: ...
    @classmethod
    def create_exchange_repo_trade(
        cls: type[_T],
        order_id: Any,
        price: float,
        amount: float,
        order_book_id: str,
        hairbut: float,
        bond_id: str,
        pledged_quantity: float,
    ) -> _T: ...
    @classmethod
    def create_exchange_reverse_repo_trade(
        cls: type[_T], order_id: Any, price: float, amount: float, order_book_id: str
    ) -> _T: ...
    @property
    def position_direction(self) -> POSITION_DIRECTION: ...
