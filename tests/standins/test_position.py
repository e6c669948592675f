import pytest
from korvane.const import INSTRUMENT_TYPE, POSITION_DIRECTION, POSITION_EFFECT, SIDE
from korvane.mod.korvane_mod_sys_accounts.position_model import StockPositionProxy
from korvane.portfolio.position import Position
from korvane.testing import make_trade

LONG, SHORT = POSITION_DIRECTION.LONG, POSITION_DIRECTION.SHORT
OPEN, CLOSE, CLOSE_TODAY = POSITION_EFFECT.OPEN, POSITION_EFFECT.CLOSE, POSITION_EFFECT.CLOSE_TODAY
BUY, SELL = SIDE.BUY, SIDE.SELL
BOND = "019547.XSHG"


@pytest.mark.parametrize(
    "direction, open_side, close_side, open_cash, close_cash",
    [
        # long: buying pays, selling receives; costs are always paid
        (LONG, BUY, SELL, -100 * 101.0 - 3.0, 40 * 102.0 - 3.0),
        # short: selling to open receives, buying back pays
        (SHORT, SELL, BUY, 100 * 101.0 - 3.0, -40 * 102.0 - 3.0),
    ],
)
@pytest.mark.usefixtures("env")
def test_open_and_close_cash_deltas(direction, open_side, close_side, open_cash, close_cash):
    pos = Position(BOND, direction)
    assert (
        pos.apply_trade(make_trade(BOND, 100, 101.0, open_side, OPEN, commission=2.0, tax=1.0)) == open_cash
    )
    assert (
        pos.apply_trade(make_trade(BOND, 40, 102.0, close_side, CLOSE, commission=2.0, tax=1.0)) == close_cash
    )
    assert pos.quantity == 60
    assert pos.equity == 102.0 * 60 * pos._direction_factor
    assert pos.transaction_cost == 6.0


@pytest.mark.usefixtures("env")
def test_average_price_and_reset_when_flat():
    pos = Position(BOND, LONG)
    pos.apply_trade(make_trade(BOND, 100, 100.0))
    pos.apply_trade(make_trade(BOND, 300, 104.0))
    assert pos.avg_price == pytest.approx(103.0)
    pos.apply_trade(make_trade(BOND, 400, 105.0, SELL, CLOSE))
    assert (pos.quantity, pos.avg_price) == (0, 0.0)


@pytest.mark.usefixtures("env")
def test_settlement_rolls_today_into_old():
    pos = Position(BOND, LONG, init_quantity=50)
    pos.apply_trade(make_trade(BOND, 30, 100.0))
    assert (pos._old_quantity, pos._today_quantity) == (50, 30)
    assert pos.before_trading(None) == 0
    assert pos.settlement(None) == 0
    assert (pos._old_quantity, pos._today_quantity, pos.quantity) == (80, 0, 80)


@pytest.mark.parametrize("effect, old_after, today_after", [(CLOSE, 0, 20), (CLOSE_TODAY, 20, 0)])
@pytest.mark.usefixtures("env")
def test_close_takes_old_or_today_first(effect, old_after, today_after):
    pos = Position(BOND, LONG, init_quantity=40)
    pos.apply_trade(make_trade(BOND, 30, 100.0))
    pos.apply_trade(make_trade(BOND, 50, 100.0, SELL, effect))
    assert (pos._old_quantity, pos._today_quantity) == (old_after, today_after)


@pytest.mark.parametrize(
    "trade, message",
    [
        (make_trade(BOND, 11, 100.0, SELL, CLOSE), "only 10 held"),
        (make_trade(BOND, 1, 100.0, SELL, OPEN), "SHORT trade applied to the POSITION_DIRECTION.LONG"),
        (make_trade("200205.IB", 1, 100.0), "trade of '200205.IB'"),
    ],
)
@pytest.mark.usefixtures("env")
def test_inconsistent_trades_are_refused(trade, message):
    pos = Position(BOND, LONG, init_quantity=10)
    with pytest.raises(ValueError, match=message):
        pos.apply_trade(trade)
    assert pos.quantity == 10


@pytest.mark.usefixtures("env")
def test_equity_is_zero_before_any_price():
    pos = Position(BOND, SHORT, init_quantity=10)
    assert pos.equity == 0
    pos.update_last_price(99.5)
    assert pos.equity == -995.0


@pytest.mark.usefixtures("env")
def test_state_round_trip():
    pos = Position(BOND, LONG, init_quantity=20)
    pos.apply_trade(make_trade(BOND, 10, 101.0, commission=1.5))
    state = pos.get_state()
    assert state is not pos.get_state()
    state["extra_key_of_a_subclass"] = 1  # a fresh dict: mutating it leaves the position alone
    restored = Position(BOND, LONG)
    restored.set_state(state)
    assert restored.get_state() == pos.get_state()
    assert (restored.quantity, restored.equity, restored.avg_price) == (30, pos.equity, pos.avg_price)


def test_portfolio_creates_positions_by_instrument_type(env):
    class RepoLike(Position):
        __instrument_types__ = (INSTRUMENT_TYPE.REPO,)

    portfolio = env.portfolio
    portfolio.register_position_class(RepoLike)
    repo = portfolio.get_position("204001.XSHG", SHORT)
    assert type(repo) is RepoLike and repo._direction_factor == -1
    assert type(portfolio.get_position(BOND, LONG)) is Position
    assert portfolio.get_position("204001.XSHG", SHORT) is repo
    assert portfolio.get_position("204001.XSHG", LONG) is not repo
    with pytest.raises(ValueError, match="unknown instrument 'NOPE'"):
        portfolio.get_position("NOPE", LONG)
    with pytest.raises(ValueError, match="no instrument type"):
        portfolio.register_position_class(Position)


def test_portfolio_books_cash_of_trades_and_settlements(env):
    portfolio = env.portfolio
    portfolio.apply_trade(make_trade(BOND, 100, 100.0, commission=5.0))
    assert portfolio.cash == 1_000_000.0 - 10_005.0
    assert portfolio.settlement(None) == 0
    assert portfolio.get_positions() == [portfolio.get_position(BOND, LONG)]
    assert portfolio.total_value == portfolio.cash + 10_000.0


def test_proxy_reads_the_live_position(env):
    pos = env.portfolio.get_position(BOND, LONG)
    proxy = StockPositionProxy(pos)
    pos.apply_trade(make_trade(BOND, 10, 100.0))
    assert (proxy.order_book_id, proxy.direction, proxy.quantity, proxy.closable) == (BOND, LONG, 10, 10)
    assert proxy.equity == 1000.0
    assert proxy.type == INSTRUMENT_TYPE.BOND
