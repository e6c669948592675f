"""A bond-and-repo strategy of your own: buy a bond, pledge it, borrow, roll the repo on
its due day, lend spare cash overnight, and read what the run booked.

    python strategy.py

Needs korvane_mod_bond and the framework with its data client (reference data and cash
flows of the bonds); the quotes and repo rates are made up below.
"""

import datetime

from korvane.runner import Backtest, BondQuote, Strategy
from pelvorn import bond

from korvane_mod_bond.context import BondContext
from korvane_mod_bond.data import instrument_from_record
from korvane_mod_bond.mod import BondMod

BOND = "019547.XSHG"  # a Shanghai government bond, 2.7 % coupon paid every 17 November
BORROW = "204007.XSHG"  # GC007: a 7-day repo in Shanghai, to borrow against the bond
LEND = "131810.XSHE"  # an overnight repo in Shenzhen, to lend spare cash


# --- the market: a clean price, accrued interest, and repo rates by day ------------------


class Market:
    """Quotes for the backtest: ``bond_quote`` per bond (yuan per 100 face) and
    ``repo_rate`` (a yearly rate as a fraction), for an order book id and a day."""

    LAST_COUPON = datetime.date(2023, 11, 17)
    COUPON = 2.7  # yuan a year per bond

    def bond_quote(self, order_book_id, day):
        if order_book_id != BOND:
            return None
        last = self.LAST_COUPON if day < datetime.date(2024, 11, 18) else datetime.date(2024, 11, 18)
        accrued = self.COUPON * (day - last).days / 365
        clean = 102.0 + 0.01 * (day - datetime.date(2024, 11, 11)).days  # drifting up
        return BondQuote(clean=clean, full=clean + accrued)

    def repo_rate(self, order_book_id, day):
        if order_book_id == BORROW:
            return 0.0185
        if order_book_id == LEND:
            return 0.0210 if day.weekday() == 4 else 0.0160  # Fridays lend over the weekend
        return None


# --- the strategy -------------------------------------------------------------------------


class PledgeAndRoll(Strategy):
    """Day 1: buy the bond and pledge it for seven days; spend what is borrowed on more of
    the bond. On the repo's due day: pledge the same bonds again (a roll). Every day but
    the last: lend the cash left over for one night. Last day: sell the unpledged bonds."""

    def __init__(self, quantity=10_000, haircut=0.9):
        self.quantity = quantity  # bonds bought and pledged (whole lots of 10)
        self.haircut = haircut  # cash borrowed per yuan of face pledged

    def handle_day(self, context: BondContext) -> None:
        if context.date == context.trading_days[0]:
            context.buy(BOND, self.quantity)
            repo = context.repo(BORROW, BOND, self.quantity, self.haircut)
            # spend most of the borrowed cash on more bonds, in whole lots
            full = context.bond_quote(BOND).full
            context.buy(BOND, int(repo.trade.last_quantity * 0.95 / full / 10) * 10)
        elif not context.is_last_day:
            for trade in context.open_repos:
                if trade.order_book_id == BORROW and trade.due_settlement_date == context.date:
                    # the repo falls due today: its bonds can be pledged again at once
                    context.repo(BORROW, BOND, trade.pledged_quantity, self.haircut)
        else:
            # the pledged bonds are freed only by tonight's settlement: sell the rest, so that
            # the cash repays the repo falling due today
            context.sell(BOND, context.position(BOND).closable)
        if not context.is_last_day:
            amount = context.max_reverse_repo_amount(LEND)
            if amount > 0:
                context.reverse_repo(LEND, amount)


def run(start="2024-11-11", end="2024-11-25", cash=1_100_000.0):
    """Run the strategy from ``start`` to ``end`` and return the framework's result."""
    instruments = [instrument_from_record(bond.instrument_info(i)) for i in bond.all_instruments().index]
    backtest = Backtest(
        PledgeAndRoll(), start, end, cash=cash, instruments=instruments, market=Market(), mods=[BondMod()]
    )
    return backtest.run()


# --- reading the outputs ------------------------------------------------------------------


def report(result):
    """Print what the run booked, the repos that matured, the user log and the cash."""
    print("Bookings (yuan; positive is cash received):")
    for b in result.bookings:
        print(
            f"  {b.date}  {b.phase:<14} {b.order_book_id:<12} {b.amount:>15,.2f}  cash {b.cash_after:>15,.2f}"
        )
    print("Repos settled:")
    for m in result.repo_maturities:
        t = m.trade
        print(
            f"  {m.date}  {t.order_book_id} {m.direction.name:<5} principal {t.last_quantity:>12,.2f} "
            f"over {t.actual_holding_days} days at {t.last_price:.2%}: interest {m.interest:,.2f}"
        )
    print("User log:")
    for day, message in result.user_log:
        print(f"  {day}  {message}")
    booked = sum(b.amount for b in result.bookings)
    print(f"Cash: {result.initial_cash:,.2f} + {booked:,.2f} booked = {result.final_cash:,.2f}")
    print(f"Equity at the end: {result.final_equity:,.2f}")


if __name__ == "__main__":
    report(run())
