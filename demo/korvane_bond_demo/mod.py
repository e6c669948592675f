"""What the bond package's start-up code does when the framework loads it.

:class:`BondMod` installs ``korvane_mod_bond`` into a backtest: position
classes and proxies, validators, cost deciders, marks, and the repo order
functions ``repo``, ``reverse_repo`` and ``max_reverse_repo_amount`` on the
strategy's context.
"""

from korvane.const import POSITION_DIRECTION, POSITION_EFFECT, SIDE
from korvane.model.order import Order

from korvane_mod_bond import position, transaction, validator
from korvane_mod_bond.trade import RepoTrade

LONG, SHORT = POSITION_DIRECTION.LONG, POSITION_DIRECTION.SHORT


class BondMod:
    """Installs the bond package into a :class:`korvane.runner.Backtest`.

    - position classes and proxies, by their ``__instrument_types__``;
    - ``BondValidator`` and ``RepoValidator`` for the bond and repo types;
    - ``BondTransactionDecider`` with the four commission figures and
      ``RepoTransactionDecider``;
    - marks: a bond valued on implied cash flows carries its accrued interest
      as a receivable, so it is marked at the clean price; other bonds at the
      full price;
    - the repo order functions, on the context: ``repo``, ``reverse_repo`` and
      ``max_reverse_repo_amount``.
    """

    # Default commission figures: inter-bank 0.001 % of the trade value, at least
    # 150 yuan (about what a trade's settlement costs there); on exchange
    # 0.002 %, at most 100 yuan a trade.
    def __init__(
        self,
        ib_commission_rate=0.00001,
        ib_min_commission=150.0,
        exchange_commission_rate=0.00002,
        exchange_max_commission=100.0,
    ):
        self.commission = (
            ib_commission_rate,
            ib_min_commission,
            exchange_commission_rate,
            exchange_max_commission,
        )

    def install(self, backtest):
        env = backtest.env
        for cls in (position.BondPosition, position.RepoPosition):
            backtest.register_position_class(cls)
        for cls in (position.BondPositionProxy, position.RepoPositionProxy):
            backtest.register_proxy(cls)
        backtest.add_validator(validator.BondValidator(env), position.BondPosition)
        backtest.add_validator(validator.RepoValidator(env), position.RepoPosition)
        backtest.set_cost_decider(transaction.BondTransactionDecider(*self.commission), position.BondPosition)
        backtest.set_cost_decider(transaction.RepoTransactionDecider(), position.RepoPosition)
        implied = position.BondPositionWithImpliedCashFlow

        def mark(bond_position, quote):
            return quote.clean if isinstance(bond_position, implied) else quote.full

        backtest.set_marker(mark, position.BondPosition)
        backtest.add_order_function("repo", repo)
        backtest.add_order_function("reverse_repo", reverse_repo)
        backtest.add_order_function("max_reverse_repo_amount", max_reverse_repo_amount)


def repo(context, repo_id, bond_id, quantity, haircut):
    """Borrow cash for the repo's period, pledging ``quantity`` bonds of ``bond_id``.

    The order's amount is the pledge's face value (``quantity`` times the
    bond's issue price); the cash borrowed is that amount times
    ``haircut`` (the share of the pledged face value lent). A fill is capped
    at the face value of the bonds free to pledge (:func:`pledgeable_quantity`);
    nothing is filled when none is.
    """
    backtest = context.backtest
    issue_price = backtest.instrument(bond_id).issue_price
    rate = context.repo_rate(repo_id)
    order = Order(
        repo_id,
        quantity * issue_price,
        SIDE.FINANCING,
        position_effect=POSITION_EFFECT.OPEN,
        position_direction=SHORT,
        price=rate,
        bond_order_book_id=bond_id,
        haircut=haircut,
    )
    if rate is None:
        return backtest.no_quote(order)
    record = backtest.validate_order(order)
    if record.status == "refused":
        return record
    free = pledgeable_quantity(context, bond_id) * issue_price
    amount = min(order.quantity, free)
    if not amount > 0:
        return record
    trade = RepoTrade.create_exchange_repo_trade(
        order.order_id, rate, amount, repo_id, hairbut=haircut, bond_id=bond_id,
        pledged_quantity=amount / issue_price,
    )  # fmt: skip
    backtest.track_due_trade(trade)
    return backtest.fill(record, trade)


def reverse_repo(context, repo_id, amount):
    """Lend ``amount`` of cash for the repo's period."""
    backtest = context.backtest
    rate = context.repo_rate(repo_id)
    order = Order(
        repo_id,
        amount,
        SIDE.MARGIN,
        position_effect=POSITION_EFFECT.OPEN,
        position_direction=LONG,
        price=rate,
        haircut=1,
    )
    if rate is None:
        return backtest.no_quote(order)
    record = backtest.validate_order(order)
    if record.status == "refused":
        return record
    trade = RepoTrade.create_exchange_reverse_repo_trade(order.order_id, rate, amount, repo_id)
    backtest.track_due_trade(trade)
    return backtest.fill(record, trade)


def max_reverse_repo_amount(context, repo_id, cash=None):
    """The largest amount whose loan and commission ``cash`` (default: available cash) covers."""
    cash = context.available_cash if cash is None else cash
    return RepoTrade.calc_max_amount(repo_id, cash)


def pledgeable_quantity(context, bond_id):
    """The bonds free to pledge today: the closable holding and the collateral of the
    repos falling due today. The pledge of a maturing repo is released only by the
    day's settlement, but the exchange frees its collateral for a new repo on the
    same day, as it frees the cash repaid for trading."""
    closable = context.backtest.portfolio.get_position(bond_id, LONG).closable
    return closable + maturing_pledges(context, bond_id)


def maturing_pledges(context, bond_id):
    """The quantity of ``bond_id`` pledged in repos that fall due today."""
    return sum(
        t.pledged_quantity
        for t in context.open_repos
        if t.position_direction == SHORT and t.bond_id == bond_id and t.due_settlement_date <= context.date
    )
