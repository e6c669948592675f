"""The package's hot methods written in plain Python, as the yardstick the C++
modules are measured against: the straightforward code a Python developer
would write for the same behaviour. Benchmarks only: nothing imports this at
run time."""

import datetime
from collections import defaultdict

import numpy as np
from korvane.const import INSTRUMENT_TYPE, POSITION_DIRECTION, POSITION_EFFECT, SIDE
from korvane.environment import Environment
from korvane.interface import AbstractFrontendValidator, AbstractTransactionCostDecider
from korvane.model.trade import Trade
from korvane.portfolio.position import Position
from korvane.utils.datetime_func import convert_date_to_date_int
from korvane.utils.functools import lru_cache
from korvane.utils.logger import user_system_log
from pelvorn import bond

from korvane_mod_bond.api import _get_account_position_ins
from korvane_mod_bond.data import BondInstrument
from korvane_mod_bond.utils import calc_repo_commission, get_commission_rate, is_exchange_bond

CASH_FLOW_DTYPES = [("payment_date", "i4"), ("cash_flow", "f8"), ("cum_principal_payment", "f8")]
IMPLIED_CASH_FLOW_DTYPES = [
    ("date", "i4"),
    ("cash_flow", "f8"),
    ("cum_principal_payment", "f8"),
    ("payment_receivable", "f8"),
]

# ------------------------------------------------------------ trade


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
            None,
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


# ------------------------------------------------------ cash-flow tables


def _all_real_cash_flow(order_book_ids):
    df = bond.realized_cash_flow(order_book_ids)
    if df is None or df.empty:
        return None
    all_cash_flow = np.empty(len(df), dtype=CASH_FLOW_DTYPES)
    all_cash_flow["payment_date"] = [
        convert_date_to_date_int(d) for d in df.index.get_level_values("payment_date")
    ]
    all_cash_flow["cash_flow"] = df["cash_flow"]
    all_cash_flow["cum_principal_payment"] = np.cumsum(df["principal_payment"])
    all_cash_flow.sort(order="payment_date")
    return all_cash_flow


def _all_implied_cash_flow(order_book_ids):
    df = bond.get_implied_cash_flow(order_book_ids, 20050102, 29991231)
    if df is None or df.empty:
        return None
    all_cash_flow = np.empty(len(df), dtype=IMPLIED_CASH_FLOW_DTYPES)
    all_cash_flow["date"] = [convert_date_to_date_int(d) for d in df.index.get_level_values("date")]
    all_cash_flow["cash_flow"] = df["total_payment"]
    all_cash_flow["payment_receivable"] = df["payment_receivable"]
    all_cash_flow["cum_principal_payment"] = np.cumsum(df["principal_payment"])
    all_cash_flow.sort(order="date")
    return all_cash_flow


build_real_cash_flow = _all_real_cash_flow
build_implied_cash_flow = _all_implied_cash_flow
_all_real_cash_flow = lru_cache(1024)(_all_real_cash_flow)
_all_implied_cash_flow = lru_cache(1024)(_all_implied_cash_flow)


def clear_cash_flow_memos():
    """The twin of korvane_mod_bond.clear_cash_flow_memos, for the twin's own memos."""
    _all_real_cash_flow.cache_clear()
    _all_implied_cash_flow.cache_clear()


# ------------------------------------------------------------ positions


class PyBondPosition(Position):
    __instrument_types__ = (INSTRUMENT_TYPE.BOND,)

    def __new__(cls, order_book_id, direction, init_quantity=0):  # noqa: ARG004 (the same signature as the compiled method)
        env = Environment.get_instance()
        if is_exchange_bond(order_book_id) or env.config.mod.bond.valuation_source == "exchange":
            return object.__new__(PyBondPositionWithRealizedCashFlow)
        return object.__new__(PyBondPositionWithImpliedCashFlow)

    def __init__(self, order_book_id, direction, init_quantity=0):
        super().__init__(order_book_id, direction, init_quantity)
        self._instrument = self._env.data_proxy.instruments(order_book_id)
        self._payment_receivable = 0
        self._due_settlement_dict = defaultdict(int)

    def set_state(self, state):
        super().set_state(state)
        self._payment_receivable = state.get("payment_receivable", 0)

    def get_state(self):
        state = super().get_state()
        state["payment_receivable"] = self._payment_receivable
        return state

    @property
    def equity(self):
        return super().equity + self._payment_receivable

    @property
    def pledged_quantity(self):
        return sum(self._due_settlement_dict.values())

    @property
    def closable(self):
        return super().closable - self.pledged_quantity

    def apply_trade(self, trade):
        if trade.side != SIDE.FINANCING:
            return super().apply_trade(trade)
        if not isinstance(trade, PyRepoTrade):
            raise TypeError(
                "financing trade requires type of RepoTrade, current type: {}".format(type(trade))
            )
        self._due_settlement_dict[trade.due_settlement_date] += trade.pledged_quantity

    def before_trading(self, trading_date):
        delta_cash = super().before_trading(trading_date)
        payment_receivable = self._get_cash_flow_receivable(trading_date) * self.quantity
        self._payment_receivable += payment_receivable
        return delta_cash

    def settlement(self, trading_date):
        super().settlement(trading_date)
        delta_cash = 0
        payment, de_listed = self._get_cash_flow(trading_date)
        payment *= self.quantity
        if payment != 0:
            self._payment_receivable -= payment
            delta_cash += payment
        if de_listed:
            self._today_quantity = 0
            self._old_quantity = 0
        due = [d for d in self._due_settlement_dict if d <= trading_date]
        for d in due:
            del self._due_settlement_dict[d]
        return delta_cash

    def _get_cash_flow_receivable(self, date_):
        raise NotImplementedError

    def _get_cash_flow(self, date_):
        raise NotImplementedError


