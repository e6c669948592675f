# ruff: noqa: B018 (a floor reads attributes for the reading's sake)
"""Floors: for each benchmarked operation, a plain-Python function that makes
only what the operation cannot avoid — the framework's, the siblings' and the
data client's calls, in the order the behaviour demands, and the attribute
reads and writes the contract demands — and computes nothing of its own. No
implementation of the operation, in any language, can be faster than its
floor by more than the cost of one function call.

Reads that the contract demands only on some days or some paths (the issue
price on a record day, for instance) are left out, so a floor is, if
anything, on the low side.
"""

import datetime

import numpy as np
from korvane.const import POSITION_DIRECTION, POSITION_EFFECT, SIDE
from korvane.environment import Environment
from korvane.model.trade import Trade
from korvane.portfolio.position import Position
from korvane.utils.datetime_func import convert_date_to_date_int
from pelvorn import bond

from korvane_mod_bond import position as _position
from korvane_mod_bond.api import _get_account_position_ins
from korvane_mod_bond.utils import calc_repo_commission, is_exchange_bond

_base_before_trading = Position.before_trading
_base_settlement = Position.settlement
_base_apply_trade = Position.apply_trade
_real = _position._all_real_cash_flow
_implied = _position._all_implied_cash_flow
_trade_factory = Trade.__dict__["__from_create__"].__func__
_timedelta = datetime.timedelta
_datetime = datetime.datetime
LONG = POSITION_DIRECTION.LONG

# ----------------------------------------------------- P1: a bond's day
#
# Day start: the base's before_trading; the memoised table and the date
# conversion (through the receivable hook); the quantity; the receivable,
# read and written. Settlement: the base's settlement; the memoised table and
# the date conversion (through the payment hook); the quantity; the pledge book.


def realized_day_start(p, d):
    delta = _base_before_trading(p, d)
    _real(p._order_book_id)
    convert_date_to_date_int(d)
    p.quantity
    p._payment_receivable = p._payment_receivable
    return delta


def implied_day_start(p, d):
    delta = _base_before_trading(p, d)
    _implied(p._order_book_id)
    convert_date_to_date_int(d)
    p.quantity
    p._payment_receivable = p._payment_receivable
    return delta


def realized_settlement(p, d):
    _base_settlement(p, d)
    _real(p._order_book_id)
    convert_date_to_date_int(d)
    p.quantity
    p._due_settlement_dict
    return 0


def implied_settlement(p, d):
    _base_settlement(p, d)
    _implied(p._order_book_id)
    convert_date_to_date_int(d)
    p.quantity
    p._due_settlement_dict
    return 0


def closable(p):
    # the base's closable and the pledge book
    return Position.closable.fget(p) - sum(p._due_settlement_dict.values())


def bond_financing_apply_trade(p, trade):
    # the trade's side (a framework property), the pledge book and the pledge
    trade.side
    p._due_settlement_dict[trade.due_settlement_date] += trade.pledged_quantity


def bond_buy_apply_trade(p, trade):
    trade.side
    return _base_apply_trade(p, trade)


# ----------------------------------------------- P2: a repo, end to end


def create_repo_trade(cls, price, amount, order_book_id, haircut, bond_id, pledged_quantity):
    # The clock, the repo and the pledged bond, the calendar (both questions,
    # with the values they must be handed), the commission, the host's factory.
    env = Environment.get_instance()
    data_proxy = env.data_proxy
    ins = data_proxy.instruments(order_book_id)
    due = (env.trading_dt + _timedelta(days=ins.repo_period)).date()
    if not data_proxy.is_trading_date(_datetime(due.year, due.month, due.day)):
        due = data_proxy.get_next_trading_date(due).date()
    days = (due - env.calendar_dt.date()).days
    coupon_value = data_proxy.instruments(bond_id).issue_price
    commission = calc_repo_commission(order_book_id, amount)
    return _trade_factory(
        cls,
        None,
        price,
        amount,
        SIDE.FINANCING,
        POSITION_EFFECT.OPEN,
        order_book_id,
        commission=commission,
        repo_period=ins.repo_period,
        haircut=haircut,
        coupon_value=coupon_value,
        bond_id=bond_id,
        actual_holding_days=days,
        due_settlement_amount=amount,
        due_settlement_date=due,
        pledged_quantity=pledged_quantity,
    )


