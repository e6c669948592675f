"""Order checks that the framework runs before it accepts an order.

A refused order is never raised: the reason is logged as one line of the
framework's user log, and the verdict is False.
"""

from typing import Any

from korvane.const import POSITION_DIRECTION as POSITION_DIRECTION
from korvane.const import POSITION_EFFECT as POSITION_EFFECT
from korvane.const import SIDE as SIDE
from korvane.environment import Environment as Environment
from korvane.interface import AbstractFrontendValidator as AbstractFrontendValidator
from korvane.utils.logger import user_system_log as user_system_log

from .api import _get_account_position_ins as _get_account_position_ins
from .data import BondInstrument as BondInstrument
from .utils import is_exchange_bond as is_exchange_bond

class BondValidator(AbstractFrontendValidator):
    """The order check of bonds: lots, the inter-bank minimum, the closable holding, the issue.

    An order must be whole lots, at least 1,000 bonds inter-bank, no more than the
    closable (unpledged) holding when it closes, and no buy past the bonds issued."""

    _env: Environment
    """The framework's environment."""
    def __init__(self, env: Environment) -> None:
        """A validator for the run of ``env``."""
    def can_submit_order(self, order: Any, account: Any = None) -> bool:
        """True when the bond order may be submitted; False after logging why not.

        The refusals, each one line of the user log:

        - "下单失败，数量 {} 不合法": the quantity is NaN, not a whole number of lots,
          or below the minimum (1,000 bonds inter-bank, 0 on an exchange);
        - "订单创建失败:  {order_book_id} 的仓位不足, 目标平仓 {quantity}, 可平仓位为 {closable}":
          a closing order for more than the closable (unpledged) bonds;
        - "订单创建失败：持仓数量 {} 接近 {} 债券发行总额上限 {}": a buy that would hold
          more bonds than were issued (the issue size is shown in yuan).

        :raises TypeError: "wrong type for bond instrument: {}" when the order's
            instrument is not a bond.
        """
    def can_cancel_order(self, order: Any, account: Any = None) -> bool:
        """Always True."""

class RepoValidator(AbstractFrontendValidator):
    """The order check of repos that pledge an exchange bond: the exchange's minimum.

    The pledge's face value must reach 1,000 yuan in Shenzhen and 100,000 yuan in
    Shanghai. Reverse repos and inter-bank pledges pass unchecked."""

    _env: Environment
    """The framework's environment."""
    def __init__(self, env: Environment) -> None:
        """A validator for the run of ``env``."""
    def can_submit_order(self, order: Any, account: Any = None) -> bool:
        """True when the repo order may be submitted; False after logging why not.

        The order's ``quantity`` is the pledge's face value in yuan. Logged:

        - refused: "场内债券正回购失败，场内债券抵押名义价值应在 {} 元及以上", below the minimum;
        - accepted with a warning: "正回购名义金额超过当前持仓票面价值, 实际成交 {} 元",
          more than the face value of the closable (unpledged) bonds, which is shown.
        """
    def can_cancel_order(self, order: Any, account: Any = None) -> bool:
        """Always True."""
