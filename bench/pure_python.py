"""The package's hot methods written in plain Python, as the yardstick the C++
modules are measured against. Benchmarks only: nothing imports this at run time."""

import datetime

from korvane.const import POSITION_DIRECTION, POSITION_EFFECT, SIDE
from korvane.environment import Environment
from korvane.model.trade import Trade

from korvane_mod_bond.utils import calc_repo_commission, get_commission_rate


class PyRepoTrade(Trade):
    @classmethod
    def calc_max_amount(cls, order_book_id, available_cash):
        return available_cash / (1 + get_commission_rate(order_book_id))

    @classmethod
    def __from_create__(cls, order_id, price, amount, side, order_book_id, **kwargs):
        env = Environment.get_instance()
        ins = env.data_proxy.instruments(order_book_id)
        repo_period = kwargs.get("repo_period") or ins.repo_period
        haircut = kwargs.get("haircut", 1)
        pledged_quantity = kwargs.get("pledged_quantity", 0)
        due = (env.trading_dt + datetime.timedelta(days=repo_period)).date()
        if not env.data_proxy.is_trading_date(datetime.datetime(due.year, due.month, due.day)):
            due = env.data_proxy.get_next_trading_date(due).date()
        days = (due - env.calendar_dt.date()).days
        due_amount = amount * haircut * (1 + price / 365 * days)
        if side == SIDE.FINANCING:
            bond_id = kwargs.get("bond_id")
            coupon_value = env.data_proxy.instruments(bond_id).issue_price
        else:
            bond_id, coupon_value = None, 0
        amount = amount * haircut
        return super().__from_create__(
            order_id,
            price,
            amount,
            side,
            POSITION_EFFECT.OPEN,
            order_book_id,
            commission=calc_repo_commission(order_book_id, amount),
            repo_period=repo_period,
            haircut=haircut,
            coupon_value=coupon_value,
            bond_id=bond_id,
            actual_holding_days=days,
            due_settlement_amount=due_amount,
            due_settlement_date=due,
            pledged_quantity=pledged_quantity,
        )

    @classmethod
    def create_repo_trade(cls, price, amount, order_book_id, repo_period, haircut, bond_id, pledged_quantity):
        return cls.__from_create__(
            None,
            price,
            amount,
            SIDE.FINANCING,
            order_book_id,
            repo_period=repo_period,
            haircut=haircut,
            bond_id=bond_id,
            pledged_quantity=pledged_quantity,
        )

    @property
    def position_direction(self):
        return POSITION_DIRECTION.SHORT if self._side == SIDE.FINANCING else POSITION_DIRECTION.LONG
