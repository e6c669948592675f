"""Lookups shared by the package's order functions and validators."""

from korvane.const import POSITION_DIRECTION
from korvane.environment import Environment


def _get_account_position_ins(order_book_id):
    """(account, long position, instrument) of ``order_book_id`` in the running environment."""
    env = Environment.get_instance()
    account = env.get_account(order_book_id)
    position = account.get_position(order_book_id, POSITION_DIRECTION.LONG)
    instrument = env.data_proxy.instruments(order_book_id)
    return account, position, instrument
