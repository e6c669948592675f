"""The sample strategy: a bond portfolio financed with repos.

The conservative variant (:class:`SampleBondStrategy`, the default):

- Buys its bonds: exchange-traded ones on the first day they are quoted; an
  inter-bank bond, valued on implied cash flows, on the first trading day
  after one of its coupon payments (so its accrued-interest receivable starts
  with a fresh coupon period) when a later payment is still to come. It pays
  for them with its own cash only, never with what it owes on repos.
- Finances against each exchange bond with a repo of the settings' tenor on
  the bond's own exchange, pledging the free holding, and rolls it on its due
  day: the new repo opens in the morning of the day the old one is repaid, with
  the same bonds as collateral (the exchange frees the collateral of a
  maturing repo for a new one on the same day), so the book is financed on
  every day it holds the bonds.
- Lends the spare cash overnight through the Shanghai one-day reverse repo,
  except on the last day (the loan would outlive the run).
- For its last ``exit_days`` trading days it opens no more financing and tries
  every day to sell its bonds; while a bond is still pledged the sale is
  refused by the bond validator, and it goes through once the repo is repaid.

The carry variant, which buys more bonds with the borrowed cash, is
:class:`korvane_bond_demo.carry.CarryStrategy`.
"""

import math

from korvane.runner import SHORT, Strategy

from korvane_bond_demo.settings import Settings

OVERNIGHT_REVERSE_REPO = "204001.XSHG"
# The Shanghai exchange takes reverse repos in steps of 1,000 yuan from 100,000 yuan.
LENDING_STEP = 1_000
LENDING_MINIMUM = 100_000