class PyBondPositionWithRealizedCashFlow(PyBondPosition):
    def _get_cash_flow_receivable(self, date_):
        cash_flow, _ = self._get_cash_flow(date_)
        return cash_flow

    def _get_cash_flow(self, date_):
        all_cash_flow = _all_real_cash_flow(self._order_book_id)
        if all_cash_flow is None:
            return 0.0, False
        trading_date = convert_date_to_date_int(date_)
        pos = np.searchsorted(all_cash_flow["payment_date"], trading_date)
        if pos >= len(all_cash_flow) or all_cash_flow["payment_date"][pos] != trading_date:
            return 0.0, False
        return (
            all_cash_flow["cash_flow"][pos],
            all_cash_flow["cum_principal_payment"][pos] >= self._instrument.issue_price,
        )


class PyBondPositionWithImpliedCashFlow(PyBondPosition):
    def _get_day_cash_flow(self, date_):
        implied_cash_flow = _all_implied_cash_flow(self._order_book_id)
        if implied_cash_flow is None:
            return 0.0, 0.0, False
        trading_date = convert_date_to_date_int(date_)
        pos = np.searchsorted(implied_cash_flow["date"], trading_date)
        if pos >= len(implied_cash_flow) or implied_cash_flow["date"][pos] != trading_date:
            return 0.0, 0.0, False
        return (
            implied_cash_flow["cash_flow"][pos],
            implied_cash_flow["payment_receivable"][pos],
            implied_cash_flow["cum_principal_payment"][pos] >= self._instrument.issue_price,
        )

    def _get_cash_flow_receivable(self, date_):
        cash_flow, cash_flow_receivable, _ = self._get_day_cash_flow(date_)
        if cash_flow != 0 and self._payment_receivable == 0:
            return cash_flow
        return cash_flow_receivable

    def _get_cash_flow(self, date_):
        cash_flow, _, de_listed = self._get_day_cash_flow(date_)
        return cash_flow, de_listed


class PyRepoPosition(Position):
    __instrument_types__ = (INSTRUMENT_TYPE.REPO,)

    @property
    def trading_pnl(self):
        return 0

    position_pnl = trading_pnl

    @property
    def margin(self):
        return 0

    market_value = margin

    @property
    def equity(self):
        return self._direction_factor * self.quantity

    def __init__(self, order_book_id, direction, init_quantity=0):
        super().__init__(order_book_id, direction, init_quantity)
        self._due_settlement_dict = {}

    def apply_trade(self, trade):
        if not isinstance(trade, PyRepoTrade):
            raise TypeError("unsupported trade type: {}".format(type(trade)))
        self._today_quantity += trade.last_quantity
        if trade.due_settlement_date not in self._due_settlement_dict:
            self._due_settlement_dict[trade.due_settlement_date] = [
                trade.last_quantity,
                trade.due_settlement_amount,
            ]
        else:
            entry = self._due_settlement_dict[trade.due_settlement_date]
            entry[0] += trade.last_quantity
            entry[1] += trade.due_settlement_amount
        if self._direction == POSITION_DIRECTION.SHORT:
            bond_position = self._env.portfolio.get_position(trade.bond_id, POSITION_DIRECTION.LONG)
            if not isinstance(bond_position, PyBondPosition):
                raise TypeError("unsupported bond position type: {}".format(type(bond_position)))
            bond_position.apply_trade(trade)
        return -(trade.last_quantity * self._direction_factor) - trade.transaction_cost

    def settlement(self, trading_date):
        super().settlement(trading_date)
        keys_to_be_removed = []
        delta_cash = 0
        for due_settlement_date, (quantity, due_settlement_amount) in self._due_settlement_dict.items():
            if due_settlement_date <= trading_date:
                keys_to_be_removed.append(due_settlement_date)
                delta_cash += due_settlement_amount
                self._old_quantity -= quantity
        for key in keys_to_be_removed:
            del self._due_settlement_dict[key]
        return delta_cash * self._direction_factor


