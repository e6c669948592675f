import datetime
import logging
import warnings

import numpy as np
import pandas as pd
import pytest
from korvane.const import POSITION_DIRECTION, POSITION_EFFECT, SIDE
from korvane.environment import Environment
from korvane.interface import AbstractFrontendValidator, AbstractTransactionCostDecider
from korvane.model.order import Order
from korvane.model.trade import Trade
from korvane.testing import make_env
from korvane.utils.datetime_func import convert_date_to_date_int
from korvane.utils.functools import lru_cache
from korvane.utils.logger import user_system_log

LONG, SHORT = POSITION_DIRECTION.LONG, POSITION_DIRECTION.SHORT


def test_environment_singleton():
    Environment.clear_instance()
    with pytest.raises(RuntimeError, match="no korvane Environment"):
        Environment.get_instance()
    first = make_env()
    assert Environment.get_instance() is first
    second = make_env(
        valuation_source="exchange", trading_dt="2024-10-08 09:30", calendar_dt="2024-10-07 21:00"
    )
    assert Environment.get_instance() is second
    assert (first.config.mod.bond.valuation_source, second.config.mod.bond.valuation_source) == (
        "implied",
        "exchange",
    )
    assert second.trading_dt == datetime.datetime(2024, 10, 8, 9, 30)
    assert second.calendar_dt == datetime.datetime(2024, 10, 7, 21, 0)


def test_config_overrides_and_missing_keys():
    env = make_env(config={"mod": {"bond": {"extra": 1}}, "mod.other.flag": True})
    assert env.config.mod.bond.valuation_source == "implied"  # merged, not replaced
    assert (env.config.mod.bond.extra, env.config.mod.other.flag) == (1, True)
    with pytest.raises(AttributeError, match="'mod.bond.nope'"):
        _ = env.config.mod.bond.nope


class RepoLikeTrade(Trade):
    pass


def test_from_create_builds_the_calling_class_with_extra_fields():
    env = make_env(trading_dt="2024-09-27 15:00")
    trade = RepoLikeTrade.__from_create__(
        7, 0.02, 900_000.0, SIDE.FINANCING, POSITION_EFFECT.OPEN, "204001.XSHG",
        commission=9.0, tax=1.0, bond_id="019547.XSHG", due_settlement_amount=900_147.9,
    )  # fmt: skip
    assert type(trade) is RepoLikeTrade
    assert (trade.order_id, trade.last_price, trade.last_quantity) == (7, 0.02, 900_000.0)
    assert (trade.side, trade._side, trade.order_book_id) == (SIDE.FINANCING, SIDE.FINANCING, "204001.XSHG")
    assert (trade.commission, trade.tax, trade.transaction_cost) == (9.0, 1.0, 10.0)
    assert (trade.bond_id, trade.due_settlement_amount) == ("019547.XSHG", 900_147.9)
    assert trade.trading_dt == env.trading_dt
    other = Trade.__from_create__(None, 1.0, 1, SIDE.BUY, POSITION_EFFECT.OPEN, "X")
    assert other.exec_id != trade.exec_id


@pytest.mark.parametrize("name", ["last_price", "side", "transaction_cost"])
def test_from_create_refuses_keywords_that_clash_with_fields(name):
    with pytest.raises(TypeError, match=name):
        Trade.__from_create__(None, 1.0, 1, SIDE.BUY, POSITION_EFFECT.OPEN, "X", **{name: 0})


@pytest.mark.parametrize(
    "side, effect, direction",
    [
        (SIDE.BUY, POSITION_EFFECT.OPEN, LONG),
        (SIDE.SELL, POSITION_EFFECT.CLOSE, LONG),
        (SIDE.SELL, POSITION_EFFECT.CLOSE_TODAY, LONG),
        (SIDE.SELL, POSITION_EFFECT.OPEN, SHORT),
        (SIDE.BUY, POSITION_EFFECT.CLOSE, SHORT),
        (SIDE.FINANCING, POSITION_EFFECT.OPEN, SHORT),
        (SIDE.MARGIN, POSITION_EFFECT.OPEN, SHORT),
    ],
)
def test_trade_and_order_direction(side, effect, direction):
    assert Trade.__from_create__(None, 1.0, 1, side, effect, "X").position_direction == direction
    assert Order("X", 1, side, position_effect=effect).position_direction == direction


def test_order_defaults():
    order = Order(
        "204001.XSHG", 1_000_000, SIDE.FINANCING, price=0.02, bond_order_book_id="019547.XSHG", haircut=0.9
    )
    assert (order.frozen_price, order.position_effect, order.position_direction) == (0.02, None, None)
    assert (order.bond_order_book_id, order.haircut) == ("019547.XSHG", 0.9)


@pytest.mark.parametrize("abstract", [AbstractFrontendValidator, AbstractTransactionCostDecider])
def test_interfaces_are_abstract(abstract):
    with pytest.raises(TypeError):
        abstract()


def test_lru_cache_evicts_least_recently_used():
    seen = []

    def square(x):
        seen.append(x)
        return x * x

    cached = lru_cache(2)(square)
    assert [cached(1), cached(2), cached(1), cached(3)] == [1, 4, 1, 9]  # 3 evicts 2, the older one
    assert [cached(1), cached(2)] == [1, 4]
    assert seen == [1, 2, 3, 2]
    assert cached.cache_info().maxsize == 2
    cached.cache_clear()
    assert cached.cache_info().currsize == 0


def test_lru_cache_size_argument():
    assert lru_cache(None)(abs)(-2) == 2
    with pytest.raises(TypeError, match="expects a size"):
        lru_cache(abs)
    with pytest.raises(ValueError):
        lru_cache(-1)


@pytest.mark.parametrize(
    "value",
    [
        datetime.date(2005, 1, 2),
        datetime.datetime(2005, 1, 2, 23, 59),
        pd.Timestamp("2005-01-02 10:00"),
        np.datetime64("2005-01-02"),
    ],
)
def test_convert_date_to_date_int(value):
    assert convert_date_to_date_int(value) == 20050102


@pytest.mark.parametrize(
    "value, error", [(pd.NaT, ValueError), (20050102, TypeError), ("2005-01-02", TypeError)]
)
def test_convert_date_to_date_int_refuses_non_dates(value, error):
    with pytest.raises(error):
        convert_date_to_date_int(value)


@pytest.mark.parametrize("method", ["warn", "warning"])
def test_user_log_warns_once_without_deprecation(caplog, method):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with caplog.at_level(logging.WARNING, logger="korvane.user_system_log"):
            getattr(user_system_log, method)("下单失败，数量 5 不合法")
    assert [(r.name, r.levelno, r.getMessage()) for r in caplog.records] == [
        ("korvane.user_system_log", logging.WARNING, "下单失败，数量 5 不合法")
    ]
    assert caplog.records[0].filename == "test_framework.py"
