"""Trades, orders and instruments."""

from korvane.const import POSITION_DIRECTION, POSITION_EFFECT, SIDE


def position_direction_of(side, position_effect):
    """LONG for a buy that opens or a sell that closes; SHORT otherwise."""
    closing = position_effect in (POSITION_EFFECT.CLOSE, POSITION_EFFECT.CLOSE_TODAY)
    if (side == SIDE.BUY and position_effect == POSITION_EFFECT.OPEN) or (side == SIDE.SELL and closing):
        return POSITION_DIRECTION.LONG
    return POSITION_DIRECTION.SHORT