# ----------------------------------------------------------- validators


class PyBondValidator(AbstractFrontendValidator):
    def __init__(self, env):
        self._env = env

    def can_submit_order(self, order, account=None):
        ins = self._env.data_proxy.instruments(order.order_book_id)
        amount_limit = 0 if is_exchange_bond(order.order_book_id) else 1000
        if not isinstance(ins, BondInstrument):
            raise TypeError("wrong type for bond instrument: {}".format(type(ins)))
        amount = order.quantity
        if amount != amount or amount % ins.round_lot != 0 or amount < amount_limit:
            user_system_log.warn("下单失败，数量 {} 不合法".format(amount))
            return False
        position = account.get_position(order.order_book_id, order.position_direction)
        if order.position_effect == POSITION_EFFECT.CLOSE and order.quantity > position.closable:
            message = "订单创建失败:  {order_book_id} 的仓位不足, 目标平仓 {quantity}, 可平仓位为 {closable}"
            closable = position.closable
            user_system_log.warning(
                message.format(order_book_id=order.order_book_id, quantity=order.quantity, closable=closable)
            )
            return False
        if ins.initial_issue_size and order.side == SIDE.BUY:
            position = self._env.portfolio.get_position(order.order_book_id, POSITION_DIRECTION.LONG)
            if ins.initial_issue_size / ins.issue_price - order.quantity - position.quantity < 0:
                user_system_log.warning(
                    "订单创建失败：持仓数量 {} 接近 {} 债券发行总额上限 {}".format(
                        position.quantity, order.order_book_id, ins.initial_issue_size
                    )
                )
                return False
        return True

    def can_cancel_order(self, order, account=None):  # noqa: ARG002 (the same signature as the compiled method)
        return True


class PyRepoValidator(AbstractFrontendValidator):
    def __init__(self, env):
        self._env = env

    def can_submit_order(self, order, account=None):
        def _fail(msg):
            user_system_log.warning("场内债券正回购失败，{}".format(msg))

        if order.side == SIDE.FINANCING and is_exchange_bond(order.bond_order_book_id):
            account, bond_position, bond_ins = _get_account_position_ins(order.bond_order_book_id)
            _, _, ins = _get_account_position_ins(order.order_book_id)
            if ins.exchange == "XSHE":
                min_repo_value = 1000
            elif ins.exchange == "XSHG":
                min_repo_value = 100000
            holding_value = bond_position.closable * bond_ins.issue_price
            if order.quantity < min_repo_value:
                _fail("场内债券抵押名义价值应在 {} 元及以上".format(min_repo_value))
                return False
            if order.quantity > holding_value:
                user_system_log.warning(
                    "正回购名义金额超过当前持仓票面价值, 实际成交 {} 元".format(holding_value)
                )
                return True
        return True

    def can_cancel_order(self, order, account=None):  # noqa: ARG002 (the same signature as the compiled method)
        return True


# ------------------------------------------------------------- deciders


class PyBondTransactionDecider(AbstractTransactionCostDecider):
    def __init__(
        self, ib_commission_rate, ib_min_commission, exchange_commission_rate, exchange_max_commission
    ):
        self._ib_commission_rate = ib_commission_rate
        self._ib_min_commission = ib_min_commission
        self._exchange_commission_rate = exchange_commission_rate
        self._exchange_max_commission = exchange_max_commission

    def _get_commission(self, price, quantity, order_book_id):
        if is_exchange_bond(order_book_id):
            cap = self._exchange_max_commission
            value = price * quantity * self._exchange_commission_rate
            return cap if cap < value else value
        floor = self._ib_min_commission
        value = price * quantity * self._ib_commission_rate
        return floor if floor > value else value

    def get_trade_tax(self, trade):  # noqa: ARG002 (the same signature as the compiled method)
        return 0

    def get_trade_commission(self, trade):
        return self._get_commission(trade.last_price, trade.last_quantity, trade.order_book_id)

    def get_order_transaction_cost(self, order):
        return self._get_commission(order.frozen_price, order.quantity, order.order_book_id)


class PyRepoTransactionDecider(AbstractTransactionCostDecider):
    def get_trade_tax(self, trade):  # noqa: ARG002 (the same signature as the compiled method)
        return 0

    def get_trade_commission(self, trade):
        return calc_repo_commission(trade.order_book_id, trade.last_quantity)

    def get_order_transaction_cost(self, order):
        return calc_repo_commission(order.order_book_id, order.quantity * order.haircut)