def repo_apply_trade(p, trade):
    # The trade's terms, the repo position's fields, the pledged bond's long
    # position from the portfolio and its pledge book.
    quantity = trade.last_quantity
    due = trade.due_settlement_date
    p._today_quantity = p._today_quantity
    p._due_settlement_dict[due] = [quantity, trade.due_settlement_amount]
    if p._direction == POSITION_DIRECTION.SHORT:
        bond_position = p._env.portfolio.get_position(trade.bond_id, LONG)
        bond_financing_apply_trade(bond_position, trade)
    p._direction_factor
    return trade.transaction_cost


def repo_settlement(p, d):
    _base_settlement(p, d)
    book = p._due_settlement_dict
    book.clear()
    p._old_quantity = p._old_quantity
    return p._direction_factor


# ----------------------------------------------------- P3: validators


def bond_can_submit_order(validator, order, account):
    env = validator._env
    order_book_id = order.order_book_id
    ins = env.data_proxy.instruments(order_book_id)
    is_exchange_bond(order_book_id)
    order.quantity
    ins.round_lot
    account.get_position(order_book_id, order.position_direction)
    order.position_effect
    ins.initial_issue_size
    order.side
    ins.issue_price
    env.portfolio.get_position(order_book_id, LONG).quantity
    return True


def repo_can_submit_order(validator, order, account):  # noqa: ARG001 (the floor takes the method's own parameters)
    order.side
    is_exchange_bond(order.bond_order_book_id)
    _, bond_position, bond_ins = _get_account_position_ins(order.bond_order_book_id)
    _, _, ins = _get_account_position_ins(order.order_book_id)
    ins.exchange
    ins.exchange
    bond_position.closable
    bond_ins.issue_price
    order.quantity
    return True


# ------------------------------------------------------ P4: deciders


def bond_trade_commission(decider, trade):
    trade.last_price
    trade.last_quantity
    is_exchange_bond(trade.order_book_id)
    decider._exchange_max_commission
    decider._exchange_commission_rate
    return 0


def bond_order_cost(decider, order):
    order.frozen_price
    order.quantity
    is_exchange_bond(order.order_book_id)
    decider._exchange_max_commission
    decider._exchange_commission_rate
    return 0


def trade_tax(decider, trade):  # noqa: ARG001 (the floor takes the method's own parameters)
    return 0


def repo_trade_commission(decider, trade):  # noqa: ARG001 (the floor takes the method's own parameters)
    return calc_repo_commission(trade.order_book_id, trade.last_quantity)


def repo_order_cost(decider, order):  # noqa: ARG001 (the floor takes the method's own parameters)
    order.haircut
    return calc_repo_commission(order.order_book_id, order.quantity)


# -------------------------------------------------------- table build
#
# The client's query and, from its frame, what the contract reads: emptiness,
# length, the date level with each date through the host's converter, and
# the columns as numbers.


def build_real_cash_flow(order_book_id):
    df = bond.realized_cash_flow(order_book_id)
    df.empty
    len(df)
    for d in df.index.get_level_values("payment_date"):
        convert_date_to_date_int(d)
    np.asarray(df["cash_flow"])
    np.asarray(df["principal_payment"])


def build_implied_cash_flow(order_book_id):
    df = bond.get_implied_cash_flow(order_book_id, 20050102, 29991231)
    df.empty
    len(df)
    for d in df.index.get_level_values("date"):
        convert_date_to_date_int(d)
    np.asarray(df["total_payment"])
    np.asarray(df["payment_receivable"])
    np.asarray(df["principal_payment"])