class SampleBondStrategy(Strategy):
    """The strategy of :mod:`korvane_bond_demo.settings`' figures; ``repos`` maps each
    financed bond to the repo that finances it (see :func:`financing_repos`); ``data``
    is the market data (:class:`korvane_bond_demo.dataset.Dataset`), for the bonds'
    payment schedules."""

    def __init__(self, settings=None, repos=None, data=None):
        settings = Settings() if settings is None else settings
        if data is None:
            from korvane_bond_demo.dataset import bundled

            data = bundled()
        self.data = data
        self.settings = settings
        self.bonds = dict(settings.bonds)
        pledges = dict(settings.pledges)
        repos = {} if repos is None else repos
        self.financing = {bond_id: (repos[bond_id], share) for bond_id, share in pledges.items()}
        self.borrowed_share = settings.borrowed_share
        self.lending_repo = OVERNIGHT_REVERSE_REPO if settings.lend_overnight else None
        self.exit_days = settings.exit_days
        self.buy_day = {}  # bond -> the day to buy it on
        self.bought = set()
        self.exit_from = None
        self.schedules = {}  # bond -> its payment schedule, read once
        self.notes = []  # what the strategy decided not to do, for the summary

    def initialize(self, context):
        days = context.trading_days
        self.exit_from = days[max(0, len(days) - self.exit_days)] if self.exit_days else None
        if self.exit_days and len(days) <= self.exit_days:
            self.notes.append(
                f"the run is {len(days):,} trading day{'s' if len(days) != 1 else ''} long, within the exit "
                f"(the last {self.exit_days:,} days, when bonds are only sold): nothing bought"
            )
            return
        data_proxy = context.env.data_proxy
        for order_book_id in self.bonds:
            if order_book_id.endswith(".IB"):
                self.buy_day[order_book_id] = self._after_a_coupon(order_book_id, days, data_proxy)
            else:
                self.buy_day[order_book_id] = days[0]
            if self.buy_day[order_book_id] is None:
                self.notes.append(
                    f"{order_book_id}: no coupon date with a later payment inside the run, not bought"
                )

    def schedule(self, order_book_id):
        if order_book_id not in self.schedules:
            self.schedules[order_book_id] = self.data.realized_cash_flow(order_book_id)
        return self.schedules[order_book_id]

    def _after_a_coupon(self, order_book_id, days, data_proxy):
        schedule = self.schedule(order_book_id)
        payment_dates = list(schedule.index)
        for i, paid in enumerate(payment_dates[:-1]):
            if paid < days[0] or paid >= days[-1]:
                continue
            day = data_proxy.get_next_trading_date(paid).date()
            if day < payment_dates[i + 1]:
                return day
        return None

    def in_exit(self, context):
        return self.exit_from is not None and context.date >= self.exit_from

    def handle_day(self, context):
        exiting = self.in_exit(context)
        if exiting:
            self._sell_everything(context)
        else:
            # re-finance first, so a purchase can use the cash borrowed today;
            # then finance what was just bought
            self._finance(context)
            self._buy(context)
            self._finance(context)
        if not context.is_last_day:
            self._lend(context)

    def _buy(self, context):
        for order_book_id, quantity in self.bonds.items():
            if order_book_id in self.bought:
                continue
            buy_day = self.buy_day[order_book_id]
            if buy_day is None or context.date < buy_day or context.bond_quote(order_book_id) is None:
                continue
            self.bought.add(order_book_id)  # one attempt: a refusal is logged, not retried
            affordable = self._affordable(context, order_book_id)
            if affordable < quantity:
                self.notes.append(
                    f"{order_book_id}: {context.date} own cash buys {affordable:,} of the {quantity:,} wanted"
                )
                quantity = affordable
            if quantity > 0:
                context.buy(order_book_id, quantity)

    @staticmethod
    def _affordable(context, order_book_id):
        """Whole lots payable from cash net of what the open repos owe back (with 0.1 %
        kept for the commission)."""
        owed = sum(t.due_settlement_amount for t in context.open_repos if t.position_direction == SHORT)
        own_cash = context.available_cash - owed
        price = context.bond_quote(order_book_id).full
        lot = context.instrument(order_book_id).round_lot
        return max(0, math.floor(own_cash / (price * 1.001) / lot) * lot)

    def _finance(self, context):
        """Open a repo on each financed bond that has none running past today: on the
        first day, after a purchase, and on the due day of the last one (the roll)."""
        for order_book_id, (repo_id, share_lent) in self.financing.items():
            if context.repo_rate(repo_id) is None:
                continue
            running = [
                t for t in context.open_repos
                if t.position_direction == SHORT and t.bond_id == order_book_id
                and t.due_settlement_date > context.date
            ]  # fmt: skip
            if running:
                continue
            free = context.pledgeable_quantity(order_book_id)
            lot = context.instrument(order_book_id).round_lot
            quantity = math.floor(free * self.borrowed_share / lot) * lot
            if quantity <= 0:
                continue
            # the order's face value is the bonds' current face: the share lent is of what is left
            context.repo(repo_id, order_book_id, quantity, share_lent)

    def _remaining_principal(self, order_book_id, day):
        """The principal per 100 face still outstanding: what a pledged bond lends falls as
        its principal is repaid."""
        schedule = self.schedule(order_book_id)
        paid = schedule[[d <= day for d in schedule.index]]
        return 100.0 if paid.empty else float(paid["remaining_principal"].iloc[-1])

    def _sell_everything(self, context):
        for order_book_id in self.bonds:
            position = context.position(order_book_id)
            if position.quantity > 0 and context.bond_quote(order_book_id) is not None:
                context.sell(order_book_id, position.quantity)

    def _lend(self, context):
        if self.lending_repo is None or context.repo_rate(self.lending_repo) is None:
            return
        amount = context.max_reverse_repo_amount(self.lending_repo)
        amount = math.floor(amount / LENDING_STEP) * LENDING_STEP
        if amount >= LENDING_MINIMUM:
            context.reverse_repo(self.lending_repo, amount)


def title(settings):
    """How the summary, the report and the chart name a run of ``settings``."""
    return "Carry bond-and-repo backtest" if settings.strategy == "carry" else "Bond-and-repo backtest"


def financing_repos(settings, instruments):
    """Each financed bond's repo: the one of the settings' tenor on the bond's exchange."""
    by_id = {ins.order_book_id: ins for ins in instruments}
    repos = {}
    for bond_id, _ in settings.pledges:
        bond = by_id.get(bond_id)
        if bond is None:
            raise ValueError(f"no bond {bond_id} in the bundled data")
        candidates = sorted(
            ins.order_book_id
            for ins in instruments
            if getattr(ins, "repo_period", None) == settings.repo_tenor_days and ins.exchange == bond.exchange
        )
        if not candidates:
            raise ValueError(
                f"{bond_id}: no {settings.repo_tenor_days}-day repo on {bond.exchange} to pledge it in"
            )
        repos[bond_id] = candidates[0]
    return repos
