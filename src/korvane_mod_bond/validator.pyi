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
    _env: Environment
    def __init__(self, env: Environment) -> None: ...
    def can_submit_order(self, order: Any, account: Any = None) -> bool: ...
    def can_cancel_order(self, order: Any, account: Any = None) -> bool: ...

class RepoValidator(AbstractFrontendValidator):
    _env: Environment
    def __init__(self, env: Environment) -> None: ...
    def can_submit_order(self, order: Any, account: Any = None) -> bool: ...
    def can_cancel_order(self, order: Any, account: Any = None) -> bool: ...
