"""Orders."""

import itertools

from korvane.model import position_direction_of

_order_ids = itertools.count(1)


class Order:
    """An order as validators and cost deciders see it.

    ``position_direction`` defaults to what ``side`` and ``position_effect``
    imply (a buy that opens or a sell that closes is LONG, otherwise SHORT;
    it stays None when either is missing). ``frozen_price`` defaults to
    ``price``. Repo orders carry the pledged bond in ``bond_order_book_id``
    and the ratio of principal to amount in ``haircut``.
    """

    def __init__(
        self,
        order_book_id,
        quantity,
        side,
        position_effect=None,
        position_direction=None,
        price=None,
        frozen_price=None,
        bond_order_book_id=None,
        haircut=None,
        order_id=None,
    ):
        self.order_id = order_id if order_id is not None else next(_order_ids)
        self.order_book_id = order_book_id
        self.quantity = quantity
        self.side = side
        self.position_effect = position_effect
        if position_direction is None and side is not None and position_effect is not None:
            position_direction = position_direction_of(side, position_effect)
        self.position_direction = position_direction
        self.price = price
        self.frozen_price = frozen_price if frozen_price is not None else price
        self.bond_order_book_id = bond_order_book_id
        self.haircut = haircut

    def __repr__(self):
        return (
            f"Order(order_id={self.order_id!r}, order_book_id={self.order_book_id!r}, "
            f"side={self.side}, quantity={self.quantity!r})"
        )
