"""The carry variant of the sample strategy (:class:`CarryStrategy`): the borrowed cash buys
more of the pledged bonds.

It buys its bonds, pledges the exchange bonds, and buys more of them with the borrowed
cash, pledging those too, until what the repos owe reaches ``target_leverage`` times
equity, keeping ``cash_buffer`` of equity in cash; it rolls every repo on its due day. In
its exit it rolls only what its cash cannot repay and sells the bonds set free, so the
book unwinds within two repo periods without running out of cash.
"""

import math

from korvane.runner import SHORT

from korvane_bond_demo.strategy import SampleBondStrategy
from korvane_mod_bond.mod import face_value

# The smallest face value a repo pledges on each exchange.
PLEDGE_MINIMUM = {"XSHG": 100_000, "XSHE": 1_000}
# Rounds of buying and pledging a day: each round borrows the lent share of the last one,
# so a few reach the target.
CARRY_ROUNDS = 8


class CarryStrategy(SampleBondStrategy):
    """The carry variant: borrowed cash buys more of the pledged bonds, up to the
    settings' ``target_leverage``, with ``cash_buffer`` of equity kept in cash."""

    def __init__(self, settings=None, repos=None, data=None, overnight=None):
        super().__init__(settings, repos, data)
        self.target_leverage = self.settings.target_leverage
        self.cash_buffer = self.settings.cash_buffer
        # the one-day repo of each financed bond's exchange: the exit rolls into it, so
        # that each day's sales repay some of the debt
        self.overnight = dict(overnight or {})

    def handle_day(self, context):
        if self.in_exit(context):
            self._unwind(context)
            self._sell_everything(context)
        else:
            self._finance(context)
            self._buy(context)
            self._finance(context)
            self._lever(context)
        if not context.is_last_day:
            self._lend(context)

    def _affordable(self, context, order_book_id):
        """Whole lots payable from the available cash less the buffer."""
        spare = context.available_cash - self.cash_buffer * self._equity(context)
        price = context.bond_quote(order_book_id).full
        lot = context.instrument(order_book_id).round_lot
        return max(0, math.floor(spare / (price * 1.001) / lot) * lot)

    @staticmethod
    def _owed(context):
        return sum(t.last_quantity for t in context.open_repos if t.position_direction == SHORT)

    def _equity(self, context):
        """Cash, bonds at the full price, loans made less loans taken (at principal)."""
        value = context.cash
        for order_book_id in self.bonds:
            quantity = context.position(order_book_id).quantity
            quote = context.bond_quote(order_book_id)
            if quantity and quote is not None:
                value += quantity * quote.full
        for trade in context.open_repos:
            value += trade.last_quantity if trade.position_direction != SHORT else -trade.last_quantity
        return value

    @staticmethod
    def _face(context, order_book_id):
        """One bond's face value today, as a repo pledges it (the principal still outstanding)."""
        return face_value(context.instrument(order_book_id), context.date)

    def _pledge(self, context, order_book_id, quantity, repo_id=None):
        repo_id = self.financing[order_book_id][0] if repo_id is None else repo_id
        share_lent = self.financing[order_book_id][1]
        instrument = context.instrument(order_book_id)
        if quantity * self._face(context, order_book_id) < PLEDGE_MINIMUM.get(instrument.exchange, 0):
            return
        context.repo(repo_id, order_book_id, quantity, share_lent)

    def _finance(self, context):
        """Pledge, in one repo a bond, the bonds not pledged in a repo running past today,
        up to the borrowed share of the holding: the first day, after a purchase, and on
        a due day (the roll)."""
        for order_book_id, (repo_id, _) in self.financing.items():
            if context.repo_rate(repo_id) is None:
                continue
            lot = context.instrument(order_book_id).round_lot
            held = context.position(order_book_id).quantity
            target = math.floor(held * self.borrowed_share / lot) * lot
            running = sum(
                t.pledged_quantity for t in context.open_repos
                if t.position_direction == SHORT and t.bond_id == order_book_id
                and t.due_settlement_date > context.date
            )  # fmt: skip
            quantity = min(target - running, context.pledgeable_quantity(order_book_id))
            quantity = math.floor(quantity / lot) * lot
            if quantity > 0:
                self._pledge(context, order_book_id, quantity)

    def _lever(self, context):
        """Buy more of the financed bonds with the borrowed cash and pledge them, round by
        round, until the repos owe ``target_leverage`` times equity or the cash is spent."""
        financed = [b for b in self.financing if b in self.bought and context.bond_quote(b) is not None]
        for _ in range(CARRY_ROUNDS):
            equity = self._equity(context)
            headroom = self.target_leverage * equity - self._owed(context)
            spare = context.available_cash - self.cash_buffer * equity
            bought = False
            for order_book_id in financed:
                if context.repo_rate(self.financing[order_book_id][0]) is None:
                    continue
                instrument = context.instrument(order_book_id)
                price = context.bond_quote(order_book_id).full
                share = self.financing[order_book_id][1] * self._remaining_principal(
                    order_book_id, context.date
                )
                lent_per_bond = share / 100.0 * instrument.issue_price * self.borrowed_share
                if lent_per_bond <= 0:
                    continue
                wanted = min(spare / (price * 1.001), headroom / lent_per_bond) / len(financed)
                quantity = math.floor(wanted / instrument.round_lot) * instrument.round_lot
                if quantity * self._face(context, order_book_id) < PLEDGE_MINIMUM.get(instrument.exchange, 0):
                    continue
                record = context.buy(order_book_id, quantity)
                if getattr(record, "status", "filled") != "filled":
                    continue
                bought = True
            if not bought:
                return
            self._finance(context)

    def _unwind(self, context):
        """On a due day of the exit, roll just enough of each maturing repo that the cash
        left covers its repayment; the rest of its bonds are set free to be sold."""
        short = -context.available_cash + self.cash_buffer * max(self._equity(context), 0.0)
        for order_book_id, (repo_id, _) in self.financing.items():
            if short <= 0:
                return
            if context.repo_rate(repo_id) is None:
                continue
            maturing = sum(
                t.pledged_quantity for t in context.open_repos
                if t.position_direction == SHORT and t.bond_id == order_book_id
                and t.due_settlement_date <= context.date
            )  # fmt: skip
            if maturing <= 0:
                continue
            instrument = context.instrument(order_book_id)
            share = self.financing[order_book_id][1] * self._remaining_principal(order_book_id, context.date)
            lent_per_bond = share / 100.0 * instrument.issue_price
            if lent_per_bond <= 0:  # redeemed while pledged: nothing left to pledge again
                continue
            lot = instrument.round_lot
            quantity = min(maturing, math.ceil(short / lent_per_bond / lot) * lot)
            minimum = PLEDGE_MINIMUM.get(instrument.exchange, 0) / self._face(context, order_book_id)
            quantity = min(maturing, max(quantity, math.ceil(minimum / lot) * lot))
            self._pledge(context, order_book_id, quantity, self.overnight.get(order_book_id, repo_id))
            short -= quantity * lent_per_bond

    def _sell_everything(self, context):
        """Sell what is free of pledges, in whole lots."""
        for order_book_id in self.bonds:
            position = context.position(order_book_id)
            lot = context.instrument(order_book_id).round_lot
            free = math.floor(position.closable / lot) * lot
            if free > 0 and context.bond_quote(order_book_id) is not None:
                context.sell(order_book_id, free)
