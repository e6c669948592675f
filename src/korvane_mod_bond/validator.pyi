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
    closable (unpledged) holding when it closes, and no buy past the bonds issued.

    Examples
    --------
    A refusal is logged to the framework's user log, shown here on the output:

    >>> import logging, sys
    >>> from korvane.const import POSITION_EFFECT, SIDE
    >>> from korvane.model.order import Order
    >>> from korvane.testing import make_env
    >>> from korvane_mod_bond.data import BondInstrument
    >>> from korvane_mod_bond.position import BondPosition
    >>> from korvane_mod_bond.validator import BondValidator
    >>> logging.getLogger("korvane.user_system_log").addHandler(logging.StreamHandler(sys.stdout))
    >>> env = make_env([BondInstrument("200205.IB")], position_classes=[BondPosition])
    >>> validator, account = BondValidator(env), env.portfolio
    >>> validator.can_submit_order(Order("200205.IB", 1_000, SIDE.BUY, POSITION_EFFECT.OPEN), account)
    True
    >>> validator.can_submit_order(Order("200205.IB", 990, SIDE.BUY, POSITION_EFFECT.OPEN), account)
    下单失败，数量 990 不合法
    False
    >>> validator.can_submit_order(Order("200205.IB", 1_000, SIDE.SELL, POSITION_EFFECT.CLOSE), account)
    订单创建失败:  200205.IB 的仓位不足, 目标平仓 1000, 可平仓位为 0
    False
    """

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
    Shanghai. Reverse repos and inter-bank pledges pass unchecked.

    Examples
    --------
    The order's quantity is the face value pledged; what is logged goes to the
    framework's user log, shown here on the output:

    >>> import logging, sys
    >>> from korvane.const import POSITION_DIRECTION, POSITION_EFFECT, SIDE
    >>> from korvane.model.order import Order
    >>> from korvane.testing import make_env
    >>> from korvane_mod_bond.data import BondInstrument, RepoInstrument
    >>> from korvane_mod_bond.position import BondPosition
    >>> from korvane_mod_bond.validator import RepoValidator
    >>> logging.getLogger("korvane.user_system_log").addHandler(logging.StreamHandler(sys.stdout))
    >>> env = make_env([BondInstrument("019547.XSHG"), RepoInstrument("204001.XSHG", repo_period=1)],
    ...                position_classes=[BondPosition])
    >>> def borrow(face_value):
    ...     return Order("204001.XSHG", face_value, SIDE.FINANCING, POSITION_EFFECT.OPEN,
    ...                  POSITION_DIRECTION.SHORT, bond_order_book_id="019547.XSHG", haircut=0.9)
    >>> validator = RepoValidator(env)
    >>> validator.can_submit_order(borrow(50_000))  # below Shanghai's minimum
    场内债券正回购失败，场内债券抵押名义价值应在 100000 元及以上
    False
    >>> validator.can_submit_order(borrow(100_000))  # accepted, with a warning: no bonds are held
    正回购名义金额超过当前持仓票面价值, 实际成交 0.0 元
    True
    """

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
